#include "copyjournal.h"
#include "crashpoint.h"
#include "installsupport.h"
#include "journalfile.h"
#include "session.h"
#include "settings.h"
#include "treeops.h"
#include <ctype.h>
#include <sodium.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The safety net of the copy: the journal written before each change, the kept files, and the
// settling of what an earlier run left (journalfile.h has the journal's format).
enum { pathBufferSize = 2048 };

static const char journalName[] = "QIMUpdate.journal";
static const char unreadableName[] = "QIMUpdate.journal.unreadable";
static const char freshName[] = "QIMUpdate.journal.new";

// The copy that is running, if any.
static struct {
    HANDLE file;
    HANDLE volume; // flushed once before C; without it each placed file is flushed
    char token[journalTokenLength + 1];
    bool placedUnflushed; // a placed file could not be flushed, so the copy cannot commit
} journal = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, "", false};

// Where the volume cannot be flushed, placed files are flushed on a thread of their own while
// the copy goes on, so waiting for the disk overlaps with copying the next files.
static struct {
    CRITICAL_SECTION lock;
    HANDLE wake;
    HANDLE thread;
    char **paths;
    size_t count, capacity, next;
    bool closing;
} flusher;

static char unrestored[pathBufferSize];
// A copy that succeeded, whose kept files are removed once its result is shown.
static char *committedRoot;
static volatile bool removingKept;
// From the opening of the journal until the copy is committed or undone.
static volatile bool changingInstallation;

static bool fitsPath(int length)
{
    return length >= 0 && length < pathBufferSize;
}

// A drive root ("E:\\") ends with its separator already.
static bool inRoot(char *buffer, const char *root, const char *name)
{
    size_t length = strlen(root);
    const char *separator = length && root[length - 1] == '\\' ? "" : "\\";
    return fitsPath(snprintf(buffer, pathBufferSize, "%s%s%s", root, separator, name));
}

