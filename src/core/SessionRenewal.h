#pragma once

#include "DomainModel.h"

#include <QJsonObject>
#include <QString>

#include <functional>
#include <optional>

namespace kivo {

// The network half of renewing a stored sign-in: the backend's sign-in exchange with the stored
// API key. The account layer implements it and the main window installs it into AppState, which
// keeps the rules of when to renew and what to do with the answer.
class SessionRenewal {
public:
    // The account the backend answered with, or nothing when it gave no usable answer (no
    // connection, another status, a body that is not JSON).
    using Completion = std::function<void(std::optional<AccountInfo>)>;

    virtual ~SessionRenewal() = default;

    // Sends the sign-in for `apiKey` to the backend at `backendBaseURLString`. False, and no
    // completion, when no request address can be made from it; otherwise `done` runs exactly once,
    // on the calling (window's) thread, unless the renewal is destroyed first.
    virtual bool renew(const QString& backendBaseURLString, const QString& apiKey, const QJsonObject& deviceInfo,
                       Completion done) = 0;
};

} // namespace kivo
