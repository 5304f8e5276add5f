#pragma once

#include <QString>

namespace kivo::service {

class AccountStore;
class PrivateImageFolder;

// Earlier versions kept the accounts and transactions in one JSON file (and the previews in a
// folder "<file name>-images" beside it). This moves such a file's contents into the store,
// once per file: the accounts keep their credits, passwords and keys, their transactions and
// the previews that still exist get new unguessable names. Accounts whose e-mail address or key
// the store already has are skipped. The file itself is left as it is.
//
// True with a one-line summary, or false with the reason.
bool importAccountsFile(AccountStore& store, const QString& path, const PrivateImageFolder& images, QString* message);

} // namespace kivo::service
