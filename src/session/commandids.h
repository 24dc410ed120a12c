// The command ids: what a script line runs as. Each id names one executor
// (the command table, script.h); the keyword variants MGTC, STOU and APPE
// have no id of their own and run as MGET and STOR with a mode flag set.
#ifndef QELTA_COMMANDIDS_H
#define QELTA_COMMANDIDS_H

enum {
    CMD_NONE = 0,
    CMD_CONN = 1,
    CMD_TYPE = 2,
    CMD_PASS = 3,
    CMD_PORT = 4,
    CMD_USER = 5,
    CMD_NLST = 6,
    CMD_QUIT = 7,
    CMD_RDIR = 8,
    CMD_MDIR = 9,
    CMD_CHWD = 10,
    CMD_LIST = 11,
    CMD_EXEC = 12,
    CMD_STOR = 13,  // also STOU and APPE
    CMD_RETR = 14,
    CMD_MPUT = 15,
    CMD_MGET = 16,  // also MGTC
    CMD_KILL = 17,
    CMD_DELL = 18,  // local delete
    CMD_DELR = 19,  // remote delete
    CMD_WTIL = 20,
    // 21: no command
    CMD_ACCT = 22,
    CMD_SMNT = 23,
    // 24, 25: no command
    CMD_UDEF = 26,
    CMD_WFOR = 27,
    CMD_DIAL = 28,
    CMD_GOTO = 29,
    CMD_PASV = 30,
    CMD_ID_COUNT,
    // A generated line whose first letter is no command: no keyword gives
    // it, and ProcessCommandProc fails the run on it.
    CMD_BAD_GENERATED_LINE = CMD_ID_COUNT,
};

#endif
