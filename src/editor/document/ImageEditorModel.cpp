#include "ImageEditorModel.h"

#include "OpenRasterFile.h"
#include "SessionEdits.h"

#include "core/AppState.h"
#include "core/AtomicFile.h"
#include "core/Log.h"
#include "core/ImageFileLoader.h"
#include "core/NotificationCenter.h"

#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

namespace {

QList<QUuid> idsOf(const QList<EditorSession>& sessions)
{
    QList<QUuid> ids;
    ids.reserve(sessions.size());
    for (const EditorSession& session : sessions)
        ids << session.id;
    return ids;
}

qsizetype indexOf(const QList<EditorSession>& sessions, const QUuid& id)
{
    for (qsizetype i = 0; i < sessions.size(); ++i)
        if (sessions[i].id == id)
            return i;
    return -1;
}

// The selection is a copy of a layer record; it follows the layer's content so that it never
// keeps an old image alive.
void refreshSelectedLayer(EditorSession& session)
{
    if (const ImageLayer* layer = selectedLayerContent(session))
        session.selectedLayer = *layer;
}

} // namespace

ImageEditorModel::ImageEditorModel(AppState& appState, QObject* parent)
    : QObject(parent)
    , m_appState(appState)
    , m_sessionIds(idsOf(appState.editorSessions()))
{
    connect(&appState, &AppState::editorSessionsChanged, this, &ImageEditorModel::onSessionListChanged);
    connect(&appState, &AppState::activeTabChanged, this, &ImageEditorModel::onActiveTabChanged);
    connect(&NotificationCenter::defaultCenter(), &NotificationCenter::posted, this, [this](const QString& name) {
        if (name == kExportImage)
            emit exportRequested();
    });
}

ImageEditorModel::~ImageEditorModel() = default;

void ImageEditorModel::setSelectedSession(const std::optional<EditorSession>& session)
{
    const bool another = !session || !m_selectedSession || m_selectedSession->id != session->id;
    m_selectedSession = session;
    if (another) {
        m_selectionRect.reset();
        m_isFitting = true;
        emit selectionChanged();
        emit viewChanged();
    }
    // A session made with an image but no layers (a blank one) gets its base layer first.
    if (session && !baseLayer(*session) && session->currentImage
        && edit([](EditorSession& edited) { ensureBaseLayer(edited); return true; }))
        return;
    emit selectedSessionChanged();
}

void ImageEditorModel::selectSession(const std::optional<QUuid>& sessionId)
{
    if (!sessionId) {
        setSelectedSession(std::nullopt);
        return;
    }
    const QList<EditorSession>& sessions = m_appState.editorSessions();
    const qsizetype index = indexOf(sessions, *sessionId);
    if (index >= 0)
        setSelectedSession(sessions[index]);
}

void ImageEditorModel::selectLastSession()
{
    const QList<EditorSession>& sessions = m_appState.editorSessions();
    setSelectedSession(sessions.isEmpty() ? std::nullopt : std::optional(sessions.back()));
}

void ImageEditorModel::onSessionListChanged()
{
    // Only a change of the list's identities counts (a session added, removed or moved); edits
    // inside a session keep the selection.
    const QList<QUuid> ids = idsOf(m_appState.editorSessions());
    if (ids == m_sessionIds)
        return;
    m_sessionIds = ids;
    selectLastSession();
}

void ImageEditorModel::closeSession(const QUuid& sessionId)
{
    QList<EditorSession> sessions = m_appState.editorSessions();
    if (sessions.removeIf([&](const EditorSession& session) { return session.id == sessionId; }) == 0)
        return;
    m_sessionFiles.remove(sessionId);
    m_savedSteps.remove(sessionId);
    // The canvas's composition of it goes now rather than at the next paint.
    if (m_renderedSession == sessionId) {
        m_renderer.clear();
        m_renderedSession = QUuid();
    }
    m_appState.setEditorSessions(sessions);
}

void ImageEditorModel::onActiveTabChanged()
{
    if (m_appState.activeTab() == AppTab::imageEditor && !m_appState.editorSessions().isEmpty())
        selectLastSession();
}

