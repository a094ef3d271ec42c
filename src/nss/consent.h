// Signatures with keys that demand the PIN at every signature (CKA_ALWAYS_AUTHENTICATE): the keys
// of qualified and non-repudiation signatures on most signature cards.
//
// NSS offers the login such a key needs inside each operation only through the process-wide
// password callback, which the layer never installs or triggers, so PK11_Sign is never called for
// these keys. Each signature is made on a session of the layer's own, through the module's
// function list: C_SignInit, C_Login(CKU_CONTEXT_SPECIFIC), C_Sign, all three under one hold of
// lock(), so that nothing else of the layer touches the token in between. The PIN is asked
// before (lock() not held while a person types): a cancel or a timeout ends the signature before
// C_SignInit, and no context-specific login is made.
//
// One prompt per signature. The PIN typed to log in to the token for this very signature serves
// its consent too; every other signature asks, saying that it needs the PIN and naming the
// certificate and the token. A PIN the token refused is never sent again: it is asked again with
// the reason (and the tries left, when the token counts them), at most three prompts; a locked PIN
// is not asked; an entry that is empty or holds a control character is asked again without a
// try. When the consent refuses the PIN that the login has just accepted, the token has a separate
// signature PIN: it is asked for by name, then and at every later signature with that token in the
// process, and the login's PIN is never offered to it again. A PIN-pad reader is given no PIN and
// asks itself.
//
// Locking: call WITHOUT lock() held. One prompt at a time per token (PromptTurn, login.h); other
// tokens, and calls that need no prompt, go on meanwhile. lock() is held from C_SignInit to
// C_Sign, which for a PIN-pad reader includes the time the reader asks: nothing may come between
// the start of the operation and its end, and NSS gives no narrower lock on one token.
#pragma once

#include <cstddef>

#include "cryptoapi/cryptoapi.h"
#include "nss/keys.h"
#include "nss/pinentry.h"

namespace nsslayer {

// Signs the DigestInfo `input` with `key`, which demands the PIN at every signature, into
// `signature` of `*signatureLength` bytes (set to the length written). `typed` holds the PIN that
// logged in to the key's token for this signature, or nothing (null or empty); it is wiped.
// kFailed leaves the last error: kCancelled, kWrongPin (three refusals), kPinLocked, kNotLoggedIn
// (no way to ask), NTE_FAIL (pinentry or the token failed), or ERROR_NOT_ENOUGH_MEMORY. kStale: the
// key must be looked up again (its handle is no longer the token's); no PIN was refused then.
Signed signWithConsent(const SigningKey& key, pinentry::Secret* typed, const BYTE* input,
                       size_t inputLength, BYTE* signature, unsigned int* signatureLength);

}  // namespace nsslayer
