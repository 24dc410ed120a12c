// The keys of [Settings]: one table that the run reads its settings through
// and that the script check compares a script's keys and values against,
// so that neither can know a key the other does not.
#ifndef QELTA_SETTINGS_H
#define QELTA_SETTINGS_H

#include <cstddef>

#include "session/session.h"

enum SettingKind {
    SETTING_FLAG,     // on when exactly 1
    SETTING_SWITCH,   // on when not 0
    SETTING_NUMBER,   // a whole number from Low to High
    SETTING_PATH,     // a path the run keeps in 127 characters
    SETTING_COMMAND,  // a program's command line, read in 255 characters
    SETTING_TEXT,     // a word or value checked by its own rule, read in 127 characters
};

// In table order; the table's rows are checked against it at compile time.
enum SettingId {
    SET_LOGFILE,
    SET_APPENDLOGFILE,
    SET_ERRORLOGFILE,
    SET_APPENDERRORLOGFILE,
    SET_STATFILE,
    SET_APPENDSTATFILE,
    SET_TEMPLATE,
    SET_PROCESSEXITCODE,
    SET_SILENT,
    SET_DEBUG,
    SET_DEBUGEX,
    SET_DEBUGMESSAGES,
    SET_TIMEOUT,
    SET_BLOCKSIZE,
    SET_PASVMODE,
    SET_PASVUSEREPLYADDRESS,
    SET_550DELETEOVERRIDE,
    SET_DELETEOVERRIDE,
    SET_DELR550OVERRIDE,
    SET_DIRCMDCANDONOTHING,
    SET_DELLCANDONOTHING,
    SET_MPUTCANDONOTHING,
    SET_BRINGTOTOP,
    SET_BLOCKING,
    SET_DIALRETRY,
    SET_NOGETHOSTNAME,
    SET_NO3D,
    SET_ONSUCCESSEXEC,
    SET_ONFAILEXEC,
    SET_TLS,
    SET_TLSFINGERPRINT,
    SET_TLSCAFILE,
    SET_TLSVERIFY,
    SET_TLSPROTECTDATA,
    SET_PASSWORDSOURCE,
    SET_PASSWORDVARIABLE,
    SET_EPSV,
    SET_RETRY,
    SET_RETRYDELAY,
    SET_RETRYFOR,
    SET_RESUME,
    SET_VERIFY,
    SET_UPLOADTEMPNAME,
    SET_REPORTFILE,
    SET_APPENDREPORTFILE,
    SET_CONNECTIONS,
    SETTING_COUNT
};

struct SettingEntry {
    const char *Key;
    int Id;
    int Kind;
    int Default;  // numbers and switches; a text's default is empty
    int Low;      // the values a script may give (numbers and switches)
    int High;
};
extern const SettingEntry SettingsTable[SETTING_COUNT];

// The row of a key, found without regard to case; 0 for a key that the
// program does not read.
const SettingEntry *FindSetting(const char *key);
// Reads every setting of the script once, for the rest of the run: the
// reads below then answer from the record (before it, from the script).
void LoadSettingValues(QELTA *q);
// A number or switch of the script's [Settings], its default when missing
// or empty; text that is no number reads as 0.
int ReadSetting(const QELTA *q, int id);
// The setting is on: exactly 1 for a flag, anything but 0 for a switch.
int SettingOn(const QELTA *q, int id);
// A path or command line; empty when missing. The number of characters
// read, cut at size - 1.
int ReadSettingText(const QELTA *q, int id, char *out, size_t size);

// What is wrong with the value of a TLS or password setting, as a
// sentence naming it; 0 when it is right (or empty). A value read as
// something else would weaken the protection or send a password no one
// meant, so these are never taken loosely.
const char *SettingValueProblem(int id, const char *value, char *out, size_t size);
// Reads the TLS settings into q->Tls and the password's source into
// q->Login. 0 with ErrorText naming the setting when one is wrong: the run
// must then end before anything is sent.
int ReadTlsSettings(QELTA *q);
int ReadPasswordSettings(QELTA *q);
// The names of PasswordSource's values, in PASSWORD_FROM_ order.
extern const char *const PasswordSourceNames[PASSWORD_FROM_COUNT];

#endif
