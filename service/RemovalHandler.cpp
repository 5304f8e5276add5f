// POST /v1.0.1/remove_background: from the request head to the answer.
//
//   head (worker)   key, and one of the account's credits promised: refused (402 included)
//                   before the body is read
//   body (worker)   the form, the image's format and budget from its headers, then a place in
//                   the removal queue (a fair share per account)
//   model thread    the cut-out and the previews encoded
//   settle (worker) previews stored, then one credit taken and the transaction recorded in one
//                   database transaction; only then the 200 with the cut-out
//
// Nothing is written before the result exists, so a crash or a kill at any point before the
// answer costs no credit; a write that fails is a 503 and a log line, never a success.

#include "MultipartForm.h"
#include "ServiceHandlers.h"

#include "core/ImageFileLoader.h"
#include "core/Log.h"
#include "core/PngEncoder.h"
#include "removal/engine/LocalRemovalEngine.h"
#include "removal/engine/RemovalOptions.h"

#include <QThreadPool>

#include <algorithm>

namespace kivo::service {

namespace {

constexpr int kPreviewSize = 512;

struct RemovalJob {
    CreditReservations::Handle credit;
    RemovalQueue::PlaceHandle place;
    Responder respond;
    ServiceTransaction transaction;
    // The upload as sent; decoded on the model thread, so that waiting removals hold only
    // their compressed bytes.
    QByteArray upload;
    // The stand-in's own extension: the processing settings of the local engine.
    RemovalOptions options;
    // Set by the model thread: the answer's PNG and the two previews, or the refusal.
    QByteArray cutoutPNG;
    QByteArray originPreview;
    QByteArray outputPreview;
    std::optional<HttpResponse> refusal;
};

QByteArray previewPNG(const QImage& image)
{
    const QImage preview = (image.width() > kPreviewSize || image.height() > kPreviewSize)
        ? image.scaled(kPreviewSize, kPreviewSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)
        : image;
    return encodePNG(preview).value_or(QByteArray());
}

// On the model thread.
void cutOut(RemovalJob& job)
{
    try {
        const ImageLoadResult loaded = readImageData(job.upload, kMaxImagePixels);
        job.upload.clear();
        if (!loaded.error.isEmpty()) {
            job.refusal = jsonError(400, QStringLiteral("The image could not be decoded: ") + loaded.error);
            return;
        }
        const auto cutout = removeBackgroundLocally(loaded.image, job.options);
        if (!cutout) {
            job.refusal = jsonError(422, QStringLiteral("No foreground objects detected in the image"));
            return;
        }
        const auto png = encodePNG(*cutout);
        job.originPreview = previewPNG(loaded.image);
        job.outputPreview = previewPNG(*cutout);
        if (!png || job.originPreview.isEmpty() || job.outputPreview.isEmpty()) {
            job.refusal = jsonError(500, QStringLiteral("The cut-out could not be encoded"));
            return;
        }
        job.cutoutPNG = *png;
    } catch (const std::exception& error) {
        logLine(QStringLiteral("[kivopro-service] removal failed: ") + QString::fromLocal8Bit(error.what()));
        job.refusal = jsonError(500, QStringLiteral("The removal failed"));
    }
}

// On a worker: store the previews, take the credit with the transaction, answer.
HttpResponse settle(const HandlerContext& context, RemovalJob& job)
{
    if (job.refusal)
        return *job.refusal;
    // A cut-out that can no longer be delivered is not charged: the server is stopping, or the
    // client gave up waiting.
    if (context.removals.isStopping())
        return jsonError(503, QStringLiteral("The service is stopping; try again later"), 5);
    // A client that only shut its sending side still reads the answer.
    if (job.respond.clientGone()) {
        logLine(QStringLiteral("[kivopro-service] %1 left before its cut-out was ready; nothing charged")
                    .arg(job.transaction.ipAddress));
        return jsonError(503, QStringLiteral("The client left"));
    }

    QString error;
    const auto origin = context.images.store(job.originPreview, &error);
    const auto output = origin ? context.images.store(job.outputPreview, &error) : std::nullopt;
    const auto discardPreviews = [&] {
        for (const auto& name : {origin, output}) {
            if (name)
                context.images.remove(*name);
        }
    };
    if (!output) {
        discardPreviews();
        logLine(QStringLiteral("[kivopro-service] cannot store the previews of a removal: ") + error);
        return jsonError(503, QStringLiteral("The service cannot store results right now; try again later"), 5);
    }
    job.transaction.originImage = PrivateImageFolder::addressOf(*origin);
    job.transaction.outputImage = PrivateImageFolder::addressOf(*output);

    try {
        const AccountStore::Charge charge = context.store.chargeRemoval(job.transaction);
        // Taken (or found missing) in the database: the promise is kept or void either way.
        job.credit.reset();
        if (charge == AccountStore::Charge::noCredits) {
            discardPreviews();
            return jsonError(402, QStringLiteral("Not enough credits"));
        }
    } catch (const StoreFailure& failure) {
        discardPreviews();
        return storeFailureAnswer(failure);
    }

    // Base64 needs no JSON escaping, and the answer can be tens of megabytes: build it directly.
    HttpResponse answer{200, "application/json", R"({"image_base64":")", {}};
    answer.body += job.cutoutPNG.toBase64().toStdString();
    answer.body += "\"}";
    return answer;
}

void processRemoval(const HandlerContext& context, std::shared_ptr<RemovalJob> job, const HttpRequest& request)
{
    const auto parts = parseMultipartForm(request.header("Content-Type"), request.body);
    if (!parts) {
        job->respond(jsonError(400, QStringLiteral("The request body is not a multipart form")));
        return;
    }
    const auto qualityPart = std::find_if(parts->begin(), parts->end(), [](const FormPart& part) { return part.name == "quality"; });
    const auto quality = qualityPart == parts->end()
        ? std::optional(ProcessingQuality::balanced)
        : qualityFromName(QString::fromUtf8(qualityPart->content.data(), qsizetype(qualityPart->content.size())));
    if (!quality) {
        job->respond(jsonError(400, QStringLiteral("quality must be fast, balanced or high")));
        return;
    }
    job->options.quality = *quality;
    // The client's edge settings, so that its remote cut-outs match its local ones.
    const auto field = [&parts](const char* name) -> std::optional<QString> {
        const auto part = std::find_if(parts->begin(), parts->end(), [name](const FormPart& p) { return p.name == name; });
        if (part == parts->end())
            return std::nullopt;
        return QString::fromUtf8(part->content.data(), qsizetype(part->content.size())).trimmed();
    };
    if (const auto refine = field("refine")) {
        bool isNumber = false;
        const double strength = refine->toDouble(&isNumber);
        if (!isNumber || !(strength >= 0.0 && strength <= 1.0)) {
            job->respond(jsonError(400, QStringLiteral("refine must be a number from 0 to 1")));
            return;
        }
        job->options.edgeRefinement = strength;
    }
    if (const auto hardEdges = field("hard_edges")) {
        if (*hardEdges != u"true" && *hardEdges != u"false") {
            job->respond(jsonError(400, QStringLiteral("hard_edges must be true or false")));
            return;
        }
        job->options.preserveFineDetails = *hardEdges == u"false";
    }
    const auto image = std::find_if(parts->begin(), parts->end(), [](const FormPart& part) { return part.name == "image"; });
    if (image == parts->end() || image->content.empty()) {
        job->respond(jsonError(400, QStringLiteral("No image in the request")));
        return;
    }
    job->upload = QByteArray(image->content.data(), qsizetype(image->content.size()));
    if (const QString error = checkImageData(job->upload, kMaxImagePixels); !error.isEmpty()) {
        job->respond(jsonError(400, QStringLiteral("The image could not be decoded: ") + error));
        return;
    }
    job->transaction.siteURL = fromStd(request.queryItem("site_url"));
    job->place = context.removals.reserve(job->transaction.accountId);
    if (!job->place) {
        const int seconds = context.removals.retryAfterSeconds();
        job->respond(jsonError(
            503, QStringLiteral("The service is busy with other removals; try again in %1 s").arg(seconds), seconds));
        return;
    }

    context.removals.run([&context, job](const QString& modelError) {
        if (modelError.isEmpty())
            cutOut(*job);
        else
            job->refusal = jsonError(503, modelError, 10);
        context.workers.start([&context, job] { job->respond(settle(context, *job)); });
    });
}

} // namespace

Admission admitRemoval(const HandlerContext& context, const HttpRequest& head)
{
    const QString apiKey = fromStd(head.header("X-API-KEY"));
    if (apiKey.isEmpty())
        return Admission::answerNow(jsonError(401, QStringLiteral("Missing API key")));
    const auto account = context.store.accountForApiKey(apiKey);
    if (!account)
        return Admission::answerNow(jsonError(401, QStringLiteral("Invalid API key")));
    if (const QString modelError = context.removals.modelError(); !modelError.isEmpty())
        return Admission::answerNow(jsonError(503, modelError, 10));
    // Credits promised to the account's removals under way count as spent.
    CreditReservations::Handle credit = context.credits.reserve(account->id, account->credits);
    if (!credit)
        return Admission::answerNow(jsonError(402, QStringLiteral("Not enough credits")));

    auto job = std::make_shared<RemovalJob>();
    job->credit = std::move(credit);
    job->transaction.accountId = account->id;
    job->transaction.createdAt = QDateTime::currentDateTimeUtc();
    job->transaction.transactionType = QStringLiteral("remove_background");
    job->transaction.creditChange = -1;
    job->transaction.route = fromStd(head.path);
    job->transaction.ipAddress = clientAddress(context, head);
    job->transaction.description = QStringLiteral("Background removal");
    return Admission{std::nullopt, context.maxRequestBytes,
                     [&context, job](HttpRequest request, Responder respond) {
                         job->respond = std::move(respond);
                         processRemoval(context, job, request);
                     },
                     {}};
}

} // namespace kivo::service