void ImageEditorModel::ensureSelectedSession()
{
    if (m_selectedSession)
        return;
    if (!m_appState.editorSessions().isEmpty())
        selectLastSession();
    else
        createDefaultSession();
}

void ImageEditorModel::createDefaultSession()
{
    m_appState.appendEditorSession(makeDefaultSession());
    // The list's reaction selects the new, last session.
}

void ImageEditorModel::createNamedSession(const QString& name)
{
    if (name.isEmpty())
        return;
    m_appState.appendEditorSession(makeNamedSession(name));
}

bool ImageEditorModel::edit(const std::function<bool(EditorSession&)>& change, QUuid sessionId)
{
    if (sessionId.isNull()) {
        if (!m_selectedSession)
            return false;
        sessionId = m_selectedSession->id;
    }
    QList<EditorSession> sessions = m_appState.editorSessions();
    const qsizetype index = indexOf(sessions, sessionId);
    if (index < 0)
        return false;
    EditorSession copy = sessions[index];
    if (!change(copy))
        return false;
    refreshSelectedLayer(copy);
    sessions[index] = copy;
    const bool isSelected = m_selectedSession && m_selectedSession->id == sessionId;
    if (isSelected)
        m_selectedSession = copy;
    m_appState.setEditorSessions(sessions);
    if (isSelected)
        emit selectedSessionChanged();
    return true;
}

void ImageEditorModel::importImageFiles(const QList<QUrl>& urls)
{
    // OpenRaster files open as sessions of their own.
    QList<QUrl> files;
    for (const QUrl& url : urls) {
        if (url.isLocalFile() && url.toLocalFile().endsWith(QStringLiteral(".ora"), Qt::CaseInsensitive))
            openSessionFile(url.toLocalFile());
        else
            files << url;
    }
    if (!m_selectedSession || files.isEmpty())
        return;
    const QUuid sessionId = m_selectedSession->id;
    auto* watcher = new QFutureWatcher<QList<std::pair<QUrl, QImage>>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, sessionId] {
        for (const auto& [url, image] : watcher->result()) {
            m_selectedImage = image;
            edit([&](EditorSession& session) { kivo::importImage(session, url.fileName(), image); return true; },
                 sessionId);
        }
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [files] {
        QList<std::pair<QUrl, QImage>> loaded;
        for (const QUrl& url : files) {
            const QImage image = url.isLocalFile() ? loadImageFile(url.toLocalFile()) : QImage();
            if (!image.isNull())
                loaded.append({url, image});
        }
        return loaded;
    }));
}

void ImageEditorModel::saveSessionAs(const QString& path)
{
    if (!m_selectedSession)
        return;
    const EditorSession session = *m_selectedSession;
    m_sessionFiles.insert(session.id, path);
    m_savedSteps.insert(session.id, {session.currentHistoryIndex, session.history.size()});
    auto* watcher = new QFutureWatcher<QString>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        if (!watcher->result().isEmpty())
            emit alertRequested(watcher->result());
    });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [session, path] {
        if (const auto failure = saveSessionFile(path, session))
            return *failure;
        logLine(QStringLiteral("Session saved to: ") + path);
        return QString();
    }));
}

bool ImageEditorModel::saveSession()
{
    const auto file = sessionFile();
    if (!file)
        return false;
    saveSessionAs(*file);
    return true;
}

std::optional<QString> ImageEditorModel::sessionFile() const
{
    if (!m_selectedSession || !m_sessionFiles.contains(m_selectedSession->id))
        return std::nullopt;
    return m_sessionFiles.value(m_selectedSession->id);
}

QList<QUuid> ImageEditorModel::unsavedSessions() const
{
    QList<QUuid> unsaved;
    for (const EditorSession& session : m_appState.editorSessions()) {
        if (session.history.isEmpty())
            continue;
        const auto saved = m_savedSteps.constFind(session.id);
        if (saved == m_savedSteps.constEnd() || saved->first != session.currentHistoryIndex
            || saved->second != session.history.size())
            unsaved << session.id;
    }
    return unsaved;
}

