#pragma once

#include "PreferenceEdits.h"
#include "core/AppState.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace kivo {

// Controls of the settings tabs, each bound to one field of the application state's working
// copy of the preferences: a change is written (and persisted) at once and announced with the
// given notification; a change made elsewhere (import, reset, a shortcut) shows at once.

// A titled section of a settings tab, and the column its rows go into.
QGroupBox* settingsSection(const QString& title);
QVBoxLayout* sectionLayout(QGroupBox* section);

QCheckBox* preferenceToggle(AppState& appState, const QString& label, bool UserPreferences::*field,
                            QLatin1StringView notification);

// A control that can have no effect on this system, shown disabled with the reason beneath it;
// the control itself when there is no reason.
QWidget* unavailableWithReason(QWidget* control, const QString& reason);

QLineEdit* preferenceTextField(AppState& appState, QString UserPreferences::*field, QLatin1StringView notification);

// "Label:", a continuous slider over minimum…maximum, and the value as a truncated percentage.
QWidget* preferencePercentSlider(AppState& appState, const QString& label, double UserPreferences::*field,
                                 double minimum, double maximum, QLatin1StringView notification);

// Runs `refresh` now and after every change of the preferences, for as long as `owner` lives.
void refreshOnPreferenceChanges(AppState& appState, QObject* owner, const std::function<void()>& refresh);

// A row of joined buttons, one per choice, exactly one checked.
class SegmentedPicker : public QWidget {
    Q_OBJECT
public:
    explicit SegmentedPicker(const QStringList& labels, QWidget* parent = nullptr);

    int currentIndex() const { return m_group->checkedId(); }
    void setCurrentIndex(int index);
    QAbstractButton* segment(int index) const { return m_group->button(index); }

signals:
    void activated(int index);

private:
    QButtonGroup* m_group = nullptr;
};

// A segmented picker over an enumeration field, offering `choices` in their order.
template <typename E, std::size_t N>
SegmentedPicker* preferencePicker(AppState& appState, E UserPreferences::*field, const std::array<E, N>& choices,
                                  QLatin1StringView notification)
{
    QStringList labels;
    for (E choice : choices)
        labels << rawValue(choice);
    auto* picker = new SegmentedPicker(labels);
    QObject::connect(picker, &SegmentedPicker::activated, picker, [&appState, field, choices, notification](int index) {
        editPreferences(appState, notification, [&](UserPreferences& p) { p.*field = choices[size_t(index)]; });
    });
    refreshOnPreferenceChanges(appState, picker, [&appState, picker, field, choices] {
        const auto found = std::find(choices.begin(), choices.end(), appState.userPreferences().*field);
        picker->setCurrentIndex(found == choices.end() ? -1 : int(found - choices.begin()));
    });
    return picker;
}

} // namespace kivo
