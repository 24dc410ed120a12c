// A session record whose control socket is one end of a real socket pair:
// the test writes the server's bytes into the other end. Opened without
// the pair, the server's bytes go straight to the connection layer, one
// read at a time. The log and the error log are real files.
#ifndef QELTA_TEST_FTP_FIXTURE_H
#define QELTA_TEST_FTP_FIXTURE_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "base/text.h"
#include "ftp/ftp.h"

struct FtpSession {
    QELTA *q = nullptr;
    int server = -1;  // the server's end of the pair
    std::string dir;

    void Open(bool withSocket = true) {
        char tmpl[] = "/tmp/qelta-ftp-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        q = NewSession();
        ASSERT_NE(q, nullptr);
        q->LogHandle = open((dir + "/run.log").c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
        q->ErrorLogHandle = open((dir + "/run.err").c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
        ASSERT_EQ(ResetReplyReader(q), 1);
        if (!withSocket) return;
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        // The client's end never blocks, as in the program.
        fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
        q->Socket.Control = fds[0];
        server = fds[1];
    }

    void Close() {
        if (q->Socket.Control != -1) close((int)q->Socket.Control);
        if (server != -1) close(server);
        close((int)q->LogHandle);
        close((int)q->ErrorLogHandle);
        DeleteSession(q);
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    void Send(const std::string &bytes) {
        ASSERT_EQ(write(server, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    }

    // One server write, one read; returns its result.
    int Deliver(const std::string &bytes) {
        if (server == -1) return ControlBytesArrived(q, bytes.data(), bytes.size());
        Send(bytes);
        return FillControlBuffer(q);
    }

    // As after a command line went out: its reply is awaited.
    void Expect() { ExpectReply(q); }

    // A command was sent: delivers its reply and matches it; returns
    // CheckFor's result.
    int Reply(const std::string &bytes, const char *expected) {
        Expect();
        return Answer(bytes, expected);
    }

    // More of the awaited reply: delivers and matches.
    int Answer(const std::string &bytes, const char *expected) {
        EXPECT_EQ(Deliver(bytes), 1);
        return CheckFor(nullptr, expected, q->ReplyLength, q);
    }

    // What the client sent so far, without waiting.
    std::string Sent() {
        char buf[2048];
        fcntl(server, F_SETFL, fcntl(server, F_GETFL) | O_NONBLOCK);
        ssize_t n = read(server, buf, sizeof buf);
        return n > 0 ? std::string(buf, (size_t)n) : std::string();
    }

    std::string ReadFile(const std::string &name) const {
        std::ifstream f(dir + "/" + name, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

class FtpFixture : public ::testing::Test, public FtpSession {
protected:
    void SetUp() override { Open(); }
    void TearDown() override { Close(); }
};

// The same without a socket: the bytes are the server's reads.
class FtpBytesFixture : public ::testing::Test, public FtpSession {
protected:
    void SetUp() override { Open(false); }
    void TearDown() override { Close(); }
};

#endif
