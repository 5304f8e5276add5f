#pragma once

#include "AccountStore.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <string>

namespace kivo::service {

// The plain pages the application's links lead to. Every value placed in a page is HTML-escaped.
std::string homePage(const QString& baseURL);
std::string profilePage(const QString& baseURL);
std::string profileTransactionsPage();
std::string transactionPage(const std::optional<ServiceTransaction>& transaction);

// A round avatar in a colour of the account's own, as PNG.
QByteArray avatarPNG(qint64 accountId);

} // namespace kivo::service
