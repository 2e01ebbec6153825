// Settling what a journal describes: undoing an unfinished copy newest change first, removing
// the kept files of finished ones, and rewriting or removing the journal.
#include "copyjournal.h"
#include "copynames.h"
#include "crashpoint.h"
#include "installsupport.h"
#include "treeops.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char unrestored[pathBufferSize];

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

// FAT keeps local time, so the change to or from daylight saving between the copy and this
// settling moves each of its files by exactly one hour. Only where no identity was recorded
// (NTFS and ReFS keep UTC); any other shift, as after a change of time zone, still counts as a
// change: a wider match would take more of the user's own edits for the copy's.
static bool sameWritten(uint64_t now, uint64_t recorded, bool localTime)
{
    const uint64_t hour = 3600ull * 10000000;
    uint64_t apart = now > recorded ? now - recorded : recorded - now;
    return apart == 0 || (localTime && apart == hour);
}

// The file the copy placed is known by what was read back from it (P), identity included where
// it was recorded (only where the file system keeps one); a file written anew since is another
// file even with the same size and time. Without a P record (ended between placing and
// recording) the announced size and time must match.
static bool isPlacedFile(const WIN32_FILE_ATTRIBUTE_DATA *now, const JournalRecord *record,
                         const JournalRecord *placed)
{
    const JournalRecord *expected = placed ? placed : record;
    bool noIdentity = !placed || (!placed->volume && !placed->fileIndex);
    if ((now->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        joinHalves(now->nFileSizeHigh, now->nFileSizeLow) != expected->size ||
        !sameWritten(
            joinHalves(now->ftLastWriteTime.dwHighDateTime, now->ftLastWriteTime.dwLowDateTime),
            expected->written, noIdentity))
        return false;
    JournalRecord current;
    if (noIdentity || !readPlaced(record->path, &current, false))
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
    if (recorded == unknownAttributes || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & mask) == (recorded & mask))
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
    // The old file, never set aside, may match the new one; its attributes may still be off.
    if (!keptThere && record->kind == 'R')
        restoreAttributes(record->path, record->attributes);
    if (!keptThere && (record->kind == 'R' || !present))
        return;
    if ((present && !takeAwayPlaced(record->path, token)) ||
        (keptThere && !renameFile(kept, record->path)))
        noteUnrestored(result, record->path);
    else if (keptThere)
        restoreAttributes(record->path, record->attributes);
}

// What was read back from the file a record announced, recorded after it in the same run; the
// last such record, as a Retry after a failed rename places the file again.
static const JournalRecord *placedRecord(const JournalRecord *record, const JournalRecord *end)
{
    for (const JournalRecord *later = end; later-- > record + 1;)
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
    char fresh[pathBufferSize];
    if ((record->kind != 'N' && record->kind != 'R') || !keptPath(kept, record->path, run->token) ||
        !freshPath(fresh, record->path, run->token) || (!pathExists(kept) && !pathExists(fresh)) ||
        !noReparseBelow(run->path, record->path, result->checkedParent))
        return;
    // A new file whose removal failed during the copy goes with the kept files.
    const char *const leftovers[] = {kept, fresh};
    for (const char *leftover : leftovers) {
        if (!pathExists(leftover) || removeFileEvenReadOnly(leftover) || !pathExists(leftover))
            continue;
        MoveFileExA(leftover, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
        result->keptLeft = true;
    }
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

// The undo's renames reach the disk before the journal that describes them goes or changes:
// otherwise a power cut could keep the journal's removal and lose the renames, leaving a mixed
// tree that nothing repairs. The volume is flushed where it can be, else each restored file.
static void flushUndo(const char *root, const JournalText *journalText)
{
    HANDLE volume = volumeFlushRefused() ? INVALID_HANDLE_VALUE : openVolume(root);
    if (volume != INVALID_HANDLE_VALUE) {
        CloseHandle(volume);
        return;
    }
    size_t first = journalText->count;
    while (first > 0 && journalText->records[first - 1].kind != 'T')
        --first;
    for (size_t i = first; i < journalText->count; ++i) {
        const JournalRecord *record = &journalText->records[i];
        if (record->kind == 'R' && fileExists(record->path))
            flushPlaced(record->path);
    }
    // The removals of new files, where no old file was flushed.
    HANDLE folder = CreateFileA(root, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (folder != INVALID_HANDLE_VALUE) {
        flushed(folder);
        CloseHandle(folder);
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

JournalOutcome settleJournal(const char *root, bool removeTemporaries)
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
    if (result.undone)
        flushUndo(root, &journalText);
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
