#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace kivo {

// The address with every "/" removed from both ends; nothing else is trimmed. Backend paths are
// appended to what is left.
QString trimSlashes(const QString& address);

// An http or https address with a host: the only kind the application hands to the browser or
// the HTTP layer. Backend answers may carry anything ("javascript:", "file:"), and the browser
// would act on those too.
bool isWebAddress(const QUrl& url);

// A "Server" entry as the user typed it, made into a backend address: surrounding white space
// trimmed, "https://" put in front when no scheme is given, trailing "/" dropped. Absent when the
// result is still not a web address ("ftp://x", "my server", "").
std::optional<QString> normalizedServerAddress(const QString& typed);

// Whether two backend addresses name the same server: scheme, host and port (the scheme's
// default when none is given) and path, compared after normalising both. Two addresses of which
// either is not a web address are never the same server.
bool isSameServer(const QString& first, const QString& second);

// Opens the address in the default browser when it is a web address; otherwise nothing happens.
// True when the browser was asked.
bool openWebAddress(const QUrl& url);

} // namespace kivo
