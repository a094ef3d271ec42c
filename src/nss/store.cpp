#include "nss/store.h"

#include <time.h>
#include <unistd.h>

#include <secerr.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "nss/freshness.h"
#include "nss/listing.h"
#include "nss/outstanding.h"
#include "nss/startup.h"

namespace nsslayer {
namespace {

// The store handle: an immutable list of certificates, shared by every handle opened while the
// database is unchanged and kept alive by the contexts taken from it.
struct Snapshot {
    std::atomic<long> references{1};
    Stamp stamp;
    bool settled = true;  // see settledAt: when false, the next open lists again
    std::vector<Entry> entries;
    std::vector<CERT_CONTEXT> contexts;  // parallel to entries
};

void retain(Snapshot* snapshot) {
    snapshot->references.fetch_add(1, std::memory_order_relaxed);
}

void release(Snapshot* snapshot) {
    if (snapshot->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete snapshot;
    }
}

struct StoreState {
    Snapshot* current = nullptr;   // the newest listing, a reference of the store's own
    unsigned long generation = 0;  // counts the listings
    Opened opened;                 // what the database slot was opened on
    FileStamp followedModules;     // the pkcs11.txt that the modules follow
    KeyDatabaseIdentity keyIdentity;
};

// Never destroyed, as NSS is not.
StoreState& state() {
    static StoreState* instance = new StoreState;
    return *instance;
}

void dropCurrent() {
    StoreState& s = state();
    if (s.current != nullptr) {
        release(s.current);
        s.current = nullptr;
    }
}

// Cuts the store off the database slot: nothing read from it may be used again.
void cutOffDatabase() {
    closeDatabase();
    state().keyIdentity.close();
    state().opened.open = false;
    dropCurrent();
}

// Lists the store's certificates; null when the database cannot be read. A token that cannot be
// read is left out whole.
std::unique_ptr<Snapshot> list(const Stamp& stamp) {
    auto snapshot = std::make_unique<Snapshot>();
    snapshot->stamp = stamp;
    for (const SlotRef& slot : storeSlots()) {
        if (PK11_IsPresent(slot.get()) && !listSlot(slot.get(), &snapshot->entries) &&
            slot.get() == databaseSlot()) {
            return nullptr;
        }
    }
    snapshot->contexts.reserve(snapshot->entries.size());
    for (Entry& entry : snapshot->entries) {
        DecodedCertificate* cert = entry.certificate.get();
        snapshot->contexts.push_back(
            CERT_CONTEXT{X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, cert->encoded.data(),
                         static_cast<DWORD>(cert->encoded.size()), &cert->info, snapshot.get()});
    }
    return snapshot;
}

enum class OpenResult { kOpened, kFailed, kAgain };

// One look at the database: the store as it is on disk, or a failure, or kAgain when the files
// changed while they were read (the result may be partial).
// `held` owns lock(), which is released while new modules load (see followModules).
OpenResult tryOpen(const std::string& directory, std::unique_lock<std::mutex>& held,
                   Snapshot** opened) {
    StoreState& s = state();
    const Observation seen = observe(directory);
    switch (presenceOf(seen)) {
        case Presence::kNone:
            if (databaseSlot() != nullptr) {
                cutOffDatabase();  // removed: nothing read from it may be used again
            }
            *opened = new Snapshot;
            return OpenResult::kOpened;
        case Presence::kBroken:
            PORT_SetError(SEC_ERROR_BAD_DATABASE);
            return OpenResult::kFailed;
        case Presence::kDatabase:
            break;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    // Whatever fails or is read from here is trusted only when no file changed meanwhile.
    const auto intact = [&] {
        return readIntact(seen.stamp, observe(directory).stamp, journalPresent(directory));
    };
    const std::string keys = directory + "/key4.db";
    bool fresh = false;
    if (!started()) {
        fresh = true;
        if (!start(directory)) {
            return intact() ? OpenResult::kFailed : OpenResult::kAgain;
        }
    } else {
        DatabaseChange change = databaseChange(s.opened, seen);
        if (change == DatabaseChange::kKeysRewritten) {
            if (otherKeyDatabase(s.opened, s.keyIdentity.read(keys, seen.stamp.keys))) {
                change = DatabaseChange::kReplaced;
            } else {
                s.opened.keys = seen.stamp.keys;  // written by certutil or pk12util: the same one
            }
        }
        if (change == DatabaseChange::kReplaced) {
            fresh = true;
            if (databaseSlot() != nullptr) {
                cutOffDatabase();
            }
            if (!reopenDatabase()) {
                return intact() ? OpenResult::kFailed : OpenResult::kAgain;
            }
        }
    }
    if (fresh) {
        s.opened = Opened{databaseSlot() != nullptr, seen.folder, seen.stamp.certificates,
                          seen.stamp.keys, s.keyIdentity.read(keys, seen.stamp.keys)};
    }
    if (fresh || !(seen.stamp.modules == s.followedModules)) {
        s.followedModules = seen.stamp.modules;  // before the lock is let go: followed once
        followModules(held);
    }
    Stamp stamp = seen.stamp;
    stampTokens(storeSlots(), databaseSlot(), &stamp);
    if (s.current != nullptr && stillCurrent(s.current->stamp, s.current->settled, stamp)) {
        retain(s.current);
        *opened = s.current;
        return OpenResult::kOpened;
    }
    std::unique_ptr<Snapshot> listed = list(stamp);
    if (!intact()) {
        return OpenResult::kAgain;
    }
    if (listed == nullptr) {
        return OpenResult::kFailed;
    }
    listed->settled = settledAt(stamp, now);
    dropCurrent();
    s.current = listed.release();
    ++s.generation;
    retain(s.current);
    *opened = s.current;
    return OpenResult::kOpened;
}

Snapshot* openStore() {
    std::unique_lock<std::mutex> held(lock());
    startNspr();
    const std::string directory = started() ? startedDirectory() : userDatabase().directory;
    if (directory.empty()) {
        return nullptr;
    }
    // Another process writing: look again, a little later each time (about 0.3 s in all, the
    // lock held), and fail rather than hand back a store that may be partial.
    constexpr int kAttempts = 12;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0) {
            usleep(static_cast<useconds_t>(std::min(1000 << (attempt - 1), 50000)));
        }
        Snapshot* opened = nullptr;
        switch (tryOpen(directory, held, &opened)) {
            case OpenResult::kOpened:
                return opened;
            case OpenResult::kFailed:
                return nullptr;
            case OpenResult::kAgain:
                break;
        }
    }
    PORT_SetError(SEC_ERROR_BAD_DATABASE);
    return nullptr;
}

bool isMyStore(const void* para) {
    const auto* name = static_cast<const WCHAR*>(para);
    return name != nullptr && (name[0] == 'M' || name[0] == 'm') &&
           (name[1] == 'Y' || name[1] == 'y') && name[2] == 0;
}

Snapshot* snapshotOf(PCCERT_CONTEXT context, size_t* index) {
    auto* snapshot = static_cast<Snapshot*>(context->hCertStore);
    *index = static_cast<size_t>(context - snapshot->contexts.data());
    return snapshot;
}

// Copies text of one byte per unit into UTF-16, terminating 0 included.
WCHAR* widenInto(const std::string& text, WCHAR* out) {
    for (unsigned char c : text) {
        *out++ = c;
    }
    *out++ = 0;
    return out;
}

}  // namespace

