// The script check over arbitrary bytes: it must finish, and every finding
// must name a line the file has, in line order, as one line of text.
#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "script/check.h"

namespace {

struct Seen {
    long Lines;  // of the input
    long Last;   // line of the finding before
};

long LinesOf(const uint8_t *data, size_t size) {
    long lines = 0;
    for (size_t i = 0; i < size; i++)
        if (data[i] == '\n' || (data[i] == '\r' && (i + 1 == size || data[i + 1] != '\n'))) lines++;
    if (size > 0 && data[size - 1] != '\n' && data[size - 1] != '\r') lines++;
    return lines;
}

void Take(void *context, long line, const char *message) {
    Seen *seen = static_cast<Seen *>(context);
    // A script without lines is still named at line 1.
    FUZZ_CHECK(line >= 1 && line <= (seen->Lines > 0 ? seen->Lines : 1), "line %ld of %ld", line,
               seen->Lines);
    FUZZ_CHECK(line >= seen->Last, "line %ld after line %ld", line, seen->Last);
    FUZZ_CHECK(message[0] != 0 && strpbrk(message, "\r\n") == nullptr, "message '%s'", message);
    seen->Last = line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Seen seen = {LinesOf(data, size), 1};
    CheckScript(reinterpret_cast<const char *>(data), size, Take, &seen);
    return 0;
}
