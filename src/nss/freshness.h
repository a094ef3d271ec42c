// Whether what the layer read from the database is still what is on disk.
//
// The observations (stat of the files, the tokens' states, the key database's identity, the
// clock) are taken by the functions at the top; what to do about them is decided by the pure
// functions below, which the unit tests drive from tables. Words: a database is *replaced* when
// the files NSS keeps reading are no longer the ones on disk; a stamp is *settled* when a change
// within the same timestamp tick could not hide behind it; a read is *intact* when no file changed
// while it was taken.
//
// Locking: the observations of tokens are made with lock() held; the rest needs no lock, and the
// store calls all of it with lock() held.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <pk11pub.h>

#include <string>
#include <vector>

#include "nss/handles.h"

namespace nsslayer {

struct FileStamp {
    int error = 0;  // errno of stat(), 0 when the file exists
    bool regular = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified = {0, 0};
    struct timespec changed = {0, 0};

    // The same file (or the same absence), whatever was written to it.
    bool sameFile(const FileStamp& o) const {
        return error == o.error && device == o.device && inode == o.inode;
    }
    bool operator==(const FileStamp& o) const {
        return sameFile(o) && size == o.size && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec && changed.tv_sec == o.changed.tv_sec &&
               changed.tv_nsec == o.changed.tv_nsec;
    }
};

// The state of a token that changes what a listing holds: present or not, reinserted (a new
// series), logged in (a login shows the keys of a card that holds no public keys).
struct TokenStamp {
    CK_SLOT_ID slot = 0;
    bool present = false;
    int series = 0;
    bool loggedIn = false;
    bool operator==(const TokenStamp&) const = default;
};

// What a listing was read from.
struct Stamp {
    FileStamp certificates, keys, modules;  // cert9.db, key4.db, pkcs11.txt
    std::vector<TokenStamp> tokens;
    bool sameFiles(const Stamp& o) const {
        return certificates == o.certificates && keys == o.keys && modules == o.modules;
    }
    bool operator==(const Stamp& o) const { return sameFiles(o) && tokens == o.tokens; }
};

// ---- Observations

FileStamp stampOf(const std::string& path);

// The database directory and its three files.
struct Observation {
    FileStamp folder;
    Stamp stamp;  // files only; tokens are added by stampTokens
};
Observation observe(const std::string& directory);

// The tokens of the slots that can change without a file changing: removable ones and those behind
// a login (the database's slot is never removable); a login by another user of the token shows
// within NSS's one-second view of it. Call with lock() held.
void stampTokens(const std::vector<SlotRef>& slots, PK11SlotInfo* databaseSlot, Stamp* stamp);

// Whether an SQLite transaction of another process (certutil, pk12util) is under way: until its
// journal is gone, a read may fail part way with nothing to tell it from an empty result.
bool journalPresent(const std::string& directory);

// What makes a key database itself: its global salt and password check, from which NSS derives,
// once per opening, the key its private keys are encrypted under. Another database's files written
// over key4.db in place bring another salt, and so does a password change. Read through the SQLite
// NSS uses (one library in the process, so its locks stay NSS's) on a connection kept open while
// the file is the same one: a new connection parses the schema first, most of a small store's
// relisting.
class KeyDatabaseIdentity {
  public:
    // The identity of the key database at `path`, whose stamp is `stamp`: "" for a database that
    // never had a password set, "?" when it cannot be read.
    std::string read(const std::string& path, const FileStamp& stamp);
    void close();

  private:
    SqliteRef connection_;
    SqliteStatementRef query_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// ---- Decisions

// What a look at the directory allows.
enum class Presence {
    kDatabase,  // there is a database to open or follow
    kNone,      // no directory or no cert9.db: an empty store, as a new Windows user has
    kBroken,    // cannot be looked at, or a file that is not a regular one (a FIFO would hang NSS)
};
Presence presenceOf(const Observation& seen);

// What the database slot was opened on.
struct Opened {
    bool open = false;  // there is a database slot
    FileStamp folder, certificates, keys;
    std::string keyIdentity;  // KeyDatabaseIdentity::read at the opening
};

enum class DatabaseChange {
    kSame,           // the slot still reads the files on disk
    kKeysRewritten,  // key4.db was written in place: the same database only if its identity is
    kReplaced,       // another directory or other files: the slot reads what is gone
};
DatabaseChange databaseChange(const Opened& opened, const Observation& seen);

// Whether key4.db written in place is another key database (or unreadable): replaced.
bool otherKeyDatabase(const Opened& opened, const std::string& identityNow);

// Whether a stamp can be trusted to show the next change: a file changed within one timestamp tick
// of `now` could be rewritten at the same size within that tick and keep its stamp. Ticks are a
// jiffy (at most 10 ms, 50 ms allowed) where timestamps have nanoseconds, up to 2 s where not.
bool settledAt(const Stamp& stamp, const struct timespec& now);

// Whether a listing read under `before` can be kept: the files are as they were, and no other
// process was writing.
bool readIntact(const Stamp& before, const Stamp& after, bool journal);

// Whether a listing taken under `listed` (settled or not) still stands for `now`.
bool stillCurrent(const Stamp& listed, bool settled, const Stamp& now);

}  // namespace nsslayer
