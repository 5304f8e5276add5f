#pragma once

#include "core/AppState.h"
#include "core/KeychainHelper.h"

#include <QTemporaryDir>
#include <QUuid>

namespace kivo::test {

// An application state over its own per-user defaults and its own credentials (a Secret Service
// collection name of its own, and a private fallback file), all in a temporary folder: nothing a
// test does reaches the user's real settings or another test running beside it.
struct IsolatedAppState {
    QTemporaryDir folder;
    DefaultsStore store{folder.filePath(QStringLiteral("defaults.ini"))};
    PreferenceManager preferences{store};
    KeychainHelper keychain{KeychainHelper::Options{
        QStringLiteral("kivopro-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces),
        folder.filePath(QStringLiteral("credentials.json")), std::chrono::seconds(2)}};
    AppState appState{store, preferences, keychain};
};

} // namespace kivo::test
