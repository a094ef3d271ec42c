// The current user's personal store over the NSS database sql:$HOME/.pki/nssdb, read-only.
//
// Opening a store is the hot path of every service, so the layer keeps one NSS context for the
// process and a snapshot of the certificates (their DER, decoded fields and key information). A
// snapshot is reused while the database files and the tokens are unchanged; any change made by
// another process (certutil, pk12util, a card inserted) makes the next open list afresh.
//
// NSS keeps reading the files it opened, so database files replaced by new ones (a rename, a
// restore, the directory removed and copied back) or key4.db rewritten are reopened as a slot of
// the layer's own; modules follow pkcs11.txt. A listing is kept only when no file changed while
// it was read.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cert.h>
#include <nss.h>
#include <nspr.h>
#include <pk11pub.h>
#include <pkcs11.h>
#include <secerr.h>
#include <secmod.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "cryptoapi/cert_decode.h"
#include "cryptoapi/cryptoapi.h"
#include "cryptoapi/hex.h"
#include "nss/layer.h"
#include "nss/login.h"

extern "C" {
#include <utilpars.h>
}

namespace {

struct PortFree {
    void operator()(char* p) const { PORT_Free(p); }
};

struct FileStamp {
    int error = 0;  // errno of stat(), 0 when the file exists
    bool regular = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified = {0, 0};
    struct timespec changed = {0, 0};

