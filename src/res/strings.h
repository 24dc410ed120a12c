// String-table entries, shared by the resource script and the POSIX layer.
#ifndef QELTA_STRINGS_H
#define QELTA_STRINGS_H

#define IDS_SCRIPT_FILTER 1032
#define STR_SCRIPT_FILTER "Script Files(*.txt,*.ftp)|*.txt;*.ftp|All Files(*.*)|*.*|"

#endif
