#include "nss/login.h"

#include <time.h>

#include <pkcs11.h>
#include <secerr.h>
#include <secmod.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "nss/startup.h"

namespace nsslayer {
namespace {

// A login under way, shared by the callers that wait for it.
struct SharedLogin {
    bool done = false;
    DWORD result = NTE_FAIL;
};

struct Logins {
    std::mutex mutex;  // never held with lock(), never while a person types
    std::condition_variable changed;
    std::map<PK11SlotInfo*, std::shared_ptr<SharedLogin>> running;
    std::set<PK11SlotInfo*> prompting;  // the tokens whose turn is taken
};

Logins& logins() {
    static Logins* instance = new Logins;  // outlives static destruction, as NSS does
    return *instance;
}

// The outcome of one entry on the token. kStale: NSS's own session on the token, or the module's,
// predates the card now in the reader (pulled and put back within their look at the slot), so the
// card gave no verdict on the PIN.
enum class Outcome { kLoggedIn, kRefused, kFailed, kStale };

// Tries one entry on a token that is not logged in, with the lock held for the C_Login only. The
// entry is moved into `keep` (when not null) once it logged in; otherwise it is left as it was.
Outcome tryLogin(PK11SlotInfo* slot, pinentry::Secret* pin, pinentry::Secret* keep,
                 TokenState* state, DWORD* error) {
    std::lock_guard<std::mutex> guard(lock());
    if (loggedInNow(slot)) {
        return Outcome::kLoggedIn;  // someone else logged in while the person typed
    }
    if (!readTokenState(slot, state)) {
        *error = NTE_FAIL;
        return Outcome::kFailed;
    }
    if (state->flags & CKF_USER_PIN_LOCKED) {
        *error = kPinLocked;
        return Outcome::kFailed;
    }
    SECStatus status = PK11_CheckUserPassword(slot, pin->text);
    int reason = PORT_GetError();
    if (status == SECFailure && serviceLost(reason)) {
        // The card never saw this PIN: its module had lost the reader. Once more, reconnected.
        reconnectModule(slot);
        status = PK11_CheckUserPassword(slot, pin->text);
        reason = PORT_GetError();
    }
    if (status == SECSuccess) {
        if (keep != nullptr) {
            keep->takeFrom(pin);
        }
        return Outcome::kLoggedIn;
    }
    if (status == SECWouldBlock || reason == SEC_ERROR_BAD_PASSWORD) {
        if (readTokenState(slot, state) && (state->flags & CKF_USER_PIN_LOCKED)) {
            *error = kPinLocked;
            return Outcome::kFailed;
        }
        return Outcome::kRefused;
    }
    if (reason == SEC_ERROR_NO_TOKEN || serviceLost(reason)) {
        // No verdict on the PIN: a card pulled and put back faster than the module looks gives
        // failures until the module sees the new card.
        return Outcome::kStale;
    }
    *error = reason == SEC_ERROR_LOCKED_PASSWORD ? kPinLocked : NTE_FAIL;
    return Outcome::kFailed;
}

// Lets NSS look at the slot again (it trusts what it saw for a second), so that a card put back
// meanwhile gets a session of its own.
void refreshSlot(PK11SlotInfo* slot) {
    struct timespec pause = {1, 100 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    std::lock_guard<std::mutex> guard(lock());
    PK11_IsPresent(slot);
}

DWORD attemptLogin(PK11SlotInfo* slot, const std::string& subject, pinentry::Secret* typed) {
    PromptTurn turn(slot);
    TokenState state;
    {
        std::lock_guard<std::mutex> guard(lock());
        if (!PK11_NeedLogin(slot) || loggedInNow(slot)) {
            return 0;
        }
        if (!readTokenState(slot, &state)) {
            return NTE_FAIL;
        }
    }
    if (state.flags & CKF_USER_PIN_LOCKED) {
        return kPinLocked;
    }
    if (state.pinPad) {
        // The reader asks for the PIN on its own keypad; the layer's lock is not held meanwhile.
        // The slot is the caller's reference, and NSS serialises the token's session itself.
        const SECStatus status = PK11_CheckUserPassword(slot, nullptr);
        if (status == SECSuccess) {
            return 0;
        }
        return PORT_GetError() == SEC_ERROR_LOCKED_PASSWORD ? kPinLocked
               : status == SECWouldBlock                    ? kWrongPin
                                                            : kCancelled;
    }
    PromptText text;
    text.what = state.database ? "password" : "PIN";
    text.label = state.database ? "Password:" : "PIN:";
    text.description = (state.database ? "Enter the password of the certificate database '"
                                       : "Enter the PIN of the token '") +
                       state.label + "' to sign with '" + subject + "'.";
    return askAndTry(text, [&](pinentry::Secret* entry, std::string* reason, DWORD* failure) {
        Outcome outcome = tryLogin(slot, entry, typed, &state, failure);
        if (outcome == Outcome::kStale) {
            refreshSlot(slot);  // the PIN was never tried: once more, without asking again
            outcome = tryLogin(slot, entry, typed, &state, failure);
        }
        switch (outcome) {
            case Outcome::kLoggedIn:
                return Try::kAccepted;
            case Outcome::kRefused:
                *reason = wrongText(state, true);
                return Try::kRefused;
            case Outcome::kStale:
            case Outcome::kFailed:
                break;
        }
        return Try::kFailed;
    });
}

}  // namespace

bool loggedInNow(PK11SlotInfo* slot) {
    // A session of our own: the login state is the token's, for every session of the process.
    const OwnSession session(slot);
    if (session.functions() == nullptr) {
        return PK11_IsLoggedIn(slot, nullptr);
    }
    CK_SESSION_INFO info;
    return session.open() &&
           session.functions()->C_GetSessionInfo(session.handle(), &info) == CKR_OK &&
           (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS);
}

bool readTokenState(PK11SlotInfo* slot, TokenState* state) {
    CK_TOKEN_INFO info;
    if (PK11_GetTokenInfo(slot, &info) != SECSuccess) {
        return false;
    }
    state->flags = info.flags;
    state->serial.assign(reinterpret_cast<const char*>(info.serialNumber),
                         sizeof info.serialNumber);
    state->serial.erase(state->serial.find_last_not_of(' ') + 1);
    readSlotNames(slot, state);
    return true;
}

void readSlotNames(PK11SlotInfo* slot, TokenState* state) {
    state->label = PK11_GetTokenName(slot);
    state->database = PK11_IsInternal(slot);
    state->pinPad = PK11_ProtectedAuthenticationPath(slot);
}

std::string wrongText(const TokenState& state, bool counted) {
    std::string text = state.database ? "Wrong password." : "Wrong PIN.";
    if (counted && (state.flags & CKF_USER_PIN_FINAL_TRY)) {
        text += " One try left before the card locks.";
    } else if (counted && (state.flags & CKF_USER_PIN_COUNT_LOW)) {
        text += " Few tries left before the card locks.";
    }
    return text;
}

PromptTurn::PromptTurn(PK11SlotInfo* slot) : slot_(slot) {
    Logins& all = logins();
    std::unique_lock<std::mutex> guard(all.mutex);
    all.changed.wait(guard, [&] { return all.prompting.count(slot) == 0; });
    all.prompting.insert(slot);  // may throw std::bad_alloc before the turn is taken
}

PromptTurn::~PromptTurn() {
    Logins& all = logins();
    {
        std::lock_guard<std::mutex> guard(all.mutex);
        all.prompting.erase(slot_);
    }
    all.changed.notify_all();
}

DWORD askAndTry(const PromptText& text, const Attempt& attempt, const std::function<DWORD()>& ready,
                int questions) {
    if (!pinentry::Session::possible()) {
        return kNotLoggedIn;
    }
    pinentry::Session prompt;
    if (!prompt.launch()) {
        return NTE_FAIL;
    }
    if (ready) {
        const DWORD failure = ready();  // while the program starts: a token is slow to answer too
        if (failure != 0) {
            return failure;
        }
    }
    if (!prompt.start("Signature", text.description, text.label)) {
        return NTE_FAIL;
    }
    std::string reason = text.reason;
    for (int asked = 0; asked < questions; ++asked) {
        pinentry::Secret entry;
        switch (prompt.ask(reason, &entry)) {
            case pinentry::Answer::kCancelled:
                return kCancelled;
            case pinentry::Answer::kFailed:
                return NTE_FAIL;
            case pinentry::Answer::kEntered:
                break;
        }
        if (entry.length == 0) {
            reason = "The " + text.what + " is empty.";
            continue;
        }
        if (entry.hasControlCharacter()) {
            // A pasted line break, most likely: it would only spend one of the card's tries.
            reason = "The " + text.what +
                     " contains a line break or another control character; it was not tried.";
            continue;
        }
        DWORD failure = NTE_FAIL;
        switch (attempt(&entry, &reason, &failure)) {
            case Try::kAccepted:
                return 0;
            case Try::kFailed:
                return failure;
            case Try::kRefused:
                break;
        }
    }
    return kWrongPin;
}

DWORD logIn(PK11SlotInfo* slot, const std::string& subject, pinentry::Secret* typed) {
    if (typed != nullptr) {
        typed->wipe();
    }
    Logins& all = logins();
    std::shared_ptr<SharedLogin> mine;
    {
        std::unique_lock<std::mutex> guard(all.mutex);
        const auto running = all.running.find(slot);
        if (running != all.running.end()) {
            const std::shared_ptr<SharedLogin> theirs = running->second;
            all.changed.wait(guard, [&] { return theirs->done; });
            return theirs->result;
        }
        mine = std::make_shared<SharedLogin>();
        all.running.emplace(slot, mine);
    }
    DWORD result = ERROR_NOT_ENOUGH_MEMORY;
    try {
        result = attemptLogin(slot, subject, typed);
    } catch (const std::bad_alloc&) {
    }
    {
        std::lock_guard<std::mutex> guard(all.mutex);
        mine->done = true;
        mine->result = result;
        all.running.erase(slot);
    }
    all.changed.notify_all();
    if (result != 0 && typed != nullptr) {
        typed->wipe();
    }
    return result;
}

}  // namespace nsslayer
