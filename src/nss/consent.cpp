#include "nss/consent.h"

#include <pkcs11.h>
#include <secmod.h>

#include <map>
#include <mutex>
#include <string>

#include "nss/login.h"
#include "nss/startup.h"

namespace nsslayer {
namespace {

// What the process has learnt of a token's signature PIN, by the token's label and serial number.
struct SignaturePin {
    bool separate = false;  // not the PIN that logs in to the token
    bool locked = false;    // the separate one answered CKR_PIN_LOCKED
};

struct SignaturePins {
    std::mutex mutex;  // held only to read or change the map
    std::map<std::string, SignaturePin> byToken;
};

SignaturePins& signaturePins() {
    static SignaturePins* instance = new SignaturePins;  // outlives static destruction
    return *instance;
}

SignaturePin remembered(const std::string& token) {
    SignaturePins& pins = signaturePins();
    std::lock_guard<std::mutex> guard(pins.mutex);
    const auto found = pins.byToken.find(token);
    return found == pins.byToken.end() ? SignaturePin() : found->second;
}

void remember(const std::string& token, const SignaturePin& pin) {
    SignaturePins& pins = signaturePins();
    std::lock_guard<std::mutex> guard(pins.mutex);
    pins.byToken[token] = pin;
}

// How one operation ended.
enum class Step { kSigned, kRefused, kLocked, kStale, kCancelled, kFailed };

// What one signature signs, and where to.
struct Operation {
    const SigningKey& key;
    const BYTE* input;
    size_t inputLength;
    BYTE* signature;
    unsigned int* signatureLength;
};

// Whether the module lost what it talks to (pcscd restarted): every call then fails at once.
bool lostService(CK_RV rv) {
    return rv == CKR_GENERAL_ERROR || rv == CKR_DEVICE_ERROR || rv == CKR_FUNCTION_FAILED;
}

// C_SignInit, C_Login(CKU_CONTEXT_SPECIFIC) with `pin` (none for a PIN-pad reader), C_Sign, under
// one hold of the lock. A refused PIN ends the operation with the session, before anything else
// of the layer may reach the token. A module that lost its service is reconnected (see
// reconnectModule): the key is looked up again after a login when no PIN was sent yet.
Step operate(const Operation& op, const pinentry::Secret* pin) {
    std::lock_guard<std::mutex> guard(lock());
    if (keyGone(op.key)) {
        return Step::kStale;
    }
    const OwnSession session(op.key.key->pkcs11Slot);
    if (!session.open()) {
        return PK11_IsPresent(op.key.key->pkcs11Slot) ? Step::kFailed : Step::kStale;
    }
    CK_FUNCTION_LIST* f = session.functions();
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    CK_RV rv = f->C_SignInit(session.handle(), &mechanism, op.key.key->pkcs11ID);
    if (rv == CKR_KEY_HANDLE_INVALID || rv == CKR_OBJECT_HANDLE_INVALID ||
        rv == CKR_USER_NOT_LOGGED_IN || rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT) {
        op.key.refused.store(true, std::memory_order_relaxed);
        return Step::kStale;  // no PIN was sent
    }
    if (rv != CKR_OK) {
        if (lostService(rv)) {
            reconnectModule(op.key.key->pkcs11Slot);
            op.key.refused.store(true, std::memory_order_relaxed);
            return Step::kStale;  // no PIN was sent
        }
        return Step::kFailed;
    }
    auto* text =
        pin == nullptr ? nullptr : reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin->text));
    rv = f->C_Login(session.handle(), CKU_CONTEXT_SPECIFIC, text, pin == nullptr ? 0 : pin->length);
    switch (rv) {
        case CKR_OK:
            break;
        case CKR_PIN_INCORRECT:
        case CKR_PIN_INVALID:
        case CKR_PIN_LEN_RANGE:
            return Step::kRefused;
        case CKR_PIN_LOCKED:
            return Step::kLocked;
        case CKR_FUNCTION_CANCELED:
            return Step::kCancelled;  // on the reader's keypad
        case CKR_USER_NOT_LOGGED_IN:
            // Logged out since the key was found: a new login first.
            op.key.refused.store(true, std::memory_order_relaxed);
            return Step::kStale;
        default:
            if (lostService(rv)) {
                reconnectModule(op.key.key->pkcs11Slot);  // the next signature logs in again
            }
            return Step::kFailed;
    }
    CK_ULONG length = *op.signatureLength;
    rv = f->C_Sign(session.handle(), const_cast<BYTE*>(op.input), op.inputLength, op.signature,
                   &length);
    if (rv != CKR_OK || length > *op.signatureLength) {
        if (lostService(rv)) {
            reconnectModule(op.key.key->pkcs11Slot);
        }
        return Step::kFailed;
    }
    *op.signatureLength = static_cast<unsigned int>(length);
    return Step::kSigned;
}

