// The copy journal as it lies on disk: writing its records and reading it back strictly.
#include "journalfile.h"
#include "crashpoint.h"
#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { pathBufferSize = 2048, recordBufferSize = pathBufferSize + 48 };

static bool fitsPath(int length)
{
    return length >= 0 && length < pathBufferSize;
}

bool writeJournalText(HANDLE file, const char *format, ...)
{
    char record[recordBufferSize];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(record, sizeof record, format, arguments);
    va_end(arguments);
    DWORD written = 0;
    if (length >= 0 && length < (int)sizeof record)
        beforeDiskChange();
    return length >= 0 && length < (int)sizeof record &&
           WriteFile(file, record, (DWORD)length, &written, NULL) && written == (DWORD)length;
}

uint64_t joinHalves(DWORD high, DWORD low)
{
    return ((uint64_t)high << 32) | low;
}

//--- what a journal may name

static bool validComponents(const char *rest)
{
    for (const char *part = rest;;) {
        size_t length = strcspn(part, "\\");
        if (length == 0 || (length == 1 && part[0] == '.') ||
            (length == 2 && part[0] == '.' && part[1] == '.'))
            return false;
        for (size_t i = 0; i < length; ++i)
            if ((unsigned char)part[i] < 32 || strchr("/:*?\"<>|", part[i]))
                return false;
        if (!part[length])
            return true;
        part += length + 1;
    }
}

// "X:\..." or "\\server\share\..."; never "\\?\", "\\.\", "..", a relative path or a stream.
bool validAbsolutePath(const char *path)
{
    if (isalpha((unsigned char)path[0]) && path[1] == ':' && path[2] == '\\')
        return !path[3] || validComponents(path + 3);
    if (path[0] == '\\' && path[1] == '\\')
        return validComponents(path + 2) && strchr(path + 2, '\\');
    return false;
}

static bool isUnderRoot(const char *path, const char *root)
{
    size_t length = strlen(root);
    if (_strnicmp(path, root, length) != 0)
        return false;
    if (root[length - 1] != '\\' && path[length++] != '\\')
        return false;
    return validAbsolutePath(path) && path[length] && validComponents(path + length);
}

// No junction or link between the root and path, path included: what lies behind one is not
// the installation's. Checked parents are remembered, as records come level by level.
bool noReparseBelow(const char *root, const char *path, char *checkedParent)
{
    char prefix[pathBufferSize];
    if (!fitsPath(snprintf(prefix, sizeof prefix, "%s", path)))
        return false;
    const char *lastSeparator = strrchr(path, '\\');
    size_t parentLength = (size_t)(lastSeparator - path);
    bool parentChecked =
        strlen(checkedParent) == parentLength && strncmp(checkedParent, path, parentLength) == 0;
    size_t start = parentChecked ? parentLength : strlen(root);
    size_t length = strlen(path);
    for (size_t i = start + 1; i <= length; ++i) {
        if (path[i] != '\\' && path[i])
            continue;
        prefix[i] = '\0';
        DWORD attributes = GetFileAttributesA(prefix);
        prefix[i] = path[i];
        if (attributes == INVALID_FILE_ATTRIBUTES)
            break;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return false;
    }
    snprintf(checkedParent, pathBufferSize, "%.*s", (int)parentLength, path);
    return true;
}

//--- reading a journal

static bool parseHex(const char *text, int digits, uint64_t *value)
{
    *value = 0;
    for (int i = 0; i < digits; ++i) {
        if (!isxdigit((unsigned char)text[i]))
            return false;
        char digit[2] = {text[i], 0};
        *value = (*value << 4) | (uint64_t)strtoul(digit, NULL, 16);
    }
    return text[digits] == ' ';
}

static bool parseFileRecord(char *rest, JournalRecord *record)
{
    uint64_t attributes = 0;
    if (!parseHex(rest, 16, &record->size) || !parseHex(rest + 17, 16, &record->written))
        return false;
    // The form without attributes, left by a previous version's interrupted copy: no absolute
    // path begins with eight hex digits and a space, so the two forms never meet.
    if (!parseHex(rest + 34, 8, &attributes)) {
        record->attributes = unknownAttributes;
        record->path = rest + 34;
        return true;
    }
    record->attributes = (uint32_t)attributes;
    record->path = rest + 43;
    return true;
}

static bool parsePlacedRecord(char *rest, JournalRecord *record)
{
    uint64_t volume = 0;
    if (!parseHex(rest, 16, &record->size) || !parseHex(rest + 17, 16, &record->written) ||
        !parseHex(rest + 34, 8, &volume) || !parseHex(rest + 43, 16, &record->fileIndex))
        return false;
    record->volume = (uint32_t)volume;
    record->path = rest + 60;
    return true;
}

