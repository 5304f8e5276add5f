#include "ServiceServer.h"

#include "AccountStore.h"
#include "ServiceHandlers.h"
#include "ServicePages.h"

#include "core/Log.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QUrl>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

namespace kivo::service {

namespace {

const char* const kHtmlType = "text/html; charset=utf-8";

QString fromStd(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// The request as one log line: the query is rebuilt with the API key hidden and every byte
// outside printable ASCII percent-encoded, so a request can neither leak a key nor forge lines.
QString requestLogLine(const httplib::Request& request, const httplib::Response& response)
{
    const auto printable = [](const std::string& text) {
        return QString::fromLatin1(
            QByteArray::fromStdString(text).toPercentEncoding("/:@!$&'()*+,;=-._~"));
    };
    QString target = printable(request.path);
    QStringList query;
    for (const auto& [key, value] : request.params) {
        const bool secret = QString::fromStdString(key).compare(QStringLiteral("api_key"), Qt::CaseInsensitive) == 0;
        query.append(printable(key) + u'=' + (secret ? QStringLiteral("[hidden]") : printable(value)));
    }
    if (!query.isEmpty())
        target += u'?' + query.join(u'&');
    return QStringLiteral("[kivopro-service] %1 %2 %3 %4 %5 bytes")
        .arg(fromStd(request.remote_addr), printable(request.method), target)
        .arg(response.status)
        .arg(response.body.size());
}

const char* reasonText(int status)
{
    switch (status) {
    case 400: return "Bad request";
    case 401: return "Unauthorized";
    case 404: return "Not found";
    case 405: return "Method not allowed";
    case 413: return "The request body is larger than the limit";
    case 414: return "The request address is too long";
    case 500: return "Internal server error";
    default: return "Request failed";
    }
}

} // namespace

struct ServiceServer::Impl {
    Impl(AccountStore& store, Options options)
        : options(std::move(options))
        , context{store, this->options.imageFolder, this->options.maxRequestBytes, QString()}
    {
    }

    Options options;
    HandlerContext context;
    std::unique_ptr<QTemporaryDir> temporaryImages;
    httplib::Server server;
    int port = -1;
    std::thread thread;
    std::atomic<bool> serveEnded{false};
};

ServiceServer::ServiceServer(AccountStore& store, Options options)
    : d(std::make_unique<Impl>(store, std::move(options)))
{
    // Photos of 50 megapixels and more exceed Qt's default decoding limit of 128 MB.
    if (QImageReader::allocationLimit() < 1024)
        QImageReader::setAllocationLimit(1024);

    if (d->context.imageFolder.isEmpty()) {
        d->temporaryImages = std::make_unique<QTemporaryDir>();
        if (d->temporaryImages->isValid())
            d->context.imageFolder = d->temporaryImages->path();
    }

    httplib::Server& server = d->server;
    const HandlerContext& context = d->context;
    server.set_payload_max_length(d->options.maxRequestBytes);
    // One request per connection: a refused body is left partly unread, and on a kept-alive
    // connection its rest would be read as the next request.
    server.set_keep_alive_max_count(1);

    server.Get("/", [&context](const httplib::Request& request, httplib::Response& response) {
        response.set_content(homePage(publicBaseURL(context, request)), kHtmlType);
    });
    server.Get("/profile", [&context](const httplib::Request& request, httplib::Response& response) {
        response.set_content(profilePage(publicBaseURL(context, request)), kHtmlType);
    });
    server.Get("/profile/transactions", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(profileTransactionsPage(), kHtmlType);
    });
    server.Get(R"(/transactions/(\d{1,18}))", [&context](const httplib::Request& request, httplib::Response& response) {
        const auto transaction = context.store.transaction(fromStd(request.matches[1].str()).toLongLong());
        response.status = transaction ? 200 : 404;
        response.set_content(transactionPage(transaction), kHtmlType);
    });
    server.Get(R"(/images/([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\.png))",
               [&context](const httplib::Request& request, httplib::Response& response) {
                   QFile file(QDir(context.imageFolder).filePath(fromStd(request.matches[1].str())));
                   if (!file.open(QIODevice::ReadOnly)) {
                       setJsonError(response, 404, QStringLiteral("No such image"));
                       return;
                   }
                   response.set_content(file.readAll().toStdString(), "image/png");
               });
    server.Get(R"(/avatar/(\d{1,18})\.png)", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content(avatarPNG(fromStd(request.matches[1].str()).toLongLong()).toStdString(), "image/png");
    });

    server.Post("/v1.0.1/remove_background",
                [&context](const httplib::Request& request, httplib::Response& response,
                           const httplib::ContentReader& reader) { handleRemoval(context, request, response, reader); });
    server.Post("/api/app/login",
                [&context](const httplib::Request& request, httplib::Response& response,
                           const httplib::ContentReader& reader) { handleLogin(context, request, response, reader); });
    server.Get("/api/transactions", [&context](const httplib::Request& request, httplib::Response& response) {
        handleTransactions(context, request, response);
    });

    // Every refusal carries a short readable body, including the library's own (404, 413, …).
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& response) {
            if (response.body.empty())
                setJsonError(response, response.status, QString::fromLatin1(reasonText(response.status)));
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
        QString what = QStringLiteral("unknown exception");
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& exception) {
            what = QString::fromLocal8Bit(exception.what());
        } catch (...) {
        }
        logLine(QStringLiteral("[kivopro-service] request failed: ") + what);
        setJsonError(response, 500, QString::fromLatin1(reasonText(500)));
    });
    server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
        logLine(requestLogLine(request, response));
    });
}

ServiceServer::~ServiceServer()
{
    stop();
}

bool ServiceServer::bind(QString* error)
{
    const std::string host = d->options.host.toStdString();
    if (d->options.port == 0)
        d->port = d->server.bind_to_any_port(host);
    else
        d->port = d->server.bind_to_port(host, d->options.port) ? d->options.port : -1;
    if (d->port < 0) {
        *error = QStringLiteral("cannot listen on %1 port %2").arg(d->options.host).arg(d->options.port);
        return false;
    }
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(d->options.host);
    url.setPort(d->port);
    d->context.address = url.toString();
    return true;
}

void ServiceServer::serve()
{
    d->server.listen_after_bind();
}

bool ServiceServer::start(QString* error)
{
    if (!bind(error))
        return false;
    d->serveEnded = false;
    d->thread = std::thread([this] {
        serve();
        d->serveEnded = true;
    });
    // The library offers no wait for "listening"; a stop() before that point would be lost.
    while (!d->server.is_running()) {
        if (d->serveEnded) {
            d->thread.join();
            *error = QStringLiteral("the server stopped before it was listening");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void ServiceServer::stop()
{
    if (d->thread.joinable()) {
        d->server.stop();
        d->thread.join();
    } else if (d->server.is_running()) {
        d->server.stop();
    }
}

int ServiceServer::port() const
{
    return d->port;
}

QString ServiceServer::address() const
{
    return d->context.address;
}

} // namespace kivo::service