// The last error for a step that ended the signature.
DWORD errorOf(Step step) {
    return step == Step::kLocked ? kPinLocked : step == Step::kCancelled ? kCancelled : NTE_FAIL;
}

Signed failWith(DWORD error) {
    SetLastError(error);
    return Signed::kFailed;
}

// Reads the token's state, and whether the token still knows the key's handle: a person is not
// asked for a PIN that could not be used. False when the key must be looked up again.
bool readState(const SigningKey& key, TokenState* state) {
    std::lock_guard<std::mutex> guard(lock());
    if (keyGone(key) || !readTokenState(key.key->pkcs11Slot, state)) {
        return false;
    }
    const OwnSession session(key.key->pkcs11Slot);
    CK_OBJECT_CLASS objectClass = 0;
    CK_ATTRIBUTE attribute = {CKA_CLASS, &objectClass, sizeof objectClass};
    if (session.open() && session.functions()->C_GetAttributeValue(
                              session.handle(), key.key->pkcs11ID, &attribute, 1) == CKR_OK) {
        return true;
    }
    key.refused.store(true, std::memory_order_relaxed);
    return false;
}

void readNames(const SigningKey& key, TokenState* state) {
    std::lock_guard<std::mutex> guard(lock());
    readSlotNames(key.key->pkcs11Slot, state);
}

// Whether the PIN may be asked now: 0 when it may; kPinLocked; NTE_FAIL with `stale` set when the
// key must be looked up again first.
DWORD askable(const SigningKey& key, const SignaturePin& known, TokenState* state, bool* stale) {
    if (!readState(key, state)) {
        *stale = true;
        return NTE_FAIL;
    }
    const bool locked = known.separate ? known.locked : (state->flags & CKF_USER_PIN_LOCKED) != 0;
    return locked ? kPinLocked : 0;
}

PromptText consentText(const SigningKey& key, const TokenState& state, const SignaturePin& known,
                       const std::string& reason) {
    const std::string what = state.database   ? std::string("password")
                             : known.separate ? std::string("signature PIN")
                                              : std::string("PIN");
    PromptText text;
    text.what = what;
    text.label = state.database ? "Password:" : known.separate ? "Signature PIN:" : "PIN:";
    text.reason = reason;
    text.description = "This signature needs the " + what +
                       (state.database ? " of the certificate database '" : " of the token '") +
                       state.label + "'" + (known.separate ? ", not the PIN that unlocks it" : "") +
                       ": enter it to sign with '" + key.subject + "'.";
    return text;
}

}  // namespace

