// The flush of a copy's placed files where the volume cannot be flushed as a whole: queued while
// the copy goes on and done once every file is placed, on several threads, with the folders.
#include "copyflush.h"
#include "copynames.h"
#include "crashpoint.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

// A placed file that could not be flushed: the copy cannot commit.
static volatile bool unflushed;
// The root folder of the copy's volume, flushed last; required: its flush must succeed.
static struct {
    char path[MAX_PATH + 1];
    bool required;
} volumeRoot;

// Where the volume cannot be flushed, the placed files are flushed once all are placed: a flush
// while the copy goes on makes the copy wait for the disk too (the file system commits its log
// for each), so the result would come later. Several flushes at once share those commits.
static struct {
    char **paths;
    size_t count, capacity;
    volatile LONG next;
} flusher;

// Where each placed file is flushed, the folders whose names changed are flushed before the
// commit mark too, so that the renames are on disk with the data (where the file system can
// flush a folder; NTFS logs them and commits that log with each file's flush anyway).
static struct {
    char **paths;
    size_t count, capacity;
} touchedFolders;

static DWORD WINAPI flushQueued(LPVOID)
{
    for (LONG i = InterlockedIncrement(&flusher.next) - 1; (size_t)i < flusher.count;
         i = InterlockedIncrement(&flusher.next) - 1)
        if (!flushPlaced(flusher.paths[i]))
            unflushed = true;
    return 0;
}

static void dropQueuedFlushes()
{
    for (size_t i = 0; i < flusher.count; ++i)
        free(flusher.paths[i]);
    free(flusher.paths);
    ZeroMemory(&flusher, sizeof flusher);
}

// Flushes every queued file, on four threads beside the caller; the handles of those threads are
// closed. While crash points are armed the caller flushes them alone, in the order queued, so
// that the k-th change to the disk is the same one in every run.
static void flushQueuedFiles()
{
    enum { flushThreads = 4 };
    HANDLE threads[flushThreads];
    DWORD started = 0;
    for (; !crashPointsArmed() && started < flushThreads && started < flusher.count; ++started) {
        threads[started] = CreateThread(NULL, 0, flushQueued, NULL, 0, NULL);
        if (!threads[started])
            break;
    }
    flushQueued(NULL);
    // One by one: the list is freed only after every thread has let go of it.
    for (DWORD i = 0; i < started; ++i) {
        WaitForSingleObject(threads[i], INFINITE);
        CloseHandle(threads[i]);
    }
    dropQueuedFlushes();
}

// Flushed once every file is placed.
static void flushLater(const char *target)
{
    char *path = _strdup(target);
    if (path && flusher.count == flusher.capacity) {
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
        unflushed = true;
    }
}

static bool noted(const char *folder)
{
    for (size_t i = touchedFolders.count; i-- > 0;)
        if (!strcmp(touchedFolders.paths[i], folder))
            return true;
    return false;
}

// Adds folder to the list once; false if it could not be kept, and then the copy cannot commit.
static bool noteFolder(const char *folder)
{
    if (noted(folder))
        return true;
    if (touchedFolders.count == touchedFolders.capacity) {
        size_t grown = touchedFolders.capacity ? touchedFolders.capacity * 2 : 64;
        char **bigger = (char **)realloc(touchedFolders.paths, grown * sizeof(char *));
        if (!bigger) {
            unflushed = true;
            return false;
        }
        touchedFolders.paths = bigger;
        touchedFolders.capacity = grown;
    }
    char *copy = _strdup(folder);
    if (!copy) {
        unflushed = true;
        return false;
    }
    touchedFolders.paths[touchedFolders.count++] = copy;
    return true;
}

// The folder that holds target and each one above it up to the root: a new folder's name is
// an entry in its parent.
static void noteFolders(const char *target, const char *root)
{
    char folder[pathBufferSize];
    snprintf(folder, sizeof folder, "%s", target);
    size_t rootLength = strlen(root);
    for (char *cut = strrchr(folder, '\\'); cut; cut = strrchr(folder, '\\')) {
        size_t length = (size_t)(cut - folder);
        if (length + 1 == rootLength && root[length] == '\\')
            length = rootLength; // a drive root ("E:\") keeps its separator
        if (length < rootLength)
            return;
        folder[length] = '\0';
        if (!noteFolder(folder) || length == rootLength)
            return;
    }
}

// Best effort: a folder's flush is what makes its renames durable where a file system supports
// it; NTFS commits its log of every rename with any file's flush anyway, and FAT writes a file's
// own entry with the file's flush and ignores a folder's (its volume root is flushed as a whole).
static void flushTouchedFolders(bool flush)
{
    for (size_t i = 0; i < touchedFolders.count; ++i) {
        if (flush) {
            HANDLE folder = CreateFileA(touchedFolders.paths[i], GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
            if (folder != INVALID_HANDLE_VALUE) {
                flushed(folder);
                CloseHandle(folder);
            }
        }
        free(touchedFolders.paths[i]);
    }
    free(touchedFolders.paths);
    ZeroMemory(&touchedFolders, sizeof touchedFolders);
}

void flushPlacedLater(const char *target, const char *root)
{
    flushLater(target);
    noteFolders(target, root);
}

void noteChangedName(const char *path, const char *root)
{
    noteFolders(path, root);
}

// FAT writes a file's own entry with the file's flush but ignores a folder's flush, except the
// root folder's, which writes the whole volume: there that flush must succeed. NTFS and ReFS
// commit their log of every rename with any file's flush.
void noteVolumeRoot(const char *root)
{
    char system[MAX_PATH + 1] = "";
    if (!GetVolumePathNameA(root, volumeRoot.path, sizeof volumeRoot.path)) {
        unflushed = true;
        return;
    }
    GetVolumeInformationA(volumeRoot.path, NULL, 0, NULL, NULL, NULL, system, sizeof system);
    volumeRoot.required = _stricmp(system, "NTFS") != 0 && _stricmp(system, "ReFS") != 0;
}

static void flushVolumeRoot()
{
    if (!volumeRoot.path[0])
        return;
    HANDLE folder = CreateFileA(volumeRoot.path, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    bool done = folder != INVALID_HANDLE_VALUE && flushed(folder);
    if (folder != INVALID_HANDLE_VALUE)
        CloseHandle(folder);
    if (!done && volumeRoot.required)
        unflushed = true;
}

bool flushPlacedNow()
{
    flushQueuedFiles();
    flushTouchedFolders(true);
    flushVolumeRoot();
    volumeRoot.path[0] = '\0';
    bool complete = !unflushed;
    unflushed = false;
    return complete;
}

void dropPlacedFlushes()
{
    dropQueuedFlushes();
    flushTouchedFolders(false);
    volumeRoot.path[0] = '\0';
    unflushed = false;
}
