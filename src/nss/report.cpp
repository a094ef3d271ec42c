#include "nss/report.h"

#include <openssl/sha.h>
#include <nssutil.h>
#include <pkcs11.h>
#include <prerror.h>

#include <map>
#include <mutex>

#include "cryptoapi/cryptoapi.h"
#include "cryptoapi/text.h"
#include "nss/listing.h"
#include "nss/login.h"
#include "nss/startup.h"

namespace nsslayer {
namespace {

// A record line under construction.
class Record {
  public:
    explicit Record(const char* kind) : line_(kind) {}
    Record& field(const char* key, const std::string& value) {
        line_.append("\t").append(key).append("=");
        for (char c : value) {
            switch (c) {
                case '\\':
                    line_ += "\\\\";
                    break;
                case '\t':
                    line_ += "\\t";
                    break;
                case '\n':
                    line_ += "\\n";
                    break;
                case '\r':
                    line_ += "\\r";
                    break;
                default:
                    line_ += c;
            }
        }
        return *this;
    }
    Record& flag(const char* key, bool value) { return field(key, value ? "yes" : "no"); }
    const std::string& line() const { return line_; }

  private:
    std::string line_;
};

// PKCS#11 text fields are blank-padded to a fixed size.
std::string padded(const CK_UTF8CHAR* text, size_t size) {
    std::string out(reinterpret_cast<const char*>(text), size);
    out.erase(out.find_last_not_of(' ') + 1);
    return out;
}

const char* stateText(ModuleState state) {
    switch (state) {
        case ModuleState::kLoaded:
            return "loaded";
        case ModuleState::kLoading:
            return "loading";
        case ModuleState::kFailed:
            return "failed";
    }
    return "?";
}

// The certificates a listing gives, by token name: the same calls as the services make.
struct Listing {
    bool opened = false;
    std::string error;
    std::vector<std::pair<std::string, std::string>> certificates;  // SHA-1 hex, token name
    std::map<std::string, int> perToken;
};

Listing listStore() {
    Listing listing;
    static const WCHAR kMy[] = {'M', 'y', 0};
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, kMy);
    if (store == nullptr) {
        // The layer leaves NSS's error code as the last error. NSS installs its error texts only
        // once it has started, and here it may not have.
        NSS_InitializePRErrorTable();
        const auto code = static_cast<PRErrorCode>(GetLastError());
        const char* name = PR_ErrorToName(code);
        const char* text = PR_ErrorToString(code, PR_LANGUAGE_I_DEFAULT);
        listing.error = name != nullptr ? name : "error " + std::to_string(code);
        if (text != nullptr && text[0] != 0) {
            listing.error.append(": ").append(text);
        }
        return listing;
    }
    listing.opened = true;
    PCCERT_CONTEXT context = nullptr;
    std::vector<BYTE> buffer;
    while ((context = CertEnumCertificatesInStore(store, context)) != nullptr) {
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                               &size)) {
            continue;  // listed only with a key, as the services list
        }
        buffer.resize(size);
        if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(),
                                               &size)) {
            continue;
        }
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
        std::u16string units(info->pwszProvName);
        std::string token(units.size(), '\0');
        narrowUtf16(units.data(), units.size(), token.data());
        BYTE digest[SHA_DIGEST_LENGTH];
        SHA1(context->pbCertEncoded, context->cbCertEncoded, digest);
        std::string sha1;
        appendHex(digest, sizeof digest, HexDigits::lower, &sha1);
        listing.certificates.emplace_back(sha1, token);
        ++listing.perToken[token];
    }
    CertCloseStore(store, 0);
    return listing;
}

Record slotRecord(PK11SlotInfo* slot, const std::string& module, const Listing& listing) {
    Record r("slot");
    r.field("module", module).flag("database", slot == databaseSlot());
    CK_SLOT_INFO slotInfo;
    r.field("reader", PK11_GetSlotInfo(slot, &slotInfo) == SECSuccess
                          ? padded(slotInfo.slotDescription, sizeof slotInfo.slotDescription)
                          : PK11_GetSlotName(slot));
    const bool present = PK11_IsPresent(slot);
    r.flag("present", present);
    CK_TOKEN_INFO token;
    if (!present || PK11_GetTokenInfo(slot, &token) != SECSuccess) {
        return r;
    }
    const std::string label = padded(token.label, sizeof token.label);
    const auto count = listing.perToken.find(storeTokenName(slot));  // as certificates name it
    r.field("label", label)
        .field("manufacturer", padded(token.manufacturerID, sizeof token.manufacturerID))
        .field("model", padded(token.model, sizeof token.model))
        .field("serial", padded(token.serialNumber, sizeof token.serialNumber))
        .flag("login", PK11_NeedLogin(slot))
        .flag("loggedIn", PK11_NeedLogin(slot) && loggedInNow(slot))
        .flag("countLow", token.flags & CKF_USER_PIN_COUNT_LOW)
        .flag("finalTry", token.flags & CKF_USER_PIN_FINAL_TRY)
        .flag("locked", token.flags & CKF_USER_PIN_LOCKED)
        .flag("pinPad", PK11_ProtectedAuthenticationPath(slot))
        .field("certificates", std::to_string(count == listing.perToken.end() ? 0 : count->second));
    return r;
}

}  // namespace

std::vector<std::string> describeStore() {
    const Listing listing = listStore();  // opens NSS and follows pkcs11.txt first
    std::vector<std::string> lines;
    std::lock_guard<std::mutex> guard(lock());
    const UserDatabase wanted = userDatabase();
    Record database("database");
    database.field("path", started() ? startedDirectory() : wanted.directory)
        .field("reason", wanted.reason)
        .field("state", !listing.opened             ? "broken"
                        : databaseSlot() != nullptr ? "open"
                                                    : "missing");
    if (!listing.opened) {
        database.field("error", listing.error);
    }
    lines.push_back(database.line());
    std::string databaseToken;
    if (PK11SlotInfo* slot = databaseSlot()) {
        databaseToken = storeTokenName(slot);
        lines.push_back(slotRecord(slot, "", listing).line());
    }
    for (const ModuleInfo& module : storeModules()) {
        Record r("module");
        r.field("name", module.name)
            .field("library", module.library)
            .field("state", stateText(module.state));
        if (module.state == ModuleState::kFailed) {
            r.field("error", module.error);
        }
        lines.push_back(r.line());
        for (PK11SlotInfo* slot : module.slots) {
            lines.push_back(slotRecord(slot, module.name, listing).line());
        }
    }
    for (const auto& [sha1, token] : listing.certificates) {
        lines.push_back(Record("certificate")
                            .field("sha1", sha1)
                            .field("token", token)
                            .flag("database", token == databaseToken)
                            .line());
    }
    return lines;
}

}  // namespace nsslayer
