#include "GeneralSettingsView.h"

#include "PreferenceControls.h"
#include "core/NotificationCenter.h"

#include <QLabel>
#include <QVBoxLayout>

namespace kivo {

GeneralSettingsView::GeneralSettingsView(AppState& appState, const QString& accelerationUnavailableReason, QWidget* parent)
    : QWidget(parent)
{
    const auto toggle = [&appState](const QString& label, bool UserPreferences::*field, QLatin1StringView posts) {
        return preferenceToggle(appState, label, field, posts);
    };
    using P = UserPreferences;

    auto* appearance = settingsSection(tr("Appearance"));
    sectionLayout(appearance)->addWidget(toggle(tr("Show welcome screen on launch"), &P::showWelcomeScreen,
                                                kPreferencesChanged));
    sectionLayout(appearance)->addWidget(toggle(tr("Auto-save sessions"), &P::autoSaveSessions, kPreferencesChanged));
    sectionLayout(appearance)->addWidget(toggle(tr("Show processing notifications"),
                                                &P::showProcessingNotifications, kProcessingPreferencesChanged));

    auto* behavior = settingsSection(tr("Behavior"));
    sectionLayout(behavior)->addWidget(toggle(tr("Open processed images in editor"), &P::openProcessedInEditor,
                                              kPreferencesChanged));
    sectionLayout(behavior)->addWidget(toggle(tr("Confirm before closing unsaved sessions"),
                                              &P::confirmBeforeClosing, kPreferencesChanged));
    sectionLayout(behavior)->addWidget(toggle(tr("Enable drag and drop"), &P::enableDragAndDrop, kPreferencesChanged));

    auto* performance = settingsSection(tr("Performance"));
    sectionLayout(performance)->addWidget(unavailableWithReason(
        toggle(tr("Use hardware acceleration"), &P::useHardwareAcceleration, kProcessingPreferencesChanged),
        accelerationUnavailableReason));
    auto* quality = new QHBoxLayout;
    quality->addWidget(new QLabel(tr("Processing Quality")));
    quality->addWidget(preferencePicker(appState, &P::processingQuality, allCases<ProcessingQuality>(),
                                        kProcessingPreferencesChanged));
    sectionLayout(performance)->addLayout(quality);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(appearance);
    layout->addWidget(behavior);
    layout->addWidget(performance);
    layout->addStretch(1);
}

} // namespace kivo
