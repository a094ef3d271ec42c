// The freshness decisions, from what was observed to what the store does, without NSS or a disk.
#include "nss/freshness.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace nsslayer {
namespace {

constexpr long kMs = 1000000;  // nanoseconds

// A regular file: inode, size and change time (ns since second 1000) tell versions apart.
FileStamp file(ino_t inode, off_t size = 100, long changedNs = 0) {
    FileStamp f;
    f.regular = true;
    f.device = 1;
    f.inode = inode;
    f.size = size;
    f.changed = {1000 + changedNs / 1000000000, changedNs % 1000000000};
    f.modified = f.changed;
    return f;
}

FileStamp absent(int error = ENOENT) {
    FileStamp f;
    f.error = error;
    return f;
}

FileStamp notRegular(ino_t inode) {
    FileStamp f = file(inode);
    f.regular = false;
    return f;
}

Observation seen(FileStamp certificates, FileStamp keys = file(3), FileStamp modules = file(4),
                 FileStamp folder = file(1)) {
    Observation o;
    o.folder = folder;
    o.stamp.certificates = certificates;
    o.stamp.keys = keys;
    o.stamp.modules = modules;
    return o;
}

TEST(Freshness, PresenceOfTheDatabase) {
    const struct {
        const char* what;
        Observation seen;
        Presence expected;
    } cases[] = {
        {"all three files", seen(file(2)), Presence::kDatabase},
        {"no key4.db or pkcs11.txt yet", seen(file(2), absent(), absent()), Presence::kDatabase},
        {"no directory: a new user", seen(absent(), absent(), absent(), absent()), Presence::kNone},
        {"a directory without cert9.db", seen(absent()), Presence::kNone},
        {"an unreadable directory", seen(absent(), absent(), absent(), absent(EACCES)),
         Presence::kBroken},
        {"an unreadable cert9.db", seen(absent(EACCES)), Presence::kBroken},
        {"a FIFO for cert9.db", seen(notRegular(2)), Presence::kBroken},
        {"a directory for key4.db", seen(file(2), notRegular(3)), Presence::kBroken},
        {"pkcs11.txt unreadable", seen(file(2), file(3), absent(EACCES)), Presence::kBroken},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, presenceOf(c.seen)) << c.what;
    }
}

TEST(Freshness, WhatBecameOfTheOpenedDatabase) {
    Opened opened{true, file(1), file(2), file(3), "=id"};
    const struct {
        const char* what;
        Observation seen;
        bool open;
        DatabaseChange expected;
    } cases[] = {
        {"untouched", seen(file(2)), true, DatabaseChange::kSame},
        {"cert9.db written in place: NSS reads it", seen(file(2, 200, 5 * kMs)), true,
         DatabaseChange::kSame},
        {"pkcs11.txt rewritten", seen(file(2), file(3), file(9)), true, DatabaseChange::kSame},
        {"key4.db written in place", seen(file(2), file(3, 300)), true,
         DatabaseChange::kKeysRewritten},
        {"cert9.db moved into place", seen(file(7)), true, DatabaseChange::kReplaced},
        {"key4.db moved into place", seen(file(2), file(8)), true, DatabaseChange::kReplaced},
        {"the directory replaced", seen(file(2), file(3), file(4), file(6)), true,
         DatabaseChange::kReplaced},
        {"no slot open", seen(file(2)), false, DatabaseChange::kReplaced},
    };
    for (const auto& c : cases) {
        opened.open = c.open;
        EXPECT_EQ(c.expected, databaseChange(opened, c.seen)) << c.what;
    }
    const Opened withoutKeys{true, file(1), file(2), absent(), ""};
    EXPECT_EQ(DatabaseChange::kReplaced, databaseChange(withoutKeys, seen(file(2), file(8))))
        << "key4.db appeared";
}

