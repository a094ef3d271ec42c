#include "nss/freshness.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace nsslayer {

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

Observation observe(const std::string& directory) {
    // Four stat() calls on the way to an unchanged snapshot: they are most of a query.
    Observation seen;
    seen.folder = stampOf(directory);
    if (seen.folder.error == 0) {
        seen.stamp.certificates = stampOf(directory + "/cert9.db");
        seen.stamp.keys = stampOf(directory + "/key4.db");
        seen.stamp.modules = stampOf(directory + "/pkcs11.txt");
    }
    return seen;
}

void stampTokens(const std::vector<SlotRef>& slots, PK11SlotInfo* databaseSlot, Stamp* stamp) {
    stamp->tokens.clear();
    for (const SlotRef& ref : slots) {
        PK11SlotInfo* slot = ref.get();
        const bool removable = slot != databaseSlot && PK11_IsRemovable(slot);
        const bool needLogin = PK11_NeedLogin(slot);
        if (removable || needLogin) {
            const bool present = !removable || PK11_IsPresent(slot) == PR_TRUE;
            // NSS's view, which it renews once a second: asking the token itself on every call
            // costs a card an APDU (OpenSC checks the PIN's state on the card) whenever anyone
            // is logged in, a listing or an attribute query twenty times slower.
            stamp->tokens.push_back(
                TokenStamp{PK11_GetSlotID(slot), present, PK11_GetSlotSeries(slot),
                           present && needLogin && PK11_IsLoggedIn(slot, nullptr) == PR_TRUE});
        }
    }
}

bool journalPresent(const std::string& directory) {
    struct stat info;
    for (const char* file :
         {"/cert9.db-journal", "/key4.db-journal", "/cert9.db-wal", "/key4.db-wal"}) {
        if (stat((directory + file).c_str(), &info) == 0 || errno != ENOENT) {
            return true;
        }
    }
    return false;
}

std::string KeyDatabaseIdentity::read(const std::string& path, const FileStamp& stamp) {
    // The open connection holds its file, so no other file can take its device and inode.
    if (connection_ != nullptr && (device_ != stamp.device || inode_ != stamp.inode)) {
        close();
    }
    if (connection_ == nullptr) {
        sqlite3* connection = nullptr;
        const int opened =
            sqlite3_open_v2(path.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr);
        connection_.reset(connection);  // closed even when the open failed
        sqlite3_stmt* query = nullptr;
        if (opened != SQLITE_OK ||
            sqlite3_prepare_v2(connection,
                               "SELECT item1, item2 FROM metaData WHERE id = 'password'", -1,
                               &query, nullptr) != SQLITE_OK) {
            close();
            return "?";
        }
        query_.reset(query);
        sqlite3_busy_timeout(connection, 100);
        // What it opened must be the file stamped; another one taken for it would answer for it.
        const FileStamp now = stampOf(path);
        if (now.error != 0 || !now.sameFile(stamp)) {
            close();
            return "?";
        }
        device_ = stamp.device;
        inode_ = stamp.inode;
    }
    // Pages cached from before are not trusted: a file overwritten in place can carry the header
    // counters SQLite checks its cache by.
    sqlite3_db_release_memory(connection_.get());
    std::string identity = "?";
    sqlite3_stmt* query = query_.get();
    const int step = sqlite3_step(query);
    if (step == SQLITE_ROW) {
        // Not `identity = "="`: GCC 12 at -O3 takes that copy for an overlapping one.
        identity.assign(1, '=');
        for (int column = 0; column < 2; ++column) {
            const void* bytes = sqlite3_column_blob(query, column);
            const int length = sqlite3_column_bytes(query, column);
            identity.append(std::to_string(length)).push_back(':');
            if (bytes != nullptr) {
                identity.append(static_cast<const char*>(bytes), static_cast<size_t>(length));
            }
        }
    } else if (step == SQLITE_DONE) {
        identity.clear();  // a database that never had a password set
    }
    sqlite3_reset(query);
    return identity;
}

void KeyDatabaseIdentity::close() {
    query_.reset();
    connection_.reset();
    device_ = 0;
    inode_ = 0;
}

Presence presenceOf(const Observation& seen) {
    const int missing = seen.folder.error != 0 ? seen.folder.error : seen.stamp.certificates.error;
    if (missing != 0) {
        return missing == ENOENT ? Presence::kNone : Presence::kBroken;
    }
    for (const FileStamp* file :
         {&seen.stamp.certificates, &seen.stamp.keys, &seen.stamp.modules}) {
        if ((file->error == 0 && !file->regular) || (file->error != 0 && file->error != ENOENT)) {
            return Presence::kBroken;
        }
    }
    return Presence::kDatabase;
}

DatabaseChange databaseChange(const Opened& opened, const Observation& seen) {
    if (!opened.open || !seen.folder.sameFile(opened.folder) ||
        !seen.stamp.certificates.sameFile(opened.certificates) ||
        !seen.stamp.keys.sameFile(opened.keys)) {
        return DatabaseChange::kReplaced;
    }
    return seen.stamp.keys == opened.keys ? DatabaseChange::kSame : DatabaseChange::kKeysRewritten;
}

bool otherKeyDatabase(const Opened& opened, const std::string& identityNow) {
    return identityNow == "?" || identityNow != opened.keyIdentity;
}

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

bool readIntact(const Stamp& before, const Stamp& after, bool journal) {
    return before.sameFiles(after) && !journal;
}

bool stillCurrent(const Stamp& listed, bool settled, const Stamp& now) {
    return settled && listed == now;
}

}  // namespace nsslayer