QList<QUuid> ImageEditorModel::saveAllWithFiles()
{
    QList<QUuid> withoutFile;
    for (const EditorSession& session : m_appState.editorSessions()) {
        if (!unsavedSessions().contains(session.id))
            continue;
        const QString path = m_sessionFiles.value(session.id);
        if (path.isEmpty()) {
            withoutFile << session.id;
            continue;
        }
        if (saveSessionFile(path, session))
            withoutFile << session.id;
        else
            m_savedSteps.insert(session.id, {session.currentHistoryIndex, session.history.size()});
    }
    return withoutFile;
}

void ImageEditorModel::openSessionFile(const QString& path)
{
    using Opened = std::variant<OpenedDocument, QString>;
    auto* watcher = new QFutureWatcher<Opened>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, path] {
        watcher->deleteLater();
        const Opened opened = watcher->result();
        if (const auto* failure = std::get_if<QString>(&opened)) {
            emit alertRequested(*failure);
            return;
        }
        const OpenedDocument& document = std::get<OpenedDocument>(opened);
        m_sessionFiles.insert(document.session.id, path);
        m_savedSteps.insert(document.session.id, {document.session.currentHistoryIndex, document.session.history.size()});
        m_appState.appendEditorSession(document.session);
        if (!document.dropped.isEmpty())
            emit alertRequested(document.dropped.join(QLatin1Char('\n')));
    });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [path] { return readSessionFile(path); }));
}

void ImageEditorModel::importImage(const QUrl& url, const QImage& image)
{
    edit([&](EditorSession& session) { kivo::importImage(session, url.fileName(), image); return true; });
}

void ImageEditorModel::addLayer()
{
    edit([](EditorSession& session) { kivo::addLayer(session); return true; });
}

void ImageEditorModel::deleteLayer(const QUuid& layerId)
{
    edit([&](EditorSession& session) { return kivo::deleteLayer(session, layerId); });
}

void ImageEditorModel::renameLayer(const QUuid& layerId, const QString& name)
{
    edit([&](EditorSession& session) { return kivo::renameLayer(session, layerId, name); });
}

void ImageEditorModel::duplicateLayer(const QUuid& layerId)
{
    edit([&](EditorSession& session) { return kivo::duplicateLayer(session, layerId); });
}

void ImageEditorModel::selectLayer(const QUuid& layerId)
{
    edit([&](EditorSession& session) { return kivo::selectLayer(session, layerId); });
}

void ImageEditorModel::toggleLayerVisibility(const QUuid& layerId)
{
    edit([&](EditorSession& session) { return kivo::toggleLayerVisibility(session, layerId); });
}

void ImageEditorModel::setLayerOpacity(const QUuid& layerId, double opacity)
{
    edit([&](EditorSession& session) { return kivo::setLayerOpacity(session, layerId, opacity); });
}

void ImageEditorModel::previewLayerOpacity(const QUuid& layerId, double opacity)
{
    edit([&](EditorSession& session) { return kivo::setLayerOpacity(session, layerId, opacity, false); });
}

void ImageEditorModel::setLayerBlendMode(const QUuid& layerId, BlendMode mode)
{
    edit([&](EditorSession& session) { return kivo::setLayerBlendMode(session, layerId, mode); });
}

void ImageEditorModel::moveLayer(const QUuid& draggedLayerId, const QUuid& targetLayerId)
{
    edit([&](EditorSession& session) { return kivo::moveLayer(session, draggedLayerId, targetLayerId); });
}

void ImageEditorModel::updateLayerImage(const QImage& image, const QUuid& layerId, const QString& action)
{
    edit([&](EditorSession& session) { return kivo::updateLayerImage(session, image, layerId, action); });
}

void ImageEditorModel::setCanvasBackground(CanvasBackground background)
{
    edit([&](EditorSession& session) { return kivo::setCanvasBackground(session, background); });
}

void ImageEditorModel::setCustomBackgroundColor(const QColor& color)
{
    edit([&](EditorSession& session) { return kivo::setCustomBackgroundColor(session, color); });
}

bool ImageEditorModel::canUndo() const
{
    return m_selectedSession && kivo::canUndo(*m_selectedSession);
}

bool ImageEditorModel::canRedo() const
{
    return m_selectedSession && kivo::canRedo(*m_selectedSession);
}

