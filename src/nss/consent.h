// Signatures with keys that demand the PIN at every signature (CKA_ALWAYS_AUTHENTICATE): the keys
// of qualified and non-repudiation signatures on most signature cards.
//
// NSS offers the login such a key needs inside each operation only through the process-wide
// password callback, which the layer never installs or triggers, so PK11_Sign is never called for
// these keys. Each signature is made on a session of the layer's own, through the module's
// function list: C_SignInit, C_Login(CKU_CONTEXT_SPECIFIC), C_Sign, all three under one hold of
// lock(), so that nothing else of the layer touches the token in between, and never longer: the
// PIN is asked when the key is acquired for the signature (askConsent), so that a cancel or a
// timeout refuses the key there, before C_SignInit, and no context-specific login is made. The
// PIN is tried when the signature is made; a refusal is asked again then.
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

// A PIN typed before a signature, for its consent.
struct ConsentPin {
    pinentry::Secret secret;  // empty: none (the signature asks, or the reader's PIN pad does)
    bool loggedIn = false;    // it has just logged in to the token, which may have a separate
                              // signature PIN that refuses it
};

// Makes sure the next signature with `key`, which demands the PIN at every signature, has its PIN
// in `pin`: kept when it holds the PIN that has just logged in to the token (unless the token has
// a separate signature PIN), else asked. Nothing is asked for a PIN-pad reader, or when the key
// must be looked up again (the signature does that). Returns 0, or kCancelled, kPinLocked,
// kNotLoggedIn (no way to ask), NTE_FAIL (pinentry failed), ERROR_NOT_ENOUGH_MEMORY.
DWORD askConsent(const SigningKey& key, ConsentPin* pin);

// Signs the DigestInfo `input` with `key`, which demands the PIN at every signature, into
// `signature` of `*signatureLength` bytes (set to the length written), trying the PIN in `pin`
// (null or empty: asked now) and asking again after a refusal, at most three questions in all.
// The PIN is wiped. kFailed leaves the last error: kCancelled, kWrongPin (three refusals),
// kPinLocked, kNotLoggedIn (no way to ask), NTE_FAIL (pinentry or the token failed), or
// ERROR_NOT_ENOUGH_MEMORY. kStale: the key must be looked up again (its handle is no longer the
// token's); no PIN was refused then.
Signed signWithConsent(const SigningKey& key, ConsentPin* pin, const BYTE* input,
                       size_t inputLength, BYTE* signature, unsigned int* signatureLength);

}  // namespace nsslayer