    bool operator==(const FileStamp& o) const {
        return error == o.error && device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

FileStamp stampOf(const std::string& path) {
    FileStamp stamp;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        stamp.error = errno;
        return stamp;
    }
    stamp.regular = S_ISREG(info.st_mode);
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modified = info.st_mtim;
    stamp.changed = info.st_ctim;
    return stamp;
}

struct TokenStamp {
    CK_SLOT_ID slot;
    bool present;
    int series;
    // Of a token behind a login: a login shows the keys of a card that holds no public keys.
    bool loggedIn;
    bool operator==(const TokenStamp& o) const {
        return slot == o.slot && present == o.present && series == o.series &&
               loggedIn == o.loggedIn;
    }
};

// What the snapshot was listed from.
struct Stamp {
    FileStamp certificates, keys, modules;
    std::vector<TokenStamp> tokens;
    bool operator==(const Stamp& o) const {
        return certificates == o.certificates && keys == o.keys && modules == o.modules &&
               tokens == o.tokens;
    }
};

struct Entry {
    std::unique_ptr<DecodedCertificate> certificate;
    bool hasKey = false;
    std::u16string container;  // hex of the key's CKA_ID
    std::u16string provider;   // the token's name, one unit per byte so that it narrows back
    DWORD keySpec = 0;
};

// The store handle: an immutable list of certificates, shared by every handle opened while the
// database is unchanged and kept alive by the contexts taken from it.
struct Snapshot {
    std::atomic<long> references{1};
    Stamp stamp;
    // False when a file changed so recently that a rewrite within the same timestamp tick
    // would leave the stamp as it is: the next open lists again.
    bool settled = true;
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

// A module registered in the database's pkcs11.txt, as the store uses it.
struct StoreModule {
    std::string library, name;
    SECMODModule* module = nullptr;  // a reference of ours
    bool unload = false;  // loaded for the store (by the library or its context): unloaded with it
};

// A connection of the layer's own to key4.db, kept open while the file is the same.
struct KeyDatabase {
    sqlite3* connection = nullptr;
    sqlite3_stmt* query = nullptr;
    dev_t device = 0;
    ino_t inode = 0;
};

struct Layer {
    std::mutex mutex;
    bool started = false;
    std::string directory;  // the database directory NSS was opened on
    NSSInitContext* context = nullptr;
    std::vector<PK11SlotInfo*> slots;
    PK11SlotInfo* databaseSlot = nullptr;
    size_t databaseIndex = 0;  // its place among the slots, kept while it is reopened
    bool ownSlot = false;      // databaseSlot was opened by SECMOD_OpenUserDB and is ours to close
    FileStamp openedCertificates, openedKeys;  // what databaseSlot was opened on
    std::string openedKeyDatabase;             // and the identity of its key database
    KeyDatabase keyDatabase;                   // what that identity is read through
    struct stat openedDirectory = {};
    std::vector<StoreModule> modules;
    FileStamp openedModules;  // the pkcs11.txt that modules follow
    Snapshot* current = nullptr;
    unsigned long generation = 0;  // counts the snapshots listed
    unsigned long opening = 0;     // counts the times databaseSlot was closed or replaced
    nsslayer::Outstanding outstanding;
};

// Never destroyed: NSS objects must not be torn down by static destructors at exit.
Layer& layer() {
    static Layer* instance = new Layer;
    return *instance;
}

std::string homeDirectory() {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] != 0) {
        return home;
    }
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return std::string();
}

// Runs `call` and puts the SIGPIPE handler back as it was: the host process (a JVM) owns it, and
// NSPR and NSS set their own when they start.
template <typename Call>
void keepingSigpipe(Call call) {
    struct sigaction pipeHandler;
    sigaction(SIGPIPE, nullptr, &pipeHandler);
    call();
    sigaction(SIGPIPE, &pipeHandler, nullptr);
}

const char kTokenDescription[] = "OstrelSignatureMS personal store";

// NSS parameters naming the database directory, quoted by NSS's own rules so that a quote or
// backslash in HOME stays part of the path, and read-only; empty when it cannot be quoted.
std::string databaseParameters(const std::string& configdir, const std::string& more) {
    std::unique_ptr<char, PortFree> quoted(NSSUTIL_Quote(configdir.c_str(), '\''));
    if (quoted == nullptr) {
        return std::string();
    }
    return std::string("configdir=") + quoted.get() + " " + more + " flags=readOnly";
}

// Opens the database as a slot of its own, read-only. The directory is spelled with a trailing "/."
// so that NSS never hands back a slot it already has on that directory (its own database, or
// another component's, still reading files that may have been replaced since): the slot is
// always a new one over the files as they are now, and ours to close.
PK11SlotInfo* openDatabaseSlot(const std::string& directory) {
    const std::string spec = databaseParameters(
        "sql:" + directory + "/.", std::string("tokenDescription='") + kTokenDescription + "'");
    if (spec.empty()) {
        return nullptr;
    }
    return SECMOD_OpenUserDB(spec.c_str());
}

// Opens NSS on the database, read-only. When NSS already belongs to someone else in the process,
// the database is added as a slot of its own so that only its certificates are seen.
bool start(Layer& l, const std::string& directory) {
    if (NSS_IsInitialized()) {
        PK11SlotInfo* slot = openDatabaseSlot(directory);
        if (slot == nullptr) {
            return false;
        }
        l.slots.push_back(slot);
        l.databaseSlot = slot;
        l.ownSlot = true;
    } else {
        // NSPR is up (see startNspr); the handler is kept all the same, should NSS touch it.
        // A module that another user in the process (SunPKCS11) initialised already is shared,
        // not refused, and never finalised under it.
        const std::string config = "sql:" + directory;
        keepingSigpipe([&] {
            l.context = NSS_InitContext(config.c_str(), "", "", "", nullptr,
                                        NSS_INIT_READONLY | NSS_INIT_OPTIMIZESPACE |
                                            NSS_INIT_PK11RELOAD | NSS_INIT_NOPK11FINALIZE);
        });
        if (l.context == nullptr) {
            return false;
        }
        PK11SlotList* all = PK11_GetAllTokens(CKM_INVALID_MECHANISM, PR_FALSE, PR_FALSE, nullptr);
        for (PK11SlotListElement* e = all ? all->head : nullptr; e != nullptr; e = e->next) {
            l.slots.push_back(PK11_ReferenceSlot(e->slot));
        }
        if (all != nullptr) {
            PK11_FreeSlotList(all);
        }
        // The modules the context loaded from pkcs11.txt are the store's, to unload with it.
        SECMODListLock* listLock = SECMOD_GetDefaultModuleListLock();
        SECMOD_GetReadLock(listLock);
        for (SECMODModuleList* m = SECMOD_GetDefaultModuleList(); m != nullptr; m = m->next) {
            if (!m->module->internal && !m->module->moduleDBOnly && m->module->dllName != nullptr) {
                l.modules.push_back(StoreModule{m->module->dllName,
                                                m->module->commonName ? m->module->commonName : "",
                                                SECMOD_ReferenceModule(m->module), true});
            }
        }
        SECMOD_ReleaseReadLock(listLock);
        l.databaseSlot = PK11_GetInternalKeySlot();
        if (l.databaseSlot != nullptr) {
            PK11_FreeSlot(l.databaseSlot);  // still referenced through l.slots
        }
    }
    l.directory = directory;
    l.started = true;
    return true;
}

void closeKeyDatabase(Layer& l) {
    sqlite3_finalize(l.keyDatabase.query);
    sqlite3_close(l.keyDatabase.connection);
    l.keyDatabase = KeyDatabase();
}

// Cuts the store off the database slot: its files were replaced, or are gone. The provider's
// cached keys go first, while their session copies can still be destroyed on it; a key still
// held by a signature in flight is cut off by the opening count and never signs again (see
// nsslayer::cutOff). The slot itself is closed when it is ours; NSS's own internal database
// stays open under the context, unused from now on.
void closeDatabase(Layer& l) {
    nsslayer::dropCachedKeys();
    closeKeyDatabase(l);
    ++l.opening;
    const auto at = std::find(l.slots.begin(), l.slots.end(), l.databaseSlot);
    if (at != l.slots.end()) {
        l.databaseIndex = static_cast<size_t>(at - l.slots.begin());
        l.slots.erase(at);
        if (l.ownSlot) {
            SECMOD_CloseUserDB(l.databaseSlot);
        }
        PK11_FreeSlot(l.databaseSlot);
    }
    l.databaseSlot = nullptr;
    l.ownSlot = false;
    if (l.current != nullptr) {
        release(l.current);
        l.current = nullptr;
    }
}

// Opens the database again, in the place of the store's slots that it had.
bool reopenDatabase(Layer& l) {
    PK11SlotInfo* slot = openDatabaseSlot(l.directory);
    if (slot == nullptr) {
        return false;
    }
    l.slots.insert(
        l.slots.begin() + static_cast<ptrdiff_t>(std::min(l.databaseIndex, l.slots.size())), slot);
    l.databaseSlot = slot;
    l.ownSlot = true;
    return true;
}

// The modules of pkcs11.txt that are not NSS's own, read by NSS's own parser.
std::vector<StoreModule> registeredModules(const std::string& directory,
                                           std::vector<std::string>* specs) {
    std::vector<StoreModule> found;
    std::string parameters = databaseParameters("sql:" + directory, "secmod='pkcs11.txt'");
    if (parameters.empty()) {
        return found;
    }
    char** list =
        NSSUTIL_DoModuleDBFunction(SECMOD_MODULE_DB_FUNCTION_FIND, &parameters[0], nullptr);
    for (char** spec = list; spec != nullptr && *spec != nullptr; ++spec) {
        std::unique_ptr<char, PortFree> library(NSSUTIL_ArgGetParamValue("library", *spec));
        std::unique_ptr<char, PortFree> name(NSSUTIL_ArgGetParamValue("name", *spec));
        if (library != nullptr && library.get()[0] != 0) {
            found.push_back(StoreModule{library.get(), name ? name.get() : "", nullptr, false});
            specs->push_back(*spec);
        }
    }
    if (list != nullptr) {
        NSSUTIL_DoModuleDBFunction(SECMOD_MODULE_DB_FUNCTION_RELEASE, &parameters[0], list);
    }
    return found;
}

bool sameModule(const StoreModule& a, const StoreModule& b) {
    return a.library == b.library && a.name == b.name;
}

// A module of the same library that NSS has loaded already (another component's), referenced.
SECMODModule* loadedModule(const std::string& library) {
    SECMODModule* found = nullptr;
    SECMODListLock* listLock = SECMOD_GetDefaultModuleListLock();
    SECMOD_GetReadLock(listLock);
    for (SECMODModuleList* m = SECMOD_GetDefaultModuleList(); m != nullptr && found == nullptr;
         m = m->next) {
        if (m->module->dllName != nullptr && library == m->module->dllName) {
            found = SECMOD_ReferenceModule(m->module);
        }
    }
    SECMOD_ReleaseReadLock(listLock);
    return found;
}

// Loads and unloads modules so that the store's are those pkcs11.txt registers now. A module
// that is gone takes its slots with it; keys found on them are cut off (see nsslayer::cutOff).
// A module that will not load is left out, as a token that cannot be read is.
void followModules(Layer& l, const std::string& directory) {
    std::vector<std::string> specs;
    const std::vector<StoreModule> wanted = registeredModules(directory, &specs);
    for (size_t i = 0; i < l.modules.size();) {
        StoreModule& m = l.modules[i];
        if (std::any_of(wanted.begin(), wanted.end(),
                        [&](const StoreModule& w) { return sameModule(w, m); })) {
            ++i;
            continue;
        }
        nsslayer::dropCachedKeys();
        for (int s = 0; s < m.module->slotCount; ++s) {
            const auto at = std::find(l.slots.begin(), l.slots.end(), m.module->slots[s]);
            if (at != l.slots.end()) {
                PK11_FreeSlot(*at);
                l.slots.erase(at);
            }
        }
        if (m.unload) {
            SECMOD_UnloadUserModule(m.module);
        }
        SECMOD_DestroyModule(m.module);
        l.modules.erase(l.modules.begin() + static_cast<ptrdiff_t>(i));
    }
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (std::any_of(l.modules.begin(), l.modules.end(),
                        [&](const StoreModule& m) { return sameModule(wanted[i], m); })) {
            continue;
        }
        StoreModule m = wanted[i];
        m.module = loadedModule(m.library);
        if (m.module == nullptr) {
            m.module = SECMOD_LoadUserModule(&specs[i][0], nullptr, PR_FALSE);
            m.unload = true;
            if (m.module != nullptr && !m.module->loaded) {
                SECMOD_DestroyModule(m.module);
                continue;
            }
        }
        if (m.module == nullptr) {
            continue;
        }
        for (int s = 0; s < m.module->slotCount; ++s) {
            l.slots.push_back(PK11_ReferenceSlot(m.module->slots[s]));
        }
        l.modules.push_back(std::move(m));
    }
}

