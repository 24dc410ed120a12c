// The netrc reader: which entry serves a host and user, and what it gives.
#include <gtest/gtest.h>

#include <string>

#include "ftp/ftp.h"

namespace {

TEST(Netrc, TheMachinesOwnEntryBeforeTheDefaultAndOnlyForItsLogin) {
    const std::string text =
        "default login nightly password fallback\n"
        "machine FTP.example.net login nightly password s3cret\n"
        "machine other.net password any-user\n"
        "macdef init\n  machine macro.net login nightly password in-a-macro\n\n"
        "machine quoted.net login \"night ly\" password \"a \\\"b\\\" c\" account acct\n"
        "machine long.net login nightly password " + std::string(40, 'x') + "\n";
    struct {
        const char *host, *user;
        int result;
        const char *password;
    } cases[] = {
        {"ftp.example.net", "nightly", 1, "s3cret"},  // names without regard to case
        {"ftp.example.net", "daily", 0, ""},          // the default is for nightly only
        {"unknown.net", "nightly", 1, "fallback"},
        {"other.net", "whoever", 1, "any-user"},      // no login: every user
        {"macro.net", "nightly", 1, "fallback"},      // a macro's body is no entry
        {"quoted.net", "night ly", 1, "a \"b\" c"},
        {"long.net", "nightly", -1, ""},              // never cut to a wrong password
    };
    for (const auto &c : cases) {
        char out[32] = "";
        EXPECT_EQ(NetrcPassword(text.data(), text.size(), c.host, c.user, out, sizeof out), c.result)
            << c.host << " " << c.user;
        if (c.result == 1) EXPECT_STREQ(out, c.password) << c.host;
    }
    char out[32];
    EXPECT_EQ(NetrcPassword("machine a login b", 17, "a", "b", out, sizeof out), 0);  // no password
}

}  // namespace
