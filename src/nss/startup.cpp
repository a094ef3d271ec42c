#include "nss/startup.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nspr.h>
#include <nss.h>
#include <secerr.h>
#include <secmod.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>

extern "C" {
#include <utilpars.h>
}

namespace nsslayer {
namespace {

const char kTokenDescription[] = "OstrelSignatureMS personal store";

// A module registered in the database's pkcs11.txt, as the store uses it.
struct StoreModule {
    std::string library, name;
    std::string spec;  // what loads it
    ModuleState state = ModuleState::kLoading;
    std::string error;    // why it failed
    ModuleRef module;     // once loaded
    bool unload = false;  // loaded by the layer: unloaded when it leaves the store
    std::chrono::steady_clock::time_point reconnected;  // see reconnectModule
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
    // Shared with a thread loading the module without the lock, which finds on its return whether
    // the module is still wanted.
    std::vector<std::shared_ptr<StoreModule>> modules;
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
std::vector<StoreModule> registeredModules(const std::string& directory) {
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
            StoreModule module;
            module.library = library.get();
            module.name = name ? name.get() : "";
            module.spec = *spec;
            found.push_back(std::move(module));
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

// NSS's name and text for an error, for a person.
std::string failureText(PRErrorCode error) {
    const char* name = PR_ErrorToName(error);
    const char* text = PR_ErrorToString(error, PR_LANGUAGE_I_DEFAULT);
    std::string out = name != nullptr ? name : "error " + std::to_string(error);
    if (text != nullptr && text[0] != 0) {
        out += std::string(": ") + text;
    }
    return out;
}

// Adds the module's slots that the store does not hold yet: all of them, empty readers included,
// so that a card inserted later is seen.
void addSlotsOf(SECMODModule* module) {
    std::vector<SlotRef>& slots = state().slots;
    for (int s = 0; s < module->slotCount; ++s) {
        if (std::none_of(slots.begin(), slots.end(),
                         [&](const SlotRef& slot) { return slot.get() == module->slots[s]; })) {
            slots.emplace_back(PK11_ReferenceSlot(module->slots[s]));
        }
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
        // The modules of pkcs11.txt are loaded by followModules, outside the lock, not here: one
        // slow to start would hold every caller up. A module that another user in the process
        // (SunPKCS11) initialised already is shared, not refused, and never finalised under it.
        const std::string config = "sql:" + directory;
        keepingSigpipe([&] {
            s.context =
                NSS_InitContext(config.c_str(), "", "", "", nullptr,
                                NSS_INIT_READONLY | NSS_INIT_NOMODDB | NSS_INIT_OPTIMIZESPACE |
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

void followModules(std::unique_lock<std::mutex>& held) {
    Startup& s = state();
    std::vector<StoreModule> wanted = registeredModules(s.directory);
    const auto registered = [&](const StoreModule& m) {
        return std::any_of(wanted.begin(), wanted.end(),
                           [&](const StoreModule& w) { return sameModule(w, m); });
    };
    for (auto at = s.modules.begin(); at != s.modules.end();) {
        StoreModule& m = **at;
        if (registered(m)) {
            ++at;
            continue;
        }
        if (m.state == ModuleState::kLoaded) {
            runHooks();
            removeSlotsOf(m.module.get());
            if (m.unload) {
                SECMOD_UnloadUserModule(m.module.get());
            }
        }
        at = s.modules.erase(at);  // one still loading is unloaded by its loader
    }
    // New modules, and those that failed before: pkcs11.txt changed, so they may load now.
    std::vector<std::shared_ptr<StoreModule>> loading;
    for (StoreModule& w : wanted) {
        auto have =
            std::find_if(s.modules.begin(), s.modules.end(),
                         [&](const std::shared_ptr<StoreModule>& m) { return sameModule(*m, w); });
        if (have != s.modules.end() && (*have)->state != ModuleState::kFailed) {
            continue;
        }
        const std::shared_ptr<StoreModule> m =
            have != s.modules.end() ? *have : std::make_shared<StoreModule>(std::move(w));
        if (have == s.modules.end()) {
            s.modules.push_back(m);
        }
        m->error.clear();
        m->module = loadedModule(m->library);
        if (m->module != nullptr) {
            m->state = ModuleState::kLoaded;
            m->unload = false;
            addSlotsOf(m->module.get());
        } else {
            m->state = ModuleState::kLoading;
            loading.push_back(m);
        }
    }
    // Each loaded without the lock: C_Initialize may take seconds (a card reader's daemon, a
    // network token), or never return. Meanwhile other calls see the store without it, and never
    // load it a second time; each joins the store as soon as it has loaded.
    for (const std::shared_ptr<StoreModule>& m : loading) {
        held.unlock();
        // A module may set its own handler too (OpenSC's desktop notifications ignore SIGPIPE).
        ModuleRef module;
        keepingSigpipe(
            [&] { module.reset(SECMOD_LoadUserModule(&m->spec[0], nullptr, PR_FALSE)); });
        const std::string error =
            module == nullptr || !module->loaded ? failureText(PORT_GetError()) : std::string();
        held.lock();
        if (!error.empty()) {
            m->state = ModuleState::kFailed;  // tried again when pkcs11.txt changes
            m->error = error;
        } else if (std::find(s.modules.begin(), s.modules.end(), m) == s.modules.end()) {
            SECMOD_UnloadUserModule(module.get());  // no longer registered
        } else {
            m->module = std::move(module);
            m->unload = true;
            m->state = ModuleState::kLoaded;
            addSlotsOf(m->module.get());
        }
    }
}

bool serviceLost(PRErrorCode error) {
    return error == SEC_ERROR_PKCS11_GENERAL_ERROR || error == SEC_ERROR_PKCS11_DEVICE_ERROR ||
           error == SEC_ERROR_PKCS11_FUNCTION_FAILED;
}

void reconnectModule(PK11SlotInfo* slot) {
    SECMODModule* module = PK11_GetModule(slot);
    Startup& s = state();
    const auto at = std::find_if(s.modules.begin(), s.modules.end(), [&](const auto& m) {
        return m->state == ModuleState::kLoaded && m->module.get() == module;
    });
    const auto now = std::chrono::steady_clock::now();
    if (module == nullptr || module->internal || at == s.modules.end() ||
        now - (*at)->reconnected < std::chrono::seconds(1)) {
        return;
    }
    (*at)->reconnected = now;
    runHooks();
    keepingSigpipe([&] { SECMOD_UpdateSlotList(module); });
    addSlotsOf(module);
    for (int i = 0; i < module->slotCount; ++i) {
        if (PK11_IsPresent(module->slots[i])) {
            PK11_Logout(module->slots[i]);
        }
    }
}

std::vector<ModuleInfo> storeModules() {
    std::vector<ModuleInfo> all;
    for (const std::shared_ptr<StoreModule>& m : state().modules) {
        ModuleInfo info{m->name, m->library, m->state, m->error, {}};
        if (m->state == ModuleState::kLoaded) {
            info.slots.assign(m->module->slots, m->module->slots + m->module->slotCount);
        }
        all.push_back(std::move(info));
    }
    return all;
}

}  // namespace nsslayer