void stampFiles(const std::string& directory, Stamp* stamp) {
    stamp->certificates = stampOf(directory + "/cert9.db");
    stamp->keys = stampOf(directory + "/key4.db");
    stamp->modules = stampOf(directory + "/pkcs11.txt");
}

void stampTokens(const Layer& l, Stamp* stamp) {
    stamp->tokens.clear();
    for (PK11SlotInfo* slot : l.slots) {
        const bool removable = slot != l.databaseSlot && PK11_IsRemovable(slot);
        const bool needLogin = PK11_NeedLogin(slot);
        if (removable || needLogin) {
            const bool present = !removable || PK11_IsPresent(slot) == PR_TRUE;
            stamp->tokens.push_back(
                TokenStamp{PK11_GetSlotID(slot), present, PK11_GetSlotSeries(slot),
                           present && needLogin && nsslayer::loggedInNow(slot)});
        }
    }
}

// What makes a key database itself: its global salt and password check, from which NSS derives,
// once per opening, the key that its private keys are encrypted under. Another database's files
// written over key4.db in place bring another salt, and so does a password change. Read through
// the SQLite NSS uses (one library in the process, so its locks stay NSS's), on a connection kept
// open on the file: a new one parses the schema first, which cost most of a small store's
// relisting. "?" when it cannot be read: any change is then taken for another database.
std::string keyDatabaseIdentity(Layer& l, const std::string& path, const FileStamp& stamp) {
    KeyDatabase& k = l.keyDatabase;
    // The open connection holds its file, so no other file can take its device and inode.
    if (k.connection != nullptr && (k.device != stamp.device || k.inode != stamp.inode)) {
        closeKeyDatabase(l);
    }
    if (k.connection == nullptr) {
        if (sqlite3_open_v2(path.c_str(), &k.connection, SQLITE_OPEN_READONLY, nullptr) !=
                SQLITE_OK ||
            sqlite3_prepare_v2(k.connection,
                               "SELECT item1, item2 FROM metaData WHERE id = 'password'", -1,
                               &k.query, nullptr) != SQLITE_OK) {
            closeKeyDatabase(l);
            return "?";
        }
        sqlite3_busy_timeout(k.connection, 100);
        // What it opened must be the file stamped; another one taken for it would answer for it.
        const FileStamp opened = stampOf(path);
        if (opened.error != 0 || opened.device != stamp.device || opened.inode != stamp.inode) {
            closeKeyDatabase(l);
            return "?";
        }
        k.device = stamp.device;
        k.inode = stamp.inode;
    }
    // Pages cached from before are not trusted: a file overwritten in place can carry the header
    // counters SQLite checks its cache by.
    sqlite3_db_release_memory(k.connection);
    std::string identity = "?";
    const int step = sqlite3_step(k.query);
    if (step == SQLITE_ROW) {
        // Not `identity = "="`: GCC 12 at -O3 takes that copy for an overlapping one.
        identity.assign(1, '=');
        for (int column = 0; column < 2; ++column) {
            const void* bytes = sqlite3_column_blob(k.query, column);
            const int length = sqlite3_column_bytes(k.query, column);
            identity.append(std::to_string(length)).push_back(':');
            if (bytes != nullptr) {
                identity.append(static_cast<const char*>(bytes), static_cast<size_t>(length));
            }
        }
    } else if (step == SQLITE_DONE) {
        identity.clear();  // a database that never had a password set
    }
    sqlite3_reset(k.query);
    return identity;
}