void ImageEditorModel::undo()
{
    stepHistory(false);
}

void ImageEditorModel::redo()
{
    stepHistory(true);
}

void ImageEditorModel::stepHistory(bool forward)
{
    if (!m_selectedSession || m_isRestoringHistory || !(forward ? canRedo() : canUndo()))
        return;
    const EditorSession& session = *m_selectedSession;
    const int target = session.currentHistoryIndex + (forward ? 1 : -1);
    if (!session.documentHistory.isResident(target)) {
        m_isRestoringHistory = true;
        emit restoringHistoryChanged();
        auto* watcher = new QFutureWatcher<void>(this);
        connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, forward] {
            watcher->deleteLater();
            m_isRestoringHistory = false;
            emit restoringHistoryChanged();
            stepHistory(forward);
        });
        watcher->setFuture(session.documentHistory.restore(target));
        return;
    }
    const QSize before = documentSize(session);
    edit([forward](EditorSession& edited) { return forward ? kivo::redo(edited) : kivo::undo(edited); });
    // Undoing or redoing a crop changes the document's size: the selection no longer fits.
    if (m_selectedSession && documentSize(*m_selectedSession) != before)
        setSelectionRect(std::nullopt);
}

void ImageEditorModel::toggleFilter(FilterType type, bool enabled)
{
    edit([&](EditorSession& session) { return kivo::toggleFilter(session, type, enabled); });
}

const QImage& ImageEditorModel::composition(QRect* changed)
{
    // Another session starts from a clean slate.
    const QUuid shown = m_selectedSession ? m_selectedSession->id : QUuid();
    if (shown != m_renderedSession) {
        m_renderer.clear();
        m_renderedSession = shown;
    }
    return m_renderer.render(m_selectedSession ? documentOf(*m_selectedSession) : DocumentState{}, changed);
}

void ImageEditorModel::setCanvasSize(const QSizeF& size)
{
    if (m_canvasSize == size)
        return;
    m_canvasSize = size;
    emit viewChanged();
}

CanvasView ImageEditorModel::canvasView() const
{
    const QSize document = m_selectedSession ? documentSize(*m_selectedSession) : QSize();
    if (m_isFitting || document != m_viewDocumentSize)
        return CanvasView::fitted(m_canvasSize, document);
    return m_view;
}

void ImageEditorModel::setView(const CanvasView& view)
{
    constexpr double minimumScale = 0.02, maximumScale = 32.0;
    CanvasView bounded = view;
    if (view.scale < minimumScale || view.scale > maximumScale) {
        const double factor = std::clamp(view.scale, minimumScale, maximumScale) / canvasView().scale;
        const QPointF centre(m_canvasSize.width() / 2, m_canvasSize.height() / 2);
        bounded = canvasView().zoomedAt(factor, centre);
    }
    m_view = bounded;
    m_isFitting = false;
    m_viewDocumentSize = m_selectedSession ? documentSize(*m_selectedSession) : QSize();
    emit viewChanged();
}

void ImageEditorModel::zoomAt(double factor, const QPointF& widgetPoint)
{
    setView(canvasView().zoomedAt(factor, widgetPoint));
}

void ImageEditorModel::zoomIn()
{
    zoomAt(1.25, QPointF(m_canvasSize.width() / 2, m_canvasSize.height() / 2));
}

void ImageEditorModel::zoomOut()
{
    zoomAt(1 / 1.25, QPointF(m_canvasSize.width() / 2, m_canvasSize.height() / 2));
}

void ImageEditorModel::zoomToFit()
{
    m_isFitting = true;
    emit viewChanged();
}

void ImageEditorModel::zoomToActualSize()
{
    zoomAt(1.0 / canvasView().scale, QPointF(m_canvasSize.width() / 2, m_canvasSize.height() / 2));
}

void ImageEditorModel::panBy(const QPointF& widgetDelta)
{
    CanvasView view = canvasView();
    view.origin += widgetDelta;
    setView(view);
}

bool ImageEditorModel::isFilterEnabled(FilterType type) const
{
    return m_selectedSession && m_selectedSession->enabledFilterNames.contains(filterName(type));
}

} // namespace kivo
