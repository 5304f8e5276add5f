#include "ProcessingSettingsView.h"

#include "PreferenceControls.h"
#include "core/NotificationCenter.h"

#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

namespace kivo {

namespace {

// "Max concurrent processes: N" with − and + buttons that stop at 1 and 8.
QWidget* concurrentProcessesStepper(AppState& appState)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* text = new QLabel;
    auto* down = new QToolButton;
    down->setText(QStringLiteral("−"));
    down->setObjectName(QStringLiteral("stepDown"));
    auto* up = new QToolButton;
    up->setText(QStringLiteral("+"));
    up->setObjectName(QStringLiteral("stepUp"));
    layout->addWidget(text);
    layout->addStretch(1);
    layout->addWidget(down);
    layout->addWidget(up);
    const auto step = [&appState](int by) {
        editPreferences(appState, kProcessingPreferencesChanged, [by](UserPreferences& p) {
            p.maxConcurrentProcesses = steppedConcurrentProcesses(p.maxConcurrentProcesses, by);
        });
    };
    QObject::connect(down, &QToolButton::clicked, row, [step] { step(-1); });
    QObject::connect(up, &QToolButton::clicked, row, [step] { step(+1); });
    refreshOnPreferenceChanges(appState, row, [&appState, text, down, up] {
        const qint64 value = appState.userPreferences().maxConcurrentProcesses;
        text->setText(QStringLiteral("Max concurrent processes: %1").arg(value));
        down->setEnabled(value > kMinConcurrentProcesses);
        up->setEnabled(value < kMaxConcurrentProcesses);
    });
    return row;
}

} // namespace

ProcessingSettingsView::ProcessingSettingsView(AppState& appState, const QString& accelerationUnavailableReason, QWidget* parent)
    : QWidget(parent)
{
    const auto toggle = [&appState](const QString& label, bool UserPreferences::*field) {
        return preferenceToggle(appState, label, field, kProcessingPreferencesChanged);
    };
    using P = UserPreferences;

    auto* removal = settingsSection(tr("Background Removal"));
    sectionLayout(removal)->addWidget(toggle(tr("Auto-detect subjects"), &P::autoDetectSubjects));
    sectionLayout(removal)->addWidget(toggle(tr("Refine edges"), &P::refineEdges));
    // Hidden while "Refine edges" is off; the stored value stays.
    QWidget* edge = preferencePercentSlider(appState, tr("Edge Refinement:"), &P::edgeRefinement, 0.0, 1.0,
                                            kProcessingPreferencesChanged);
    edge->setObjectName(QStringLiteral("edgeRefinement"));
    refreshOnPreferenceChanges(appState, edge,
                               [&appState, edge] { edge->setVisible(appState.userPreferences().refineEdges); });
    sectionLayout(removal)->addWidget(edge);
    sectionLayout(removal)->addWidget(toggle(tr("Preserve fine details"), &P::preserveFineDetails));
    // "Remove background from similar images" is not offered: every photo already gets its own
    // mask, and reusing one photo's mask for a look-alike would cut the wrong outline whenever
    // the subject moved. The stored key stays readable (batchSimilarProcessing) and is ignored.

    auto* batch = settingsSection(tr("Batch Processing"));
    sectionLayout(batch)->addWidget(concurrentProcessesStepper(appState));
    sectionLayout(batch)->addWidget(toggle(tr("Process in background"), &P::processInBackground));
    sectionLayout(batch)->addWidget(toggle(tr("Show progress in dock"), &P::showProgressInDock));
    sectionLayout(batch)->addWidget(toggle(tr("Play sound on completion"), &P::playSoundOnCompletion));

    auto* performance = settingsSection(tr("Performance"));
    sectionLayout(performance)->addWidget(
        unavailableWithReason(toggle(tr("Use GPU acceleration"), &P::useGPUAcceleration), accelerationUnavailableReason));
    auto* memory = new QHBoxLayout;
    memory->addWidget(new QLabel(tr("Memory Usage")));
    memory->addWidget(
        preferencePicker(appState, &P::memoryUsage, allCases<MemoryUsage>(), kProcessingPreferencesChanged));
    sectionLayout(performance)->addLayout(memory);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(removal);
    layout->addWidget(batch);
    layout->addWidget(performance);
    layout->addStretch(1);
}

} // namespace kivo