DWORD askConsent(const SigningKey& key, ConsentPin* pin) {
    if (pin->secret.length > 0 && !remembered(key.tokenIdentity).separate) {
        return 0;  // the PIN that has just logged in serves
    }
    pin->secret.wipe();
    pin->loggedIn = false;
    const PromptTurn turn(key.key->pkcs11Slot);
    const SignaturePin known = remembered(key.tokenIdentity);
    TokenState state;
    readNames(key, &state);
    // A stale key is not asked for: the signature looks it up again, and asks then.
    bool stale = false;
    const auto ready = [&] { return askable(key, known, &state, &stale); };
    if (state.pinPad) {
        const DWORD failure = ready();
        return stale ? 0 : failure;
    }
    // The entry is tried by the signature; here it is only kept.
    const DWORD result = askAndTry(
        consentText(key, state, known, ""),
        [&](pinentry::Secret* entry, std::string*, DWORD*) {
            pin->secret.takeFrom(entry);
            return Try::kAccepted;
        },
        ready);
    return stale ? 0 : result;
}

Signed signWithConsent(const SigningKey& key, ConsentPin* pin, const BYTE* input,
                       size_t inputLength, BYTE* signature, unsigned int* signatureLength) {
    ConsentPin scratch;
    ConsentPin& typed = pin != nullptr ? *pin : scratch;
    const Operation op{key, input, inputLength, signature, signatureLength};
    const std::string& token = key.tokenIdentity;
    SignaturePin known = remembered(token);
    TokenState state;
    bool stale = false;
    // What an operation's end means for the prompt.
    const auto judge = [&](Step step, std::string* why, DWORD* failure) {
        switch (step) {
            case Step::kSigned:
                return Try::kAccepted;
            case Step::kRefused:
                if (readState(key, &state) && !known.separate &&
                    (state.flags & CKF_USER_PIN_LOCKED)) {
                    *failure = kPinLocked;
                    return Try::kFailed;
                }
                // The flags count the user PIN's tries, not a separate signature PIN's.
                *why = wrongText(state, !known.separate);
                return Try::kRefused;
            case Step::kLocked:
                if (known.separate) {
                    known.locked = true;
                    remember(token, known);
                }
                break;
            case Step::kStale:
                stale = true;
                break;
            default:
                break;
        }
        *failure = errorOf(step);
        return Try::kFailed;
    };
    std::string reason;
    int questions = kMostPrompts;
    if (typed.secret.length > 0 && !(typed.loggedIn && known.separate)) {
        const Step step = operate(op, &typed.secret);
        typed.secret.wipe();
        if (step == Step::kRefused && typed.loggedIn) {
            // The PIN the login has just accepted: this token has a separate signature PIN.
            known.separate = true;
            remember(token, known);
            reason = "The token has a separate signature PIN.";
        } else {
            DWORD failure = NTE_FAIL;
            switch (judge(step, &reason, &failure)) {
                case Try::kAccepted:
                    return Signed::kYes;
                case Try::kFailed:
                    return stale ? Signed::kStale : failWith(failure);
                case Try::kRefused:
                    --questions;  // the PIN asked for this signature when its key was acquired
                    break;
            }
        }
    }
    typed.secret.wipe();

    const PromptTurn turn(key.key->pkcs11Slot);
    known = remembered(token);
    readNames(key, &state);
    const auto ready = [&] { return askable(key, known, &state, &stale); };
    if (state.pinPad) {
        if (const DWORD failure = ready()) {
            return stale ? Signed::kStale : failWith(failure);
        }
        std::string unused;
        DWORD failure = kWrongPin;  // refused on the keypad
        switch (judge(operate(op, nullptr), &unused, &failure)) {
            case Try::kAccepted:
                return Signed::kYes;
            case Try::kRefused:
                return failWith(kWrongPin);
            case Try::kFailed:
                return stale ? Signed::kStale : failWith(failure);
        }
    }
    // The token is asked while pinentry starts, before anything is shown.
    const DWORD result = askAndTry(
        consentText(key, state, known, reason),
        [&](pinentry::Secret* entry, std::string* why, DWORD* failure) {
            return judge(operate(op, entry), why, failure);
        },
        ready, questions);
    if (stale) {
        return Signed::kStale;
    }
    return result == 0 ? Signed::kYes : failWith(result);
}

}  // namespace nsslayer
