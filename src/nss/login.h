// Logging in to a token (a smart card, or a database with a password) for a signature, with the
// PIN asked through pinentry; and the prompt loop and the one-prompt-per-token rule that the
// signatures of keys demanding the PIN at every use (consent.h) share with it.
//
// Every C_Login uses a PIN just typed for it: one PK11_CheckUserPassword per entry, and only on a
// token that is not logged in at that moment (that call logs out first). No password callback is
// installed. At most three prompts per login; an empty entry, or one holding a control character
// (a byte below 0x20, or 0x7F), asks again without a C_Login; a locked token is refused without
// asking; a PIN-pad reader logs in with no PIN and asks itself.
//
// Locking: the functions that read a token (loggedInNow, readTokenState) are called with lock()
// held. logIn, askAndTry and PromptTurn are used WITHOUT it (a person types meanwhile); they take
// it themselves around NSS calls, and an attempt given to askAndTry may take it too.
#pragma once

#include <pk11pub.h>

#include <functional>
#include <string>

#include "cryptoapi/cryptoapi.h"
#include "nss/pinentry.h"

namespace nsslayer {

// What a failed login leaves as the last error (the values Windows' smart-card providers use).
constexpr DWORD kNotLoggedIn = 0x8010006F;  // SCARD_W_CARD_NOT_AUTHENTICATED: no way to ask
constexpr DWORD kCancelled = 0x8010006E;    // SCARD_W_CANCELLED_BY_USER (or the prompt timed out)
constexpr DWORD kWrongPin = 0x8010006B;     // SCARD_W_WRONG_CHV: refused three times
constexpr DWORD kPinLocked = 0x8010006C;    // SCARD_W_CHV_BLOCKED

// Whether the token of `slot` is logged in now, asked of the token itself (PK11_IsLoggedIn may
// answer from a cache up to a second old). Call with lock() held.
bool loggedInNow(PK11SlotInfo* slot);

// What a token says of itself for a prompt. Call readTokenState with lock() held; false when the
// token could not be asked.
struct TokenState {
    std::string label;
    std::string serial;     // its serial number, spaces trimmed
    bool database = false;  // a softoken database: a password, not a PIN
    bool pinPad = false;    // the reader asks for the PIN on its own keypad
    CK_FLAGS flags = 0;     // the user PIN's CKF_USER_PIN_* counters among them
};
bool readTokenState(PK11SlotInfo* slot, TokenState* state);
// The part NSS keeps of the slot (label, database, PIN pad), read without asking the token.
void readSlotNames(PK11SlotInfo* slot, TokenState* state);

// "Wrong PIN." (or password), and, when `counted` and the flags say so, how few tries are left.
std::string wrongText(const TokenState& state, bool counted);

// One person asked at a time per token, whether to log in or to consent to a signature: held from
// before a prompt (pinentry, or a PIN-pad reader) until its last entry was tried. Other tokens'
// turns are independent. Taken without lock() held.
class PromptTurn {
  public:
    explicit PromptTurn(PK11SlotInfo* slot);
    ~PromptTurn();
    PromptTurn(const PromptTurn&) = delete;
    PromptTurn& operator=(const PromptTurn&) = delete;

  private:
    PK11SlotInfo* slot_;
};

// The texts of a prompt, titled "Signature".
struct PromptText {
    std::string description;
    std::string label;   // beside the field, e.g. "PIN:"
    std::string what;    // "PIN", "signature PIN" or "password", in the reasons given
    std::string reason;  // above the field at the first question; empty for none
};

// The outcome of trying one typed entry.
enum class Try { kAccepted, kRefused, kFailed };
// Tries `entry` (non-empty, free of control characters). On kRefused it sets `reason`, shown at
// the next question; on kFailed, `failure`, which askAndTry returns. It may take the entry
// (Secret::takeFrom) but not copy it.
using Attempt = std::function<Try(pinentry::Secret* entry, std::string* reason, DWORD* failure)>;

// The questions one signature may ask for one PIN.
constexpr int kMostPrompts = 3;

// Asks through pinentry at most `questions` times, trying each acceptable entry with `attempt`; an
// empty entry, or one with a control character, is asked again with a reason and never tried.
// `ready`, when given, runs while pinentry starts, before anything is shown: a failure it returns
// ends the prompt unseen and is returned. Returns 0 once an entry was accepted; kWrongPin after
// the last question without; kCancelled; kNotLoggedIn when nothing can ask here (no terminal, no
// display); NTE_FAIL when pinentry fails; or the attempt's failure. Call without lock() held,
// with the token's PromptTurn.
DWORD askAndTry(const PromptText& text, const Attempt& attempt,
                const std::function<DWORD()>& ready = nullptr, int questions = kMostPrompts);

// Logs in to the token of `slot` so that the key of the certificate named `subject` can sign.
// Call WITHOUT lock() held and with a reference of the caller's own to `slot`. One prompt per
// token at a time: a caller that finds a login to the same token under way waits for it and shares
// its outcome. Returns 0 when the token is logged in on return, else one of the errors above (or
// NTE_FAIL, or ERROR_NOT_ENOUGH_MEMORY). When `typed` is not null and this caller's own entry
// logged in, that entry is left in it (for the consent of the same signature); otherwise it is
// left empty.
DWORD logIn(PK11SlotInfo* slot, const std::string& subject, pinentry::Secret* typed);

}  // namespace nsslayer
