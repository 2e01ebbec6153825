// The one home of the update waiting in Downloaded, shared by the download and the installation.
#include "pendingupdate.h"
#include "installsupport.h"
#include "treeops.h"
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static PendingKind kind = PendingFullArchive;
static char *deltaTree = nullptr;

void removeUpdateTree(const char *directory)
{
    uint32_t deleted = 0, count = 0;
    if (directoryExists(directory))
        deleteTree(directory, &deleted, &count);
    if (directoryExists(directory))
        RemoveDirectoryA(directory);
}

static void dropTree()
{
    if (deltaTree)
        removeUpdateTree(deltaTree);
    free(deltaTree);
    deltaTree = nullptr;
}

void setPendingKind(PendingKind newKind)
{
    dropTree();
    kind = newKind;
}

PendingKind pendingKind()
{
    return kind;
}

void setPendingDeltaTree(char *tree)
{
    dropTree();
    kind = PendingDelta;
    deltaTree = tree;
}

char *takePendingDeltaTree()
{
    char *tree = deltaTree;
    deltaTree = nullptr;
    return tree;
}

void discardPendingUpdate()
{
    setPendingKind(PendingFullArchive);
}

static bool olderThanADay(const FILETIME &written)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER then = {{written.dwLowDateTime, written.dwHighDateTime}};
    ULARGE_INTEGER current = {{now.dwLowDateTime, now.dwHighDateTime}};
    const unsigned long long day = 24ULL * 60 * 60 * 10000000; // in 100 ns
    return current.QuadPart > then.QuadPart && current.QuadPart - then.QuadPart > day;
}

// A killed updater leaves its archive and unpacked tree (a delta's with full-size rebuilt files)
// in the temporary folder; a day later no updater still works on them.
void sweepStaleUpdateTrees()
{
    char pattern[MAX_PATH + 8], path[MAX_PATH + 260];
    DWORD length = GetTempPathA(MAX_PATH, pattern);
    if (length == 0 || length > MAX_PATH)
        return;
    pattern[length] = 0;
    size_t folderLength = length;
    snprintf(pattern + length, sizeof pattern - length, "qim*");
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!olderThanADay(entry.ftLastWriteTime) ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            snprintf(path, sizeof path, "%.*s%s", (int)folderLength, pattern, entry.cFileName) >=
                (int)sizeof path)
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            removeUpdateTree(path);
        else
            DeleteFileA(path);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
}
