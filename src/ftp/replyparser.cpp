// The reply parser: line assembly and multi-line grouping over bytes.
#include "ftp/replyparser.h"

#include <cstring>

void ReplyParserReset(ReplyParser *p) { memset(p, 0, sizeof *p); }

int ReplyParserAtLineStart(const ReplyParser *p) { return p->LineTotal == 0; }

static int IsDigit(char c) { return c >= '0' && c <= '9'; }

// Three digits, the first 1 to 5, followed by sep.
static int CodeWith(const char *p, size_t n, char sep) {
    return n >= 4 && p[0] >= '1' && p[0] <= '5' && IsDigit(p[1]) && IsDigit(p[2]) && p[3] == sep;
}

static ReplyEvent Complete(ReplyParser *p, const char *code) {
    memcpy(p->Code, code, 3);
    p->Code[3] = 0;
    p->Preliminary = code[0] == '1';
    return REPLY_COMPLETE;
}

static ReplyEvent EndLine(ReplyParser *p) {
    const char *line = p->Line;
    size_t n = p->LineKept;
    p->LineTotal = 0;
    p->Opened = 0;
    p->Continued = p->OpenCode[0] != 0;
    if (p->Continued) {
        // Inside "550-" only "550 " ends the reply, whatever else looks
        // like a code.
        if (n < 4 || memcmp(line, p->OpenCode, 3) != 0 || line[3] != ' ') return REPLY_LINE;
        char code[4];
        memcpy(code, p->OpenCode, 4);
        p->OpenCode[0] = 0;
        return Complete(p, code);
    }
    if (CodeWith(line, n, '-')) {
        memcpy(p->OpenCode, line, 3);
        p->OpenCode[3] = 0;
        p->Opened = 1;
        return REPLY_LINE;
    }
    return CodeWith(line, n, ' ') ? Complete(p, line) : REPLY_LINE;
}

ReplyEvent ReplyParserFeed(ReplyParser *p, const char *data, size_t n, size_t *used) {
    for (size_t i = 0; i < n; i++) {
        if (p->LineTotal == 0) p->LineKept = 0;
        p->LineTotal++;
        if (p->LineKept < sizeof p->Line) p->Line[p->LineKept++] = data[i];
        if (data[i] == '\n') {
            *used = i + 1;
            return EndLine(p);
        }
    }
    *used = n;
    return REPLY_MORE;
}

void ReplyParserLineText(const ReplyParser *p, char *out, size_t size, int oneLine) {
    if (size == 0) return;
    size_t k = 0;
    for (size_t i = 0; i < p->LineKept && k + 1 < size; i++) {
        char c = p->Line[i];
        if (c == 0 || (oneLine && (c == '\r' || c == '\n'))) continue;
        out[k++] = c;
    }
    out[k] = 0;
}
