// The copy with its safety net: the journal written before each change, the new files placed
// whole, the kept files, the flush and the commit mark (journalfile.h has the journal's format).
#include "copyjournal.h"
#include "copyahead.h"
#include "copyflush.h"
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
    char tooLong[pathBufferSize]; // a file refused because its derived names would not fit
    DWORD serial; // the volume's, recorded with each placed file; 0: no lasting identity
} journal = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, "", "", 0};

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
    if (entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (existingDirectory)
            return true;
        if (journal.volume == INVALID_HANDLE_VALUE)
            noteChangedName(target, placedCopy.root);
        return writeJournalText(journal.file, "D %s\n", target);
    }
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

// A kept or new file with this run's token that is not this run's would be taken for one by an
// undo. One look at the folder instead of two per file: under Wine each name that is not there
// costs a read of the whole folder.
static bool carriesToken(const char *destination)
{
    char pattern[pathBufferSize];
    WIN32_FIND_DATAA found;
    if (!fitsPath(snprintf(pattern, sizeof pattern, "%s\\*.~%s*", destination, journal.token)))
        return true;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_NO_MORE_FILES;
    FindClose(search);
    return true;
}

// The file calls take MAX_PATH - 1 characters: a file whose longest derived name
// ("<file>.~<token>.ignored") would not fit could be placed but neither retried nor kept, so
// its level is refused before its first change. Whether the level holds any file at all.
static bool fileNamesFit(const char *destination, const WIN32_FIND_DATAA *entries, size_t count,
                         bool *files)
{
    char target[pathBufferSize];
    *files = false;
    for (size_t i = 0; i < count; ++i) {
        if (entries[i].dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        *files = true;
        if (!inRoot(target, destination, entries[i].cFileName))
            return false;
        if (strlen(target) + sizeof ".~12345678.ignored" > MAX_PATH) {
            snprintf(journal.tooLong, sizeof journal.tooLong, "%s", target);
            return false;
        }
    }
    return true;
}

// The journal learns what a level may create or replace before its first change, with one
// flush for the whole level: a flush per file would cost more than the copy itself. Only a
// level with files can hold kept or new files, and once its names fit, so does the pattern.
static bool announceLevel(const char *destination, const WIN32_FIND_DATAA *entries, size_t count)
{
    char target[pathBufferSize];
    bool files = false;
    if (!fileNamesFit(destination, entries, count, &files) || (files && carriesToken(destination)))
        return false;
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
// file that failed the test gets them back at once and the question is asked as before. probe:
// the file opened so already, or invalid.
static bool setAside(const char *target, DWORD attributes, HANDLE probe)
{
    const DWORD cleared = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    char kept[pathBufferSize];
    if (!keptPath(kept, target, journal.token))
        return false;
    if (probe != INVALID_HANDLE_VALUE)
        return renameThroughHandle(probe, kept);
    if (attributes & cleared) {
        beforeDiskChange();
        SetFileAttributesA(target, attributes & ~cleared);
    }
    probe = CreateFileA(target, GENERIC_WRITE | DELETE, 0, NULL, OPEN_EXISTING,
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

// What the file system holds for the new file, recorded before it gets its final name. Where
// that is what was announced (the source's size and time), the record goes to disk with the
// next level's records or the commit mark: an undo that finds the file without it judges by the
// announcement. Where the file system rounds the time (FAT, exFAT) it is flushed at once, or a
// power cut could keep the rename and lose the record.
static bool recordPlaced(JournalRecord *placed, const char *target, const WIN32_FIND_DATAA *source)
{
    placed->kind = 'P';
    placed->path = target;
    placed->token = NULL;
    placed->attributes = 0;
    if (!writeRecord(journal.file, placed))
        return false;
    bool asAnnounced = joinHalves(source->nFileSizeHigh, source->nFileSizeLow) == placed->size &&
                       joinHalves(source->ftLastWriteTime.dwHighDateTime,
                                  source->ftLastWriteTime.dwLowDateTime) == placed->written;
    return asAnnounced || flushed(journal.file);
}

// Small files only: an Abort waits for the file prepared ahead, and a large file's copy is long
// beside what setting it in place costs.
enum { preparedAheadAtMost = 8 << 20 };

// The level's next file, prepared once the current one is in hand.
static struct {
    bool named;
    char from[pathBufferSize];
    char target[pathBufferSize];
    char fresh[pathBufferSize];
} upcoming;

static void noteUpcoming(const char *target, const char *from, const WIN32_FIND_DATAA *source)
{
    upcoming.named = source->nFileSizeHigh == 0 && source->nFileSizeLow <= preparedAheadAtMost &&
                     freshPath(upcoming.fresh, target, journal.token) &&
                     fitsPath(snprintf(upcoming.from, sizeof upcoming.from, "%s", from)) &&
                     fitsPath(snprintf(upcoming.target, sizeof upcoming.target, "%s", target));
}

// The new file, written whole under "<file>.~<token>.new" (or prepared so beside the copy), read
// back and opened for its rename.
static bool writeFresh(const char *from, const char *fresh, bool obstacle, PreparedFile *file)
{
    bool prepared = takePrepared(fresh, file);
    if (upcoming.named)
        prepareAhead(upcoming.from, upcoming.fresh, upcoming.target, journal.serial);
    upcoming.named = false;
    if (prepared && !obstacle) {
        notePreparedUsed();
        return true;
    }
    closePrepared(file);
    if (prepared)
        removeFileEvenReadOnly(fresh);
    return !obstacle && copyFresh(from, fresh, journal.serial, file);
}

// The old file is set aside only once the new one is whole; the new one is renamed onto the free
// name. Ended anywhere in between, the old file or its kept copy is there and nothing partial
// stands under the final name.
static bool placeFile(const char *target, const char *from, const WIN32_FIND_DATAA *source)
{
    char fresh[pathBufferSize];
    PreparedFile file = {INVALID_HANDLE_VALUE, {}, INVALID_HANDLE_VALUE};
    DWORD attributes = GetFileAttributesA(target);
    bool obstacle =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (!freshPath(fresh, target, journal.token))
        return false;
    // One handle gives the new file its name: under Wine each open, rename by name and close is
    // a round trip to the server.
    bool named =
        writeFresh(from, fresh, obstacle, &file) && recordPlaced(&file.read, target, source) &&
        (attributes == INVALID_FILE_ATTRIBUTES || setAside(target, attributes, file.old)) &&
        renameThroughHandle(file.placed, target);
    if (!named) {
        // While the question about this file is open, nothing of the next one is held.
        endCopyAhead();
        bool written = file.placed != INVALID_HANDLE_VALUE;
        closePrepared(&file);
        if (written)
            removeFileEvenReadOnly(fresh);
        return false;
    }
    closeBeside(&file);
    if (journal.volume == INVALID_HANDLE_VALUE)
        flushPlacedLater(target, placedCopy.root);
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
    if (journal.volume == INVALID_HANDLE_VALUE)
        noteChangedName(target, placedCopy.root);
    beforeDiskChange();
    if (!directoryExists(target) && MoveFileExA(kept, target, MOVEFILE_REPLACE_EXISTING))
        return;
    if (fitsPath(snprintf(ignored, sizeof ignored, "%s.ignored", kept)))
        renameFile(kept, ignored);
}

static const CopyNet journalNet = {announceLevel, noteUpcoming, placeFile, restoreKeptFile};

// At least 32 random bits, so that a kept file of an earlier run is never in this one's way.
static bool drawToken()
{
    uint32_t bits = 0;
    if (fixedCopyToken(journal.token, sizeof journal.token))
        return true;
    if (sodium_init() < 0)
        return false;
    randombytes_buf(&bits, sizeof bits);
    snprintf(journal.token, sizeof journal.token, "%08lx", (unsigned long)bits);
    return true;
}

static void closeJournal()
{
    dropPlacedFlushes();
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
    journal.serial = identityVolume(journal.file);
    journal.volume = volumeFlushRefused() ? INVALID_HANDLE_VALUE : openVolume(root);
    if (journal.volume == INVALID_HANDLE_VALUE)
        noteVolumeRoot(root);
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
    if (!flushPlacedNow() || commitFlushRefused() ||
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
    journal.tooLong[0] = '\0';
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
    endCopyAhead();
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

const char *copyRefusedPath()
{
    return journal.tooLong[0] ? journal.tooLong : NULL;
}

bool removingKeptFiles()
{
    return removingKept;
}

bool copyChangingInstallation()
{
    return changingInstallation;
}