static bool parseRecord(char *line, JournalRecord *record)
{
    record->kind = line[0];
    if (record->kind == 'C' || record->kind == 'X')
        return line[1] == '\0';
    if (line[0] == '\0' || line[1] != ' ')
        return false;
    char *rest = line + 2;
    if (record->kind == 'T') {
        for (int i = 0; i < journalTokenLength; ++i)
            if (!isxdigit((unsigned char)rest[i]))
                return false;
        if (rest[journalTokenLength] != ' ')
            return false;
        rest[journalTokenLength] = '\0';
        record->token = rest;
        record->path = rest + journalTokenLength + 1;
        return validAbsolutePath(record->path);
    }
    if (record->kind == 'N' || record->kind == 'R')
        return parseFileRecord(rest, record);
    if (record->kind == 'P')
        return parsePlacedRecord(rest, record);
    record->path = rest;
    return record->kind == 'U' || record->kind == 'D';
}

// Each record must fit its run: the first one begins a run, nothing follows a run's mark,
// and every path of the installation lies under the run's root.
static bool fitsRun(const JournalRecord *record, const JournalRecord *run, bool marked)
{
    if (record->kind == 'T')
        return true;
    if (!run || marked)
        return false;
    if (record->kind == 'U')
        return validAbsolutePath(record->path);
    if (record->kind == 'C' || record->kind == 'X')
        return true;
    return isUnderRoot(record->path, run->path);
}

bool checkRuns(const JournalText *journalText, const char *root)
{
    const JournalRecord *run = NULL;
    bool marked = false;
    for (size_t i = 0; i < journalText->count; ++i) {
        const JournalRecord *record = &journalText->records[i];
        if (!fitsRun(record, run, marked))
            return false;
        if (record->kind == 'T') {
            if (_stricmp(record->path, root) != 0)
                return false;
            run = record;
            marked = false;
        }
        marked = marked || record->kind == 'C' || record->kind == 'X';
    }
    return true;
}

// Zeros may end the text; anything after them, or a line that does not parse, is not damage
// but a journal this program did not write.
static bool parseText(JournalText *journalText, DWORD size)
{
    size_t end = strlen(journalText->text);
    for (size_t i = end; i < size; ++i)
        if (journalText->text[i])
            return false;
    char *lastBreak = strrchr(journalText->text, '\n');
    size_t complete = lastBreak ? (size_t)(lastBreak - journalText->text) + 1 : 0;
    journalText->damagedTail = complete < size;
    journalText->text[complete] = '\0';
    size_t lines = 0;
    for (size_t i = 0; i < complete; ++i)
        lines += journalText->text[i] == '\n';
    journalText->records = (JournalRecord *)calloc(lines + 1, sizeof(JournalRecord));
    if (!journalText->records)
        return false;
    char *line = journalText->text;
    for (char *next = strchr(line, '\n'); next; line = next + 1, next = strchr(line, '\n')) {
        *next = '\0';
        if (!parseRecord(line, &journalText->records[journalText->count++]))
            return false;
    }
    return true;
}

bool readJournal(const char *path, JournalText *journalText)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool read = false;
    DWORD size = GetFileSize(file, NULL);
    DWORD got = 0;
    if (size != INVALID_FILE_SIZE && size < 64u * 1024 * 1024 &&
        (journalText->text = (char *)malloc(size + 1)) != NULL) {
        read = ReadFile(file, journalText->text, size, &got, NULL) && got == size;
        journalText->text[got] = '\0';
        read = read && parseText(journalText, got);
    }
    CloseHandle(file);
    return read;
}

bool writeRecord(HANDLE file, const JournalRecord *record)
{
    switch (record->kind) {
    case 'T':
        return writeJournalText(file, "T %s %s\n", record->token, record->path);
    case 'N':
    case 'R':
        return writeJournalText(
            file, "%c %016llx %016llx %08lx %s\n", record->kind, (unsigned long long)record->size,
            (unsigned long long)record->written, (unsigned long)record->attributes, record->path);
    case 'P':
        return writeJournalText(file, "P %016llx %016llx %08lx %016llx %s\n",
                                (unsigned long long)record->size,
                                (unsigned long long)record->written, (unsigned long)record->volume,
                                (unsigned long long)record->fileIndex, record->path);
    case 'C':
    case 'X':
        return writeJournalText(file, "%c\n", record->kind);
    default:
        return writeJournalText(file, "%c %s\n", record->kind, record->path);
    }
}
