#pragma once

#include "core/AppState.h"
#include "core/KeychainHelper.h"

#include <QTemporaryDir>

namespace kivo::test {

// An application state over its own per-user defaults and its own credential file, both in a
// temporary folder: nothing a test does reaches the user's real settings.
struct IsolatedAppState {
    QTemporaryDir folder;
    DefaultsStore store{folder.filePath(QStringLiteral("defaults.ini"))};
    PreferenceManager preferences{store};
    AppState appState{store, preferences};
    KeychainHelper keychain{KeychainHelper::Options{QStringLiteral("kivopro-test"),
                                                    folder.filePath(QStringLiteral("credentials.json")),
                                                    std::chrono::seconds(2)}};
};

} // namespace kivo::test
