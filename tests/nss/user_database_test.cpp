// Where the user's database is looked for, by NSS's own rule.
#include <gtest/gtest.h>

#include "nss/startup.h"

namespace nsslayer {
namespace {

TEST(UserDatabase, FollowsNssRule) {
    const struct {
        const char* what;
        const char* xdg;
        bool legacyThere;
        const char* directory;
    } cases[] = {
        {"~/.pki/nssdb wins", "/data", true, "/home/u/.pki/nssdb"},
        {"XDG_DATA_HOME without ~/.pki/nssdb", "/data", false, "/data/pki/nssdb"},
        {"neither", nullptr, false, "/home/u/.local/share/pki/nssdb"},
        {"an empty XDG_DATA_HOME is unset", "", false, "/home/u/.local/share/pki/nssdb"},
        {"a relative XDG_DATA_HOME is ignored", "data", false, "/home/u/.local/share/pki/nssdb"},
    };
    for (const auto& c : cases) {
        const UserDatabase chosen = chooseUserDatabase("/home/u", c.xdg, c.legacyThere);
        EXPECT_EQ(c.directory, chosen.directory) << c.what;
        EXPECT_FALSE(chosen.reason.empty()) << c.what;
    }
    EXPECT_EQ("", chooseUserDatabase("", "/data", false).directory);
}

}  // namespace
}  // namespace nsslayer
