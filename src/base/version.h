// The program's version, named once: the log and statistics headers, the
// window title, the Linux program's --version and the packages (CMake
// reads QELTA_VERSION from this file) all take it from here.
#ifndef QELTA_BASE_VERSION_H
#define QELTA_BASE_VERSION_H

#define QELTA_VERSION "1.3.7"
#define QELTA_TITLE "QELTA32 v" QELTA_VERSION
#define QELTA_VERSION_TEXT "QELTA v" QELTA_VERSION

#endif
