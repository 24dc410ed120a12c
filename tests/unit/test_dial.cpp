// DIAL: its argument forms, the POSIX dial-up service's reading of nmcli,
// and the executor's attempt count and secrecy, against the stand-in nmcli
// of the integration tests (NetworkManager cannot run on test machines).
// The pauses are shortened here; the integration tests time the real ones
// and cover dialling, hanging up and the failures end to end.
#include <string>

#include "local/local.h"
#include "test_script_fixture.h"

namespace {

std::string StandInFolder() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../integration/standin";
}

int Occurrences(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

class DialFixture : public ScriptFixture {
protected:
    PlatWindow win = nullptr;
    std::string oldPath;

    void SetUp() override {
        ScriptFixture::SetUp();
        const char *path = getenv("PATH");
        oldPath = path ? path : "";
        SetPath(StandInFolder() + ":" + oldPath);
        setenv("NMCLI_STANDIN_STATE", Posix("state.json").c_str(), 1);
        setenv("NMCLI_STANDIN_LOG", Posix("calls.log").c_str(), 1);
        setenv("TMPDIR", dir.c_str(), 1);
        unsetenv("XDG_RUNTIME_DIR");
        q->Dial.PauseMs = 0;
        win = LoopCreateWindow(nullptr);
        UseScript("[QELTA]\r\nFTPCommand1=NONE\r\n", 1);
        q->LogHandle = PlatFileCreate(Dos("job.log").c_str());
        q->ErrorLogHandle = PlatFileCreate(Dos("job.err").c_str());
        q->CommandIndex = 1;
    }
    void TearDown() override {
        PlatDialUnload();
        SetPath(oldPath);
        PlatFileClose(q->LogHandle);
        PlatFileClose(q->ErrorLogHandle);
        PlatDestroyWindow(win);
        ScriptFixture::TearDown();
    }
    void SetPath(const std::string &path) { setenv("PATH", path.c_str(), 1); }

    // Connections as "name|uuid|active|answer|down" items of the stand-in.
    void Connections(std::initializer_list<const char *> items) {
        std::string json = "{\"running\": true, \"connections\": [";
        const char *sep = "";
        for (const char *item : items) {
            std::string s = item, f[5];
            for (int i = 0, from = 0; i < 5; i++) {
                size_t to = s.find('|', from);
                f[i] = s.substr(from, to == std::string::npos ? std::string::npos : to - from);
                from = to == std::string::npos ? (int)s.size() : (int)to + 1;
            }
            std::string active = f[2] == "1" ? "true" : "false";
            std::string answer = f[3].empty() ? "up" : f[3], down = f[4].empty() ? "ok" : f[4];
            json += std::string(sep) + "{\"name\": \"" + f[0] + "\", \"uuid\": \"" + f[1] +
                    "\", \"active\": " + active + ", \"answer\": \"" + answer +
                    "\", \"down\": \"" + down + "\"}";
            sep = ", ";
        }
        WriteFile("state.json", json + "]}");
    }
    std::string Calls() const { return ReadFile("calls.log"); }
    int Ups() const { return Occurrences(Calls(), "\"connection\", \"up\""); }
    bool Active(const std::string &name) const {
        std::string state = ReadFile("state.json");
        size_t at = state.find("\"name\": \"" + name + "\"");
        return at != std::string::npos &&
               state.compare(state.find("\"active\": ", at) + 10, 4, "true") == 0;
    }

    int Dial(const char *argument) {
        COPYCUT(q->Argument, argument);
        q->CommandActive = q->CurrentState.WaitingForResponseCode = 1;
        q->ErrorText[0] = 0;
        return ApplyOutcome(win, q, ExecDIAL(win, q, EV_START, 0, 0));
    }
    bool Completed() const {
        return q->CommandActive == 0 && q->CurrentState.WaitingForResponseCode == 0;
    }
    void Retries(int n) {
        UseScript("[QELTA]\r\nFTPCommand1=DIAL\r\n[Settings]\r\nDialRetry=" + std::to_string(n) +
                      "\r\n",
                  1);
    }
};

// ---- the argument ----

TEST_F(DialFixture, ArgumentFormsGiveEntryAndCredentials) {
    struct {
        const char *argument, *entry, *user, *password;
        int hangUp;
    } cases[] = {
        {"MyISP", "MyISP", "", "", 0},
        {"MyISP, alice, s3cret", "MyISP", "alice", "s3cret", 0},
        {"MyISP,alice,s3cret", "MyISP", "alice", "s3cret", 0},
        {"MyISP,  alice, ", "MyISP", " alice", "", 0},  // one blank is skipped, no more
        {"  MyISP,", "MyISP", "", "", 0},
        {"MyISP -Hangup", "MyISP -Hangup", "", "", 0},  // the word in its letter case only
        {"MyISP -hangup", "MyISP", "", "", 1},
        {"My-ISP  -hangup  ", "My-ISP", "", "", 1},
        {"MyISP, alice, s3cret -hangup", "MyISP", "", "", 1},
    };
    for (auto &c : cases) {
        DialArgument a;
        ASSERT_EQ(ReadDialArgument(q, c.argument, &a), 1) << c.argument;
        EXPECT_STREQ(a.Entry, c.entry) << c.argument;
        EXPECT_STREQ(a.User, c.user) << c.argument;
        EXPECT_STREQ(a.Password, c.password) << c.argument;
        EXPECT_EQ(a.HangUp, c.hangUp) << c.argument;
    }
    std::string longest(63, 'p');
    DialArgument a;
    ASSERT_EQ(ReadDialArgument(q, ("MyISP, alice, " + longest).c_str(), &a), 1);
    EXPECT_EQ(a.Password, longest);
}

TEST_F(DialFixture, OtherShapesFailWithoutQuotingTheSecret) {
    std::string tooLong(64, 's');
    struct {
        std::string argument;
        const char *text;
    } cases[] = {
        {"MyISP, alice, s3cret, extra", "no more"},
        {"MyISP, alice, s3cret" + tooLong, "at most 63"},
        {"", "needs a dial-up entry name"},
        {", alice, s3cret", "needs a dial-up entry name"},
        {"-hangup", "before -hangup"},
        {"   -hangup", "before -hangup"},
        {"MyISP-hangup", "before -hangup"},
        {"MyISP -hangup now", "nothing after -hangup"},
        {"MyISP, alice, s3cret" + tooLong + " -hangup", "at most 63"},
    };
    for (auto &c : cases) {
        DialArgument a;
        q->ErrorText[0] = 0;
        EXPECT_EQ(ReadDialArgument(q, c.argument.c_str(), &a), 0) << c.argument;
        EXPECT_NE(std::string(q->ErrorText).find(c.text), std::string::npos) << q->ErrorText;
        EXPECT_EQ(std::string(q->ErrorText).find("s3cret"), std::string::npos);
        EXPECT_EQ(std::string(q->ErrorText).find("alice"), std::string::npos);
    }
    // A bad shape fails the command before the service is asked anything.
    Connections({"MyISP|u1|0"});
    EXPECT_EQ(Dial("MyISP, alice, s3cret, extra"), 0);
    EXPECT_FALSE(Completed());
    EXPECT_EQ(Calls(), "");
}

// ---- the service over nmcli ----

TEST_F(DialFixture, ListingReadsEscapedNamesAndAsksForRoom) {
    Connections({"Office\\\\Net|u1|1", "a:b\\\\c|u2|1", "Idle|u3|0", "VPN 1|u4|1"});
    ASSERT_EQ(PlatDialLoad(), 1);
    PlatDialConnection list[3];
    int count = 0;
    EXPECT_EQ(PlatDialListActive(list, 1, &count), QDIAL_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 3);
    ASSERT_EQ(PlatDialListActive(list, 3, &count), 0);
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(list[0].EntryName, "Office\\Net");
    EXPECT_STREQ(list[1].EntryName, "a:b\\c");
    EXPECT_STREQ(list[2].EntryName, "VPN 1");
    EXPECT_EQ(PlatDialHangUp(list[1].Handle), 0);
    EXPECT_NE(Calls().find("\"down\", \"uuid\", \"u2\""), std::string::npos);
    EXPECT_FALSE(Active("a:b\\\\c"));
    EXPECT_EQ(PlatDialHangUp(list[2].Handle + 7), 10);  // no such handle
}

TEST_F(DialFixture, ErrorTextsAreNmclisOwn) {
    Connections({"Dead|u1|0|fail"});
    ASSERT_EQ(PlatDialLoad(), 1);
    PlatDialHandle h = 7;
    char text[256];
    EXPECT_EQ(PlatDialConnect("Dead", "", "", &h), 4);
    EXPECT_EQ(h, 0u);  // nothing left to release
    ASSERT_EQ(PlatDialErrorText(4, text, sizeof text), 1);
    EXPECT_STREQ(text, "Error: Connection activation failed: The dialing attempt failed.");
    ASSERT_EQ(PlatDialErrorText(8, text, sizeof text), 1);
    EXPECT_STREQ(text, "nmcli: NetworkManager is not running.");
    EXPECT_EQ(PlatDialErrorText(0, text, sizeof text), 0);

    EXPECT_EQ(PlatDialConnect("Nobody", "", "", &h), 10);
    ASSERT_EQ(PlatDialErrorText(10, text, sizeof text), 1);
    EXPECT_STREQ(text, "Error: unknown connection 'Nobody'.");
}

// ---- the executor ----

TEST_F(DialFixture, AttemptsFollowDialRetry) {
    Connections({"Dead|u1|0|fail", "MyISP|u2|0"});
    struct {
        int retry, attempts;
    } cases[] = {{3, 3}, {1, 1}, {0, 1}, {-2147483647 - 1, 1}};
    int before = 0;
    for (auto &c : cases) {
        Retries(c.retry);
        EXPECT_EQ(Dial("Dead"), 0);
        EXPECT_STREQ(q->ErrorText, "Unable to Connect in ExecDIAL()\r\n");
        EXPECT_FALSE(Completed());
        EXPECT_EQ(Ups() - before, c.attempts) << c.retry;
        before = Ups();
    }
    // The count starts afresh for the next DIAL.
    Retries(2);
    EXPECT_EQ(Dial("MyISP"), 1);
    EXPECT_TRUE(Completed());
    EXPECT_EQ(Ups() - before, 1);
    EXPECT_EQ(Status("CommandStatus1"), "Success");
    // Socket events are not DIAL's.
    EXPECT_EQ(ExecDIAL(win, q, EV_SOCKET, CONTROLMSG, QFD_READ), 1);
    EXPECT_EQ(Ups() - before, 1);
}

TEST_F(DialFixture, PasswordNeverReachesTheLogs) {
    Connections({"Leaky|u1|0|leak", "MyISP|u2|0"});
    q->Debug = q->DebugEx = 1;
    Retries(1);
    EXPECT_EQ(Dial("Leaky, alice, s3cret"), 0);
    EXPECT_EQ(Dial("MyISP, alice, s3cret"), 1);
    EXPECT_EQ(Dial("MyISP, alice, s3cret -hangup"), 1);
    std::string log = ReadFile("job.log"), err = ReadFile("job.err");
    EXPECT_NE(log.find("RasDial() Error 4 Error: Connection activation failed: secrets"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("password:******"), std::string::npos);
    EXPECT_NE(log.find("Connection=MyISP\r\n"), std::string::npos);
    EXPECT_NE(log.find("RasHangUp() Success\r\n"), std::string::npos);
    EXPECT_EQ(log.find("s3cret"), std::string::npos);
    EXPECT_EQ(err.find("s3cret"), std::string::npos);
    EXPECT_EQ(log, err);
}

}  // namespace
