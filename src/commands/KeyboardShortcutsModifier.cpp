#include "KeyboardShortcutsModifier.h"

#include "core/AppState.h"
#include "core/Log.h"
#include "core/NotificationCenter.h"

#include <QCoreApplication>

#include <algorithm>

namespace kivo {

namespace {

constexpr double zoomStep = 0.25;
constexpr double maximumZoom = 5.0;
constexpr double minimumZoom = 0.1;

EditorSession blankSession()
{
    EditorSession session;
    session.name = QStringLiteral("New Session");
    QImage blank(800, 600, QImage::Format_ARGB32_Premultiplied);
    blank.fill(Qt::transparent);
    session.currentImage = blank;
    return session;
}

void post(QLatin1StringView name)
{
    NotificationCenter::defaultCenter().post(name);
}

} // namespace

KeyboardShortcutsModifier::KeyboardShortcutsModifier(AppState& appState, ImageFileChooser chooseImageFile,
                                                     QObject* parent)
    : QObject(parent)
    , m_appState(appState)
    , m_chooseImageFile(std::move(chooseImageFile))
{
    connect(&NotificationCenter::defaultCenter(), &NotificationCenter::posted, this,
            &KeyboardShortcutsModifier::onNotification);
}

void KeyboardShortcutsModifier::onNotification(const QString& name, const QVariantMap& userInfo)
{
    if (name != kKeyboardShortcutTriggered)
        return;
    const QVariant action = userInfo.value(QStringLiteral("action"));
    if (action.metaType() != QMetaType::fromType<KeyboardAction>())
        return;
    perform(action.value<KeyboardAction>());
}

void KeyboardShortcutsModifier::changeZoom(double delta)
{
    UserPreferences preferences = m_appState.userPreferences();
    const double zoom = preferences.zoomLevel + delta;
    preferences.zoomLevel = delta > 0 ? std::min(zoom, maximumZoom) : (zoom <= minimumZoom ? minimumZoom : zoom);
    m_appState.setUserPreferences(preferences);
}

void KeyboardShortcutsModifier::perform(KeyboardAction action)
{
    using A = KeyboardAction;
    UserPreferences preferences = m_appState.userPreferences();
    switch (action) {
    case A::newSession:
        // On the batch tab the same keys start processing.
        if (m_appState.activeTab() == AppTab::imageEditor)
            m_appState.appendEditorSession(blankSession());
        else
            post(kProcessAllImages);
        return;
    case A::openImage:
        if (const auto url = m_chooseImageFile ? m_chooseImageFile() : std::nullopt)
            logLine(QStringLiteral("Opened image: ") + url->toString());
        return;
    case A::save: logLine(QStringLiteral("Save current session")); return;
    case A::exportImage: post(kExportImage); return;
    case A::undo: logLine(QStringLiteral("Undo")); return;
    case A::redo: logLine(QStringLiteral("Redo")); return;
    case A::copy: logLine(QStringLiteral("Copy")); return;
    case A::paste: logLine(QStringLiteral("Paste")); return;
    case A::selectAll: logLine(QStringLiteral("Select all")); return;
    case A::zoomIn: changeZoom(zoomStep); return;
    case A::zoomOut: changeZoom(-zoomStep); return;
    case A::fitToScreen:
    case A::actualSize:
        preferences.zoomLevel = 1.0;
        m_appState.setUserPreferences(preferences);
        return;
    case A::switchToBackgroundRemoval: m_appState.setActiveTab(AppTab::backgroundRemoval); return;
    case A::switchToImageEditor: m_appState.setActiveTab(AppTab::imageEditor); return;
    case A::processAll: post(kProcessAllImages); return;
    case A::stopProcessing: logLine(QStringLiteral("Stop processing")); return;
    case A::toggleToolsPanel:
        preferences.showToolsPanel = !preferences.showToolsPanel;
        m_appState.setUserPreferences(preferences);
        return;
    case A::toggleLayersPanel:
        preferences.showLayersPanel = !preferences.showLayersPanel;
        m_appState.setUserPreferences(preferences);
        return;
    case A::selectPenTool: logLine(QStringLiteral("Select pen tool")); return;
    case A::selectBrushTool: logLine(QStringLiteral("Select brush tool")); return;
    case A::selectEraserTool: logLine(QStringLiteral("Select eraser tool")); return;
    case A::settings: post(kOpenSettings); return;
    case A::quit: QCoreApplication::quit(); return;
    }
}

} // namespace kivo