TEST(Freshness, KeysRewrittenInPlaceAreAnotherDatabaseUnlessTheIdentityHolds) {
    const Opened opened{true, file(1), file(2), file(3), "=8:salt0001"};
    EXPECT_FALSE(otherKeyDatabase(opened, "=8:salt0001"));  // certutil added a key
    EXPECT_TRUE(otherKeyDatabase(opened, "=8:salt0002"));   // another database, or a new password
    EXPECT_TRUE(otherKeyDatabase(opened, ""));              // a database never given a password
    EXPECT_TRUE(otherKeyDatabase(opened, "?"));             // unreadable: not trusted
    const Opened noPassword{true, file(1), file(2), file(3), ""};
    EXPECT_FALSE(otherKeyDatabase(noPassword, ""));
}

TEST(Freshness, AStampIsSettledOnceATimestampTickHasPassed) {
    const auto at = [](long ns) { return timespec{1000 + ns / 1000000000, ns % 1000000000}; };
    const struct {
        const char* what;
        FileStamp newest;  // cert9.db; the others are older
        long nowNs;
        bool settled;
    } cases[] = {
        {"fine timestamps, changed 10 ms ago", file(2, 1, 2000 * kMs + 1), 2010 * kMs, false},
        {"fine timestamps, changed 100 ms ago", file(2, 1, 2000 * kMs + 1), 2100 * kMs, true},
        {"whole seconds, changed 1 s ago", file(2, 1, 2000 * kMs), 3000 * kMs, false},
        {"whole seconds, changed 3 s ago", file(2, 1, 2000 * kMs), 5000 * kMs, true},
        {"a restore dated the file in the future", file(2, 1, 9000 * kMs + 1), 5000 * kMs, false},
    };
    for (const auto& c : cases) {
        Stamp stamp = seen(c.newest, file(3, 1, 0), absent()).stamp;
        EXPECT_EQ(c.settled, settledAt(stamp, at(c.nowNs))) << c.what;
    }
}

TEST(Freshness, AListingIsKeptOnlyWhenNothingChangedWhileItWasRead) {
    const Stamp before = seen(file(2)).stamp;
    Stamp tokensOnly = before;
    tokensOnly.tokens.push_back(TokenStamp{1, true, 2, false});
    EXPECT_TRUE(readIntact(before, before, false));
    EXPECT_TRUE(readIntact(before, tokensOnly, false));  // tokens are stamped once, before
    EXPECT_FALSE(readIntact(before, before, true));      // certutil's journal: mid-transaction
    EXPECT_FALSE(readIntact(before, seen(file(2, 101)).stamp, false));
    EXPECT_FALSE(readIntact(before, seen(file(2), file(3), absent()).stamp, false));
}

TEST(Freshness, ASnapshotStandsWhileFilesAndTokensStayAsTheyWere) {
    Stamp listed = seen(file(2)).stamp;
    listed.tokens = {TokenStamp{1, true, 5, false}, TokenStamp{2, false, 0, false}};
    const auto changed = [&](auto change) {
        Stamp now = listed;
        change(now);
        return now;
    };
    const struct {
        const char* what;
        Stamp now;
        bool settled;
        bool current;
    } cases[] = {
        {"nothing changed", listed, true, true},
        {"listed within a timestamp tick", listed, false, false},
        {"a card inserted", changed([](Stamp& s) { s.tokens[1].present = true; }), true, false},
        {"a card pulled", changed([](Stamp& s) { s.tokens[0].present = false; }), true, false},
        {"a card reinserted", changed([](Stamp& s) { s.tokens[0].series = 6; }), true, false},
        {"a token logged in", changed([](Stamp& s) { s.tokens[0].loggedIn = true; }), true, false},
        {"a module's slot went", changed([](Stamp& s) { s.tokens.pop_back(); }), true, false},
        {"cert9.db written", changed([](Stamp& s) { s.certificates.size = 1; }), true, false},
        {"pkcs11.txt touched", changed([](Stamp& s) { s.modules.changed.tv_nsec = 1; }), true,
         false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.current, stillCurrent(listed, c.settled, c.now)) << c.what;
    }
}

}  // namespace
}  // namespace nsslayer
