// The netrc file's entries: "machine NAME login USER password SECRET",
// "default" for every other machine, "account" and "macdef" skipped.
// Tokens are separated by blanks and line ends; a token in double quotes
// may hold blanks, with \" and \\ inside.
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"

namespace {

struct Tokens {
    const char *p, *end;
};

int IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

// The next token into out, cut at size (*cut set when it was); 0 at the end.
int NextToken(Tokens *t, char *out, size_t size, int *cut) {
    while (t->p < t->end && IsSpace(*t->p)) t->p++;
    if (t->p >= t->end) return 0;
    size_t n = 0;
    *cut = 0;
    int quoted = *t->p == '"';
    if (quoted) t->p++;
    while (t->p < t->end && (quoted ? *t->p != '"' : !IsSpace(*t->p))) {
        char c = *t->p++;
        if (quoted && c == '\\' && t->p < t->end) c = *t->p++;
        if (n + 1 < size)
            out[n++] = c;
        else
            *cut = 1;
    }
    if (quoted && t->p < t->end) t->p++;
    out[n] = 0;
    return 1;
}

// A macro's body runs to the first empty line.
void SkipMacro(Tokens *t) {
    const char *blank = t->p;
    while (blank < t->end) {
        const char *nl = (const char *)memchr(blank, '\n', (size_t)(t->end - blank));
        if (nl == nullptr) break;
        const char *next = nl + 1;
        if (next < t->end && (*next == '\n' || (*next == '\r' && next + 1 < t->end && next[1] == '\n'))) {
            t->p = next;
            return;
        }
        blank = next;
    }
    t->p = t->end;
}

int Is(const char *word, const char *keyword) { return strcmp(word, keyword) == 0; }

int SameName(const char *a, const char *b) {
    size_t n = strlen(b);
    return strlen(a) == n && EqualNoCase(a, b, n);
}

struct Entry {
    int isDefault;
    char machine[256];
    char login[256];
    int hasLogin, hasPassword, passwordCut;
    char password[256];
};

// The entry's fields up to the next "machine" or "default", which is left
// for the next call. 0 when no entry starts here.
int ReadEntry(Tokens *t, Entry *e) {
    char word[256];
    int cut;
    memset(e, 0, sizeof *e);
    while (NextToken(t, word, sizeof word, &cut)) {
        if (Is(word, "machine") || Is(word, "default")) {
            e->isDefault = Is(word, "default");
            if (!e->isDefault) NextToken(t, e->machine, sizeof e->machine, &cut);
            break;
        }
        if (Is(word, "macdef")) {
            NextToken(t, word, sizeof word, &cut);
            SkipMacro(t);
        }
    }
    if (!e->isDefault && e->machine[0] == 0) return 0;
    for (;;) {
        const char *at = t->p;
        if (!NextToken(t, word, sizeof word, &cut)) return 1;
        if (Is(word, "machine") || Is(word, "default")) {
            t->p = at;
            return 1;
        }
        if (Is(word, "login")) {
            e->hasLogin = NextToken(t, e->login, sizeof e->login, &cut);
        } else if (Is(word, "password")) {
            e->hasPassword = NextToken(t, e->password, sizeof e->password, &e->passwordCut);
        } else if (Is(word, "account")) {
            NextToken(t, word, sizeof word, &cut);
        } else if (Is(word, "macdef")) {
            NextToken(t, word, sizeof word, &cut);
            SkipMacro(t);
        }
    }
}

// An entry without a login serves every user; one with a login only that one.
int Serves(const Entry &e, const char *user) { return !e.hasLogin || strcmp(e.login, user) == 0; }

}  // namespace

int NetrcPassword(const char *text, size_t len, const char *host, const char *user, char *out, size_t size) {
    Tokens t = {text, text + len};
    Entry e, found;
    memset(&found, 0, sizeof found);
    int rank = 0;  // 1: a default entry serves; 2: the machine's own
    while (rank < 2 && ReadEntry(&t, &e)) {
        if (!e.hasPassword || !Serves(e, user)) continue;
        int r = e.isDefault ? 1 : SameName(e.machine, host) ? 2 : 0;
        if (r <= rank) continue;
        found = e;
        rank = r;
    }
    int whole = rank > 0 && !found.passwordCut && CopyCut(out, size, found.password);
    int result = rank == 0 ? 0 : whole ? 1 : -1;
    // Copies of secrets do not outlive their use.
    memset(&e, 0, sizeof e);
    memset(&found, 0, sizeof found);
    return result;
}
