// kivopro-drag-source: a window that drags files and folders to other programs, as a file
// manager does, for trying drops on the real application under Xvfb, where there is no file
// manager. Press the mouse in the window and move it away (xdotool mousedown, mousemove, mouseup
// will do): the paths go as a "text/uri-list" through the X11 drag-and-drop protocol.
//
//   kivopro-drag-source [--at X,Y] PATH...

#include <QApplication>
#include <QDrag>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

#include <cstdio>

namespace {

class DragSource : public QLabel {
public:
    explicit DragSource(QList<QUrl> urls)
        : m_urls(std::move(urls))
    {
        QStringList names;
        for (const QUrl& url : std::as_const(m_urls))
            names << url.fileName();
        setText(QStringLiteral("Drag me: %1").arg(names.join(QStringLiteral(", "))));
        setAlignment(Qt::AlignCenter);
        setMargin(12);
        setStyleSheet(QStringLiteral("background: #fff3c4; border: 2px solid #c8a000;"));
    }

protected:
    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() != Qt::LeftButton)
            return;
        auto* mime = new QMimeData;
        mime->setUrls(m_urls);
        auto* drag = new QDrag(this);
        drag->setMimeData(mime);
        const Qt::DropAction action = drag->exec(Qt::CopyAction | Qt::LinkAction, Qt::CopyAction);
        std::printf("drag ended: %s\n", action == Qt::IgnoreAction ? "refused" : "dropped");
        std::fflush(stdout);
    }

private:
    QList<QUrl> m_urls;
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    QPoint at(0, 0);
    if (arguments.size() >= 2 && arguments.first() == QStringLiteral("--at")) {
        const QStringList xy = arguments.at(1).split(u',');
        at = QPoint(xy.value(0).toInt(), xy.value(1).toInt());
        arguments = arguments.mid(2);
    }
    QList<QUrl> urls;
    for (const QString& path : std::as_const(arguments))
        if (QFileInfo::exists(path))
            urls << QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
    if (urls.isEmpty()) {
        std::fprintf(stderr, "usage: kivopro-drag-source [--at X,Y] PATH...\n");
        return 2;
    }
    DragSource source(urls);
    source.setWindowTitle(QStringLiteral("Drag source"));
    source.setWindowFlag(Qt::WindowStaysOnTopHint);
    source.resize(320, 80);
    source.move(at);
    source.show();
    return app.exec();
}