bool refreshStore() {
    Snapshot* snapshot = openStore();
    if (snapshot == nullptr) {
        return false;
    }
    release(snapshot);
    return true;
}

bool storeListed() {
    return state().current != nullptr;
}

unsigned long storeGeneration() {
    return state().generation;
}

std::vector<KeyCertificate> certificatesWithKey(const std::string& token,
                                                const std::string& container) {
    std::vector<KeyCertificate> found;
    const Snapshot* snapshot = state().current;
    if (snapshot == nullptr) {
        return found;
    }
    for (const Entry& entry : snapshot->entries) {
        if (entry.hasKey && entry.token == token && entry.container == container) {
            found.push_back(KeyCertificate{entry.certificate->encoded, entry.keySpec});
        }
    }
    return found;
}

}  // namespace nsslayer

using nsslayer::outstanding;
using nsslayer::Snapshot;

HCERTSTORE CertOpenStore(LPCSTR storeProvider, DWORD /*encodingType*/,
                         HCRYPTPROV_LEGACY /*cryptProv*/, DWORD flags, const void* para) {
    if (storeProvider != CERT_STORE_PROV_SYSTEM_W || flags != CERT_SYSTEM_STORE_CURRENT_USER ||
        !nsslayer::isMyStore(para)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        Snapshot* snapshot = nsslayer::openStore();
        if (snapshot == nullptr) {
            SetLastError(static_cast<DWORD>(PORT_GetError()));
            return nullptr;
        }
        outstanding().stores.fetch_add(1, std::memory_order_relaxed);
        return snapshot;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL CertCloseStore(HCERTSTORE store, DWORD /*flags*/) {
    if (store != nullptr) {
        outstanding().stores.fetch_sub(1, std::memory_order_relaxed);
        nsslayer::release(static_cast<Snapshot*>(store));
    }
    return TRUE;
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous) {
    auto* snapshot = static_cast<Snapshot*>(store);
    size_t index = 0;
    // The reference `previous` holds passes on to the next context of its store: four atomic
    // operations a certificate less, a tenth of an unchanged listing.
    bool handedOn = false;
    if (previous != nullptr) {
        handedOn = nsslayer::snapshotOf(previous, &index) == snapshot;
        ++index;
    }
    if (index >= snapshot->contexts.size()) {
        CertFreeCertificateContext(previous);
        SetLastError(CRYPT_E_NOT_FOUND);
        return nullptr;
    }
    if (!handedOn) {
        CertFreeCertificateContext(previous);
        nsslayer::retain(snapshot);
        outstanding().contexts.fetch_add(1, std::memory_order_relaxed);
    }
    return &snapshot->contexts[index];
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
    if (context != nullptr) {
        outstanding().contexts.fetch_sub(1, std::memory_order_relaxed);
        nsslayer::release(static_cast<Snapshot*>(context->hCertStore));
    }
    return TRUE;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, void* data,
                                       DWORD* dataSize) {
    size_t index = 0;
    const nsslayer::Entry& entry = nsslayer::snapshotOf(context, &index)->entries[index];
    if (propId != CERT_KEY_PROV_INFO_PROP_ID || !entry.hasKey) {
        SetLastError(CRYPT_E_NOT_FOUND);
        return FALSE;
    }
    const size_t needed = sizeof(CRYPT_KEY_PROV_INFO) +
                          (entry.container.size() + 1 + entry.token.size() + 1) * sizeof(WCHAR);
    if (data == nullptr) {
        *dataSize = static_cast<DWORD>(needed);
        return TRUE;
    }
    if (*dataSize < needed) {
        *dataSize = static_cast<DWORD>(needed);
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    // One buffer, the structure followed by its strings, as the real interface lays it out.
    auto* info = static_cast<CRYPT_KEY_PROV_INFO*>(data);
    auto* container = reinterpret_cast<WCHAR*>(info + 1);
    WCHAR* provider = nsslayer::widenInto(entry.container, container);
    nsslayer::widenInto(entry.token, provider);
    *info = CRYPT_KEY_PROV_INFO{container, provider, PROV_RSA_FULL, 0, 0, nullptr, entry.keySpec};
    *dataSize = static_cast<DWORD>(needed);
    return TRUE;
}
