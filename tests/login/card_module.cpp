// A PKCS#11 module for the tests that behaves like a smart card in front of SoftHSM: it forwards
// every call to SoftHSM, but counts wrong PINs as a card does. The count lives in the file
// $OSTREL_CARD_LOG, one line per C_Login ("ok", "bad", "locked" for CKU_USER; "ctx ok",
// "ctx bad", "ctx locked" for CKU_CONTEXT_SPECIFIC), so that it survives the process and a test
// can read exactly which logins were made. Wrong PINs since the last right one set
// CKF_USER_PIN_COUNT_LOW (1), CKF_USER_PIN_FINAL_TRY as well (2) and CKF_USER_PIN_LOCKED (3,
// after which C_Login answers CKR_PIN_LOCKED without asking SoftHSM). SoftHSM's own
// CKF_USER_PIN_COUNT_LOW is hidden.
//
// A context-specific login checks the user PIN, on the same count, unless
// $OSTREL_CARD_SIGNATURE_PIN gives the card a separate signature PIN: then it is checked against
// that, on a count of its own (not shown in the flags), and when right it is passed on to SoftHSM
// with the PIN of this process's last successful user login.
//
// With $OSTREL_CARD_PIN_PAD the reader has a keypad (CKF_PROTECTED_AUTHENTICATION_PATH) on which
// that PIN is "typed" for every login given no PIN. With $OSTREL_CARD_NO_LOCKING the module
// cannot use the operating system's locks (C_Initialize answers CKR_CANT_LOCK when asked to).
#include <dlfcn.h>
#include <pkcs11.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

constexpr int kTries = 3;

CK_FUNCTION_LIST* softhsm = nullptr;
CK_FUNCTION_LIST card;
std::mutex logMutex;
std::string userPin;  // of the last successful user login, under logMutex

const char* signaturePin() {
    return getenv("OSTREL_CARD_SIGNATURE_PIN");
}

// Wrong PINs since the last right one, from the log: of the signature PIN when `signature` and
// the card has one, else of the user PIN.
int wrongSinceRight(bool signature) {
    const char* path = getenv("OSTREL_CARD_LOG");
    FILE* log = path == nullptr ? nullptr : fopen(path, "r");
    if (log == nullptr) {
        return 0;
    }
    int wrong = 0;
    char line[64];
    while (fgets(line, sizeof line, log) != nullptr) {
        const bool context = strncmp(line, "ctx ", 4) == 0;
        if (signaturePin() != nullptr && context != signature) {
            continue;  // the other PIN's count
        }
        const char* outcome = context ? line + 4 : line;
        if (strncmp(outcome, "ok", 2) == 0) {
            wrong = 0;
        } else if (strncmp(outcome, "bad", 3) == 0) {
            ++wrong;
        }
    }
    fclose(log);
    return wrong;
}

void record(bool context, const char* what) {
    const char* path = getenv("OSTREL_CARD_LOG");
    FILE* log = path == nullptr ? nullptr : fopen(path, "a");
    if (log != nullptr) {
        fprintf(log, "%s%s\n", context ? "ctx " : "", what);
        fclose(log);
    }
}

CK_RV cardLogin(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin,
                CK_ULONG length) {
    const bool context = user == CKU_CONTEXT_SPECIFIC;
    if (user != CKU_USER && !context) {
        return softhsm->C_Login(session, user, pin, length);
    }
    std::lock_guard<std::mutex> guard(logMutex);
    if (wrongSinceRight(context) >= kTries) {
        record(context, "locked");
        return CKR_PIN_LOCKED;
    }
    const char* pad = getenv("OSTREL_CARD_PIN_PAD");
    if (pin == nullptr && pad != nullptr) {
        pin = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pad));
        length = strlen(pad);
    }
    const std::string typed(reinterpret_cast<const char*>(pin), pin == nullptr ? 0 : length);
    CK_RV rv = CKR_PIN_INCORRECT;
    if (context && signaturePin() != nullptr) {
        if (typed == signaturePin()) {
            rv = softhsm->C_Login(session, user, reinterpret_cast<CK_UTF8CHAR_PTR>(userPin.data()),
                                  userPin.size());
        }
    } else {
        rv = softhsm->C_Login(session, user, pin, length);
    }
    if (rv == CKR_PIN_INCORRECT) {
        record(context, "bad");
    } else if (rv == CKR_OK) {
        record(context, "ok");
        if (!context) {
            userPin = typed;
        }
    }
    return rv;
}

CK_RV cardGetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    const CK_RV rv = softhsm->C_GetTokenInfo(slot, info);
    if (rv == CKR_OK) {
        std::lock_guard<std::mutex> guard(logMutex);
        const int wrong = wrongSinceRight(false);
        info->flags &= ~(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED);
        if (wrong >= kTries) {
            info->flags |= CKF_USER_PIN_LOCKED;
        } else if (wrong == kTries - 1) {
            info->flags |= CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY;
        } else if (wrong > 0) {
            info->flags |= CKF_USER_PIN_COUNT_LOW;
        }
        if (getenv("OSTREL_CARD_PIN_PAD") != nullptr) {
            info->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
        }
    }
    return rv;
}

CK_RV cardInitialize(CK_VOID_PTR args) {
    const auto* given = static_cast<CK_C_INITIALIZE_ARGS*>(args);
    if (getenv("OSTREL_CARD_NO_LOCKING") != nullptr && given != nullptr &&
        (given->flags & CKF_OS_LOCKING_OK) != 0) {
        return CKR_CANT_LOCK;
    }
    return softhsm->C_Initialize(args);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    if (softhsm == nullptr) {
        void* library = dlopen("/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
        auto* get =
            library == nullptr
                ? nullptr
                : reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
        if (get == nullptr || get(&softhsm) != CKR_OK) {
            return CKR_GENERAL_ERROR;
        }
        card = *softhsm;
        card.C_Initialize = cardInitialize;
        card.C_Login = cardLogin;
        card.C_GetTokenInfo = cardGetTokenInfo;
    }
    *list = &card;
    return CKR_OK;
}
