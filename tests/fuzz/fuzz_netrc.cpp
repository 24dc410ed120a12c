// The netrc reader over any bytes: it never reads or writes past its
// buffers, answers 1, 0 or -1, and what it finds fits the room it was given
// and stands in the text (a quoted token may lose its quotes and escapes).
#include <cstdint>
#include <cstring>

#include "fuzz_common.h"
#include "ftp/ftp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    static const char *const Hosts[] = {"ftp.example.net", "a b", ""};
    static const char *const Users[] = {"nightly", "anonymous", ""};
    for (const char *host : Hosts)
        for (const char *user : Users) {
            char out[16];
            memset(out, 'X', sizeof out);
            int r = NetrcPassword(text, size, host, user, out, sizeof out);
            FUZZ_CHECK(r >= -1 && r <= 1, "result %d", r);
            if (r != 1) continue;
            size_t n = strnlen(out, sizeof out);
            FUZZ_CHECK(n < sizeof out, "password not terminated");
            for (size_t i = 0; i < n; i++)
                FUZZ_CHECK(memchr(data, out[i], size) != nullptr, "byte %d is not in the text", out[i]);
        }
    return 0;
}
