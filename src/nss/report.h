// What the store is made of, for a person finding out why a certificate or a card does not
// appear: the database in use and why, each module of pkcs11.txt and whether it loaded, each
// slot with its token, and which token each listed certificate is on. Never logs in, never
// prompts: only what NSS and the tokens tell without a PIN.
//
// Locking: takes lock() itself.
#pragma once

#include <string>
#include <vector>

namespace nsslayer {

// One record a line, `KIND` then tab-separated `key=value` fields (a backslash, tab, line feed or
// carriage return in a value written as \\, \t, \n, \r):
//   database     path, reason, state (open, missing, broken), error (when broken)
//   module       name, library, state (loaded, loading, failed), error (when failed)
//   slot         module (empty for the database's), database (yes/no), reader, present (yes/no),
//                and with a token: label, manufacturer, model, serial, login (yes/no),
//                loggedIn, countLow, finalTry, locked, pinPad (yes/no), certificates (listed)
//   certificate  sha1 (of the DER, lowercase hex), token (the label of its token), database
// The store is opened as every service opens it, so the report follows the disk as they do.
// May throw std::bad_alloc.
std::vector<std::string> describeStore();

}  // namespace nsslayer
