// NSS for the process: started once on the user's database, read-only; the database's slot; and
// the modules of its pkcs11.txt (smart cards), loaded and unloaded as the file changes. Together
// they are the slots the store lists and the provider signs on.
//
// Locking: every function here is called with lock() held, and returns with it held.
#pragma once

#include <pk11pub.h>
#include <prerror.h>

#include <mutex>
#include <string>
#include <vector>

#include "nss/handles.h"

namespace nsslayer {

// Serialises every NSS call of the layer: NSS is process-global, and its shutdown and some of its
// lookups are not safe under concurrency. Never held while a person types a PIN.
std::mutex& lock();

// Starts NSPR before anything else of the layer can, keeping the host's SIGPIPE handler (NSPR
// ignores SIGPIPE when it starts; a JVM under -Xcheck:jni warns when its handler changes).
void startNspr();

// Where the user's database is, by NSS's own rule (Chromium follows it too): $HOME/.pki/nssdb when
// that directory exists, else $XDG_DATA_HOME/pki/nssdb when XDG_DATA_HOME is an absolute path,
// else $HOME/.local/share/pki/nssdb. HOME unset or empty is the account's home. Nothing is
// created: a database that is not there is an empty store.
struct UserDatabase {
    std::string directory;  // empty when there is no home at all
    std::string reason;     // why this one, for a person
};
UserDatabase userDatabase();

// The rule itself, from what it reads: `legacyThere` tells whether anything is at
// $home/.pki/nssdb (or cannot be looked at); `xdgDataHome` is null when unset.
UserDatabase chooseUserDatabase(const std::string& home, const char* xdgDataHome, bool legacyThere);

// Whether start() succeeded, and the directory it opened.
bool started();
const std::string& startedDirectory();

// Opens NSS on the database in `directory`, read-only, with the modules its pkcs11.txt registers.
// When NSS already belongs to someone else in the process, the database is opened as a slot of
// its own beside theirs. False, with NSS's error set, when it cannot be opened.
bool start(const std::string& directory);

// The slots of the store, in listing order: the database's, then the modules' tokens. Each is a
// reference of the layer's own, held while the slot is part of the store.
const std::vector<SlotRef>& storeSlots();

// The slot of the user's database; null while it is closed.
PK11SlotInfo* databaseSlot();

// Counts the times the database slot was closed: a key found on it at an earlier count must not
// sign (its handle may name an object of the database opened after it).
unsigned long databaseOpening();

// Runs before any slot leaves the store (a database closed, a module unloaded), while the slot is
// still open: whoever caches objects of a slot registers a hook that drops them. Hooks run in the
// order registered; registering the same hook twice runs it once.
void beforeSlotsGo(void (*hook)());

// Cuts the store off the database slot (its files were replaced, or are gone) and closes the slot
// when it is the layer's own; NSS's internal database stays open under its context, unused.
void closeDatabase();

// Opens the database again as a slot of the layer's own, in the place the old one had among the
// slots. False when it cannot be opened.
bool reopenDatabase();

// Loads and unloads modules so that the store's are those the database's pkcs11.txt registers
// now; a module that leaves takes its slots with it (after the hooks). New modules are loaded with
// lock() released through `held`, which owns it on entry and on return: a module slow to
// initialise holds up only this call, and calls made meanwhile see the store without it. A module
// that fails to load is left out, as a token that cannot be read is, and tried again only when
// pkcs11.txt changes.
void followModules(std::unique_lock<std::mutex>& held);

// Whether an error from a call on a module's token means that the module lost what it talks to
// (pcscd restarted, a reader's daemon gone): every call then fails at once, while NSS and the
// module still report the token present and logged in.
bool serviceLost(PRErrorCode error);

// Reconnects the module of `slot` to its service and forgets what the card no longer holds: runs
// the hooks, asks the module for its slots again (OpenSC re-establishes its PC/SC context on that
// query; a reader plugged in since joins the store), and logs its present tokens out (their cards
// were reset, though NSS and the module still say logged in), so that the next signature logs in
// and finds its key afresh. At most once a second per module; never NSS's own module.
void reconnectModule(PK11SlotInfo* slot);

enum class ModuleState { kLoading, kLoaded, kFailed };

// A module of the store, as a report shows it.
struct ModuleInfo {
    std::string name, library;
    ModuleState state = ModuleState::kLoading;
    std::string error;                 // NSS's name and text of why it failed
    std::vector<PK11SlotInfo*> slots;  // once loaded; valid while lock() is held
};

// The modules pkcs11.txt registered when it was last followed, in its order.
std::vector<ModuleInfo> storeModules();

}  // namespace nsslayer
