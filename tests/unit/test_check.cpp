// The script check against the run: it must refuse exactly the file names
// the run's split refuses, read the key form as the run does, and suggest
// only names that are a likely typo.
#include <string>
#include <vector>

#include "script/check.h"
#include "script/checkstate.h"
#include "session/commandids.h"
#include "session/settings.h"
#include "test_script_fixture.h"
#include "transfer/transfer.h"

namespace {

struct Found {
    long Line;
    std::string Text;
};

void Collect(void *context, long line, const char *message) {
    static_cast<std::vector<Found> *>(context)->push_back({line, message});
}

std::vector<Found> Check(const std::string &text) {
    std::vector<Found> found;
    CheckScript(text.data(), text.size(), Collect, &found);
    return found;
}

class CheckTest : public ScriptFixture {};

TEST_F(CheckTest, RefusesTheFileNamesTheRunRefusesAndNoOthers) {
    const std::string longRemote(130, 'r'), longLocal = "C:\\" + std::string(130, 'l');
    const char *keywords[] = {"RETR", "LIST", "MGET", "MPUT"};
    const int ids[] = {CMD_RETR, CMD_LIST, CMD_MGET, CMD_MPUT};
    const std::string arguments[] = {
        "pub/a.zip C:\\in\\a.zip",
        "pub/a.zip \\in\\a.zip",
        "C:\\in\\a.zip",
        "host:f.txt D:\\x",
        "a 1:\\x",
        "",
        longRemote + " C:\\x",
        "r " + longLocal,
        "/in/ C:\\out\\*.xml",
        "a b",
    };
    for (int k = 0; k < 4; k++)
        for (const std::string &arg : arguments) {
            q->CommandId = ids[k];
            COPYCUT(q->Argument, arg.c_str());
            int runRefuses = !SplitFileNames(q);
            auto found =
                Check("[QELTA]\nFTPCommand1=PASV\nFTPCommand2=" + std::string(keywords[k]) + " " +
                      arg + "\n");
            EXPECT_EQ(runRefuses, (int)found.size()) << keywords[k] << " " << arg;
        }
}

TEST_F(CheckTest, ReadsTheKeyFormAsTheRunDoes) {
    // An empty FTPCommand1 makes the bare numbers the keys.
    auto found = Check("[QELTA]\nFTPCommand1=\n1=CONN h\n2=QUIT\n");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].Line, 2);
    EXPECT_EQ(found[0].Text, "FTPCommand1 is not a command key: the run reads only 1, 2, ...");
    // Keys and sections are found without regard to case, values unquoted.
    EXPECT_TRUE(Check("[qelta]\nftpcommand1=\"conn h\"\nFTPCOMMAND2=quit\n[SETTINGS]\ntimeout=5\n")
                    .empty());
}

TEST_F(CheckTest, SuggestsOnlyLikelyTypos) {
    const char *keywords[] = {"RETR", "QUIT", "MGET"};
    EXPECT_STREQ(ClosestName("RTER", keywords, 3), "RETR");  // two letters swapped
    EXPECT_STREQ(ClosestName("retr", keywords, 3), "RETR");
    EXPECT_STREQ(ClosestName("GET", keywords, 3), "MGET");
    EXPECT_EQ(ClosestName("XYZW", keywords, 3), nullptr);
    EXPECT_EQ(ClosestName("RXXR", keywords, 3), nullptr);  // two edits in a short name
    const char *settings[] = {"TimeOut", "DeleteOverRide", "DELR550OverRide"};
    EXPECT_STREQ(ClosestName("DeleteOverride", settings, 3), "DeleteOverRide");
    EXPECT_STREQ(ClosestName("DeletOverRid", settings, 3), "DeleteOverRide");
    EXPECT_EQ(ClosestName(std::string(200, 'T').c_str(), settings, 3), nullptr);
}

TEST_F(CheckTest, TlsAndPasswordValuesAreNeverTakenLoosely) {
    const std::string fp = "30:20:01:AB:cd:EF:00:11:22:33:44:55:66:77:88:99:"
                           "AA:BB:CC:DD:EE:FF:01:23:45:67:89:ab:CD:ef:85:68";
    std::string plain;
    for (char c : fp)
        if (c != ':') plain += c;
    unsigned char pin[32];
    for (const std::string &good : {fp, plain, " " + plain + " "}) {
        ASSERT_TRUE(ParseFingerprint(good.c_str(), pin)) << good;
        EXPECT_EQ(pin[0], 0x30);
        EXPECT_EQ(pin[31], 0x68);
    }
    for (const std::string &bad : {std::string(""), plain.substr(2), plain + "00", fp.substr(3),
                                   "30" + fp.substr(3), plain.substr(0, 62) + "zz", fp + ":"})
        EXPECT_FALSE(ParseFingerprint(bad.c_str(), pin)) << bad;

    char why[200];
    struct { int id; const char *value; bool ok; } cases[] = {
        {SET_TLS, "explicit", true}, {SET_TLS, "IMPLICIT", true}, {SET_TLS, "None", true},
        {SET_TLS, "", true}, {SET_TLS, "Explicitt", false}, {SET_TLS, "SSL", false},
        {SET_TLSVERIFY, "0", true}, {SET_TLSVERIFY, "no", false}, {SET_TLSVERIFY, "2", false},
        {SET_TLSPROTECTDATA, "1", true}, {SET_TLSPROTECTDATA, " 0", false},
        {SET_TLSFINGERPRINT, "AB:CD", false}, {SET_TLSCAFILE, "anything", true},
        {SET_PASSWORDSOURCE, "netrc", true}, {SET_PASSWORDSOURCE, "SecretService", true},
        {SET_PASSWORDSOURCE, "Keyring", false}, {SET_PASSWORDSOURCE, "Net rc", false},
        {SET_PASSWORDVARIABLE, "FTP_PASS_1", true}, {SET_PASSWORDVARIABLE, "$PASS", false},
    };
    for (const auto &c : cases) {
        const char *problem = SettingValueProblem(c.id, c.value, why, sizeof why);
        EXPECT_EQ(problem == nullptr, c.ok) << c.value;
        if (problem) EXPECT_EQ(std::string(problem).rfind(SettingsTable[c.id].Key, 0), 0u);
    }
}

TEST_F(CheckTest, WholeNumbersAreWhatAPersonWrites) {
    for (const char *yes : {"0", " 60 ", "-1", "+7", "\t12"})
        EXPECT_TRUE(IsWholeNumber(yes)) << yes;
    for (const char *no : {"", " ", "60s", "1 2", "-", "0x10", "1.5"})
        EXPECT_FALSE(IsWholeNumber(no)) << no;
}

}  // namespace
