#pragma once

// The service run in-process on a free loopback port with a SQLite store in a temporary folder
// and one account ("key-ada", 5 credits), plus ways to talk to it byte for byte.

#include "AccountStore.h"
#include "ServiceServer.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <httplib.h>

#include <chrono>
#include <memory>

namespace kivo::test {

// A blocking TCP connection for probes the HTTP client library cannot make.
class RawConnection {
public:
    explicit RawConnection(int port);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    // False when the server has closed or reset the connection.
    bool send(const QByteArray& bytes);
    // What arrives within the time: until the server closes, the time is up, or nothing more
    // comes for a moment after the first bytes.
    QByteArray receive(std::chrono::milliseconds timeout);
    // Sends `head`, then `filler` again and again until the server answers or `limit` bytes
    // are out; returns the answer's first bytes and sets `sent`.
    QByteArray streamUntilAnswered(const QByteArray& head, const QByteArray& filler, qint64 limit, qint64* sent);
    // Whether the server has closed the connection (waits up to `timeout` for it).
    bool closedByServer(std::chrono::milliseconds timeout);

private:
    int m_fd = -1;
};

class ServiceFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Tests that need other limits set them here before SetUp starts the server.
    virtual void adjust(service::ServiceServer::Options&) {}

    httplib::Result removal(const std::string& key, const httplib::MultipartFormDataItems& items);
    qint64 credits() const;
    // Sends the bytes and returns everything the server answers until it closes.
    QByteArray rawExchange(const QByteArray& request);

    static QJsonObject jsonObject(const std::string& body)
    {
        return QJsonDocument::fromJson(QByteArray::fromStdString(body)).object();
    }

    QTemporaryDir folder;
    std::unique_ptr<service::AccountStore> store;
    service::ServiceAccount account;
    std::size_t maxBytes = 50u * 1024u * 1024u;
    std::unique_ptr<service::ServiceServer> server;
    std::unique_ptr<httplib::Client> client;
};

} // namespace kivo::test
