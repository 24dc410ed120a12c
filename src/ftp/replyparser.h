// Bytes of the control connection to whole replies: lines cut at their
// LF, kept up to a bound, and "550-" ... "550 " grouped into one reply.
// It reads no socket and knows no command; who a reply belongs to is the
// control connection's business.
#ifndef QELTA_REPLYPARSER_H
#define QELTA_REPLYPARSER_H

#include <cstddef>

enum ReplyEvent {
    REPLY_MORE,      // every byte taken, the line still open
    REPLY_LINE,      // a line ended without completing a reply
    REPLY_COMPLETE,  // a line ended and completed a reply
};

struct ReplyParser {
    char Line[512];    // the open (or just ended) line's first bytes, as they came
    size_t LineKept;   // bytes of it in Line
    size_t LineTotal;  // bytes of the open line so far; 0 = at a line start
    char OpenCode[4];  // "550" while a "550-" reply waits for "550 "
    // Of the line that just ended:
    int Continued;  // it lay inside a reply begun on an earlier line
    int Opened;     // it began a multi-line reply
    // Of the reply just completed (REPLY_COMPLETE):
    char Code[4];     // its three digits
    int Preliminary;  // a 1xx reply, which decides nothing
};

void ReplyParserReset(ReplyParser *p);
// No byte of a new line taken yet.
int ReplyParserAtLineStart(const ReplyParser *p);
// Takes bytes up to and including the next line end (all of them when
// none ends), *used = how many; returns what that did.
ReplyEvent ReplyParserFeed(ReplyParser *p, const char *data, size_t n, size_t *used);
// The kept part of the line that just ended without its NUL bytes, cut
// at size; line ends stay (*oneLine = 1: CR and LF left out, so the text
// stays on one line).
void ReplyParserLineText(const ReplyParser *p, char *out, size_t size, int oneLine);

#endif
