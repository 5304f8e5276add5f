#pragma once

// Shared by the remote client's tests: a client whose credential store is a private file in a
// temporary folder, and a way to run one batch upload to its end.

#include "core/KeychainHelper.h"
#include "removal/remote/RemovalServiceClient.h"

#include "support/TestSupport.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <httplib.h>

#include <optional>
#include <thread>

namespace kivo::test {

class RemoteClientFixture : public ::testing::Test {
protected:
    QTemporaryDir folder;
    KeychainHelper keychain{KeychainHelper::Options{QStringLiteral("kivopro-remote-test"),
                                                    folder.filePath(QStringLiteral("credentials.json")),
                                                    std::chrono::seconds(3)}};

    // Fixed time limits, and quick retries so that a refused connection fails within a second.
    static RemovalServiceClient::Options quickOptions(std::chrono::milliseconds requestTimeout,
                                                      std::chrono::milliseconds monitorWait = std::chrono::seconds(30))
    {
        RemovalServiceClient::Options options;
        options.upload.baseTimeout = requestTimeout;
        options.upload.timeoutPerMegapixel = std::chrono::milliseconds(0);
        options.upload.timeoutPerRequestAhead = std::chrono::milliseconds(0);
        options.upload.firstReconnectDelay = std::chrono::milliseconds(50);
        options.upload.longestRetryDelay = std::chrono::milliseconds(200);
        options.upload.maxAttempts = 3;
        options.monitorWait = monitorWait;
        return options;
    }

    static RemoteServiceSnapshot snapshotWithKey(const QString& baseURL, std::optional<QString> apiKey)
    {
        AccountInfo account;
        account.apiKey = std::move(apiKey);
        return RemoteServiceSnapshot{baseURL, account};
    }

    struct BatchResult {
        qsizetype index = -1;
        RemoteRemovalOutcome outcome;
        bool onContextThread = false;
    };

    // Starts the upload from a thread without an event loop, as the batch tab's worker does, and
    // waits for the outcome on this (the window's) thread.
    static std::optional<BatchResult> runBatch(RemovalServiceClient& client, qsizetype index,
                                               const QList<ImageProcessingTask>& tasks,
                                               const RemoteServiceSnapshot& snapshot,
                                               std::chrono::milliseconds timeout = std::chrono::seconds(20))
    {
        QObject context;
        std::optional<BatchResult> result;
        std::thread worker([&] {
            client.removeBackgroundRemotely(index, tasks, snapshot, &context,
                                            [&](qsizetype doneIndex, const RemoteRemovalOutcome& outcome) {
                                                result = BatchResult{doneIndex, outcome,
                                                                     QThread::currentThread() == context.thread()};
                                            });
        });
        worker.join();
        waitUntil([&] { return result.has_value(); }, timeout);
        return result;
    }

    QString writeFile(const QString& name, const QByteArray& bytes) const
    {
        const QString path = folder.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            ADD_FAILURE() << "cannot write " << path.toStdString();
        return path;
    }

    // A task as the batch tab makes it: the file's bytes kept when the file exists.
    static ImageProcessingTask taskFor(const QString& path)
    {
        ImageProcessingTask task;
        task.originalURL = QUrl::fromLocalFile(path);
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            task.originalImage = ImageCache::shared()
                                     .store(file.readAll(), QFileInfo(path).suffix(), QImage(), QSize())
                                     .value_or(CachedImage());
        return task;
    }

    static QImage sampleImage()
    {
        QImage image(32, 24, QImage::Format_ARGB32);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, qRgba(x * 8, y * 10, 128, 255 - x));
        return image;
    }

    static QByteArray encoded(const QImage& image, const char* format)
    {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, format);
        return bytes;
    }

    // A service answer carrying the image as base64.
    static void answerWithImage(httplib::Response& response, const QImage& image)
    {
        const QJsonObject object{{"image_base64", QString::fromLatin1(encoded(image, "PNG").toBase64())},
                                 {"credits_left", 3}};
        response.set_content(QJsonDocument(object).toJson().toStdString(), "application/json");
    }
};

} // namespace kivo::test
