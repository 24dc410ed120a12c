// The reply parser on bytes alone: lines, multi-line grouping, bounds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ftp/replyparser.h"

namespace {

struct Seen {
    std::string code;  // "" for a line that completed nothing
    bool preliminary;
    std::string text;  // the line's kept text, one-line form
};

// Feeds bytes in pieces of at most step; every line end is one entry.
std::vector<Seen> FeedAll(ReplyParser *p, const std::string &bytes, size_t step) {
    std::vector<Seen> seen;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t n = std::min(step, bytes.size() - at);
        size_t used = 0;
        ReplyEvent ev = ReplyParserFeed(p, bytes.data() + at, n, &used);
        EXPECT_GE(used, 1u);
        EXPECT_LE(used, n);
        at += used;
        if (ev == REPLY_MORE) {
            EXPECT_EQ(used, n);
            continue;
        }
        char text[600];
        ReplyParserLineText(p, text, sizeof text, 1);
        if (ev == REPLY_COMPLETE)
            seen.push_back({p->Code, p->Preliminary != 0, text});
        else
            seen.push_back({"", false, text});
    }
    return seen;
}

std::vector<Seen> Parse(const std::string &bytes, size_t step = 1 << 20) {
    ReplyParser p;
    ReplyParserReset(&p);
    return FeedAll(&p, bytes, step);
}

std::vector<std::string> Codes(const std::vector<Seen> &seen) {
    std::vector<std::string> codes;
    for (const Seen &s : seen)
        if (!s.code.empty()) codes.push_back(s.code);
    return codes;
}

}  // namespace

TEST(ReplyParser, GroupsMultiLineRepliesOnTheirOwnCode) {
    auto seen = Parse("220-Welcome\r\n220-More\r\n220 Ready\r\n");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].code, "");
    EXPECT_EQ(seen[1].code, "");
    EXPECT_EQ(seen[2].code, "220");
    EXPECT_EQ(seen[2].text, "220 Ready");

    // Inside "550-" other codes are text; "550 " alone ends it.
    EXPECT_EQ(Codes(Parse("550-Denied\r\n250 OK\r\n200-Fine\r\n550 Really.\r\n200 Next\r\n")),
              (std::vector<std::string>{"550", "200"}));
    // A line that is no reply, and codes out of range, complete nothing.
    EXPECT_TRUE(Codes(Parse("hello\r\n600 x\r\n099 x\r\n25 x\r\n250x\r\n\r\n")).empty());
    // LF alone ends a line; a CR does not.
    EXPECT_EQ(Codes(Parse("250 a\r250 b\n")), (std::vector<std::string>{"250"}));
}

TEST(ReplyParser, TellsPreliminaryFromFinalAndWhereALineBelongs) {
    ReplyParser p;
    ReplyParserReset(&p);
    const std::string bytes = "150 Opening.\r\n226-Done\r\nmore\r\n226 Done.\r\n";
    size_t used;
    EXPECT_EQ(ReplyParserFeed(&p, bytes.data(), bytes.size(), &used), REPLY_COMPLETE);
    EXPECT_EQ(used, 14u);
    EXPECT_TRUE(p.Preliminary);
    EXPECT_FALSE(p.Continued);
    size_t at = used;
    EXPECT_EQ(ReplyParserFeed(&p, bytes.data() + at, bytes.size() - at, &used), REPLY_LINE);
    EXPECT_TRUE(p.Opened);
    EXPECT_FALSE(p.Continued);
    at += used;
    EXPECT_EQ(ReplyParserFeed(&p, bytes.data() + at, bytes.size() - at, &used), REPLY_LINE);
    EXPECT_TRUE(p.Continued);
    EXPECT_FALSE(p.Opened);
    at += used;
    EXPECT_TRUE(ReplyParserAtLineStart(&p));
    EXPECT_EQ(ReplyParserFeed(&p, bytes.data() + at, 3, &used), REPLY_MORE);
    EXPECT_FALSE(ReplyParserAtLineStart(&p));
    at += used;
    EXPECT_EQ(ReplyParserFeed(&p, bytes.data() + at, bytes.size() - at, &used), REPLY_COMPLETE);
    EXPECT_TRUE(p.Continued);
    EXPECT_FALSE(p.Preliminary);
    EXPECT_STREQ(p.Code, "226");
    EXPECT_EQ(at + used, bytes.size());
}

// However the bytes are cut, the same replies come out.
TEST(ReplyParser, EverySplitGivesTheSameReplies) {
    const std::string bytes =
        "120 Wait.\r\n220-Hi\r\n220 x\r\n220 Ready.\r\nnoise\n550-a\r\n250 b\r\n550 c\r\n";
    auto whole = Parse(bytes);
    ASSERT_EQ(Codes(whole), (std::vector<std::string>{"120", "220", "220", "550"}));
    for (size_t step = 1; step < bytes.size(); step++) {
        auto pieces = Parse(bytes, step);
        ASSERT_EQ(pieces.size(), whole.size()) << step;
        for (size_t i = 0; i < whole.size(); i++) {
            EXPECT_EQ(pieces[i].code, whole[i].code) << step;
            EXPECT_EQ(pieces[i].text, whole[i].text) << step;
        }
    }
}

TEST(ReplyParser, KeepsABoundedNulFreeCopyOfEachLine) {
    // A line far longer than what is kept still ends, and its code counts.
    std::string longLine = "250 " + std::string(5000, 'x') + "\r\n";
    ReplyParser p;
    ReplyParserReset(&p);
    size_t used;
    EXPECT_EQ(ReplyParserFeed(&p, longLine.data(), longLine.size(), &used), REPLY_COMPLETE);
    EXPECT_EQ(used, longLine.size());
    EXPECT_EQ(p.LineKept, sizeof p.Line);
    char text[1000];
    ReplyParserLineText(&p, text, sizeof text, 0);
    EXPECT_EQ(std::string(text), longLine.substr(0, sizeof p.Line));
    ReplyParserLineText(&p, text, 10, 0);  // cut at the room given
    EXPECT_STREQ(text, "250 xxxxx");

    // NUL bytes are kept as they came but never reach the text; the
    // one-line form has no CR or LF.
    const char raw[] = "250 Ok\0after\rmore\r\n";
    std::string nul(raw, sizeof raw - 1);
    auto seen = Parse(nul);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, "250");
    EXPECT_EQ(seen[0].text, "250 Okaftermore");
    ReplyParserReset(&p);
    ReplyParserFeed(&p, nul.data(), nul.size(), &used);
    EXPECT_EQ(p.LineKept, nul.size());
    ReplyParserLineText(&p, text, sizeof text, 0);
    EXPECT_STREQ(text, "250 Okafter\rmore\r\n");
}
