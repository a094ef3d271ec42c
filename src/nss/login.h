// Logging in to a token (a smart card, or a database with a password) for a signature, with the
// PIN asked through pinentry.
//
// Every C_Login uses a PIN just typed for it: one PK11_CheckUserPassword per entry, and only on a
// token that is not logged in at that moment (that call logs out first). No password callback is
// installed. At most three prompts per login; an empty entry, or one holding a control character
// (a byte below 0x20, or 0x7F), asks again without a C_Login; a locked token is refused without
// asking; a PIN-pad reader logs in with no PIN and asks itself.
#pragma once

#include <pk11pub.h>

#include <string>

#include "cryptoapi/cryptoapi.h"

namespace nsslayer {

// What a failed login leaves as the last error (the values Windows' smart-card providers use).
constexpr DWORD kNotLoggedIn = 0x8010006F;  // SCARD_W_CARD_NOT_AUTHENTICATED: no way to ask
constexpr DWORD kCancelled = 0x8010006E;    // SCARD_W_CANCELLED_BY_USER (or the prompt timed out)
constexpr DWORD kWrongPin = 0x8010006B;     // SCARD_W_WRONG_CHV: refused three times
constexpr DWORD kPinLocked = 0x8010006C;    // SCARD_W_CHV_BLOCKED

// Whether the token of `slot` is logged in now, asked of the token itself (PK11_IsLoggedIn may
// answer from a cache up to a second old). Call with lock() held.
bool loggedInNow(PK11SlotInfo* slot);

// Logs in to the token of `slot` so that the key of the certificate named `subject` can sign.
// Call WITHOUT lock() held (it is taken only around NSS calls, never while a person types) and
// with a reference of the caller's own to `slot`. One prompt per token at a time: a caller that
// finds a login to the same token under way waits for it and shares its outcome. Returns 0 when
// the token is logged in on return, else one of the errors above (or NTE_FAIL, or
// ERROR_NOT_ENOUGH_MEMORY).
DWORD logIn(PK11SlotInfo* slot, const std::string& subject);

}  // namespace nsslayer
