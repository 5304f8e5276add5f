#include "KeyboardShortcutsModifier.h"

#include "core/AppState.h"
#include "core/NotificationCenter.h"


namespace kivo {

namespace {

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

KeyboardShortcutsModifier::KeyboardShortcutsModifier(AppState& appState, std::function<void()> requestQuit,
                                                     QObject* parent)
    : QObject(parent)
    , m_appState(appState)
    , m_requestQuit(std::move(requestQuit))
    , m_shortcutsManager(appState.userDefaults())
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
    case A::exportImage: post(kExportImage); return;
    case A::switchToBackgroundRemoval: m_appState.setActiveTab(AppTab::backgroundRemoval); return;
    case A::switchToImageEditor: m_appState.setActiveTab(AppTab::imageEditor); return;
    case A::switchToTransactions: m_appState.setActiveTab(AppTab::transactions); return;
    case A::switchToTrigger: m_appState.setActiveTab(AppTab::trigger); return;
    case A::processAll: post(kProcessAllImages); return;
    case A::toggleToolsPanel:
        preferences.showToolsPanel = !preferences.showToolsPanel;
        m_appState.setUserPreferences(preferences);
        return;
    case A::toggleLayersPanel:
        preferences.showLayersPanel = !preferences.showLayersPanel;
        m_appState.setUserPreferences(preferences);
        return;
    case A::settings: post(kOpenSettings); return;
    case A::quit:
        if (m_requestQuit)
            m_requestQuit();
        return;
    // The screen on show performs these on its own work.
    case A::openImage:
    case A::save:
    case A::undo:
    case A::redo:
    case A::copy:
    case A::cut:
    case A::paste:
    case A::selectAll:
    case A::zoomIn:
    case A::zoomOut:
    case A::fitToScreen:
    case A::actualSize:
    case A::stopProcessing:
    case A::selectPenTool:
    case A::selectBrushTool:
    case A::selectEraserTool: return;
    }
}

} // namespace kivo
