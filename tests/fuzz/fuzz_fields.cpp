// The readers of what a reply line tells besides its code: the 227
// address, the 229 port, the "(N bytes)" size and the 213 of SIZE and
// MDTM, each fed the input as one line. The passive readers are compared with a plain model written
// with regular expressions: a 227 names an address only with exactly six
// numbers 0 to 255 (the last such group winning), a 229 a port only in
// exactly "(|||port|)" with a port 1 to 65535 (the first winning), a 213
// a size or a time only in exactly the form asked for. The
// input read as a CONN argument must split within its buffers, and an
// address read from text must read back the same from what it writes.
#include <regex>
#include <string>

#include "fuzz_common.h"
#include "ftp/ftp.h"
#include "transfer/resume.h"

namespace {

QELTA *TheSession() {
    static QELTA *q = [] {
        QELTA *s = new QELTA();
        BlankSession(s);
        return s;
    }();
    return q;
}

// The model's reading of a 227 line: 1 with the six numbers.
int ModelPassive(const std::string &line, unsigned f[6]) {
    static const std::regex group(
        "\\( *([0-9]{1,3}) *, *([0-9]{1,3}) *, *([0-9]{1,3}) *, *([0-9]{1,3}) *, *"
        "([0-9]{1,3}) *, *([0-9]{1,3}) *\\)");
    int found = 0;
    for (size_t i = line.find('('); i != std::string::npos; i = line.find('(', i + 1)) {
        std::smatch m;
        if (!std::regex_search(line.begin() + (long)i, line.end(), m, group,
                               std::regex_constants::match_continuous))
            continue;
        unsigned v[6];
        int ok = 1;
        for (int k = 0; k < 6; k++) ok &= (v[k] = (unsigned)std::stoul(m[k + 1].str())) <= 255;
        if (!ok) continue;
        for (int k = 0; k < 6; k++) f[k] = v[k];
        found = 1;
    }
    return found;
}

long ModelExtended(const std::string &line) {
    static const std::regex form("\\(\\|\\|\\|([0-9]{1,5})\\|\\)");
    for (auto it = std::sregex_iterator(line.begin(), line.end(), form);
         it != std::sregex_iterator(); ++it) {
        long port = std::stol((*it)[1].str());
        if (port >= 1 && port <= 65535) return port;
    }
    return 0;
}

// "213", blanks, the digits (at most 18 for a size; 14, then maybe '.'
// and 1 to 9, for a time), then nothing but blanks and line ends.
void CheckResumeReplies(const char *line, size_t size, const std::string &text) {
    static const std::regex sized("213 +([0-9]{1,18})[ \\r\\n]*");
    static const std::regex timed("213 +([0-9]{14}(\\.[0-9]{1,9})?)[ \\r\\n]*");
    std::smatch m;
    int64_t got = ReadSizeReply(line, size);
    int64_t model = std::regex_match(text, m, sized) ? std::stoll(m[1].str()) : -1;
    FUZZ_CHECK(got == model, "SIZE %lld, model %lld\n", (long long)got, (long long)model);
    char out[32];
    int took = ReadTimeReply(line, size, out, sizeof out);
    int matched = std::regex_match(text, m, timed);
    FUZZ_CHECK(took == matched && (!took || m[1].str() == out), "MDTM %d (%s), model %d\n", took, out,
               matched);
}

// A record that reads is written back as one that reads the same.
void CheckRecord(const char *text, size_t size) {
    PartRecord r, again;
    if (!ReadPartRecord(text, size, "Part", &r)) return;
    char written[2048];
    if (!FormatPartRecord(&r, "Part", written, sizeof written)) return;  // a line end inside
    FUZZ_CHECK(ReadPartRecord(written, strlen(written), "Part", &again), "no read back:\n%s\n", written);
    FUZZ_CHECK(memcmp(&r, &again, sizeof r) == 0, "read back otherwise:\n%s\n", written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 600) return 0;  // a reply line is kept in far less
    QELTA *q = TheSession();
    const char *line = reinterpret_cast<const char *>(data);
    std::string text(line, size);

    q->PassiveFound = 0;
    TakePassiveAddress(q, line, size);
    unsigned f[6];
    int model = ModelPassive(text, f);
    FUZZ_CHECK(q->PassiveFound == model, "227 found %d, model %d\n", q->PassiveFound, model);
    if (model) {
        const unsigned char *b = q->PassiveAddress.Bytes;
        FUZZ_CHECK(q->PassiveAddress.Family == NET_IPV4, "227 family %d\n", q->PassiveAddress.Family);
        for (int k = 0; k < 4; k++) FUZZ_CHECK(b[k] == f[k], "227 byte %d: %u, model %u\n", k, b[k], f[k]);
        FUZZ_CHECK(q->PassiveAddress.Port == (f[4] << 8 | f[5]), "227 port %u\n", q->PassiveAddress.Port);
    }

    q->PassiveFound = 0;
    TakeExtendedPassivePort(q, line, size);
    long port = ModelExtended(text);
    FUZZ_CHECK(q->PassiveFound == (port != 0), "229 found %d, model port %ld\n", q->PassiveFound, port);
    if (port) FUZZ_CHECK(q->PassiveAddress.Port == port, "229 port %u, model %ld\n", q->PassiveAddress.Port, port);

    std::string arg(text.c_str());  // up to a NUL, as a script line is
    char host[128], written[NET_ADDRESS_TEXT];
    const char *given;
    if (SplitHostPort(arg.c_str(), host, sizeof host, &given) == HOSTPORT_OK) {
        NetAddress a, again;
        if (NetParseAddress(host, &a)) {
            FUZZ_CHECK(NetFormatAddress(&a, written, sizeof written, 1), "cut: %s\n", host);
            NetFormatAddress(&a, written, sizeof written, 0);
            FUZZ_CHECK(NetParseAddress(written, &again) && NetSameHost(&a, &again),
                       "%s written as %s reads otherwise\n", host, written);
        }
    }

    CheckResumeReplies(line, size, text);
    CheckRecord(line, size);

    q->ExpectedSize = 0;
    TakeAnnouncedSize(q, line, size);
    FUZZ_CHECK(q->ExpectedSize < 1000000000000000ULL, "size %llu\n", (unsigned long long)q->ExpectedSize);
    return 0;
}
