#pragma once

#include <QString>
#include <QUrl>

namespace kivo {

// The address with every "/" removed from both ends; nothing else is trimmed. Backend paths are
// appended to what is left.
QString trimSlashes(const QString& address);

// An http or https address with a host: the only kind the application hands to the browser or
// the HTTP layer. Backend answers may carry anything ("javascript:", "file:"), and the browser
// would act on those too.
bool isWebAddress(const QUrl& url);

// Opens the address in the default browser when it is a web address; otherwise nothing happens.
// True when the browser was asked.
bool openWebAddress(const QUrl& url);

} // namespace kivo
