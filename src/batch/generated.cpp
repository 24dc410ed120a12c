// The generated command file and the lines written into it. Every line
// ends in CR LF; the command reader takes the command from its first
// letter and the argument from its sixth character on.
#include <cstring>

#include "base/text.h"
#include "batch/batch.h"

int CreateGeneratedFile(QELTA *q, const char *failText) {
    if (q->GeneratedScriptHandle != -1) PlatFileClose(q->GeneratedScriptHandle);
    q->GeneratedScriptHandle = -1;
    // A generated file by the name of the script or a run file would empty it.
    if (q->GeneratedScriptPath[0] == 0 ||
        IsRunFile(q, q->GeneratedScriptPath, q->GeneratedScriptPath)) {
        COPYCUT(q->ErrorText, failText);
        return 0;
    }
    q->GeneratedScriptHandle = PlatFileCreateHidden(q->GeneratedScriptPath);
    if (q->GeneratedScriptHandle != -1) return 1;
    COPYCUT(q->ErrorText, failText);
    return 0;
}

int AppendGenerated(QELTA *q, const char *text) {
    size_t n = strlen(text);
    if (PlatFileWrite(q->GeneratedScriptHandle, text, n) == (long)n) return 1;
    COPYCUT(q->ErrorText, "Can not write temp script file\r\n");
    return 0;
}

// The local name of a generated RETR or STOR ends in a blank before the
// line end; Windows, and the POSIX layer after it, drop it when opening.
int FormatRetrieveLines(char *out, size_t size, const char *dir, const char *name,
                        const char *local) {
    return FormatCut(out, size, "PORT\r\nRETR %s%s %s\\%s \r\n", dir, name, local, name);
}

int FormatStoreLines(char *out, size_t size, const char *dir, const char *name, const char *local) {
    return FormatCut(out, size, "PORT\r\nSTOR %s%s %s\\%s \r\n", dir, name, local, name);
}

int FormatDeleteLine(char *out, size_t size, const char *dir, const char *name) {
    return FormatCut(out, size, "DELR %s%s\r\n", dir, name);
}

int FormatKillLine(char *out, size_t size, int index) {
    return FormatCut(out, size, "KILL %d\r\n", index);
}
