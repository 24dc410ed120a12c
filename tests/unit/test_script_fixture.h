// A session record over a real script file in a fresh temporary folder.
#ifndef QELTA_TEST_SCRIPT_FIXTURE_H
#define QELTA_TEST_SCRIPT_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "base/text.h"
#include "platform/posix/posix_internal.h"
#include "app/app.h"
#include "script/script.h"

class ScriptFixture : public ::testing::Test {
protected:
    QELTA *q = nullptr;
    std::string dir;

    void SetUp() override {
        char tmpl[] = "/tmp/qelta-script-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        q = NewSession();
        ASSERT_NE(q, nullptr);
        q->View = &DialogView;  // the program's own: tests read its fields
    }

    void TearDown() override {
        if (q->GeneratedScriptHandle != -1) PlatFileClose(q->GeneratedScriptHandle);
        DeleteSession(q);
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    std::string Posix(const std::string &name) const { return dir + "/" + name; }

    // The DOS form of a file in the folder, as the core sees it.
    std::string Dos(const std::string &name) const {
        char out[256];
        EXPECT_EQ(PosixUnmapPath(Posix(name).c_str(), out, sizeof(out)), 1);
        return out;
    }

    void WriteFile(const std::string &name, const std::string &bytes) const {
        std::ofstream f(Posix(name), std::ios::binary);
        f << bytes;
    }

    std::string ReadFile(const std::string &name) const {
        std::ifstream f(Posix(name), std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    bool Exists(const std::string &name) const { return access(Posix(name).c_str(), F_OK) == 0; }

    // Writes the script and points the session at it.
    void UseScript(const std::string &text, int longForm) {
        WriteFile("job.ftp", text);
        CopyCut(q->ScriptPath, sizeof(q->ScriptPath), Dos("job.ftp").c_str());
        q->LongKeyForm = longForm;
    }

    std::string Status(const char *key) const {
        char out[64];
        PlatProfileRead("STATUS", key, "<none>", out, sizeof(out), q->ScriptPath);
        return out;
    }
};

#endif
