#include "nss/startup.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nspr.h>
#include <nss.h>
#include <secmod.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

extern "C" {
#include <utilpars.h>
}

namespace nsslayer {
namespace {

const char kTokenDescription[] = "OstrelSignatureMS personal store";

// A module registered in the database's pkcs11.txt, as the store uses it.
struct StoreModule {
    std::string library, name;
    ModuleRef module;
    bool unload = false;  // loaded for the store (by the layer or its context): unloaded with it
};

struct Startup {
    std::mutex mutex;
    bool started = false;
    std::string directory;  // the database directory NSS was opened on
    NSSInitContext* context = nullptr;
    std::vector<SlotRef> slots;
    PK11SlotInfo* databaseSlot = nullptr;  // one of slots
    size_t databaseIndex = 0;              // its place among them, kept while it is reopened
    bool ownSlot = false;  // databaseSlot was opened by SECMOD_OpenUserDB and is ours to close
    std::vector<StoreModule> modules;
    unsigned long opening = 0;
    std::vector<void (*)()> hooks;
};

// Never destroyed: NSS objects must not be torn down by static destructors at exit.
Startup& state() {
    static Startup* instance = new Startup;
    return *instance;
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

void runHooks() {
    for (void (*hook)() : state().hooks) {
        hook();
    }
}

// NSS parameters naming the database directory, quoted by NSS's own rules so that a quote or
// backslash in HOME stays part of the path, and read-only; empty when it cannot be quoted.
std::string databaseParameters(const std::string& configdir, const std::string& more) {
    const NssTextRef quoted(NSSUTIL_Quote(configdir.c_str(), '\''));
    if (quoted == nullptr) {
        return std::string();
    }
    return std::string("configdir=") + quoted.get() + " " + more + " flags=readOnly";
}

// Opens the database as a slot of its own, read-only. The directory is spelled with a trailing "/."
// so that NSS never hands back a slot it already has on that directory (its own database, or
// another component's, still reading files that may have been replaced since): the slot is
// always a new one over the files as they are now, and ours to close.
SlotRef openDatabaseSlot(const std::string& directory) {
    const std::string spec = databaseParameters(
        "sql:" + directory + "/.", std::string("tokenDescription='") + kTokenDescription + "'");
    return SlotRef(spec.empty() ? nullptr : SECMOD_OpenUserDB(spec.c_str()));
}

// The modules of pkcs11.txt that are not NSS's own, read by NSS's own parser, each with the spec
// that loads it.
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
        const NssTextRef library(NSSUTIL_ArgGetParamValue("library", *spec));
        const NssTextRef name(NSSUTIL_ArgGetParamValue("name", *spec));
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
ModuleRef loadedModule(const std::string& library) {
    ModuleRef found;
    SECMODListLock* listLock = SECMOD_GetDefaultModuleListLock();
    SECMOD_GetReadLock(listLock);
    for (SECMODModuleList* m = SECMOD_GetDefaultModuleList(); m != nullptr && found == nullptr;
         m = m->next) {
        if (m->module->dllName != nullptr && library == m->module->dllName) {
            found.reset(SECMOD_ReferenceModule(m->module));
        }
    }
    SECMOD_ReleaseReadLock(listLock);
    return found;
}

void addSlotsOf(SECMODModule* module) {
    for (int s = 0; s < module->slotCount; ++s) {
        state().slots.emplace_back(PK11_ReferenceSlot(module->slots[s]));
    }
}

void removeSlotsOf(SECMODModule* module) {
    std::vector<SlotRef>& slots = state().slots;
    for (int s = 0; s < module->slotCount; ++s) {
        slots.erase(
            std::remove_if(slots.begin(), slots.end(),
                           [&](const SlotRef& slot) { return slot.get() == module->slots[s]; }),
            slots.end());
    }
}

}  // namespace

std::mutex& lock() {
    return state().mutex;
}

void startNspr() {
    if (!PR_Initialized()) {
        keepingSigpipe([] { PR_Init(PR_USER_THREAD, PR_PRIORITY_NORMAL, 0); });
    }
}

UserDatabase chooseUserDatabase(const std::string& home, const char* xdgDataHome,
                                bool legacyThere) {
    if (home.empty()) {
        return UserDatabase{std::string(), "there is no home directory"};
    }
    if (legacyThere) {
        return UserDatabase{home + "/.pki/nssdb", "~/.pki/nssdb exists"};
    }
    // The XDG rule: a relative XDG_DATA_HOME is ignored.
    if (xdgDataHome != nullptr && xdgDataHome[0] == '/') {
        return UserDatabase{std::string(xdgDataHome) + "/pki/nssdb",
                            "there is no ~/.pki/nssdb, and XDG_DATA_HOME is set"};
    }
    return UserDatabase{home + "/.local/share/pki/nssdb",
                        "there is no ~/.pki/nssdb, and XDG_DATA_HOME is not set"};
}

UserDatabase userDatabase() {
    std::string home;
    const char* variable = getenv("HOME");
    if (variable != nullptr && variable[0] != 0) {
        home = variable;
    } else {
        struct passwd entry;
        struct passwd* found = nullptr;
        char buffer[4096];
        if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
            found->pw_dir != nullptr) {
            home = found->pw_dir;
        }
    }
    // Anything there, even what cannot be looked at, is the database's place: a broken one is
    // reported as such, not passed over for another.
    struct stat legacy;
    const bool legacyThere = !home.empty() && (stat((home + "/.pki/nssdb").c_str(), &legacy) == 0 ||
                                               (errno != ENOENT && errno != ENOTDIR));
    return chooseUserDatabase(home, getenv("XDG_DATA_HOME"), legacyThere);
}

bool started() {
    return state().started;
}

const std::string& startedDirectory() {
    return state().directory;
}

bool start(const std::string& directory) {
    Startup& s = state();
    if (NSS_IsInitialized()) {
        SlotRef slot = openDatabaseSlot(directory);
        if (slot == nullptr) {
            return false;
        }
        s.databaseSlot = slot.get();
        s.slots.push_back(std::move(slot));
        s.ownSlot = true;
    } else {
        // NSPR is up (see startNspr); the handler is kept all the same, should NSS touch it.
        // A module that another user in the process (SunPKCS11) initialised already is shared,
        // not refused, and never finalised under it.
        const std::string config = "sql:" + directory;
        keepingSigpipe([&] {
            s.context = NSS_InitContext(config.c_str(), "", "", "", nullptr,
                                        NSS_INIT_READONLY | NSS_INIT_OPTIMIZESPACE |
                                            NSS_INIT_PK11RELOAD | NSS_INIT_NOPK11FINALIZE);
        });
        if (s.context == nullptr) {
            return false;
        }
        const SlotListRef all(
            PK11_GetAllTokens(CKM_INVALID_MECHANISM, PR_FALSE, PR_FALSE, nullptr));
        for (PK11SlotListElement* e = all ? all->head : nullptr; e != nullptr; e = e->next) {
            s.slots.emplace_back(PK11_ReferenceSlot(e->slot));
        }
        // The modules the context loaded from pkcs11.txt are the store's, to unload with it.
        SECMODListLock* listLock = SECMOD_GetDefaultModuleListLock();
        SECMOD_GetReadLock(listLock);
        for (SECMODModuleList* m = SECMOD_GetDefaultModuleList(); m != nullptr; m = m->next) {
            if (!m->module->internal && !m->module->moduleDBOnly && m->module->dllName != nullptr) {
                s.modules.push_back(StoreModule{
                    m->module->dllName, m->module->commonName ? m->module->commonName : "",
                    ModuleRef(SECMOD_ReferenceModule(m->module)), true});
            }
        }
        SECMOD_ReleaseReadLock(listLock);
        // Still referenced through the slots.
        const SlotRef internal(PK11_GetInternalKeySlot());
        s.databaseSlot = internal.get();
    }
    s.directory = directory;
    s.started = true;
    return true;
}

const std::vector<SlotRef>& storeSlots() {
    return state().slots;
}

PK11SlotInfo* databaseSlot() {
    return state().databaseSlot;
}

unsigned long databaseOpening() {
    return state().opening;
}

void beforeSlotsGo(void (*hook)()) {
    std::vector<void (*)()>& hooks = state().hooks;
    if (std::find(hooks.begin(), hooks.end(), hook) == hooks.end()) {
        hooks.push_back(hook);
    }
}

void closeDatabase() {
    Startup& s = state();
    runHooks();
    ++s.opening;
    const auto at = std::find_if(s.slots.begin(), s.slots.end(),
                                 [&](const SlotRef& slot) { return slot.get() == s.databaseSlot; });
    if (at != s.slots.end()) {
        s.databaseIndex = static_cast<size_t>(at - s.slots.begin());
        if (s.ownSlot) {
            SECMOD_CloseUserDB(s.databaseSlot);
        }
        s.slots.erase(at);
    }
    s.databaseSlot = nullptr;
    s.ownSlot = false;
}

bool reopenDatabase() {
    Startup& s = state();
    SlotRef slot = openDatabaseSlot(s.directory);
    if (slot == nullptr) {
        return false;
    }
    s.databaseSlot = slot.get();
    s.ownSlot = true;
    s.slots.insert(
        s.slots.begin() + static_cast<ptrdiff_t>(std::min(s.databaseIndex, s.slots.size())),
        std::move(slot));
    return true;
}

void followModules() {
    Startup& s = state();
    std::vector<std::string> specs;
    std::vector<StoreModule> wanted = registeredModules(s.directory, &specs);
    for (size_t i = 0; i < s.modules.size();) {
        StoreModule& m = s.modules[i];
        if (std::any_of(wanted.begin(), wanted.end(),
                        [&](const StoreModule& w) { return sameModule(w, m); })) {
            ++i;
            continue;
        }
        runHooks();
        removeSlotsOf(m.module.get());
        if (m.unload) {
            SECMOD_UnloadUserModule(m.module.get());
        }
        s.modules.erase(s.modules.begin() + static_cast<ptrdiff_t>(i));
    }
    for (size_t i = 0; i < wanted.size(); ++i) {
        StoreModule& m = wanted[i];
        if (std::any_of(s.modules.begin(), s.modules.end(),
                        [&](const StoreModule& have) { return sameModule(m, have); })) {
            continue;
        }
        m.module = loadedModule(m.library);
        if (m.module == nullptr) {
            m.module.reset(SECMOD_LoadUserModule(&specs[i][0], nullptr, PR_FALSE));
            m.unload = true;
            if (m.module == nullptr || !m.module->loaded) {
                continue;
            }
        }
        addSlotsOf(m.module.get());
        s.modules.push_back(std::move(m));
    }
}

}  // namespace nsslayer
