// Tree walks over the installation: counting, copying over with Abort/Retry/Ignore, deleting.
#include "treeops.h"
#include "crashpoint.h"
#include "installsupport.h"
#include "session.h"
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { pathBufferSize = 2048, statusBufferSize = 512 };

// Count and copy keep two 2 KiB paths per level on the worker's 1 MiB stack; past this depth a
// crafted archive could exhaust the stack, so deeper trees fail the walk instead.
enum { maxWalkDepth = 100 };

// "%s\%s" into a path buffer (a drive root such as "E:\" has its separator already); a cut
// path would name another file, so it fails instead.
static bool joinPath(char *buffer, const char *directory, const char *name)
{
    size_t end = strlen(directory);
    const char *separator = end && directory[end - 1] == '\\' ? "" : "\\";
    int length = snprintf(buffer, pathBufferSize, "%s%s%s", directory, separator, name);
    return length >= 0 && length < pathBufferSize;
}

static bool isDotEntry(const char *name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

static bool isDirectoryEntry(const WIN32_FIND_DATAA *entry)
{
    return (entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Junctions and symbolic links in the unpacked tree are neither counted nor copied: what they
// point to lies outside the update and must not reach the installation.
static bool isSkippedEntry(const WIN32_FIND_DATAA *entry)
{
    return isDotEntry(entry->cFileName) ||
           (entry->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Read-only is cleared only for the delete, and put back when the delete fails all the same.
static bool removeEvenReadOnly(const char *path, BOOL(WINAPI *remove)(LPCSTR))
{
    beforeDiskChange();
    if (remove(path))
        return true;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    beforeDiskChange();
    SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    beforeDiskChange();
    if (remove(path))
        return true;
    beforeDiskChange();
    SetFileAttributesA(path, attributes);
    return false;
}

bool removeFileEvenReadOnly(const char *path)
{
    return removeEvenReadOnly(path, DeleteFileA);
}

bool removeDirectoryEvenReadOnly(const char *path)
{
    return removeEvenReadOnly(path, RemoveDirectoryA);
}

// Starts the enumeration of directory's entries; the pattern is formed in buffer.
static HANDLE startEnumeration(char *buffer, const char *directory, WIN32_FIND_DATAA *entry)
{
    if (!joinPath(buffer, directory, "*.*"))
        return INVALID_HANDLE_VALUE;
    return FindFirstFileA(buffer, entry);
}

// Advances to the next entry; when none is left, tells whether the listing was complete.
static bool nextEntry(HANDLE search, WIN32_FIND_DATAA *entry, bool *complete)
{
    if (FindNextFileA(search, entry))
        return true;
    *complete = GetLastError() == ERROR_NO_MORE_FILES;
    return false;
}

// A zero denominator means there was nothing to measure, which is as good as done; a numerator
// past the denominator (files added since the count) must not leave the bar's range either.
static int progressPosition(uint32_t done, uint32_t total)
{
    uint64_t position = 100;
    if (total != 0)
        position = (uint64_t)done * 100 / total;
    return position > 100 ? 100 : (int)position;
}

static void showProgress(uint32_t done, uint32_t total)
{
    SendMessageA(session.progressBar, PBM_SETPOS, (WPARAM)progressPosition(done, total), 0);
}

bool queryFileSize(const char *path, uint32_t *size)
{
    *size = 0;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD value = GetFileSize(file, NULL);
    CloseHandle(file);
    if (value == INVALID_FILE_SIZE)
        return false;
    *size = value;
    return true;
}

// The walks of the installation list a level once and work on that listing: the copy announces
// and copies the same entries, so one that appears in between is never copied unannounced.
struct LevelListing {
    WIN32_FIND_DATAA *entries;
    size_t count;
};

static bool appendListed(LevelListing *listing, size_t *capacity, const WIN32_FIND_DATAA *entry)
{
    if (listing->count == *capacity) {
        size_t grown = *capacity ? *capacity * 2 : 16;
        void *bigger = realloc(listing->entries, grown * sizeof *listing->entries);
        if (!bigger)
            return false;
        listing->entries = (WIN32_FIND_DATAA *)bigger;
        *capacity = grown;
    }
    listing->entries[listing->count++] = *entry;
    return true;
}

// Junctions and links are listed only for the delete, which removes them as entries.
static bool listLevel(const char *directory, LevelListing *listing, bool withLinks)
{
    char pattern[pathBufferSize];
    WIN32_FIND_DATAA entry;
    size_t capacity = 0;
    HANDLE search = startEnumeration(pattern, directory, &entry);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    bool complete = false;
    do {
        bool listed = withLinks ? !isDotEntry(entry.cFileName) : !isSkippedEntry(&entry);
        if (listed && !appendListed(listing, &capacity, &entry))
            break;
    } while (nextEntry(search, &entry, &complete));
    FindClose(search);
    return complete;
}

//--- count

static bool countLevel(const char *directory, uint32_t *fileCount, uint32_t *totalBytes, int depth);

static bool countEntry(const char *path, const WIN32_FIND_DATAA *entry, uint32_t *fileCount,
                       uint32_t *totalBytes, int depth)
{
    if (isDirectoryEntry(entry)) {
        uint32_t subFiles = 0, subBytes = 0;
        if (!countLevel(path, &subFiles, &subBytes, depth + 1))
            return false;
        *fileCount += subFiles;
        *totalBytes += subBytes;
        return true;
    }
    uint32_t size = 0;
    if (!queryFileSize(path, &size))
        return false;
    *fileCount += 1;
    *totalBytes += size;
    return true;
}

static bool countLevel(const char *directory, uint32_t *fileCount, uint32_t *totalBytes, int depth)
{
    if (!directory || depth > maxWalkDepth || !directoryExists(directory))
        return false;
    char path[pathBufferSize];
    LevelListing listing = {NULL, 0};
    bool counted = listLevel(directory, &listing, false);
    for (size_t i = 0; counted && i < listing.count; ++i)
        counted = joinPath(path, directory, listing.entries[i].cFileName) &&
                  countEntry(path, &listing.entries[i], fileCount, totalBytes, depth);
    free(listing.entries);
    return counted;
}

bool countTree(const char *directory, uint32_t *fileCount, uint32_t *totalBytes)
{
    return countLevel(directory, fileCount, totalBytes, 0);
}

//--- copy

struct CopyCounters {
    uint32_t *bytesCopied;
    uint32_t *totalBytes;
    uint32_t *filesCopied;
    uint32_t *fileCount;
    int shownPosition;  // what the bar shows already; -1 before the first file
    const CopyNet *net; // NULL: a plain copy
};

// The question texts live only while a box is shown, not on every level of the walk.
static __attribute__((noinline)) int askCreateDirectory(const char *destination)
{
    char text[pathBufferSize];
    snprintf(text, sizeof text,
             "Can't create directory:\n%s\nProbably you don't have write permissions there.",
             destination);
    return MessageBoxA(session.mainWindow, text, "Error", MB_ABORTRETRYIGNORE);
}

static __attribute__((noinline)) int askCopyFile(const char *source, const char *destination)
{
    char text[pathBufferSize];
    snprintf(text, sizeof text,
             "Can't copy file\n%s\nto\n%s\nProbably old one is being used (QIM/Max) or you "
             "don't have write permissions there.",
             source, destination);
    return MessageBoxA(session.mainWindow, text, "Error", MB_ABORTRETRYIGNORE);
}

// Each update is a round trip to the GUI thread; the bar moves only 100 steps in a whole copy,
// so it is told only when its position changes.
static __attribute__((noinline)) void reportCopied(const char *source, CopyCounters *c)
{
    uint32_t size = 0;
    if (queryFileSize(source, &size))
        *c->bytesCopied += size;
    *c->filesCopied += 1;
    char status[statusBufferSize];
    snprintf(status, sizeof status, "Copied %d of %d files.", (int)*c->filesCopied,
             (int)*c->fileCount);
    SetWindowTextA(session.statusLabel, status);
    int position = progressPosition(*c->bytesCopied, *c->totalBytes);
    if (position != c->shownPosition)
        SendMessageA(session.progressBar, PBM_SETPOS, (WPARAM)position, 0);
    c->shownPosition = position;
}

static bool copyLevel(const char *destination, const char *source, CopyCounters *c, int depth);

// A box that could not be shown answers 0 (Wine: -1); taken as Retry it would ask for ever.
static bool isAbortAnswer(int answer)
{
    return answer != IDRETRY && answer != IDIGNORE;
}

enum EntryOutcome { EntryDone, EntryFailed };

// A junction or directory link in the installation is not written through: what it points to
// is not the installation's, and an undo would not go there. It is an obstacle like a file.
static bool isLink(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

static EntryOutcome copyDirectoryEntry(const char *target, const char *from, CopyCounters *c,
                                       int depth)
{
    for (;;) {
        if (directoryExists(target) && !isLink(target))
            return copyLevel(target, from, c, depth + 1) ? EntryDone : EntryFailed;
        beforeDiskChange();
        if (CreateDirectoryA(target, NULL))
            continue;
        int answer = askCreateDirectory(target);
        if (isAbortAnswer(answer))
            return EntryFailed;
        if (answer == IDIGNORE) {
            session.filesIgnored = true;
            return EntryDone;
        }
    }
}

static EntryOutcome copyFileEntry(const char *target, const char *from,
                                  const WIN32_FIND_DATAA *entry, CopyCounters *c)
{
    for (;;) {
        if (c->net ? c->net->place(target, from, entry) : CopyFileA(from, target, FALSE) != FALSE) {
            reportCopied(from, c);
            return EntryDone;
        }
        int answer = askCopyFile(from, target);
        if (isAbortAnswer(answer))
            return EntryFailed;
        if (answer == IDIGNORE) {
            // An ignored file stays the old one, even if it had been renamed aside already.
            if (c->net)
                c->net->ignored(target);
            session.filesIgnored = true;
            return EntryDone;
        }
    }
}

// The Abort button, or Windows ending the session, takes effect on entering a level and before
// each file, so a directory of large files does not keep the user waiting.
static bool abortRequested()
{
    if (!session.abortInstall)
        return false;
    SetWindowTextA(session.statusLabel, "Installation aborted.");
    session.state = InstallAborted;
    return true;
}

// Tells the net of the level's next entry when it is a file, before the current file is placed.
static __attribute__((noinline)) void tellUpcoming(const char *destination, const char *source,
                                                   const LevelListing *listing, size_t next,
                                                   const CopyNet *net)
{
    char from[pathBufferSize];
    char target[pathBufferSize];
    if (net && next < listing->count && !isDirectoryEntry(&listing->entries[next]) &&
        joinPath(from, source, listing->entries[next].cFileName) &&
        joinPath(target, destination, listing->entries[next].cFileName))
        net->upcoming(target, from, &listing->entries[next]);
}

static bool copyListed(const char *destination, const char *source, const LevelListing *listing,
                       CopyCounters *c, int depth)
{
    char from[pathBufferSize];
    char target[pathBufferSize];
    for (size_t i = 0; i < listing->count; ++i) {
        const WIN32_FIND_DATAA *entry = &listing->entries[i];
        if (!joinPath(from, source, entry->cFileName) ||
            !joinPath(target, destination, entry->cFileName))
            return false;
        if (!isDirectoryEntry(entry) && abortRequested())
            return false;
        if (!isDirectoryEntry(entry))
            tellUpcoming(destination, source, listing, i + 1, c->net);
        EntryOutcome outcome = isDirectoryEntry(entry) ? copyDirectoryEntry(target, from, c, depth)
                                                       : copyFileEntry(target, from, entry, c);
        if (outcome == EntryFailed)
            return false;
    }
    return true;
}

static bool copyLevel(const char *destination, const char *source, CopyCounters *c, int depth)
{
    if (!destination || !source || depth > maxWalkDepth || !directoryExists(destination) ||
        !directoryExists(source))
        return false;
    if (abortRequested())
        return false;
    LevelListing listing = {NULL, 0};
    bool copied = listLevel(source, &listing, false) &&
                  (!c->net || c->net->announce(destination, listing.entries, listing.count)) &&
                  copyListed(destination, source, &listing, c, depth);
    free(listing.entries);
    return copied;
}

bool copyTreeThrough(const CopyNet *net, const char *destination, const char *source,
                     uint32_t *bytesCopied, uint32_t *totalBytes, uint32_t *filesCopied,
                     uint32_t *fileCount)
{
    CopyCounters counters = {bytesCopied, totalBytes, filesCopied, fileCount, -1, net};
    return copyLevel(destination, source, &counters, 0);
}

bool copyTree(const char *destination, const char *source, uint32_t *bytesCopied,
              uint32_t *totalBytes, uint32_t *filesCopied, uint32_t *fileCount)
{
    return copyTreeThrough(NULL, destination, source, bytesCopied, totalBytes, filesCopied,
                           fileCount);
}

//--- delete

// The clean-up must be able to remove any tree that was unpacked, however deep, so the delete
// walks with one path buffer for the whole tree (each level appends its entry and cuts it off
// again) and keeps only its level's listing, on the heap.
static bool deleteLevel(char *path, size_t length, uint32_t *filesDeleted, uint32_t *fileCount);

static bool appendName(char *path, size_t length, const char *name)
{
    int added = snprintf(path + length, pathBufferSize - length, "\\%s", name);
    return added >= 0 && (size_t)added < pathBufferSize - length;
}

// A junction or link is removed as an entry; the tree it points to belongs to someone else.
static void deleteEntry(char *path, size_t length, const WIN32_FIND_DATAA *entry,
                        uint32_t *filesDeleted, uint32_t *fileCount, bool *failed)
{
    if (isDirectoryEntry(entry) && (entry->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        beforeDiskChange();
        RemoveDirectoryA(path);
        return;
    }
    if (isDirectoryEntry(entry)) {
        if (!deleteLevel(path, length + strlen(path + length), filesDeleted, fileCount))
            *failed = true;
        return;
    }
    removeFileEvenReadOnly(path);
    *filesDeleted += 1;
    showProgress(*filesDeleted, *fileCount);
}

static bool deleteLevel(char *path, size_t length, uint32_t *filesDeleted, uint32_t *fileCount)
{
    LevelListing listing = {NULL, 0};
    if (!directoryExists(path) || !listLevel(path, &listing, true)) {
        free(listing.entries);
        return false;
    }
    bool failed = false;
    for (size_t i = 0; !failed && i < listing.count; ++i) {
        if (!appendName(path, length, listing.entries[i].cFileName))
            failed = true;
        else
            deleteEntry(path, length, &listing.entries[i], filesDeleted, fileCount, &failed);
        path[length] = '\0';
    }
    free(listing.entries);
    if (failed)
        return false;
    removeDirectoryEvenReadOnly(path);
    return true;
}

bool deleteTree(const char *directory, uint32_t *filesDeleted, uint32_t *fileCount)
{
    if (!directory)
        return false;
    char path[pathBufferSize];
    int length = snprintf(path, sizeof path, "%s", directory);
    if (length < 0 || length >= pathBufferSize)
        return false;
    // A junction in place of the tree is removed as an entry, never walked.
    if (isLink(path)) {
        beforeDiskChange();
        return RemoveDirectoryA(path) != FALSE;
    }
    return deleteLevel(path, (size_t)length, filesDeleted, fileCount);
}
