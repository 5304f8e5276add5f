#pragma once

#include "core/StrictDecoding.h"

#include <QByteArray>
#include <QImage>
#include <QString>

#include <optional>

namespace kivo {

// What came back for one request: either no HTTP answer at all (transportError holds the HTTP
// layer's description: no connection, time-out, TLS failure, cancelled) or a status and a body.
struct RemoteHttpResult {
    std::optional<QString> transportError;
    int status = 0;
    QByteArray body;
};

// The outcome of one batch upload: the cut-out, or the text the task's card shows.
struct RemoteRemovalOutcome {
    std::optional<QImage> image;
    QString error;
};

// A 200 answer's cut-out: the body must be a JSON object whose "image_base64" string is strict
// standard base64 (padding required; a line break or any other byte outside the alphabet
// rejects it) of bytes that decode as an image.
std::optional<QImage> decodeRemovalResponseImage(const QByteArray& body);

// The batch tab's reading of an answer, with its failure texts.
RemoteRemovalOutcome batchRemovalOutcome(const RemoteHttpResult& result);

// The folder monitor's reading of an answer: the image, or the text for its error cell. Logs the
// monitor's "[AppState] Kivo API …" lines.
struct MonitorRemovalOutcome {
    std::optional<QImage> image;
    std::optional<QString> error;
};
MonitorRemovalOutcome monitorRemovalOutcome(const RemoteHttpResult& result);

} // namespace kivo
