// The text of a profile (INI) file split into lines as the profile
// functions read it: sections and keys found without regard to case,
// blanks around names and values ignored, a pair of surrounding quotes
// removed from a value. Both profile layers edit scripts through it (the
// POSIX one reads them through it too), and the script check reads them
// through it, so all see the same keys on the same lines.
#ifndef QELTA_PROFILETEXT_H
#define QELTA_PROFILETEXT_H

#include <cstddef>
#include <string>
#include <vector>

enum ProfileLineKind { LINE_BLANK, LINE_COMMENT, LINE_SECTION, LINE_KEY };

struct ProfileLine {
    size_t start;  // first byte of the line
    size_t end;    // end of its text, before the line end
    size_t next;   // first byte after the line end
    ProfileLineKind kind;
    std::string name;   // section or key, trimmed
    size_t valueStart;  // KEY: first byte after '=' and its blanks
    int hasEquals;
};

struct ProfileText {
    std::string bytes;
    std::vector<ProfileLine> lines;  // lines[i] is line i + 1 of the file
};

// Lines end in CR LF, LF or a lone CR, as the Windows functions read them.
// A UTF-8 byte-order mark is no part of the first line's text.
void SplitProfileLines(ProfileText *text);
// Index of the section's header line, or -1. The first of equal names wins.
long FindProfileSection(const ProfileText &text, const char *section);
// One past the section's last line (the next header or the end).
size_t ProfileSectionEnd(const ProfileText &text, long header);
// Index of the key's first line in the section, or -1.
long FindProfileKey(const ProfileText &text, long header, const char *key);
// The value as a read returns it.
std::string ProfileValue(const ProfileText &text, const ProfileLine &line);
// 1 when name equals b without regard to case.
int ProfileNameIs(const std::string &name, const char *b);

// Applies one write to a split text as the Windows function does (key
// null: the section goes; value null: the key goes; otherwise the key is
// set, added to its section, or added with a new section at the end).
// Only the line concerned changes: every other byte stays as it was, and
// texts are cut at a line end. 0 when nothing changes; the lines must be
// split again before the next edit.
int EditProfileText(ProfileText *text, const char *section, const char *key, const char *value);

#endif
