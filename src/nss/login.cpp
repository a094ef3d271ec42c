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

#include "nss/startup.h"
#include "nss/pinentry.h"

namespace nsslayer {
namespace {

constexpr int kMostPrompts = 3;

// A login under way, shared by the callers that wait for it.
struct Attempt {
    bool done = false;
    DWORD result = NTE_FAIL;
};

struct Attempts {
    std::mutex mutex;  // never held with lock(), never while a person types
    std::condition_variable finished;
    std::map<PK11SlotInfo*, std::shared_ptr<Attempt>> running;
};

Attempts& attempts() {
    static Attempts* instance = new Attempts;  // outlives static destruction, as NSS does
    return *instance;
}

// What the token says before and after each try. Call with lock() held.
struct TokenState {
    std::string label;
    bool database = false;  // a softoken database: a password, not a PIN
    bool pinPad = false;
    CK_FLAGS flags = 0;
};

bool readState(PK11SlotInfo* slot, TokenState* state) {
    CK_TOKEN_INFO info;
    if (PK11_GetTokenInfo(slot, &info) != SECSuccess) {
        return false;
    }
    state->flags = info.flags;
    state->label = PK11_GetTokenName(slot);
    state->database = PK11_IsInternal(slot);
    state->pinPad = PK11_ProtectedAuthenticationPath(slot);
    return true;
}

std::string wrongText(const TokenState& state) {
    std::string text = state.database ? "Wrong password." : "Wrong PIN.";
    if (state.flags & CKF_USER_PIN_FINAL_TRY) {
        text += " One try left before the card locks.";
    } else if (state.flags & CKF_USER_PIN_COUNT_LOW) {
        text += " Few tries left before the card locks.";
    }
    return text;
}

// The outcome of one typed entry, with the lock held for the C_Login only. kStale: NSS's own
// session on the token predates the card now in the reader (pulled and put back within NSS's
// one-second look at the slot), so the card never saw the PIN.
enum class Try { kLoggedIn, kRefused, kFailed, kStale };

Try tryPin(PK11SlotInfo* slot, const pinentry::Secret& pin, TokenState* state, DWORD* error) {
    std::lock_guard<std::mutex> guard(lock());
    if (loggedInNow(slot)) {
        return Try::kLoggedIn;  // someone else logged in while the person typed
    }
    if (!readState(slot, state)) {
        *error = NTE_FAIL;
        return Try::kFailed;
    }
    if (state->flags & CKF_USER_PIN_LOCKED) {
        *error = kPinLocked;
        return Try::kFailed;
    }
    SECStatus status = PK11_CheckUserPassword(slot, pin.text);
    int reason = PORT_GetError();
    if (status == SECFailure && serviceLost(reason)) {
        // The card never saw this PIN: its module had lost the reader. Once more, reconnected.
        reconnectModule(slot);
        status = PK11_CheckUserPassword(slot, pin.text);
        reason = PORT_GetError();
    }
    if (status == SECSuccess) {
        return Try::kLoggedIn;
    }
    if (status == SECWouldBlock || reason == SEC_ERROR_BAD_PASSWORD) {
        if (readState(slot, state) && (state->flags & CKF_USER_PIN_LOCKED)) {
            *error = kPinLocked;
            return Try::kFailed;
        }
        return Try::kRefused;
    }
    if (reason == SEC_ERROR_NO_TOKEN) {
        return Try::kStale;
    }
    *error = reason == SEC_ERROR_LOCKED_PASSWORD ? kPinLocked : NTE_FAIL;
    return Try::kFailed;
}

// Lets NSS look at the slot again (it trusts what it saw for a second), so that a card put back
// meanwhile gets a session of its own.
void refreshSlot(PK11SlotInfo* slot) {
    struct timespec pause = {1, 100 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    std::lock_guard<std::mutex> guard(lock());
    PK11_IsPresent(slot);
}

DWORD attemptLogin(PK11SlotInfo* slot, const std::string& subject) {
    TokenState state;
    {
        std::lock_guard<std::mutex> guard(lock());
        if (!PK11_NeedLogin(slot) || loggedInNow(slot)) {
            return 0;
        }
        if (!readState(slot, &state)) {
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
    if (!pinentry::Session::possible()) {
        return kNotLoggedIn;
    }
    const std::string what = state.database ? "password" : "PIN";
    const std::string description =
        (state.database ? "Enter the password of the certificate database '"
                        : "Enter the PIN of the token '") +
        state.label + "' to sign with '" + subject + "'.";
    pinentry::Session prompt;
    if (!prompt.start("Signature", description, state.database ? "Password:" : "PIN:")) {
        return NTE_FAIL;
    }
    std::string error;
    for (int asked = 0; asked < kMostPrompts; ++asked) {
        pinentry::Secret pin;
        switch (prompt.ask(error, &pin)) {
            case pinentry::Answer::kCancelled:
                return kCancelled;
            case pinentry::Answer::kFailed:
                return NTE_FAIL;
            case pinentry::Answer::kEntered:
                break;
        }
        if (pin.length == 0) {
            error = "The " + what + " is empty.";
            continue;
        }
        if (pin.hasControlCharacter()) {
            // A pasted line break, most likely: it would only spend one of the card's tries.
            error = "The " + what +
                    " contains a line break or another control character; it was not tried.";
            continue;
        }
        DWORD failure = NTE_FAIL;
        Try outcome = tryPin(slot, pin, &state, &failure);
        if (outcome == Try::kStale) {
            refreshSlot(slot);  // the PIN was never tried: once more, without asking again
            outcome = tryPin(slot, pin, &state, &failure);
        }
        pin.wipe();
        switch (outcome) {
            case Try::kLoggedIn:
                return 0;
            case Try::kStale:
            case Try::kFailed:
                return failure;
            case Try::kRefused:
                error = wrongText(state);
                break;
        }
    }
    return kWrongPin;
}

}  // namespace

bool loggedInNow(PK11SlotInfo* slot) {
    // A session of our own: the login state is the token's, for every session of the process.
    SECMODModule* module = PK11_GetModule(slot);
    auto* functions =
        module == nullptr ? nullptr : static_cast<CK_FUNCTION_LIST*>(module->functionList);
    if (functions == nullptr) {
        return PK11_IsLoggedIn(slot, nullptr);
    }
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (functions->C_OpenSession(PK11_GetSlotID(slot), CKF_SERIAL_SESSION, nullptr, nullptr,
                                 &session) != CKR_OK) {
        return false;
    }
    CK_SESSION_INFO info;
    const bool in = functions->C_GetSessionInfo(session, &info) == CKR_OK &&
                    (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS);
    functions->C_CloseSession(session);
    return in;
}

DWORD logIn(PK11SlotInfo* slot, const std::string& subject) {
    Attempts& all = attempts();
    std::shared_ptr<Attempt> mine;
    {
        std::unique_lock<std::mutex> guard(all.mutex);
        const auto running = all.running.find(slot);
        if (running != all.running.end()) {
            const std::shared_ptr<Attempt> theirs = running->second;
            all.finished.wait(guard, [&] { return theirs->done; });
            return theirs->result;
        }
        mine = std::make_shared<Attempt>();
        all.running.emplace(slot, mine);
    }
    DWORD result = ERROR_NOT_ENOUGH_MEMORY;
    try {
        result = attemptLogin(slot, subject);
    } catch (const std::bad_alloc&) {
    }
    {
        std::lock_guard<std::mutex> guard(all.mutex);
        mine->done = true;
        mine->result = result;
        all.running.erase(slot);
    }
    all.finished.notify_all();
    return result;
}

}  // namespace nsslayer
