// The entry point of the Linux program. The words of the command line are
// joined as Windows hands a command line over; a script given as an
// absolute POSIX path goes to the core in its DOS form, so that the run
// files land beside it.
#include <string>
#include <vector>

#include "platform/posix/posix_internal.h"

int main(int argc, char **argv) {
    LoopInstallSignals();
    std::string cmdline;
    for (int i = 1; i < argc; i++) {
        if (i > 1) cmdline.push_back(' ');
        cmdline += argv[i];
    }
    // A quoted path, as shell associations pass it, keeps its quotes for
    // the core, which removes them.
    bool quoted = cmdline.size() >= 2 && cmdline.front() == '"' && cmdline.back() == '"';
    std::string path = quoted ? cmdline.substr(1, cmdline.size() - 2) : cmdline;
    std::string dos = cmdline;
    if (!path.empty() && path[0] == '/') {
        std::vector<char> out(path.size() + 64);
        if (!PosixUnmapPath(path.c_str(), out.data(), out.size())) {
            // No drive holds it: as a DOS path it would name another file.
            std::string text = "Can not open script file " + path;
            PlatMessageBox(text.c_str(), "QELTA Error", QMB_OK);
            return 0;
        }
        dos = quoted ? "\"" + std::string(out.data()) + "\"" : std::string(out.data());
    }
    static int instance;
    QeltaMain(&instance, 0, dos.c_str(), 1);
    return 0;
}