// The one spelling of an installation's root, for its lock, its journal and copyroot: the final
// long path the file system gives for the folder, so that an 8.3 or differently cased spelling,
// or a junction to it, names the same root. A drive root keeps its backslash.
static bool finalRoot(const char *given, char *root)
{
    char final[pathBufferSize];
    DWORD length = 0;
    HANDLE folder = CreateFileA(given, FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (folder != INVALID_HANDLE_VALUE) {
        length = GetFinalPathNameByHandleA(folder, final, sizeof final, FILE_NAME_NORMALIZED);
        CloseHandle(folder);
    }
    bool named;
    if (length && length < sizeof final && strncmp(final, "\\\\?\\UNC\\", 8) == 0)
        named = fitsPath(snprintf(root, pathBufferSize, "\\\\%s", final + 8));
    else if (length && length < sizeof final && strncmp(final, "\\\\?\\", 4) == 0)
        named = fitsPath(snprintf(root, pathBufferSize, "%s", final + 4));
    else {
        length = GetLongPathNameA(given, root, pathBufferSize);
        named = length && length < pathBufferSize;
    }
    size_t end = named ? strlen(root) : 0;
    if (end > 3 && root[end - 1] == '\\')
        root[end - 1] = '\0';
    return named && validAbsolutePath(root);
}

static bool keptPath(char *buffer, const char *target, const char *token)
{
    return fitsPath(snprintf(buffer, pathBufferSize, "%s.~%s", target, token));
}

// Where a new file is written until it is complete; only then does it get its final name.
static bool freshPath(char *buffer, const char *target, const char *token)
{
    return fitsPath(snprintf(buffer, pathBufferSize, "%s.~%s.new", target, token));
}

static bool flushed(HANDLE file)
{
    beforeDiskChange();
    return FlushFileBuffers(file) != FALSE;
}

static bool renameFile(const char *from, const char *to)
{
    beforeDiskChange();
    return MoveFileA(from, to) != FALSE;
}

static bool pathExists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

//--- one updater at a time on an installation

// Named after the root in one case, so that two updaters on one installation meet whatever
// spelling each was given.
static HANDLE lockInstallation(const char *root)
{
    char lowered[pathBufferSize];
    size_t length = 0;
    for (; root[length] && length + 1 < sizeof lowered; ++length)
        lowered[length] = (char)tolower((unsigned char)root[length]);
    unsigned char digest[16];
    char name[64];
    crypto_generichash(digest, sizeof digest, (const unsigned char *)lowered, length, NULL, 0);
    int used = snprintf(name, sizeof name, "Global\\QIMUpdate-");
    sodium_bin2hex(name + used, sizeof name - (size_t)used, digest, sizeof digest);
    HANDLE mutex = CreateMutexA(NULL, FALSE, name);
    if (!mutex)
        return NULL;
    DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        return mutex;
    CloseHandle(mutex);
    return NULL;
}

static void unlockInstallation(HANDLE mutex)
{
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

// Whether root, in its one spelling, is the renderer directory's.
static bool isRendererDirectory(const char *root)
{
    char *rendererDir = rendererDirectory();
    char renderer[pathBufferSize];
    bool same = rendererDir && finalRoot(rendererDir, renderer) && _stricmp(renderer, root) == 0;
    free(rendererDir);
    return same;
}

//--- undoing and settling

struct SettleResult {
    bool removeTemporaries; // only when no worker of this process owns them any more
    bool undone;            // an unfinished copy was undone
    bool incomplete;        // ... but not completely
    bool changedLeft;       // ... and files changed since were left with their kept copies
    bool keptLeft;          // kept files of a finished copy are still there
    char checkedParent[pathBufferSize];
};

static void noteUnrestored(SettleResult *result, const char *path)
{
    if (!result->incomplete)
        snprintf(unrestored, sizeof unrestored, "%s", path);
    result->incomplete = true;
}

static bool isOwnTemporaryDirectory(const char *directory)
{
    char temp[MAX_PATH + 1];
    char tempLong[pathBufferSize];
    char given[pathBufferSize];
    DWORD length = GetTempPathA(sizeof temp, temp);
    if (length == 0 || length >= sizeof temp)
        return false;
    temp[length - 1] = '\0';
    DWORD tempLength = GetLongPathNameA(temp, tempLong, sizeof tempLong);
    DWORD givenLength = GetLongPathNameA(directory, given, sizeof given);
    return tempLength && tempLength < sizeof tempLong && givenLength &&
           givenLength < sizeof given && _stricmp(tempLong, given) == 0;
}

// Only names the updater itself makes: "qim..." directly in the temporary directory, whichever
// of its long or short names either side uses.
static bool isOwnTemporary(const char *path)
{
    char directory[pathBufferSize];
    const char *name = strrchr(path, '\\');
    if (!name || _strnicmp(name + 1, "qim", 3) != 0 ||
        !fitsPath(snprintf(directory, sizeof directory, "%.*s", (int)(name - path), path)))
        return false;
    return isOwnTemporaryDirectory(directory);
}

// A junction or link in place of a temporary is removed as an entry and never walked.
static void removeTemporary(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    uint32_t deleted = 0, count = 0;
    if (attributes == INVALID_FILE_ATTRIBUTES || !isOwnTemporary(path))
        return;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        beforeDiskChange();
        (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryA(path) : DeleteFileA(path);
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        deleteTree(path, &deleted, &count);
    else
        removeFileEvenReadOnly(path);
}

// A directory that holds other files now is someone else's too, and stays.
static bool undoDirectory(const char *path)
{
    if (!directoryExists(path))
        return true;
    beforeDiskChange();
    if (RemoveDirectoryA(path))
        return true;
    return GetLastError() == ERROR_DIR_NOT_EMPTY || removeDirectoryEvenReadOnly(path);
}

// Size, last-write time and identity as the file system holds them; the open asks for
// attributes only, which a program holding the file does not refuse, and never follows a link.
static bool readPlaced(const char *path, JournalRecord *placed)
{
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool read = GetFileInformationByHandle(file, &info) != FALSE;
    CloseHandle(file);
    if (!read || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    placed->size = joinHalves(info.nFileSizeHigh, info.nFileSizeLow);
    placed->written =
        joinHalves(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
    placed->volume = info.dwVolumeSerialNumber;
    placed->fileIndex = joinHalves(info.nFileIndexHigh, info.nFileIndexLow);
    return true;
}

// The file the copy placed is known by what was read back from it (P), identity included when
// both sides know it; a file written anew since is another file even with the same size and
// time. Without a P record (ended between placing and recording) the announced size and time
// must match.
static bool isPlacedFile(const WIN32_FILE_ATTRIBUTE_DATA *now, const JournalRecord *record,
                         const JournalRecord *placed)
{
    const JournalRecord *expected = placed ? placed : record;
    if ((now->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        joinHalves(now->nFileSizeHigh, now->nFileSizeLow) != expected->size ||
        joinHalves(now->ftLastWriteTime.dwHighDateTime, now->ftLastWriteTime.dwLowDateTime) !=
            expected->written)
        return false;
    JournalRecord current;
    if (!placed || (!placed->volume && !placed->fileIndex) || !readPlaced(record->path, &current))
        return true;
    return current.volume == placed->volume && current.fileIndex == placed->fileIndex;
}

// A placed file that a program has loaded cannot be deleted, but it can be renamed aside; it
// goes with the next restart.
static bool takeAwayPlaced(const char *path, const char *token)
{
    char aside[pathBufferSize];
    if (removeFileEvenReadOnly(path))
        return true;
    if (!fitsPath(snprintf(aside, sizeof aside, "%s.~%s.undone", path, token)) ||
        !renameFile(path, aside))
        return false;
    MoveFileExA(aside, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    return true;
}

// Setting a file aside clears read-only and hidden for a moment; an undo puts back what the old
// file had, whichever moment the copy was ended at.
static void restoreAttributes(const char *path, DWORD recorded)
{
    const DWORD mask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & mask) == (recorded & mask))
        return;
    beforeDiskChange();
    SetFileAttributesA(path, (attributes & ~mask) | (recorded & mask));
}

static void undoFile(const JournalRecord *record, const JournalRecord *placed, const char *token,
                     SettleResult *result)
{
    char kept[pathBufferSize];
    char fresh[pathBufferSize];
    WIN32_FILE_ATTRIBUTE_DATA now;
    if (!keptPath(kept, record->path, token) || !freshPath(fresh, record->path, token)) {
        noteUnrestored(result, record->path);
        return;
    }
    // A copy ended inside a file leaves it only under its temporary name.
    if (pathExists(fresh) && !removeFileEvenReadOnly(fresh))
        noteUnrestored(result, fresh);
    bool keptThere = pathExists(kept);
    bool present = GetFileAttributesExA(record->path, GetFileExInfoStandard, &now) != FALSE;
    if (present && !isPlacedFile(&now, record, placed)) {
        result->changedLeft = result->changedLeft || keptThere;
        // Without a kept file it is the old one, never set aside, or back in place already.
        if (!keptThere && record->kind == 'R')
            restoreAttributes(record->path, record->attributes);
        return;
    }
    if (!keptThere && (record->kind == 'R' || !present))
        return;
    if ((present && !takeAwayPlaced(record->path, token)) ||
        (keptThere && !renameFile(kept, record->path)))
        noteUnrestored(result, record->path);
    else if (keptThere)
        restoreAttributes(record->path, record->attributes);
}

// What was read back from the file a record announced, recorded after it in the same run.
static const JournalRecord *placedRecord(const JournalRecord *record, const JournalRecord *end)
{
    for (const JournalRecord *later = record + 1; later < end; ++later)
        if (later->kind == 'P' && _stricmp(later->path, record->path) == 0)
            return later;
    return NULL;
}

static void undoRecord(const JournalRecord *record, const JournalRecord *run,
                       const JournalRecord *end, SettleResult *result)
{
    if (record->kind == 'U') {
        if (result->removeTemporaries)
            removeTemporary(record->path);
        return;
    }
    if (record->kind != 'D' && record->kind != 'N' && record->kind != 'R')
        return;
    if (!noReparseBelow(run->path, record->path, result->checkedParent)) {
        result->changedLeft = true;
        return;
    }
    if (record->kind == 'D') {
        if (!undoDirectory(record->path))
            noteUnrestored(result, record->path);
        return;
    }
    undoFile(record, placedRecord(record, end), run->token, result);
}

// A kept file held open now is removed at the next start, or by Windows at its next restart.
static void removeKeptFile(const JournalRecord *record, const JournalRecord *run,
                           SettleResult *result)
{
    char kept[pathBufferSize];
    if ((record->kind != 'N' && record->kind != 'R') || !keptPath(kept, record->path, run->token) ||
        !pathExists(kept) || !noReparseBelow(run->path, record->path, result->checkedParent))
        return;
    if (removeFileEvenReadOnly(kept) || !pathExists(kept))
        return;
    MoveFileExA(kept, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    result->keptLeft = true;
}

// One copy: the records from its T up to the next one. Only the last copy can be unfinished;
// one that a later copy followed was settled before that one began, and is never undone again.
static void settleRun(const JournalText *journalText, size_t first, size_t end, bool last,
                      SettleResult *result)
{
    const JournalRecord *run = &journalText->records[first];
    char marker = first + 1 < end ? journalText->records[end - 1].kind : 0;
    if (marker == 'C') {
        for (size_t i = first + 1; i < end; ++i)
            removeKeptFile(&journalText->records[i], run, result);
        return;
    }
    if (marker == 'X' || !last)
        return;
    // Newest change first, so each directory is empty again when its own record comes.
    result->undone = true;
    for (size_t i = end; i-- > first + 1;)
        undoRecord(&journalText->records[i], run, &journalText->records[end], result);
}

static void settleRuns(const JournalText *journalText, SettleResult *result)
{
    size_t end = journalText->count;
    for (size_t i = journalText->count; i-- > 0;) {
        if (journalText->records[i].kind != 'T')
            continue;
        settleRun(journalText, i, end, end == journalText->count, result);
        end = i;
    }
}

// What is left to do is written to a new journal that replaces the old one once it is on disk:
// nothing is ever appended to a journal that may end in damage.
static void rewriteJournal(const char *root, const JournalText *journalText, bool undoneWhole)
{
    char path[pathBufferSize];
    char fresh[pathBufferSize];
    if (!inRoot(path, root, journalName) || !inRoot(fresh, root, freshName))
        return;
    beforeDiskChange();
    HANDLE file =
        CreateFileA(fresh, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    bool written = true;
    for (size_t i = 0; written && i < journalText->count; ++i)
        written = writeRecord(file, &journalText->records[i]);
    if (undoneWhole)
        written = written && writeJournalText(file, "X\n");
    written = written && flushed(file);
    CloseHandle(file);
    if (written)
        beforeDiskChange();
    if (!written || !MoveFileExA(fresh, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        beforeDiskChange();
        DeleteFileA(fresh);
    }
}

// Never acted on and never deleted: the user or support can still look at it.
static JournalOutcome setAsideUnreadable(const char *root, const char *path)
{
    char aside[pathBufferSize];
    if (inRoot(aside, root, unreadableName)) {
        beforeDiskChange();
        MoveFileExA(path, aside, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    return JournalUnreadable;
}

static JournalOutcome outcomeOf(const SettleResult *result)
{
    if (!result->undone)
        return JournalSettled;
    if (result->incomplete)
        return JournalIncomplete;
    return result->changedLeft ? JournalChangedLeft : JournalRestored;
}

static JournalOutcome settleJournal(const char *root, bool removeTemporaries)
{
    char path[pathBufferSize];
    char fresh[pathBufferSize];
    if (!root || !inRoot(path, root, journalName) || !fileExists(path))
        return JournalAbsent;
    // A rewrite that was ended before its rename leaves its new text behind; it is redone.
    if (inRoot(fresh, root, freshName) && pathExists(fresh)) {
        beforeDiskChange();
        DeleteFileA(fresh);
    }
    JournalText journalText = {NULL, NULL, 0, false};
    SettleResult result = {removeTemporaries, false, false, false, false, ""};
    unrestored[0] = '\0';
    bool parsed = readJournal(path, &journalText);
    // Nothing but a torn first record: the copy had not begun.
    bool empty = parsed && journalText.count == 0;
    bool readable =
        parsed && !empty && journalText.records[0].kind == 'T' && checkRuns(&journalText, root);
    if (readable)
        settleRuns(&journalText, &result);
    if (!readable && !empty) {
        free(journalText.records);
        free(journalText.text);
        return setAsideUnreadable(root, path);
    }
    if (!result.incomplete && !result.keptLeft) {
        beforeDiskChange();
        DeleteFileA(path);
    } else
        rewriteJournal(root, &journalText, result.undone && !result.incomplete);
    free(journalText.records);
    free(journalText.text);
    return outcomeOf(&result);
}

JournalOutcome settleCopyJournal(const char *given)
{
    char root[pathBufferSize];
    if (!given || !finalRoot(given, root))
        return JournalAbsent;
    HANDLE lock = lockInstallation(root);
    if (!lock)
        return JournalBusy;
    JournalOutcome outcome = settleJournal(root, true);
    unlockInstallation(lock);
    return outcome;
}

const char *unrestoredFile()
{
    return unrestored;
}

//--- the copy with its safety net

static bool announceEntry(const char *target, const WIN32_FIND_DATAA *entry)
{
    // Something in the way (a file where the update has a directory, or the reverse) may be
    // taken away while the question about it is open, so the copy may still create the entry.
    DWORD attributes = GetFileAttributesA(target);
    bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    bool existingDirectory = exists && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    char kept[pathBufferSize];
    if (entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return existingDirectory || writeJournalText(journal.file, "D %s\n", target);
    char fresh[pathBufferSize];
    // A kept or new file of that name that is not this run's would be taken for one by an undo.
    if (!keptPath(kept, target, journal.token) || pathExists(kept) ||
        !freshPath(fresh, target, journal.token) || pathExists(fresh))
        return false;
    bool replaced = exists && !existingDirectory;
    JournalRecord record = {
        replaced ? 'R' : 'N',
        target,
        NULL,
        joinHalves(entry->nFileSizeHigh, entry->nFileSizeLow),
        joinHalves(entry->ftLastWriteTime.dwHighDateTime, entry->ftLastWriteTime.dwLowDateTime),
        replaced ? attributes : 0,
        0,
        0};
    return writeRecord(journal.file, &record);
}

// The journal learns what a level may create or replace before its first change, with one
// flush for the whole level: a flush per file would cost more than the copy itself.
static bool announceLevel(const char *destination, const WIN32_FIND_DATAA *entries, size_t count)
{
    char target[pathBufferSize];
    for (size_t i = 0; i < count; ++i)
        if (!inRoot(target, destination, entries[i].cFileName) ||
            !announceEntry(target, &entries[i]))
            return false;
    return count == 0 || flushed(journal.file);
}

static bool renameThroughHandle(HANDLE file, const char *to)
{
    union {
        FILE_RENAME_INFO info;
        char bytes[sizeof(FILE_RENAME_INFO) + pathBufferSize * sizeof(WCHAR)];
    } rename;
    ZeroMemory(&rename, sizeof rename.info);
    int characters = MultiByteToWideChar(CP_ACP, 0, to, -1, rename.info.FileName, pathBufferSize);
    if (characters <= 1)
        return false;
    rename.info.FileNameLength = (DWORD)(characters - 1) * sizeof(WCHAR);
    beforeDiskChange();
    return SetFileInformationByHandle(file, FileRenameInfo, &rename, sizeof rename) != FALSE;
}

// This updater's own file, which a release may carry anew: Windows refuses to open a running
// program's file for writing but lets it be renamed, and its kept file goes at the next start.
static bool isRunningProgram(const char *target)
{
    char own[MAX_PATH + 1];
    JournalRecord ownFile, targetFile;
    DWORD length = GetModuleFileNameA(NULL, own, sizeof own);
    return length && length < sizeof own && readPlaced(own, &ownFile) &&
           readPlaced(target, &targetFile) && ownFile.volume == targetFile.volume &&
           ownFile.fileIndex == targetFile.fileIndex;
}

// One test for a file in use, whatever its attributes: with read-only and hidden cleared, the
// file must open for exclusive writing and deleting, and it is renamed through that same handle
// so nothing can take it between test and rename. The kept file gets the attributes back; a
// file that failed the test gets them back at once and the question is asked as before.
static bool setAside(const char *target, DWORD attributes)
{
    const DWORD cleared = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    char kept[pathBufferSize];
    if (!keptPath(kept, target, journal.token))
        return false;
    if (attributes & cleared) {
        beforeDiskChange();
        SetFileAttributesA(target, attributes & ~cleared);
    }
    HANDLE probe = CreateFileA(target, GENERIC_WRITE | DELETE, 0, NULL, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    bool moved = probe != INVALID_HANDLE_VALUE && renameThroughHandle(probe, kept);
    if (probe != INVALID_HANDLE_VALUE)
        CloseHandle(probe);
    else if (isRunningProgram(target))
        moved = renameFile(target, kept);
    if (attributes & cleared) {
        beforeDiskChange();
        SetFileAttributesA(moved ? kept : target, attributes);
    }
    return moved;
}

// Where the volume cannot be flushed as a whole (a network drive), each placed file is. A
// read-only file refuses to open for writing, so the attribute is off for the open only.
static bool flushPlaced(const char *target)
{
    DWORD attributes = GetFileAttributesA(target);
    bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    if (readOnly) {
        beforeDiskChange();
        SetFileAttributesA(target, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    HANDLE file = CreateFileA(target, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (readOnly) {
        beforeDiskChange();
        SetFileAttributesA(target, attributes);
    }
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool done = flushed(file);
    CloseHandle(file);
    return done;
}

// The next path to flush; NULL once the copy has ended and nothing is left.
static char *nextToFlush()
{
    for (;;) {
        EnterCriticalSection(&flusher.lock);
        char *path = flusher.next < flusher.count ? flusher.paths[flusher.next++] : NULL;
        bool closing = flusher.closing;
        LeaveCriticalSection(&flusher.lock);
        if (path || closing)
            return path;
        WaitForSingleObject(flusher.wake, INFINITE);
    }
}

static DWORD WINAPI flushPlacedFiles(LPVOID)
{
    for (char *path = nextToFlush(); path; path = nextToFlush())
        if (!flushPlaced(path))
            journal.placedUnflushed = true;
    return 0;
}

static bool startFlusher()
{
    InitializeCriticalSection(&flusher.lock);
    flusher.wake = CreateEventA(NULL, FALSE, FALSE, NULL);
    flusher.thread = flusher.wake ? CreateThread(NULL, 0, flushPlacedFiles, NULL, 0, NULL) : NULL;
    if (flusher.thread)
        return true;
    if (flusher.wake)
        CloseHandle(flusher.wake);
    DeleteCriticalSection(&flusher.lock);
    ZeroMemory(&flusher, sizeof flusher);
    return false;
}

static void queueFlush(const char *target)
{
    char *path = _strdup(target);
    EnterCriticalSection(&flusher.lock);
    if (flusher.count == flusher.capacity) {
        size_t grown = flusher.capacity ? flusher.capacity * 2 : 256;
        char **bigger = (char **)realloc(flusher.paths, grown * sizeof(char *));
        if (bigger) {
            flusher.paths = bigger;
            flusher.capacity = grown;
        }
    }
    if (path && flusher.count < flusher.capacity)
        flusher.paths[flusher.count++] = path;
    else {
        free(path);
        journal.placedUnflushed = true;
    }
    LeaveCriticalSection(&flusher.lock);
    SetEvent(flusher.wake);
}

// Waits until every queued file is flushed; no handle of the flusher stays open after this.
static void stopFlusher()
{
    if (!flusher.thread)
        return;
    EnterCriticalSection(&flusher.lock);
    flusher.closing = true;
    LeaveCriticalSection(&flusher.lock);
    SetEvent(flusher.wake);
    WaitForSingleObject(flusher.thread, INFINITE);
    CloseHandle(flusher.thread);
    CloseHandle(flusher.wake);
    DeleteCriticalSection(&flusher.lock);
    for (size_t i = 0; i < flusher.count; ++i)
        free(flusher.paths[i]);
    free(flusher.paths);
    ZeroMemory(&flusher, sizeof flusher);
}

// The new file is written under "<file>.~<token>.new" and renamed onto the free name once it is
// complete, so a copy ended inside a large file leaves nothing partial under the final name.
static bool placeFile(const char *target, const char *from)
{
    char fresh[pathBufferSize];
    DWORD attributes = GetFileAttributesA(target);
    if (!freshPath(fresh, target, journal.token) ||
        (attributes != INVALID_FILE_ATTRIBUTES &&
         ((attributes & FILE_ATTRIBUTE_DIRECTORY) || !setAside(target, attributes))))
        return false;
    beforeDiskChange();
    if (!CopyFileA(from, fresh, TRUE)) {
        DWORD error = GetLastError();
        // A file of that name that this copy did not write is not removed.
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            removeFileEvenReadOnly(fresh);
        return false;
    }
    // Flushed with the next level's records or the commit mark, not on its own.
    JournalRecord placed = {'P', target, NULL, 0, 0, 0, 0, 0};
    if ((readPlaced(fresh, &placed) && !writeRecord(journal.file, &placed)) ||
        !renameFile(fresh, target)) {
        removeFileEvenReadOnly(fresh);
        return false;
    }
    if (journal.volume == INVALID_HANDLE_VALUE)
        queueFlush(target);
    return true;
}

// After Ignore the old file goes back, even over one that appeared in its place meanwhile. If it
// cannot, it is renamed "<file>.~<token>.ignored", which no clean-up removes.
static void restoreKeptFile(const char *target)
{
    char kept[pathBufferSize];
    char ignored[pathBufferSize];
    if (!keptPath(kept, target, journal.token) || !pathExists(kept))
        return;
    beforeDiskChange();
    if (!directoryExists(target) && MoveFileExA(kept, target, MOVEFILE_REPLACE_EXISTING))
        return;
    if (fitsPath(snprintf(ignored, sizeof ignored, "%s.ignored", kept)))
        renameFile(kept, ignored);
}

static const CopyNet journalNet = {announceLevel, placeFile, restoreKeptFile};

// The elevated updater may open the volume; flushing it once is far cheaper than a flush per file.
// The volume is the one that holds the root's folder (a folder mounted from another volume, or
// reached through a junction, is flushed there), and only a local disk's: elsewhere each placed
// file is flushed.
static HANDLE openVolume(const char *root)
{
    char mountPoint[MAX_PATH + 1];
    char volume[MAX_PATH + 1];
    if (!GetVolumePathNameA(root, mountPoint, sizeof mountPoint))
        return INVALID_HANDLE_VALUE;
    UINT type = GetDriveTypeA(mountPoint);
    if ((type != DRIVE_FIXED && type != DRIVE_REMOVABLE) ||
        !GetVolumeNameForVolumeMountPointA(mountPoint, volume, sizeof volume))
        return INVALID_HANDLE_VALUE;
    size_t length = strlen(volume);
    if (length && volume[length - 1] == '\\')
        volume[length - 1] = '\0';
    HANDLE handle = CreateFileA(volume, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (handle != INVALID_HANDLE_VALUE && !flushed(handle)) {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    return handle;
}

// At least 32 random bits, so that a kept file of an earlier run is never in this one's way.
static bool drawToken()
{
    uint32_t bits = 0;
    if (sodium_init() < 0)
        return false;
    randombytes_buf(&bits, sizeof bits);
    snprintf(journal.token, sizeof journal.token, "%08lx", (unsigned long)bits);
    return true;
}

static void closeJournal()
{
    stopFlusher();
    if (journal.file != INVALID_HANDLE_VALUE)
        CloseHandle(journal.file);
    if (journal.volume != INVALID_HANDLE_VALUE)
        CloseHandle(journal.volume);
    journal.file = journal.volume = INVALID_HANDLE_VALUE;
}

// A journal that settling could not rewrite may still end in damage; nothing goes after that.
static bool endsWithWholeRecord(HANDLE file)
{
    char last = '\n';
    DWORD got = 0;
    DWORD size = GetFileSize(file, NULL);
    if (size == INVALID_FILE_SIZE)
        return false;
    if (size > 0 && (SetFilePointer(file, -1, NULL, FILE_END) == INVALID_SET_FILE_POINTER ||
                     !ReadFile(file, &last, 1, &got, NULL) || got != 1))
        return false;
    return last == '\n' && SetFilePointer(file, 0, NULL, FILE_END) != INVALID_SET_FILE_POINTER;
}

static bool openJournal(const char *root, const char *const *temporaries, JournalOutcome *outcome)
{
    char path[pathBufferSize];
    // An unfinished copy that could not be undone must not be buried under a new one.
    *outcome = settleJournal(root, true);
    if (!inRoot(path, root, journalName) || *outcome == JournalIncomplete ||
        *outcome == JournalUnreadable || !drawToken())
        return false;
    beforeDiskChange();
    journal.file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (journal.file == INVALID_HANDLE_VALUE)
        return false;
    if (!endsWithWholeRecord(journal.file)) {
        closeJournal();
        return false;
    }
    journal.placedUnflushed = false;
    journal.volume = openVolume(root);
    if (journal.volume == INVALID_HANDLE_VALUE && !startFlusher()) {
        closeJournal();
        return false;
    }
    bool written = writeJournalText(journal.file, "T %s %s\n", journal.token, root);
    for (; written && *temporaries; ++temporaries)
        written = writeJournalText(journal.file, "U %s\n", *temporaries);
    if (written && flushed(journal.file))
        return true;
    closeJournal();
    return false;
}

// Until this mark is on disk the copy counts as unfinished and is undone; the new files'
// data must be on disk before it, or a power cut would leave neither version.
static bool commitCopy()
{
    stopFlusher();
    if (journal.placedUnflushed ||
        (journal.volume != INVALID_HANDLE_VALUE && !flushed(journal.volume)))
        return false;
    return writeJournalText(journal.file, "C\n") && flushed(journal.file);
}

static bool copyLocked(const char *const *temporaries, const char *destination, const char *source,
                       uint32_t *counters[4], JournalOutcome *outcome)
{
    if (!openJournal(destination, temporaries, outcome))
        return false;
    bool copied = copyTreeThrough(&journalNet, destination, source, counters[0], counters[1],
                                  counters[2], counters[3]) &&
                  commitCopy();
    closeJournal();
    if (copied) {
        // Its kept files go after the result is shown; until then the journal says so.
        free(committedRoot);
        committedRoot = _strdup(destination);
        *outcome = JournalSettled;
        return true;
    }
    // The installation worker removes its temporary files itself, with progress.
    *outcome = settleJournal(destination, false);
    return false;
}

bool copyTreeKeepingOld(const char *const *temporaries, const char *destination, const char *source,
                        uint32_t *bytesCopied, uint32_t *totalBytes, uint32_t *filesCopied,
                        uint32_t *fileCount, JournalOutcome *outcome)
{
    char root[pathBufferSize];
    *outcome = JournalAbsent;
    if (!destination || !finalRoot(destination, root))
        return false;
    destination = root;
    HANDLE lock = lockInstallation(root);
    if (!lock) {
        *outcome = JournalBusy;
        return false;
    }
    // A root other than the renderer directory is found again through this value.
    bool elsewhere = !isRendererDirectory(root) && writeCopyRoot(root);
    uint32_t *counters[4] = {bytesCopied, totalBytes, filesCopied, fileCount};
    changingInstallation = true;
    bool copied = copyLocked(temporaries, destination, source, counters, outcome);
    changingInstallation = false;
    if (elsewhere && !copied && *outcome != JournalIncomplete)
        clearCopyRoot();
    unlockInstallation(lock);
    return copied;
}

void removeKeptFiles()
{
    char *root = committedRoot;
    committedRoot = NULL;
    if (!root)
        return;
    removingKept = true;
    if (settleCopyJournal(root) != JournalBusy)
        clearCopyRoot();
    removingKept = false;
    free(root);
}

bool removingKeptFiles()
{
    return removingKept;
}

bool copyChangingInstallation()
{
    return changingInstallation;
}

//--- start-up

static void showRecovery(JournalOutcome outcome)
{
    char text[pathBufferSize + 128];
    const char *status = NULL;
    if (outcome == JournalRestored)
        status = "Previous version restored (update interrupted).";
    else if (outcome == JournalChangedLeft)
        status = "Previous version restored (update interrupted); files changed since were "
                 "left as they are.";
    else if (outcome == JournalUnreadable)
        status = "Update journal unreadable: nothing undone, set aside as "
                 "QIMUpdate.journal.unreadable.";
    else if (outcome == JournalBusy)
        status = "Another updater is working on this installation.";
    if (outcome == JournalIncomplete) {
        snprintf(text, sizeof text,
                 "Interrupted update: could not restore %s. Close QIM and 3ds Max, then start "
                 "QIMUpdate again.",
                 unrestored);
        status = text;
    }
    if (!status)
        return;
    SetWindowTextA(session.statusLabel, status);
    // A silent start shows what the user must know instead of checking quietly.
    if (session.silent && outcome != JournalBusy) {
        session.silent = false;
        ShowWindow(session.mainWindow, SW_SHOW);
    }
}

void recoverInterruptedCopy()
{
    char *rendererDir = rendererDirectory();
    char *elsewhere = readCopyRoot();
    JournalOutcome outcome = JournalAbsent;
    if (elsewhere && !isRendererDirectory(elsewhere) && directoryExists(elsewhere))
        outcome = settleCopyJournal(elsewhere);
    if (elsewhere && outcome != JournalIncomplete && outcome != JournalBusy)
        clearCopyRoot();
    if (rendererDir && directoryExists(rendererDir) && outcome <= JournalSettled)
        outcome = settleCopyJournal(rendererDir);
    free(rendererDir);
    free(elsewhere);
    showRecovery(outcome);
}