// Whether the database slot no longer reads the database on disk: another directory, other files
// in place of cert9.db or key4.db (NSS's SQLite handles keep reading the old ones), or another
// key database written into key4.db. Anything else NSS reads afresh through the same opening.
bool replaced(Layer& l, const std::string& directory, const struct stat& folder,
              const Stamp& stamp) {
    const auto sameFile = [](const FileStamp& a, const FileStamp& b) {
        return a.error == b.error && a.device == b.device && a.inode == b.inode;
    };
    if (l.databaseSlot == nullptr || folder.st_dev != l.openedDirectory.st_dev ||
        folder.st_ino != l.openedDirectory.st_ino ||
        !sameFile(stamp.certificates, l.openedCertificates) ||
        !sameFile(stamp.keys, l.openedKeys)) {
        return true;
    }
    if (!(stamp.keys == l.openedKeys)) {
        const std::string identity = keyDatabaseIdentity(l, directory + "/key4.db", stamp.keys);
        if (identity == "?" || identity != l.openedKeyDatabase) {
            return true;
        }
        l.openedKeys = stamp.keys;  // written, by certutil or pk12util: still the same database
    }
    return false;
}

// An SQLite transaction under way in another process (certutil, pk12util): until its journal is
// gone, a read may fail part way with nothing to tell it from an empty result.
bool writing(const std::string& directory) {
    struct stat info;
    for (const char* file :
         {"/cert9.db-journal", "/key4.db-journal", "/cert9.db-wal", "/key4.db-wal"}) {
        if (stat((directory + file).c_str(), &info) == 0 || errno != ENOENT) {
            return true;
        }
    }
    return false;
}

// Whether a stamp can be trusted to show the next change: a file changed within one timestamp
// tick of `now` could be rewritten at the same size within that tick and keep its stamp. Ticks
// are a jiffy (at most 10 ms) where timestamps have nanoseconds, up to 2 s where they do not.
bool settledAt(const Stamp& stamp, const struct timespec& now) {
    bool coarse = true;
    int64_t latest = 0;
    for (const FileStamp* file : {&stamp.certificates, &stamp.keys, &stamp.modules}) {
        if (file->error != 0) {
            continue;
        }
        // The change time, which the kernel sets on every write: a restore may set the
        // modification time anywhere, even in the future.
        const struct timespec& t = file->changed;
        coarse = coarse && t.tv_nsec == 0;
        latest = std::max(latest, static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec);
    }
    const int64_t tick = coarse ? 2000000000 : 50000000;
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec - latest > tick;
}

// One byte per unit, as the services narrow names before they reach the provider.
std::string narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
    }
    return out;
}

