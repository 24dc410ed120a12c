// The transfer helpers: the file-name split, the dialog's names and
// progress under a clock the test moves, and the statistics file.
#include <fcntl.h>

#include <climits>
#include <regex>

#include "session/commandids.h"
#include "test_script_fixture.h"
#include "transfer/transfer.h"

namespace {

unsigned long Now;
unsigned long TestClock(void) { return Now; }
const uint64_t GiB = 1024ull * 1024 * 1024;

class TransferTest : public ScriptFixture {
protected:
    PlatWindow win = nullptr;
    void SetUp() override {
        ScriptFixture::SetUp();
        win = LoopCreateWindow(nullptr);
        SetTransferClockForTest(TestClock);
    }
    void TearDown() override {
        SetTransferClockForTest(nullptr);
        if (q->LocalFileHandle != -1) PlatFileClose(q->LocalFileHandle);
        if (q->StatHandle != -1) PlatFileClose(q->StatHandle);
        PlatDestroyWindow(win);
        ScriptFixture::TearDown();
    }
    int Split(int commandId, const std::string &argument) {
        q->CommandId = commandId;
        COPYCUT(q->Argument, argument.c_str());
        return SplitFileNames(q);
    }
    std::string Field(int id) const { return LoopFieldText(win, id); }
    void Block(int direction, unsigned long at, uint64_t count, uint64_t expected, int final = 0) {
        Now = at;
        ShowTransferProgress(win, q, direction, count, expected, final);
    }
};

TEST_F(TransferTest, SplitTakesTheDriveColonAndOpensOnlyForSending) {
    const std::string r127(127, 'r'), l127 = "C:\\" + std::string(124, 'l');
    const struct { int id; std::string arg, remote, local; } ok[] = {
        {CMD_RETR, "pub/a.zip " + Dos("a.zip"), "pub/a.zip", Dos("a.zip")},
        {CMD_LIST, "host:f.txt D:\\x.txt", "host:f.txt", "D:\\x.txt"},
        {CMD_RETR, "a.zip  C:\\x", "a.zip ", "C:\\x"},     // two blanks
        {CMD_MPUT, "c:\\out\\*.txt", "", "c:\\out\\*.txt"},  // the local pattern alone
        {CMD_NLST, r127 + " " + l127, r127, l127},         // both at their limit
    };
    for (const auto &c : ok) {
        ASSERT_EQ(Split(c.id, c.arg), 1) << c.arg;
        EXPECT_EQ(q->RemoteName, c.remote);
        EXPECT_EQ(q->LocalName, c.local);
        EXPECT_EQ(q->LocalFileHandle, -1);
    }
    EXPECT_FALSE(Exists("a.zip"));  // retrieval makes its own file

    WriteFile("up.bin", "payload");
    ASSERT_EQ(Split(CMD_STOR, "in/up.bin " + Dos("up.bin")), 1);
    char buf[16] = {0};
    EXPECT_EQ(PlatFileRead(q->LocalFileHandle, buf, sizeof buf), 7);
}

TEST_F(TransferTest, SplitRefusesWhatItCannotSplitWholeInOneLine) {
    const std::string r128(128, 'r'), l128 = "C:\\" + std::string(125, 'l');
    const struct { std::string arg; const char *why; } refused[] = {
        {"a.zip", "no local path with a drive letter"},
        {"a.zip 1:\\x", "no local path with a drive letter"},
        {":\\x", "no local path with a drive letter"},
        {"C:\\in\\a.zip", "no remote name before the local path"},
        {" C:\\in\\a.zip", "no remote name before the local path"},
        {r128 + " C:\\x", "the remote name is too long"},
        {"r " + l128, "the local name is too long"},
        {std::string(300, 'x'), "no local path with a drive letter"},
    };
    WriteFile("a.zip", "x");
    for (const auto &r : refused) {
        EXPECT_EQ(Split(CMD_STOR, r.arg), 0) << r.arg;
        EXPECT_EQ(q->LocalFileHandle, -1);
        EXPECT_EQ(q->RemoteName[0] + q->LocalName[0], 0);
        std::string text = q->ErrorText, tail = std::string("\": ") + r.why + "\r\n";
        EXPECT_EQ(text.rfind("Can not split the file names in \"", 0), 0u);
        EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
        // Named whole when it fits, else cut inside the quotes.
        EXPECT_EQ(text.size(), std::min<size_t>(sizeof q->ErrorText - 1, 33 + r.arg.size() + tail.size()));
    }
    EXPECT_EQ(Split(CMD_STOR, "a.zip C:\\no\\a.zip"), 0);
    EXPECT_STREQ(q->ErrorText, "_open()=HFILE_ERROR with Filename=C:\\no\\a.zip\r\n");
    // The longest local name fits the failure text whole.
    std::string longest = "C:\\" + std::string(120, 'n');
    EXPECT_EQ(Split(CMD_STOR, "a.zip " + longest), 0);
    EXPECT_EQ(std::string(q->ErrorText), "_open()=HFILE_ERROR with Filename=" + longest + "\r\n");
}

TEST_F(TransferTest, LongNamesAreShownByTheirEnds) {
    const std::string r35(35, 'r'), l29(29, 'l'), r40 = r35 + "12345", l30 = l29 + "6";
    ShowFileNames(win, q, r35.c_str(), l29.c_str(), 1);
    EXPECT_EQ(Field(IDC_SOURCE) + "|" + Field(IDC_DEST), r35 + "|" + l29);
    ShowFileNames(win, q, r40.c_str(), l30.c_str(), 1);
    EXPECT_EQ(Field(IDC_SOURCE) + "|" + Field(IDC_DEST), ".." + r40.substr(9) + "|.." + l30.substr(5));
    ShowFileNames(win, q, l30.c_str(), r40.c_str(), 0);  // sending
    EXPECT_EQ(Field(IDC_SOURCE) + "|" + Field(IDC_DEST), ".." + l30.substr(5) + "|.." + r40.substr(9));
}

TEST_F(TransferTest, CountTwentyTimesASecondRateOncePerWholeSecond) {
    StartTransferProgress(q, XFER_RECEIVE, 10000);
    Block(XFER_RECEIVE, 10000, 512, 0);
    Block(XFER_RECEIVE, 10049, 1024, 0);
    EXPECT_EQ(Field(IDC_COUNTER) + "|" + Field(IDC_RATE), "512|");
    Block(XFER_RECEIVE, 10049, 1100, 0, 1);  // the final update always shows
    EXPECT_EQ(Field(IDC_COUNTER), "1100");
    Block(XFER_RECEIVE, 13000, 900, 0);
    EXPECT_EQ(Field(IDC_COUNTER) + "|" + Field(IDC_RATE), "900|300 bps");
    Block(XFER_RECEIVE, 13950, 1800, 0);
    EXPECT_EQ(Field(IDC_COUNTER) + "|" + Field(IDC_RATE), "1800|300 bps");
    EXPECT_EQ(Field(IDC_ELAPSED) + Field(IDC_PERCENT), "");  // size unknown
    Block(XFER_RECEIVE, 14000, 1234568 * 4ull, 0);
    EXPECT_EQ(Field(IDC_RATE), "1234.56 kbps");
    Block(XFER_RECEIVE, 15000, 1050 * 5, 0);
    EXPECT_EQ(Field(IDC_RATE), "1.05 kbps");
    StartTransferProgress(q, XFER_SEND, 0);
    Block(XFER_SEND, 1000, 1050, 0);
    EXPECT_EQ(Field(IDC_RATE), "1.5 kbps");
    Block(XFER_SEND, 3000, 1, 0);
    EXPECT_EQ(Field(IDC_RATE), "1 bps");  // never 0 when sending
}

TEST_F(TransferTest, RemainingTimeFormsAndSecondsPartRule) {
    const struct { uint64_t left; const char *shown; } cases[] = {
        {5, ":05"}, {65, "1:05"}, {3600, "1:00:00"}, {3725, "1:02:05"}, {93784, "26:03:04"}};
    for (const auto &c : cases) {
        StartTransferProgress(q, XFER_RECEIVE, 0);
        Block(XFER_RECEIVE, 1000, 1000, 1000 + 1000 * c.left);  // 1000 bytes a second
        EXPECT_EQ(Field(IDC_ELAPSED), c.shown);
    }
    Block(XFER_RECEIVE, 2000, 62000, 62000 + 31000 * 64);  // 1:04 left: seconds as before
    EXPECT_EQ(Field(IDC_ELAPSED), "26:03:04");
}

TEST_F(TransferTest, PercentAndBarNeverReachTheEnd) {
    StartTransferProgress(q, XFER_RECEIVE, 0);
    Block(XFER_RECEIVE, 0, 500, 1000);
    EXPECT_EQ(Field(IDC_PERCENT) + "|" + Field(IDC_PROGRESS), "50%|" + std::string(31, '\x95'));
    Block(XFER_RECEIVE, 50, 990, 1000);
    Block(XFER_RECEIVE, 100, 1000, 1000, 1);
    EXPECT_EQ(Field(IDC_PERCENT) + "|" + Field(IDC_PROGRESS), "99%|" + std::string(63, '\x95'));
    PlatSetField(win, IDC_PROGRESS, "kept");
    ShowProgressBar(100, win, q);  // 63 bullets already: not redrawn
    EXPECT_EQ(Field(IDC_PROGRESS), "kept");

    StartTransferProgress(q, XFER_RECEIVE, 0);  // 100 bytes or less
    PlatSetField(win, IDC_PERCENT, "");
    Block(XFER_RECEIVE, 1000, 50, 100);
    EXPECT_EQ(Field(IDC_RATE) + "|" + Field(IDC_PERCENT) + Field(IDC_ELAPSED), "50 bps|");
}

TEST_F(TransferTest, FiguresPastFourGibibytes) {
    StartTransferProgress(q, XFER_RECEIVE, 0);
    Block(XFER_RECEIVE, 2000, 5 * GiB, 10 * GiB);
    EXPECT_EQ(Field(IDC_COUNTER) + "|" + Field(IDC_RATE) + "|" + Field(IDC_ELAPSED) + "|" +
                  Field(IDC_PERCENT),
              "5368709120|2684354.56 kbps|:02|50%");
    const uint64_t huge = UINT64_MAX - 10;  // count × 100 does not fit 64 bits
    Block(XFER_RECEIVE, 2050, huge / 4 * 3, huge);
    EXPECT_EQ(Field(IDC_PERCENT), "75%");
}

TEST_F(TransferTest, StatisticsHeaderOncePerRunThenColumns) {
    q->StatHandle = open(Posix("run.sta").c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    q->StatEnabled = 1;
    WriteStatLine(q, 1500, 4400, 900, "C:\\in\\a.zip");
    WriteStatLine(q, 0, 3725000, 3725, "pub/a_name_of_twenty_.txt");
    WriteStatLine(q, 7000, 7999, 5 * GiB, "b.bin");           // inside one whole second
    WriteStatLine(q, ULONG_MAX - 499, 500, 10, "wrapped");    // 0:00:01 across the wrap
    WriteStatLine(q, 0, 93784000, 6 * GiB, "c");
    q->StatEnabled = 0;
    WriteStatLine(q, 0, 1000, 1, "not written");
    q->Progress.StatHeaderPending = 1;  // a new run
    q->Progress.StatLineNumber = 1;
    q->StatEnabled = 1;
    WriteStatLine(q, 0, 1000, 1, "e");
    const std::string header =
        "\r\nQELTA v1\\.3\\.7 (Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} \\d\\d \\d\\d:\\d\\d:\\d\\d "
        "\\d{4}\r\n\r\n#     Filename          Bytes Transmitted       Bytes/sec       "
        "Elapsed Time\\(HH:MM:SS\\)\r\n";
    EXPECT_TRUE(std::regex_match(
        ReadFile("run.sta"),
        std::regex(header +
                   "1     a.zip             900                     300             0:00:03\r\n"
                   "2     a_name_of_twenty_.txt3725                    1               1:02:05\r\n"
                   "3     b.bin             5368709120              5368709120      0:00:00\r\n"
                   "4     wrapped           10                      10              0:00:01\r\n"
                   "5     c                 6442450944              68694           26:03:04\r\n" +
                   header +
                   "1     e                 1                       1               0:00:01\r\n")));
}

}  // namespace
