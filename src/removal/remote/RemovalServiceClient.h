#pragma once

#include "RemoteHttpExchange.h"
#include "RemoteResponse.h"
#include "UploadPacing.h"
#include "removal/engine/RemovalOptions.h"

#include "core/DomainModel.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace kivo {

class KeychainHelper;

// What the client needs from the application state, copied on the window's thread when a call
// is made (the state itself never leaves that thread).
struct RemoteServiceSnapshot {
    // The preferences' backendBaseURLString: the API base URL follows it (see RemoteEndpoint.h).
    QString backendBaseURLString;
    // The signed-in account, if any: its apiKey comes before the credential store's key.
    std::optional<AccountInfo> accountInfo;
    // The processing settings the service applies to the cut-out (quality, refinement and
    // colour clean-up, crisp edges), so that a remote result matches the local engine's. Not
    // sent when absent: the service's plain output.
    std::optional<RemovalOptions> options = std::nullopt;
};

// The remote engine ("Kivo Model"): uploads one image to the removal service as a multipart
// form and gets the cut-out back as base64 text in JSON.
//
// The key goes into the "X-API-KEY" header as it is (a key of spaces too); an absent or empty
// key stops the call before anything is sent ("Missing API key"), and so does a key holding a
// line break, which would split the header ("Invalid API key").
//
// Both calls follow the upload rules (UploadPacing.h): a few requests in flight, each with a
// time limit from when it is sent; a busy or unreachable service is tried again.
//
// Thread use: both calls may come from any thread except the client's own network thread; the
// HTTP exchange runs there. Destroying the client cancels the requests in flight: batch
// callbacks still arrive (with the cancellation text) and waiting monitor calls return.
class RemovalServiceClient {
public:
    struct Options {
        UploadRules upload;
        // How long the folder monitor's call waits for the answer; when it gives up, the upload
        // is not tried again.
        std::chrono::milliseconds monitorWait{30000};
    };

    // Called on the context object's thread with the task's index in the list that was passed in.
    using BatchCallback = std::function<void(qsizetype index, const RemoteRemovalOutcome& outcome)>;
    using ProgressCallback = std::function<void(qsizetype index, const UploadProgress& progress)>;

    explicit RemovalServiceClient(const KeychainHelper& keychain);
    RemovalServiceClient(const KeychainHelper& keychain, Options options);
    ~RemovalServiceClient();

    RemovalServiceClient(const RemovalServiceClient&) = delete;
    RemovalServiceClient& operator=(const RemovalServiceClient&) = delete;

    // Batch tab: uploads tasks[index] (the photo's bytes as read when the task was made, under
    // the file's name; the file as it is now when they were not kept). Returns at once; the
    // upload waits in the client for its place. The outcome (always one, unless the index is out
    // of range) is delivered by a queued call to onOutcome on context's thread, and so is each
    // step of the upload to onProgress. The tab applies them to the task at that index if it
    // still exists. Nothing is delivered once context is destroyed. Uploads given the same run
    // end together when the service refuses the key or has no credits left.
    void removeBackgroundRemotely(qsizetype index, const QList<ImageProcessingTask>& tasks,
                                  const RemoteServiceSnapshot& snapshot, QObject* context, BatchCallback onOutcome,
                                  std::shared_ptr<UploadRun> run = {}, ProgressCallback onProgress = {});

    // "Max concurrent processes": the requests in flight from now on (clamped to 1 … 8).
    void setMaxUploadsInFlight(qint64 count);
    const UploadRules& uploadRules() const { return m_options.upload; }

    // Folder monitor: blocks the calling thread until the cut-out arrives or the monitor wait
    // passes, and returns it or nothing. Only logs; a late answer is dropped safely.
    std::optional<QImage> removeBackgroundWithService(const QImage& image, const RemoteServiceSnapshot& snapshot);

    // Ends the requests in flight and every later one at once, as destruction does, while the
    // client stays usable for callers that have not noticed yet.
    void cancelRequests() { m_exchange.close(); }

private:
    const KeychainHelper& m_keychain;
    Options m_options;
    RemoteHttpExchange m_exchange;
};

// The API key: the account's own key when the account has one (an empty key counts and is kept),
// otherwise the credential store's "kivopro_api_key".
std::optional<QString> resolveRemovalApiKey(const std::optional<AccountInfo>& accountInfo,
                                            const KeychainHelper& keychain);

// A double in its shortest round-trip decimal form, always with a fraction ("1712345678.0",
// "1712345678.25"): the monitor's upload names use it for the current time.
QString shortestDecimalText(double value);

} // namespace kivo
