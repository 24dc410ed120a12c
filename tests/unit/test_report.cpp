// The report's argument text: a password wherever a script line can hold
// one never reaches the report, and the rest of the line stays readable.
#include <gtest/gtest.h>

#include "log/report.h"
#include "session/commandids.h"

namespace {

struct Masking {
    int id;
    const char *argument;
    const char *shown;
};

const Masking Cases[] = {
    {CMD_PASS, "hunter2", "********"},
    {CMD_PASS, "", ""},  // the password comes from PasswordSource
    {CMD_UDEF, "PASS hunter2 230", "PASS ********"},
    {CMD_UDEF, "  pass\thunter2 230", "PASS ********"},
    {CMD_UDEF, "PASSWORD-RESET now 200", "PASSWORD-RESET now 200"},
    {CMD_UDEF, "SITE CHMOD 644 a.txt 200", "SITE CHMOD 644 a.txt 200"},
    {CMD_DIAL, "Office, alice, hunter2", "Office, alice, ********"},
    {CMD_DIAL, "Office,alice,hun,ter2", "Office,alice, ********"},
    {CMD_DIAL, "Office, alice", "Office, alice"},
    {CMD_DIAL, "Office -hangup", "Office -hangup"},
    {CMD_USER, "alice", "alice"},
};

TEST(ReportArgument, PasswordsAreMaskedAndNothingElse) {
    for (const Masking &c : Cases) {
        char out[64];
        MaskedArgument(c.id, c.argument, out, sizeof out);
        EXPECT_STREQ(out, c.shown) << c.argument;
    }
}

}  // namespace
