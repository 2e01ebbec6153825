#include "copyjournal.h"
#include "installsupport.h"
#include "session.h"
#include "treeops.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The journal is a text file in the renderer directory, one record a line, each flushed to disk
// before the changes it announces:
//   T <token>  a copy begins; the files it renames aside are named "<file>.~<token>"
//   D <path>   a directory that did not exist and that the copy may create
//   N <path>   a file that did not exist and that the copy may create
//   R <path>   a file that existed and that the copy may rename aside and replace
//   U <path>   a temporary file or directory of the update (the archive, the unpacked tree),
//              removed with an unfinished copy that a killed updater left
//   C          the copy succeeded; its kept files are only to be removed
//   X          the copy was undone
// Records announce what may happen, so undoing looks at the disk: a kept file that exists goes
// back in place, a new file that exists is removed, a directory is removed when empty.
enum { pathBufferSize = 2048, recordBufferSize = pathBufferSize + 8 };

static const char journalName[] = "QIMUpdate.journal";

static HANDLE journalFile = INVALID_HANDLE_VALUE;
static char journalToken[8];
static bool journalUnflushed;

static bool fitsPath(int length)
{
    return length >= 0 && length < pathBufferSize;
}

static bool journalPath(char *buffer, const char *journalDir)
{
    return fitsPath(snprintf(buffer, pathBufferSize, "%s\\%s", journalDir, journalName));
}

static bool keptPath(char *buffer, const char *target, const char *token)
{
    return fitsPath(snprintf(buffer, pathBufferSize, "%s.~%s", target, token));
}

static bool pathExists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

static bool appendText(HANDLE file, const char *text, int length)
{
    DWORD written = 0;
    return length >= 0 && WriteFile(file, text, (DWORD)length, &written, NULL) &&
           written == (DWORD)length;
}

static bool writeRecord(HANDLE file, char kind, const char *path)
{
    char record[recordBufferSize];
    int length = path ? snprintf(record, sizeof record, "%c %s\n", kind, path)
                      : snprintf(record, sizeof record, "%c\n", kind);
    return length >= 0 && length < (int)sizeof record && appendText(file, record, length);
}

bool copyJournalOpen()
{
    return journalFile != INVALID_HANDLE_VALUE;
}

bool announceChange(const char *target, bool isDirectory)
{
    // Something in the way (a file where the update has a directory, or the reverse) may be
    // taken away while the question about it is open, so the copy may still create the entry.
    DWORD attributes = GetFileAttributesA(target);
    bool existingDirectory =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    char kind = 'N';
    if (isDirectory)
        kind = existingDirectory ? 0 : 'D';
    else if (attributes != INVALID_FILE_ATTRIBUTES && !existingDirectory)
        kind = 'R';
    if (!kind)
        return true;
    journalUnflushed = true;
    return writeRecord(journalFile, kind, target);
}

bool flushJournal()
{
    bool flushed = !journalUnflushed || FlushFileBuffers(journalFile);
    journalUnflushed = false;
    return flushed;
}

