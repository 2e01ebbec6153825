// The copy with its safety net: the journal written before each change, the new files placed
// whole, the kept files, the flush and the commit mark (journalfile.h has the journal's format).
#include "copyjournal.h"
#include "copynames.h"
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

// A copy that succeeded, whose kept files are removed once its result is shown.
static char *committedRoot;
static volatile bool removingKept;
// From the opening of the journal until the copy is committed or undone.
static volatile bool changingInstallation;
// The copy in hand, from its lock until its commit mark or its undo; the lock is held between.
static struct {
    HANDLE lock;
    bool elsewhere; // its root is recorded as copyroot
    char root[pathBufferSize];
} placedCopy;
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
    // The file calls take MAX_PATH - 1 characters: a file whose longest derived name
    // ("<file>.~<token>.ignored") would not fit could be placed but neither retried nor kept, so
    // the level is refused before its first change. A kept or new file of that name that is not
    // this run's would be taken for one by an undo.
    if (strlen(target) + sizeof ".~12345678.ignored" > MAX_PATH ||
        !keptPath(kept, target, journal.token) || pathExists(kept) ||
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
    return length && length < sizeof own && readPlaced(own, &ownFile, false) &&
           readPlaced(target, &targetFile, false) && ownFile.volume == targetFile.volume &&
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

// Flushed on the flusher's thread; inline while crash points are armed, so that the k-th change
// to the disk is the same one in every run.
static void flushLater(const char *target)
{
    if (flusher.thread)
        queueFlush(target);
    else if (!flushPlaced(target))
        journal.placedUnflushed = true;
}

// What the file system holds for the new file, recorded before it gets its final name. Where
// that is what was announced (the source's size and time), the record goes to disk with the
// next level's records or the commit mark: an undo that finds the file without it judges by the
// announcement. Where the file system rounds the time (FAT, exFAT) it is flushed at once, or a
// power cut could keep the rename and lose the record.
static bool recordPlaced(const char *fresh, const char *target, const char *from)
{
    JournalRecord placed = {'P', target, NULL, 0, 0, 0, 0, 0};
    WIN32_FILE_ATTRIBUTE_DATA source;
    if (!readPlaced(fresh, &placed, true) || !writeRecord(journal.file, &placed))
        return false;
    bool asAnnounced = GetFileAttributesExA(from, GetFileExInfoStandard, &source) &&
                       joinHalves(source.nFileSizeHigh, source.nFileSizeLow) == placed.size &&
                       joinHalves(source.ftLastWriteTime.dwHighDateTime,
                                  source.ftLastWriteTime.dwLowDateTime) == placed.written;
    return asAnnounced || flushed(journal.file);
}

// The new file is written whole under "<file>.~<token>.new" beside the old one, which is set
// aside only then; the new one is renamed onto the free name. Ended anywhere in between, the old
// file or its kept copy is there and nothing partial stands under the final name.
static bool placeFile(const char *target, const char *from)
{
    char fresh[pathBufferSize];
    DWORD attributes = GetFileAttributesA(target);
    bool obstacle =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    // Names with this run's token are its own (announcing found none), so a new file left by a
    // failed attempt goes before a Retry.
    if (obstacle || !freshPath(fresh, target, journal.token) ||
        (pathExists(fresh) && !removeFileEvenReadOnly(fresh)))
        return false;
    beforeDiskChange();
    if (!CopyFileA(from, fresh, TRUE)) {
        DWORD error = GetLastError();
        // A file of that name that this copy did not write is not removed.
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            removeFileEvenReadOnly(fresh);
        return false;
    }
    if (!recordPlaced(fresh, target, from) ||
        (attributes != INVALID_FILE_ATTRIBUTES && !setAside(target, attributes)) ||
        !renameFile(fresh, target)) {
        removeFileEvenReadOnly(fresh);
        return false;
    }
    if (journal.volume == INVALID_HANDLE_VALUE)
        flushLater(target);
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
    if (journal.volume == INVALID_HANDLE_VALUE && !crashPointsArmed() && !startFlusher()) {
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
    if (journal.placedUnflushed || commitFlushRefused() ||
        (journal.volume != INVALID_HANDLE_VALUE && !flushed(journal.volume)))
        return false;
    return writeJournalText(journal.file, "C\n") && flushed(journal.file);
}

// Ends the copy in hand: with its commit mark when every file is placed and the mark can be made
// durable, undone otherwise. Either way the installation is then one version again.
static bool endCopy(bool placed, JournalOutcome *outcome)
{
    const char *root = placedCopy.root;
    bool opened = journal.file != INVALID_HANDLE_VALUE;
    bool committed = opened && placed && commitCopy();
    closeJournal();
    if (committed) {
        // Its kept files go after the result is shown; until then the journal says so.
        free(committedRoot);
        committedRoot = _strdup(root);
        *outcome = JournalSettled;
    } else if (opened) {
        // The installation worker removes its temporary files itself, with progress.
        *outcome = settleJournal(root, false);
    }
    changingInstallation = false;
    if (placedCopy.elsewhere && !committed && *outcome != JournalIncomplete)
        clearCopyRoot();
    unlockInstallation(placedCopy.lock);
    placedCopy.lock = NULL;
    return committed;
}

bool placeTreeKeepingOld(const char *const *temporaries, const char *destination,
                         const char *source, uint32_t *bytesCopied, uint32_t *totalBytes,
                         uint32_t *filesCopied, uint32_t *fileCount, JournalOutcome *outcome)
{
    *outcome = JournalAbsent;
    const char *root = placedCopy.root;
    if (placedCopy.lock || !destination || !finalRoot(destination, placedCopy.root))
        return false;
    placedCopy.lock = lockInstallation(root);
    if (!placedCopy.lock) {
        *outcome = JournalBusy;
        return false;
    }
    // A root other than the renderer directory is found again through this value.
    placedCopy.elsewhere = !isRendererDirectory(root) && writeCopyRoot(root);
    changingInstallation = true;
    bool placed =
        openJournal(root, temporaries, outcome) &&
        copyTreeThrough(&journalNet, root, source, bytesCopied, totalBytes, filesCopied, fileCount);
    if (!placed)
        endCopy(false, outcome);
    return placed;
}

bool commitPlacedTree(JournalOutcome *outcome)
{
    return placedCopy.lock && endCopy(true, outcome);
}

bool copyTreeKeepingOld(const char *const *temporaries, const char *destination, const char *source,
                        uint32_t *bytesCopied, uint32_t *totalBytes, uint32_t *filesCopied,
                        uint32_t *fileCount, JournalOutcome *outcome)
{
    return placeTreeKeepingOld(temporaries, destination, source, bytesCopied, totalBytes,
                               filesCopied, fileCount, outcome) &&
           commitPlacedTree(outcome);
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