bool isRsa(const CERT_INFO* info) {
    return strcmp(info->SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.113549.1.1.1") == 0;
}

// A certificate object as read from a token: its DER and its CKA_ID (empty when it states none).
struct CertificateObject {
    std::string value, id;
};

// What listing a slot needs from it. Both readers never authenticate: C_FindObjects and
// C_GetAttributeValue only, whatever password callbacks exist in the process.
struct SlotObjects {
    std::vector<CertificateObject> certificates;
    std::vector<std::string> keyIds;  // of the keys that make a certificate keyed
};

// A token behind a PIN or password that nobody in the process has logged in to yet.
bool loggedOut(PK11SlotInfo* slot) {
    return PK11_NeedLogin(slot) && !nsslayer::loggedInNow(slot);
}

// Owners of what NSS hands out while listing, so that a std::bad_alloc on the way releases it.
struct ObjectsRelease {
    void operator()(PK11GenericObject* objects) const { PK11_DestroyGenericObjects(objects); }
};
using ObjectsRef = std::unique_ptr<PK11GenericObject, ObjectsRelease>;

// Attribute values that PK11_ReadRawAttributes allocated (no arena): each is PORT_Free'd.
template <size_t N>
struct Attributes {
    CK_ATTRIBUTE values[N];
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    explicit Attributes(const CK_ATTRIBUTE_TYPE (&types)[N]) {
        for (size_t i = 0; i < N; ++i) {
            values[i] = CK_ATTRIBUTE{types[i], nullptr, 0};
        }
    }
    ~Attributes() {
        for (CK_ATTRIBUTE& value : values) {
            PORT_Free(value.pValue);
        }
    }
    // Reads them all in one pair of C_GetAttributeValue calls on the slot's own session.
    bool read(PK11GenericObject* object) {
        return PK11_ReadRawAttributes(nullptr, PK11_TypeGeneric, object, values, N) == SECSuccess;
    }
    std::string bytes(size_t i) const {
        return std::string(static_cast<const char*>(values[i].pValue), values[i].ulValueLen);
    }
};

// Every object of one class on the slot, or none. False when the token could not be searched
// (PK11_FindGenericObjects answers null for both).
bool findObjects(PK11SlotInfo* slot, CK_OBJECT_CLASS objectClass, ObjectsRef* objects) {
    PORT_SetError(0);
    objects->reset(PK11_FindGenericObjects(slot, objectClass));
    return *objects != nullptr || PORT_GetError() == 0;
}

bool nssIdsOf(PK11SlotInfo* slot, CK_OBJECT_CLASS objectClass, std::vector<std::string>* ids) {
    ObjectsRef objects;
    if (!findObjects(slot, objectClass, &objects)) {
        return false;
    }
    for (PK11GenericObject* o = objects.get(); o != nullptr; o = PK11_GetNextGenericObject(o)) {
        Attributes<1> id({CKA_ID});
        if (id.read(o) && id.values[0].ulValueLen > 0) {
            ids->push_back(id.bytes(0));
        }
    }
    return true;
}

// Reads a slot through NSS's generic objects, which ask each value's size before the value:
// what any module answers correctly, a smart card's included.
bool readByNss(PK11SlotInfo* slot, SlotObjects* objects) {
    ObjectsRef certificates;
    if (!findObjects(slot, CKO_CERTIFICATE, &certificates) ||
        !nssIdsOf(slot, CKO_PRIVATE_KEY, &objects->keyIds) ||
        (loggedOut(slot) && !nssIdsOf(slot, CKO_PUBLIC_KEY, &objects->keyIds))) {
        return false;
    }
    for (PK11GenericObject* o = certificates.get(); o != nullptr;
         o = PK11_GetNextGenericObject(o)) {
        Attributes<2> both({CKA_VALUE, CKA_ID});
        Attributes<1> alone({CKA_VALUE});  // a certificate may state no CKA_ID: no key then
        if (both.read(o)) {
            objects->certificates.push_back({both.bytes(0), both.bytes(1)});
        } else if (alone.read(o)) {
            objects->certificates.push_back({alone.bytes(0), std::string()});
        }
    }
    return true;
}

// A read-only session of the layer's own on a slot of NSS's database. Every attribute that
// NSS's database reads is an SQL query, and NSS's size-then-value reading makes two per object:
// this reads each object with one C_GetAttributeValue, into buffers grown when a value does not
// fit. The login state is the token's, shared by every session.
class DatabaseSession {
  public:
    explicit DatabaseSession(PK11SlotInfo* slot)
        : functions_(static_cast<CK_FUNCTION_LIST*>(PK11_GetModule(slot)->functionList)) {
        if (functions_ != nullptr &&
            functions_->C_OpenSession(PK11_GetSlotID(slot), CKF_SERIAL_SESSION, nullptr, nullptr,
                                      &session_) != CKR_OK) {
            session_ = CK_INVALID_HANDLE;
        }
    }
    ~DatabaseSession() {
        if (session_ != CK_INVALID_HANDLE) {
            functions_->C_CloseSession(session_);
        }
    }
    DatabaseSession(const DatabaseSession&) = delete;
    DatabaseSession& operator=(const DatabaseSession&) = delete;

    bool open() const { return session_ != CK_INVALID_HANDLE; }

    // The handles of every object of one class; false when the search failed.
    bool find(CK_OBJECT_CLASS objectClass, std::vector<CK_OBJECT_HANDLE>* handles) {
        CK_ATTRIBUTE match = {CKA_CLASS, &objectClass, sizeof objectClass};
        if (functions_->C_FindObjectsInit(session_, &match, 1) != CKR_OK) {
            return false;
        }
        CK_OBJECT_HANDLE chunk[256];
        CK_ULONG found = 0;
        CK_RV rv = CKR_OK;
        while ((rv = functions_->C_FindObjects(session_, chunk, 256, &found)) == CKR_OK &&
               found > 0) {
            handles->insert(handles->end(), chunk, chunk + found);
        }
        functions_->C_FindObjectsFinal(session_);
        return rv == CKR_OK;
    }

    // Reads the attributes of `types` (CKA_VALUE, CKA_ID) into `out`, in that order; false when
    // they cannot be read.
    template <size_t N>
    bool read(CK_OBJECT_HANDLE object, const CK_ATTRIBUTE_TYPE (&types)[N], std::string* out) {
        static_assert(N <= 2, "one buffer per attribute type");
        CK_ATTRIBUTE wanted[N];
        const CK_ULONG count = N;
        for (size_t i = 0; i < N; ++i) {
            wanted[i].type = types[i];
        }
        aim(wanted, count);
        CK_RV rv = functions_->C_GetAttributeValue(session_, object, wanted, count);
        if (rv == CKR_BUFFER_TOO_SMALL) {
            for (size_t i = 0; i < count; ++i) {
                wanted[i].pValue = nullptr;
            }
            rv = functions_->C_GetAttributeValue(session_, object, wanted, count);
            for (size_t i = 0; rv == CKR_OK && i < count; ++i) {
                if (wanted[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) {
                    return false;
                }
                std::vector<BYTE>& buffer = bufferOf(wanted[i].type);
                buffer.resize(std::max<size_t>(buffer.size(), wanted[i].ulValueLen));
            }
            if (rv != CKR_OK) {
                return false;
            }
            aim(wanted, count);
            rv = functions_->C_GetAttributeValue(session_, object, wanted, count);
        }
        if (rv != CKR_OK) {
            return false;
        }
        for (size_t i = 0; i < count; ++i) {
            if (wanted[i].ulValueLen > bufferOf(wanted[i].type).size()) {
                return false;  // CK_UNAVAILABLE_INFORMATION, or a module past its buffer
            }
            out[i].assign(reinterpret_cast<const char*>(wanted[i].pValue), wanted[i].ulValueLen);
        }
        return true;
    }

  private:
    std::vector<BYTE>& bufferOf(CK_ATTRIBUTE_TYPE type) { return type == CKA_ID ? id_ : value_; }
    void aim(CK_ATTRIBUTE* attributes, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            std::vector<BYTE>& buffer = bufferOf(attributes[i].type);
            attributes[i].pValue = buffer.data();
            attributes[i].ulValueLen = buffer.size();
        }
    }

    CK_FUNCTION_LIST* functions_;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    std::vector<BYTE> value_ = std::vector<BYTE>(4096);  // most certificates fit
    std::vector<BYTE> id_ = std::vector<BYTE>(64);
};

// Reads a slot of NSS's own database through a session of the layer's own (see DatabaseSession).
bool readDatabase(PK11SlotInfo* slot, SlotObjects* objects) {
    DatabaseSession session(slot);
    if (!session.open()) {
        return false;
    }
    std::vector<CK_OBJECT_HANDLE> certificates, keys;
    if (!session.find(CKO_CERTIFICATE, &certificates) || !session.find(CKO_PRIVATE_KEY, &keys) ||
        (loggedOut(slot) && !session.find(CKO_PUBLIC_KEY, &keys))) {
        return false;
    }
    std::string id;
    for (CK_OBJECT_HANDLE key : keys) {
        if (session.read(key, {CKA_ID}, &id) && !id.empty()) {
            objects->keyIds.push_back(id);
        }
    }
    objects->certificates.reserve(certificates.size());
    std::string both[2];
    for (CK_OBJECT_HANDLE certificate : certificates) {
        if (session.read(certificate, {CKA_VALUE, CKA_ID}, both)) {
            objects->certificates.push_back({both[0], both[1]});
        } else if (session.read(certificate, {CKA_VALUE}, both)) {
            // a certificate may state no CKA_ID: no key then
            objects->certificates.push_back({both[0], std::string()});
        }
    }
    return true;
}

// Lists the slot's certificates into the snapshot, by PKCS#11 objects and without logging in:
// PK11_ListCertsInSlot, PK11_KeyForCertExists and their kin authenticate to the token as soon as
// any password callback exists in the process. A certificate has a key, by NSS's own rule, when a
// visible private key has its CKA_ID or, on a token not logged in (its private keys hidden), a
// public key has it. False when the slot could not be read.
bool listSlot(PK11SlotInfo* slot, Snapshot* snapshot) {
    SlotObjects objects;
    const SECMODModule* module = PK11_GetModule(slot);
    if (!(module != nullptr && module->internal ? readDatabase(slot, &objects)
                                                : readByNss(slot, &objects))) {
        return false;
    }
    std::vector<std::string>& keyIds = objects.keyIds;
    std::sort(keyIds.begin(), keyIds.end());
    std::u16string provider;
    for (const char* c = PK11_GetTokenName(slot); *c != 0; ++c) {
        provider.push_back(static_cast<unsigned char>(*c));
    }
    for (const CertificateObject& object : objects.certificates) {
        Entry entry;
        entry.certificate = decodeCertificate(reinterpret_cast<const BYTE*>(object.value.data()),
                                              object.value.size());
        if (entry.certificate == nullptr) {
            continue;  // NSS accepted an encoding that is not a certificate the platform would hold
        }
        const std::string& id = object.id;
        if (!id.empty() && std::binary_search(keyIds.begin(), keyIds.end(), id)) {
            entry.hasKey = true;
            appendHex(reinterpret_cast<const uint8_t*>(id.data()), id.size(), HexDigits::lower,
                      &entry.container);
            entry.provider = provider;
            entry.keySpec = nsslayer::keySpecOf(&entry.certificate->info);
        }
        snapshot->entries.push_back(std::move(entry));
    }
    return true;
}

// Lists the store's certificates; null when the database cannot be read.
Snapshot* list(Layer& l, const Stamp& stamp) {
    auto snapshot = std::make_unique<Snapshot>();
    snapshot->stamp = stamp;
    for (PK11SlotInfo* slot : l.slots) {
        if (!PK11_IsPresent(slot)) {
            continue;
        }
        const size_t before = snapshot->entries.size();
        if (!listSlot(slot, snapshot.get())) {
            if (slot == l.databaseSlot) {
                return nullptr;
            }
            // A token that fails is left out whole.
            snapshot->entries.erase(snapshot->entries.begin() + static_cast<ptrdiff_t>(before),
                                    snapshot->entries.end());
        }
    }
    snapshot->contexts.reserve(snapshot->entries.size());
    for (Entry& entry : snapshot->entries) {
        DecodedCertificate* cert = entry.certificate.get();
        snapshot->contexts.push_back(
            CERT_CONTEXT{X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, cert->encoded.data(),
                         static_cast<DWORD>(cert->encoded.size()), &cert->info, snapshot.get()});
    }
    return snapshot.release();
}

bool isMyStore(const void* para) {
    const auto* name = static_cast<const WCHAR*>(para);
    return name != nullptr && (name[0] == 'M' || name[0] == 'm') &&
           (name[1] == 'Y' || name[1] == 'y') && name[2] == 0;
}

// NSPR ignores SIGPIPE when it starts, and any NSS or NSPR call starts it (PORT_GetError after
// a failed open included); the host process (a JVM) owns that handler, and under -Xcheck:jni it
// checks its handlers periodically and warns when one changed. So NSPR is started here, before
// anything else of the layer can, and the handler is put back at once.
void startNspr() {
    if (PR_Initialized()) {
        return;
    }
    keepingSigpipe([] { PR_Init(PR_USER_THREAD, PR_PRIORITY_NORMAL, 0); });
}

enum class Attempt { kOpened, kFailed, kAgain };

// One look at the database: the store as it is on disk, or a failure, or kAgain when the files
// changed while they were read (the result may be partial). Call with the lock held.
Attempt tryOpen(Layer& l, const std::string& directory, Snapshot** opened) {
    // Four stat() calls in all on the way to an unchanged snapshot: they are most of a query.
    struct stat folder;
    Stamp stamp;
    const bool folderThere = stat(directory.c_str(), &folder) == 0;
    const int folderError = folderThere ? 0 : errno;
    if (folderThere) {
        stampFiles(directory, &stamp);
    }
    if (!folderThere || stamp.certificates.error != 0) {
        // A user without a database has an empty store, as a new Windows user has; anything
        // else that stops us from looking is a failure.
        if ((folderThere ? stamp.certificates.error : folderError) != ENOENT) {
            return Attempt::kFailed;
        }
        if (l.databaseSlot != nullptr) {
            closeDatabase(l);  // removed: nothing read from it may be used again
        }
        *opened = new Snapshot;
        return Attempt::kOpened;
    }
    // A FIFO (or device, or directory) where a database file belongs would hang or confuse NSS.
    for (const FileStamp* file : {&stamp.certificates, &stamp.keys, &stamp.modules}) {
        if ((file->error == 0 && !file->regular) || (file->error != 0 && file->error != ENOENT)) {
            PORT_SetError(SEC_ERROR_BAD_DATABASE);
            return Attempt::kFailed;
        }
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    // Whatever fails or is read from here is trusted only when no file changed meanwhile.
    const auto unchanged = [&] {
        Stamp after;
        stampFiles(directory, &after);
        return after.certificates == stamp.certificates && after.keys == stamp.keys &&
               after.modules == stamp.modules && !writing(directory);
    };
    bool fresh = false;
    if (!l.started) {
        fresh = true;
        if (!start(l, directory)) {
            return unchanged() ? Attempt::kFailed : Attempt::kAgain;
        }
    } else if (replaced(l, directory, folder, stamp)) {
        fresh = true;
        if (l.databaseSlot != nullptr) {
            closeDatabase(l);
        }
        if (!reopenDatabase(l)) {
            return unchanged() ? Attempt::kFailed : Attempt::kAgain;
        }
    }
    if (fresh) {
        l.openedDirectory = folder;
        l.openedCertificates = stamp.certificates;
        l.openedKeys = stamp.keys;
        l.openedKeyDatabase = keyDatabaseIdentity(l, directory + "/key4.db", stamp.keys);
    }
    if (fresh || !(stamp.modules == l.openedModules)) {
        followModules(l, directory);
        l.openedModules = stamp.modules;
    }
    stampTokens(l, &stamp);
    if (l.current != nullptr && l.current->settled && l.current->stamp == stamp) {
        retain(l.current);
        *opened = l.current;
        return Attempt::kOpened;
    }
    Snapshot* listed = list(l, stamp);
    if (!unchanged()) {
        if (listed != nullptr) {
            release(listed);
        }
        return Attempt::kAgain;
    }
    if (listed == nullptr) {
        return Attempt::kFailed;
    }
    listed->settled = settledAt(stamp, now);
    if (l.current != nullptr) {
        release(l.current);
    }
    l.current = listed;
    ++l.generation;
    retain(l.current);
    *opened = l.current;
    return Attempt::kOpened;
}

Snapshot* openStore() {
    Layer& l = layer();
    std::lock_guard<std::mutex> guard(l.mutex);
    startNspr();
    std::string directory = l.directory;
    if (!l.started) {
        directory = homeDirectory();
        if (directory.empty()) {
            return nullptr;
        }
        directory += "/.pki/nssdb";
    }
    // Another process writing: look again, a little later each time (about 0.3 s in all, the
    // lock held), and fail rather than hand back a store that may be partial.
    constexpr int kAttempts = 12;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0) {
            usleep(static_cast<useconds_t>(std::min(1000 << (attempt - 1), 50000)));
        }
        Snapshot* opened = nullptr;
        switch (tryOpen(l, directory, &opened)) {
            case Attempt::kOpened:
                return opened;
            case Attempt::kFailed:
                return nullptr;
            case Attempt::kAgain:
                break;
        }
    }
    PORT_SetError(SEC_ERROR_BAD_DATABASE);
    return nullptr;
}

