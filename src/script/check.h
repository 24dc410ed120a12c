// The script check (qelta --check): a script's text read as a run reads
// it, with nothing run and nothing written. It reports what would make a
// run end early, fail or do other than it seems to say.
#ifndef QELTA_CHECK_H
#define QELTA_CHECK_H

#include <cstddef>

// One finding: the line of the file it concerns (1 for the first line)
// and what is wrong there.
typedef void (*CheckReport)(void *context, long line, const char *message);

// Reports every finding of the script text, in the order of its lines,
// and returns their number.
int CheckScript(const char *bytes, size_t size, CheckReport report, void *context);

#endif
