// The report's JSON strings, fed any bytes a server could send and any
// room to write them in: the output must be one JSON string, closed, of
// valid UTF-8 and within its room; with room enough, a well-formed input
// must read back unchanged and an ill-formed one with U+FFFD in place of
// each byte that starts no character. The masked argument of a PASS never
// holds what followed the keyword.
#include <string>

#include "fuzz_common.h"
#include "log/report.h"
#include "session/commandids.h"

namespace {

// A UTF-8 decoder written from the code point ranges: -1 when the bytes
// at s[i] start no well-formed character, else the code point, with its
// length in *len.
long Decode(const std::string &s, size_t i, size_t *len) {
    unsigned char c = (unsigned char)s[i];
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return -1;
    long cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; k++) {
        unsigned char t = (unsigned char)s[i + k];
        if ((t & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (t & 0x3F);
    }
    static const long Least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < Least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    *len = n;
    return cp;
}

void PutUtf8(std::string *out, long cp) {
    if (cp < 0x80) {
        *out += (char)cp;
    } else if (cp < 0x800) {
        *out += (char)(0xC0 | (cp >> 6));
        *out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += (char)(0xE0 | (cp >> 12));
        *out += (char)(0x80 | ((cp >> 6) & 0x3F));
        *out += (char)(0x80 | (cp & 0x3F));
    } else {
        *out += (char)(0xF0 | (cp >> 18));
        *out += (char)(0x80 | ((cp >> 12) & 0x3F));
        *out += (char)(0x80 | ((cp >> 6) & 0x3F));
        *out += (char)(0x80 | (cp & 0x3F));
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses a JSON string as the grammar has it; 1 with its text in *text.
int ParseJsonString(const std::string &s, std::string *text) {
    if (s.size() < 2 || s.front() != '"' || s.back() != '"') return 0;
    static const std::string Escapes = "\"\\/bfnrt", Means = "\"\\/\b\f\n\r\t";
    for (size_t i = 1; i + 1 < s.size();) {
        size_t len = 0;
        long cp = Decode(s, i, &len);
        if (cp < 0x20 || cp == '"') return 0;
        if (cp != '\\') {
            PutUtf8(text, cp);
            i += len;
            continue;
        }
        if (i + 2 >= s.size()) return 0;
        char e = s[i + 1];
        size_t at = Escapes.find(e);
        if (at != std::string::npos) {
            *text += Means[at];
            i += 2;
            continue;
        }
        if (e != 'u' || i + 6 >= s.size()) return 0;
        long v = 0;
        for (int k = 2; k < 6; k++) {
            int h = HexValue(s[i + k]);
            if (h < 0) return 0;
            v = v * 16 + h;
        }
        if (v >= 0xD800 && v <= 0xDFFF) return 0;  // the writer makes no pairs
        PutUtf8(text, v);
        i += 6;
    }
    return 1;
}

// The input with each byte that starts no well-formed character replaced.
std::string Repaired(const std::string &in) {
    std::string out;
    for (size_t i = 0; i < in.size();) {
        size_t len = 0;
        long cp = Decode(in, i, &len);
        if (cp < 0) {
            out += "\xEF\xBF\xBD";
            i++;
        } else {
            out.append(in, i, len);
            i += len;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the room: small rooms cut, 0 gives enough.
    size_t room = data[0] ? (size_t)data[0] % 64 : 0;
    std::string in(reinterpret_cast<const char *>(data + 1), size - 1);
    size_t whole = in.size() * 6 + 3;
    if (room == 0) room = whole;
    std::string out(room + 16, '\x55');
    size_t n = JsonString(&out[0], room, in.data(), in.size());
    FUZZ_CHECK(n < room || room < 3, "wrote %zu in %zu", n, room);
    FUZZ_CHECK(out[room] == '\x55', "wrote past its room of %zu", room);
    if (room < 3) return 0;
    FUZZ_CHECK(out[n] == 0, "no end at %zu", n);
    std::string text;
    FUZZ_CHECK(ParseJsonString(out.substr(0, n), &text), "not one JSON string: %s", out.c_str());
    std::string repaired = Repaired(in);
    if (room == whole)
        FUZZ_CHECK(text == repaired, "read back differs from its input");
    else
        FUZZ_CHECK(repaired.compare(0, text.size(), text) == 0, "a cut text is no start of it");

    char masked[600];
    std::string argument = in.substr(0, 500);
    MaskedArgument(CMD_PASS, argument.c_str(), masked, sizeof masked);
    std::string m = masked;
    FUZZ_CHECK(m.empty() || m == "********", "PASS shown as %s", masked);
    MaskedArgument(CMD_UDEF, argument.c_str(), masked, sizeof masked);
    m = masked;
    FUZZ_CHECK(m == "PASS ********" || m == argument.c_str(), "UDEF shown as %s", masked);
    return 0;
}
