// What the benchmarks share: a scratch folder removed at the end, and
// the DOS form of a path in it, as the core hands paths to the platform.
#ifndef QELTA_BENCH_UTIL_H
#define QELTA_BENCH_UTIL_H

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/posix/posix_internal.h"

struct ScratchDir {
    std::string path;

    // QELTA_BENCH_DIR picks the file system measured (a slow disk, a
    // tmpfs); /tmp otherwise.
    ScratchDir() {
        const char *base = getenv("QELTA_BENCH_DIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qelta-bench-XXXXXX";
        if (mkdtemp(&tmpl[0]) != nullptr) path = tmpl;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    std::string File(const char *name) const { return path + "/" + name; }

    // "C:\tmp\qelta-bench-x\name"; empty when no drive holds the folder.
    std::string Dos(const char *name) const {
        char out[512];
        if (!PosixUnmapPath(File(name).c_str(), out, sizeof out)) return std::string();
        return out;
    }
};

#endif
