// Profile reads and status writes on a script of 60 lines. Every read
// opens and parses the whole file; every command's status is one write,
// which replaces the script through a temporary file.
#include <cstring>
#include <fstream>
#include <string>

#include "app/app.h"
#include "base/text.h"
#include "bench_util.h"
#include "script/script.h"

namespace {

enum { CommandLines = 30, OldStatuses = 15 };

// 60 lines: comments, [QELTA] with 30 command lines, [Settings] and an
// old [STATUS] of 15 lines, CR LF throughout as scripts made on Windows.
std::string Script(void) {
    std::string s = "; nightly upload of the branch reports\r\n[QELTA]\r\n";
    for (int i = 1; i <= CommandLines; i++) {
        static const char *const Kinds[] = {"CHWD /incoming/reports", "TYPE I", "STOR C:\\jobs\\out\\r.dat r.dat",
                                            "WFOR 0:01"};
        s += "FTPCommand" + std::to_string(i) + "=" + Kinds[i % 4] + "\r\n";
    }
    s += "\r\n[Settings]\r\nSilent=1\r\nTimeOut=60\r\nDebug=0\r\nDebugEx=0\r\nPASVMode=1\r\n"
         "LogFile=\r\nAppendLogFile=1\r\n\r\n[STATUS]\r\n";
    for (int i = 1; i <= OldStatuses; i++) s += "CommandStatus" + std::to_string(i) + "=Success\r\n";
    s += "ExitCode=Success\r\n";
    return s;
}

struct ScriptFile {
    ScratchDir dir;
    std::string dos;
    std::string text = Script();

    ScriptFile() {
        Restore();
        dos = dir.Dos("night.ftp");
    }
    void Restore() {
        std::ofstream f(dir.File("night.ftp"), std::ios::binary | std::ios::trunc);
        f << text;
    }
    int Ready() const { return !dos.empty(); }
};

void BM_ProfileRead(benchmark::State &state) {
    ScriptFile f;
    if (!f.Ready()) return state.SkipWithError("scratch folder not on a mapped drive");
    // Arg: the command line read; past the last one the key is missing,
    // which is how the reader finds the end of the script.
    char key[32];
    FORMATCUT(key, "FTPCommand%d", (int)state.range(0));
    char out[512];
    for (auto _ : state) {
        int n = PlatProfileRead("QELTA", key, "", out, sizeof out, f.dos.c_str());
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_ProfileRead)->ArgName("line")->Arg(1)->Arg(CommandLines)->Arg(CommandLines + 1);

void BM_ProfileReadInt(benchmark::State &state) {
    ScriptFile f;
    if (!f.Ready()) return state.SkipWithError("scratch folder not on a mapped drive");
    for (auto _ : state) {
        int v = PlatProfileReadInt("Settings", "TimeOut", 0, f.dos.c_str());
        if (v != 60) return state.SkipWithError("TimeOut not read back");
    }
}
BENCHMARK(BM_ProfileReadInt);

struct StatusRun {
    ScriptFile f;
    QELTA *q;

    StatusRun() {
        q = new QELTA();
        std::memset(q, 0, sizeof(*q));
        ResetSession(q);
        q->LongKeyForm = 1;
        COPYCUT(q->ScriptPath, f.dos.c_str());
    }
    ~StatusRun() { delete q; }
};

// Arg 1: each write changes the value (Success, Fail, ...), as in a run
// after the reset; arg 0: the value is already there and nothing changes.
void BM_StatusWrite(benchmark::State &state) {
    StatusRun r;
    if (!r.f.Ready()) return state.SkipWithError("scratch folder not on a mapped drive");
    int changes = (int)state.range(0);
    int success = 1;
    for (auto _ : state) {
        if (changes) success = !success;
        WriteStatus(r.q, 12, success);
    }
    char out[16];
    PlatProfileRead("STATUS", "CommandStatus12", "", out, sizeof out, r.f.dos.c_str());
    if (strcmp(out, success ? "Success" : "Fail") != 0) state.SkipWithError("status not written");
}
BENCHMARK(BM_StatusWrite)->ArgName("changes")->Arg(1)->Arg(0);

// The start of a run over 15 old statuses: ExitCode emptied twice and
// each old status read and written as failed, on a fresh copy each time.
void BM_ResetStatus15(benchmark::State &state) {
    StatusRun r;
    if (!r.f.Ready()) return state.SkipWithError("scratch folder not on a mapped drive");
    for (auto _ : state) {
        state.PauseTiming();
        r.f.Restore();
        state.ResumeTiming();
        ResetStatus(r.q);
    }
}
BENCHMARK(BM_ResetStatus15)->Unit(benchmark::kMillisecond);

}  // namespace
