#pragma once

#include <QDesktopServices>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

namespace kivo::test {

// An address on this machine where nothing listens: connections to it are refused.
inline QString closedAddress()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort());
}

// Takes the browser's place while it lives: every address the application hands to the
// desktop, whatever its scheme, is kept here instead of being opened.
class BrowserRecorder : public QObject {
    Q_OBJECT
public:
    BrowserRecorder()
    {
        for (const char* scheme : kSchemes)
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }
    ~BrowserRecorder() override
    {
        for (const char* scheme : kSchemes)
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }

    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }

private:
    static constexpr const char* kSchemes[] = {"http", "https", "javascript", "file", "mailto"};
};

} // namespace kivo::test