// A file held open by another program must reach the question as before instead of being
// renamed from under it, so the rename follows only an exclusive open. A read-only file cannot
// be opened for writing; it is opened for deleting alone, which renaming needs anyway.
static bool setAside(const char *target, HANDLE probe, DWORD openError)
{
    if (probe == INVALID_HANDLE_VALUE && openError == ERROR_ACCESS_DENIED) {
        DWORD attributes = GetFileAttributesA(target);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
            !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            probe = CreateFileA(target, DELETE, 0, NULL, OPEN_EXISTING, 0, NULL);
    }
    if (probe == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(probe);
    char kept[pathBufferSize];
    return keptPath(kept, target, journalToken) && MoveFileA(target, kept);
}

bool placeFile(const char *target, const char *from)
{
    HANDLE probe = CreateFileA(target, GENERIC_WRITE | DELETE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DWORD openError = probe == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (openError != ERROR_FILE_NOT_FOUND && !setAside(target, probe, openError))
        return false;
    return CopyFileA(from, target, TRUE) != FALSE;
}

void restoreKeptFile(const char *target)
{
    char kept[pathBufferSize];
    if (keptPath(kept, target, journalToken) && pathExists(kept) && !pathExists(target))
        MoveFileA(kept, target);
}

//--- settling a journal

struct JournalLines {
    char *text;
    char **lines;
    size_t count;
};

static void releaseLines(JournalLines *journal)
{
    free(journal->lines);
    free(journal->text);
}

static bool splitLines(JournalLines *journal, DWORD size)
{
    size_t count = 0;
    for (DWORD i = 0; i < size; ++i)
        count += journal->text[i] == '\n';
    journal->lines = (char **)calloc(count + 1, sizeof(char *));
    if (!journal->lines)
        return false;
    char *line = journal->text;
    for (char *end = strchr(line, '\n'); end; end = strchr(line, '\n')) {
        *end = '\0';
        journal->lines[journal->count++] = line;
        line = end + 1;
    }
    return true; // a last line without its line break was never completely written
}

static bool readJournal(const char *path, JournalLines *journal)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool read = false;
    DWORD size = GetFileSize(file, NULL);
    DWORD got = 0;
    if (size == INVALID_FILE_SIZE || !(journal->text = (char *)malloc(size + 1)))
        goto out;
    read = ReadFile(file, journal->text, size, &got, NULL) && got == size;
    journal->text[got] = '\0';
    read = read && splitLines(journal, got);
out:
    CloseHandle(file);
    return read;
}

static const char *recordPath(const char *line)
{
    return line[0] && line[1] == ' ' ? line + 2 : NULL;
}

// Only names the updater itself makes: "qim..." directly in the temporary directory.
static bool isOwnTemporary(const char *path)
{
    char temp[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof temp, temp);
    return length > 0 && length < sizeof temp && _strnicmp(path, temp, length) == 0 &&
           _strnicmp(path + length, "qim", 3) == 0 && !strpbrk(path + length, "\\/");
}

static void removeTemporary(const char *path)
{
    uint32_t deleted = 0, count = 0;
    if (!isOwnTemporary(path))
        return;
    if (directoryExists(path))
        deleteTree(path, &deleted, &count);
    else
        removeFileEvenReadOnly(path);
}

// Undoes one record; false when the installation could not be put back as it was.
static bool undoRecord(const char *line, const char *token, bool removeTemporaries)
{
    const char *path = recordPath(line);
    char kept[pathBufferSize];
    if (!path)
        return true;
    if (line[0] == 'U') {
        if (removeTemporaries)
            removeTemporary(path);
        return true;
    }
    if (line[0] == 'D')
        return !directoryExists(path) || removeDirectoryEvenReadOnly(path);
    if ((line[0] != 'N' && line[0] != 'R') || !keptPath(kept, path, token))
        return true;
    if (pathExists(kept)) {
        if (pathExists(path) && !removeFileEvenReadOnly(path))
            return false;
        return MoveFileA(kept, path) != FALSE;
    }
    return line[0] == 'R' || !fileExists(path) || removeFileEvenReadOnly(path);
}

// A kept file held open now is removed at the next start, or by Windows at its next restart.
static bool removeKeptFile(const char *line, const char *token)
{
    const char *path = recordPath(line);
    char kept[pathBufferSize];
    if (!path || (line[0] != 'N' && line[0] != 'R') || !keptPath(kept, path, token))
        return true;
    if (removeFileEvenReadOnly(kept) || !pathExists(kept))
        return true;
    MoveFileExA(kept, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    return false;
}

struct SettleResult {
    bool removeTemporaries; // only when no worker of this process owns them any more
    bool undone;            // an unfinished copy was undone
    bool incomplete;        // ... but not completely
    bool keptLeft;          // kept files of a finished copy are still there
};

// One copy: the lines from its T record up to the next one.
static void settleRun(const JournalLines *journal, size_t first, size_t end, SettleResult *result)
{
    const char *token = recordPath(journal->lines[first]);
    char marker = 0;
    for (size_t i = first + 1; i < end; ++i)
        if (journal->lines[i][0] == 'C' || journal->lines[i][0] == 'X')
            marker = journal->lines[i][0];
    if (!token || marker == 'X')
        return;
    if (marker == 'C') {
        for (size_t i = first + 1; i < end; ++i)
            if (!removeKeptFile(journal->lines[i], token))
                result->keptLeft = true;
        return;
    }
    // Newest change first, so each directory is empty again when its own record comes.
    result->undone = true;
    for (size_t i = end; i-- > first + 1;)
        if (!undoRecord(journal->lines[i], token, result->removeTemporaries))
            result->incomplete = true;
}

static void settleRuns(const JournalLines *journal, SettleResult *result)
{
    size_t end = journal->count;
    for (size_t i = journal->count; i-- > 0;) {
        if (journal->lines[i][0] != 'T')
            continue;
        settleRun(journal, i, end, result);
        end = i;
    }
}

static void appendMarker(const char *path, char marker)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    SetFilePointer(file, 0, NULL, FILE_END);
    if (writeRecord(file, marker, NULL))
        FlushFileBuffers(file);
    CloseHandle(file);
}

static JournalOutcome settleJournal(const char *journalDir, bool removeTemporaries)
{
    char path[pathBufferSize];
    if (!journalDir || !journalPath(path, journalDir) || !fileExists(path))
        return JournalAbsent;
    JournalLines journal = {NULL, NULL, 0};
    SettleResult result = {removeTemporaries, false, false, false};
    if (!readJournal(path, &journal))
        result.undone = result.incomplete = true;
    else
        settleRuns(&journal, &result);
    releaseLines(&journal);
    if (!result.incomplete && !result.keptLeft)
        DeleteFileA(path);
    else if (result.undone && !result.incomplete)
        appendMarker(path, 'X');
    if (!result.undone)
        return JournalSettled;
    return result.incomplete ? JournalIncomplete : JournalRestored;
}

JournalOutcome settleCopyJournal(const char *journalDir)
{
    return settleJournal(journalDir, true);
}

//--- the copy with its safety net

static bool openJournal(const char *journalDir, const char *const *temporaries)
{
    char path[pathBufferSize];
    // An unfinished copy that could not be undone must not be buried under a new one.
    if (!journalPath(path, journalDir) || settleCopyJournal(journalDir) == JournalIncomplete)
        return false;
    journalFile = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (journalFile == INVALID_HANDLE_VALUE)
        return false;
    SetFilePointer(journalFile, 0, NULL, FILE_END);
    // Differs between runs, so that a kept file still held from an earlier run is never in the
    // way of this one.
    DWORD mix = GetTickCount() ^ (GetCurrentProcessId() * 40503u);
    snprintf(journalToken, sizeof journalToken, "%04lx", (unsigned long)(mix & 0xffff));
    journalUnflushed = false;
    bool written = writeRecord(journalFile, 'T', journalToken);
    for (; written && *temporaries; ++temporaries)
        written = writeRecord(journalFile, 'U', *temporaries);
    if (written && FlushFileBuffers(journalFile))
        return true;
    CloseHandle(journalFile);
    journalFile = INVALID_HANDLE_VALUE;
    return false;
}

bool copyTreeKeepingOld(const char *journalDir, const char *const *temporaries,
                        const char *destination, const char *source, uint32_t *bytesCopied,
                        uint32_t *totalBytes, uint32_t *filesCopied, uint32_t *fileCount,
                        JournalOutcome *outcome)
{
    *outcome = JournalAbsent;
    if (!journalDir || !openJournal(journalDir, temporaries))
        return false;
    bool copied = copyTree(destination, source, bytesCopied, totalBytes, filesCopied, fileCount);
    // Until this mark is on disk the copy counts as unfinished and is undone.
    copied = copied && writeRecord(journalFile, 'C', NULL) && FlushFileBuffers(journalFile);
    CloseHandle(journalFile);
    journalFile = INVALID_HANDLE_VALUE;
    // The installation worker removes its temporary files itself, with progress.
    *outcome = settleJournal(journalDir, false);
    return copied;
}

void recoverInterruptedCopy()
{
    char *rendererDir = rendererDirectory();
    JournalOutcome outcome = JournalAbsent;
    if (rendererDir && directoryExists(rendererDir))
        outcome = settleCopyJournal(rendererDir);
    free(rendererDir);
    if (outcome == JournalRestored)
        SetWindowTextA(session.statusLabel,
                       "Previous version restored (update interrupted).");
    else if (outcome == JournalIncomplete)
        SetWindowTextA(session.statusLabel, "Interrupted update: old files not all restored.");
}
