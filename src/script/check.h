// The script check (qelta --check): a script's text read as a run reads
// it, with nothing run and nothing written. It reports what would make a
// run end early, fail or do other than it seems to say.
#ifndef QELTA_CHECK_H
#define QELTA_CHECK_H

// CheckScript and CheckReport are declared with the core's other entry
// points, in platform/platform.h, for the Linux program's --check.
#include "platform/platform.h"

#endif