Snapshot* snapshotOf(PCCERT_CONTEXT context, size_t* index) {
    auto* snapshot = static_cast<Snapshot*>(context->hCertStore);
    *index = static_cast<size_t>(context - snapshot->contexts.data());
    return snapshot;
}

}  // namespace

namespace nsslayer {

std::mutex& lock() {
    return layer().mutex;
}

const std::vector<PK11SlotInfo*>& storeSlots() {
    return layer().slots;
}

Outstanding& outstanding() {
    return layer().outstanding;
}

unsigned long storeGeneration() {
    return layer().generation;
}

PK11SlotInfo* databaseSlot() {
    return layer().databaseSlot;
}

unsigned long databaseOpening() {
    return layer().opening;
}

std::vector<std::vector<BYTE>> certificatesWithKey(const std::string& token,
                                                   const std::string& container) {
    std::vector<std::vector<BYTE>> found;
    const Snapshot* snapshot = layer().current;
    if (snapshot == nullptr) {
        return found;
    }
    for (const Entry& entry : snapshot->entries) {
        if (entry.hasKey && narrow(entry.provider) == token &&
            narrow(entry.container) == container) {
            found.push_back(entry.certificate->encoded);
        }
    }
    return found;
}

DWORD keySpecOf(const CERT_INFO* info) {
    BYTE usage[2] = {0, 0};
    if (!isRsa(info)) {
        return AT_SIGNATURE;
    }
    if (!CertGetIntendedKeyUsage(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                 const_cast<CERT_INFO*>(info), usage, sizeof usage)) {
        return AT_KEYEXCHANGE;
    }
    return (usage[0] & 0x20) ? AT_KEYEXCHANGE : AT_SIGNATURE;  // keyEncipherment
}

}  // namespace nsslayer

