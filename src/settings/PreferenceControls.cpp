#include "PreferenceControls.h"

#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>

#include <cmath>

namespace kivo {

QGroupBox* settingsSection(const QString& title)
{
    auto* section = new QGroupBox(title);
    auto* layout = new QVBoxLayout(section);
    layout->setSpacing(8);
    return section;
}

QVBoxLayout* sectionLayout(QGroupBox* section)
{
    return static_cast<QVBoxLayout*>(section->layout());
}

void refreshOnPreferenceChanges(AppState& appState, QObject* owner, const std::function<void()>& refresh)
{
    refresh();
    QObject::connect(&appState, &AppState::userPreferencesChanged, owner, refresh);
}

QCheckBox* preferenceToggle(AppState& appState, const QString& label, bool UserPreferences::*field,
                            QLatin1StringView notification)
{
    auto* toggle = new QCheckBox(label);
    QObject::connect(toggle, &QCheckBox::toggled, toggle, [&appState, field, notification](bool on) {
        editPreferences(appState, notification, [&](UserPreferences& p) { p.*field = on; });
    });
    refreshOnPreferenceChanges(appState, toggle, [&appState, toggle, field] {
        const QSignalBlocker blocker(toggle);
        toggle->setChecked(appState.userPreferences().*field);
    });
    return toggle;
}

QWidget* unavailableWithReason(QWidget* control, const QString& reason)
{
    if (reason.isEmpty())
        return control;
    auto* holder = new QWidget;
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    control->setEnabled(false);
    control->setToolTip(reason);
    auto* caption = new QLabel(reason);
    caption->setObjectName(QStringLiteral("unavailableReason"));
    caption->setForegroundRole(QPalette::PlaceholderText);
    caption->setContentsMargins(24, 0, 0, 0);
    layout->addWidget(control);
    layout->addWidget(caption);
    return holder;
}

QLineEdit* preferenceTextField(AppState& appState, QString UserPreferences::*field, QLatin1StringView notification)
{
    auto* edit = new QLineEdit;
    QObject::connect(edit, &QLineEdit::textEdited, edit, [&appState, field, notification](const QString& text) {
        editPreferences(appState, notification, [&](UserPreferences& p) { p.*field = text; });
    });
    // Only a different text is set, so the cursor stays where the user is typing.
    refreshOnPreferenceChanges(appState, edit, [&appState, edit, field] {
        if (edit->text() != appState.userPreferences().*field)
            edit->setText(appState.userPreferences().*field);
    });
    return edit;
}

QWidget* preferencePercentSlider(AppState& appState, const QString& label, double UserPreferences::*field,
                                 double minimum, double maximum, QLatin1StringView notification)
{
    // QSlider holds integers: thousandths keep the movement continuous to the eye.
    constexpr double scale = 1000.0;
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setRange(int(std::lround(minimum * scale)), int(std::lround(maximum * scale)));
    auto* valueText = new QLabel;
    valueText->setMinimumWidth(valueText->fontMetrics().horizontalAdvance(QStringLiteral("100%")));
    valueText->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    layout->addWidget(new QLabel(label));
    layout->addWidget(slider, 1);
    layout->addWidget(valueText);

    QObject::connect(slider, &QSlider::valueChanged, slider, [&appState, field, notification](int position) {
        editPreferences(appState, notification, [&](UserPreferences& p) { p.*field = position / scale; });
    });
    refreshOnPreferenceChanges(appState, row, [&appState, slider, valueText, field] {
        const double value = appState.userPreferences().*field;
        const QSignalBlocker blocker(slider);
        slider->setValue(int(std::lround(value * scale)));
        valueText->setText(percentText(value));
    });
    return row;
}

SegmentedPicker::SegmentedPicker(const QStringList& labels, QWidget* parent)
    : QWidget(parent)
    , m_group(new QButtonGroup(this))
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    const QPalette colours = palette();
    for (int i = 0; i < labels.size(); ++i) {
        auto* segment = new QPushButton(labels[i]);
        segment->setCheckable(true);
        segment->setStyleSheet(QStringLiteral("QPushButton { padding: 3px 14px; border: 1px solid %1; background: %2; }"
                                              "QPushButton:checked { background: %3; color: %4; }")
                                   .arg(colours.color(QPalette::Mid).name(), colours.color(QPalette::Button).name(),
                                        colours.color(QPalette::Highlight).name(),
                                        colours.color(QPalette::HighlightedText).name()));
        m_group->addButton(segment, i);
        layout->addWidget(segment);
    }
    layout->addStretch(1);
    connect(m_group, &QButtonGroup::idClicked, this, &SegmentedPicker::activated);
}

void SegmentedPicker::setCurrentIndex(int index)
{
    if (QAbstractButton* button = m_group->button(index)) {
        button->setChecked(true);
        return;
    }
    // No choice matches (a value this picker does not offer): nothing is checked.
    m_group->setExclusive(false);
    for (QAbstractButton* button : m_group->buttons())
        button->setChecked(false);
    m_group->setExclusive(true);
}

} // namespace kivo
