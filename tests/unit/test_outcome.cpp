// Which failures may pass: the replies and errors a retry is for, and the
// waits between tries.
#include <gtest/gtest.h>

#include "ftp/ftp.h"
#include "script/script.h"

TEST(Outcome, OnlyTheServersPassingTroubleIsTransient) {
    struct Case {
        const char *reply;
        int transient;
    } cases[] = {
        {"421 Service not available, closing", 1}, {"425 Can't open data connection", 1},
        {"426 Connection closed; transfer aborted", 1}, {"450 File busy", 1},
        {"451 Local error", 1}, {"452 Insufficient storage", 1},
        {"530 Login incorrect", 0}, {"550 No such file", 0}, {"553 Not allowed", 0},
        {"500 Unknown command", 0}, {"501 Syntax error", 0}, {"532 Need account", 0},
        {"200 OK", 0}, {"42", 0}, {"", 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(ReplyCodeTransient(c.reply), c.transient) << c.reply;
        int got = c.transient ? AWAIT_TRANSIENT : AWAIT_FAILED;
        EXPECT_EQ(AwaitOutcome(got), c.transient ? OUTCOME_TRANSIENT : OUTCOME_FAILED) << c.reply;
    }
    EXPECT_EQ(AwaitOutcome(AWAIT_PENDING), OUTCOME_WORKING);
    // A send's outcome read back as an await result keeps its class.
    for (int o : {OUTCOME_WORKING, OUTCOME_FAILED, OUTCOME_TRANSIENT})
        EXPECT_EQ(AwaitOutcome(OutcomeAwait(o)), o);
}

TEST(Outcome, TheWaitDoublesUpToFiveMinutes) {
    struct Case {
        int delay, tryNumber;
        unsigned seconds;
    } cases[] = {{30, 2, 30}, {30, 3, 60}, {30, 4, 120}, {30, 5, 240}, {30, 6, 300},
                 {30, 60, 300}, {0, 9, 0}, {1, 2, 1}, {1, 4, 4}, {300, 2, 300}};
    for (const Case &c : cases)
        EXPECT_EQ(RetryWaitSeconds(c.delay, c.tryNumber), c.seconds) << c.delay << " " << c.tryNumber;
}
