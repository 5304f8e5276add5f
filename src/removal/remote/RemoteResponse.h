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
    // No connection could be made, or it dropped before an answer came: worth another try.
    bool connectionFailed = false;
    // The upload was never sent: its run stopped or was cancelled, or the client closed.
    bool notSent = false;
    int status = 0;
    QByteArray body;
    // The answer's Retry-After, in seconds.
    std::optional<int> retryAfterSeconds;
};

// The outcome of one batch upload: the cut-out, or the sentence the task's card shows.
struct RemoteRemovalOutcome {
    std::optional<QImage> image;
    QString error;
    // The HTTP status when an answer came, for the log; 0 otherwise.
    int status = 0;
    // The answer ends the run's other uploads (the key refused, no credits left).
    bool stopsRun = false;
    // Never sent (see RemoteHttpResult::notSent): the task stays as it was.
    bool notSent = false;
};

// A 200 answer's cut-out: the body must be a JSON object whose "image_base64" string is strict
// standard base64 (padding required; a line break or any other byte outside the alphabet
// rejects it) of bytes that decode as an image.
std::optional<QImage> decodeRemovalResponseImage(const QByteArray& body);

// The batch tab's reading of an answer, with its failure sentences.
RemoteRemovalOutcome batchRemovalOutcome(const RemoteHttpResult& result);

// The sentence a failed answer gives the user: the service's own {"error": …} text made a
// sentence, or what the status means; never the wire format.
QString removalFailureSentence(const RemoteHttpResult& result);

// The answers after which no other upload of the run can succeed.
bool stopsUploadRun(const RemoteHttpResult& result);

// One line for the log: the status (or the transport failure) and the service's text.
QString removalFailureLogText(const RemoteHttpResult& result);

// The folder monitor's reading of an answer: the image, or the text for its error cell. Logs the
// monitor's "[AppState] Kivo API …" lines.
struct MonitorRemovalOutcome {
    std::optional<QImage> image;
    std::optional<QString> error;
};
MonitorRemovalOutcome monitorRemovalOutcome(const RemoteHttpResult& result);

} // namespace kivo