HCERTSTORE CertOpenStore(LPCSTR storeProvider, DWORD /*encodingType*/,
                         HCRYPTPROV_LEGACY /*cryptProv*/, DWORD flags, const void* para) {
    if (storeProvider != CERT_STORE_PROV_SYSTEM_W || flags != CERT_SYSTEM_STORE_CURRENT_USER ||
        !isMyStore(para)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        Snapshot* snapshot = openStore();
        if (snapshot == nullptr) {
            SetLastError(static_cast<DWORD>(PORT_GetError()));
            return nullptr;
        }
        layer().outstanding.stores.fetch_add(1, std::memory_order_relaxed);
        return snapshot;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL CertCloseStore(HCERTSTORE store, DWORD /*flags*/) {
    if (store != nullptr) {
        layer().outstanding.stores.fetch_sub(1, std::memory_order_relaxed);
        release(static_cast<Snapshot*>(store));
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
        handedOn = snapshotOf(previous, &index) == snapshot;
        ++index;
    }
    if (index >= snapshot->contexts.size()) {
        CertFreeCertificateContext(previous);
        SetLastError(CRYPT_E_NOT_FOUND);
        return nullptr;
    }
    if (!handedOn) {
        CertFreeCertificateContext(previous);
        retain(snapshot);
        layer().outstanding.contexts.fetch_add(1, std::memory_order_relaxed);
    }
    return &snapshot->contexts[index];
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
    if (context != nullptr) {
        retain(static_cast<Snapshot*>(context->hCertStore));
        layer().outstanding.contexts.fetch_add(1, std::memory_order_relaxed);
    }
    return context;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
    if (context != nullptr) {
        layer().outstanding.contexts.fetch_sub(1, std::memory_order_relaxed);
        release(static_cast<Snapshot*>(context->hCertStore));
    }
    return TRUE;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, void* data,
                                       DWORD* dataSize) {
    size_t index = 0;
    const Entry& entry = snapshotOf(context, &index)->entries[index];
    if (propId != CERT_KEY_PROV_INFO_PROP_ID || !entry.hasKey) {
        SetLastError(CRYPT_E_NOT_FOUND);
        return FALSE;
    }
    const size_t containerBytes = (entry.container.size() + 1) * sizeof(WCHAR);
    const size_t needed =
        sizeof(CRYPT_KEY_PROV_INFO) + containerBytes + (entry.provider.size() + 1) * sizeof(WCHAR);
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
    auto* provider = reinterpret_cast<WCHAR*>(reinterpret_cast<BYTE*>(container) + containerBytes);
    memcpy(container, entry.container.c_str(), containerBytes);
    memcpy(provider, entry.provider.c_str(), (entry.provider.size() + 1) * sizeof(WCHAR));
    *info = CRYPT_KEY_PROV_INFO{container, provider, PROV_RSA_FULL, 0, 0, nullptr, entry.keySpec};
    *dataSize = static_cast<DWORD>(needed);
    return TRUE;
}
