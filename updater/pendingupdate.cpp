// The one home of the update waiting in Downloaded, shared by the download and the installation.
#include "pendingupdate.h"
#include "download.h"
#include "installsupport.h"
#include "settings.h"
#include "treeops.h"
#include <atomic>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static std::atomic<PendingKind> kind{PendingFullArchive}; // read by the window too
static char *deltaTree = nullptr;
// The installation the delta was rebuilt from: only it, at that version, may take the tree.
static char *deltaBase = nullptr;
static RendererVersion deltaFrom;

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
    free(deltaBase);
    deltaBase = nullptr;
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

bool setPendingDeltaTree(char *tree, const char *rendererDir, const RendererVersion &from)
{
    dropTree();
    kind = PendingDelta;
    deltaTree = tree;
    deltaBase = _strdup(rendererDir);
    deltaFrom = from;
    return deltaBase != nullptr;
}

// The engine is asked afresh: another updater may have installed a version meanwhile.
bool isPendingDeltaFromElsewhere(const char *rendererDir)
{
    if (!deltaTree)
        return false;
    if (!deltaBase || _stricmp(deltaBase, rendererDir) != 0 || !queryInstalledVersion())
        return true;
    const RendererVersion &now = session.installedVersion;
    return now.major != deltaFrom.major || now.minor != deltaFrom.minor ||
           now.build != deltaFrom.build;
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

// Exactly the names GetTempFileNameA forms with our prefix: "qim", 1 to 4 hex digits, ".tmp".
static bool isUpdateTempName(const char *name)
{
    if (_strnicmp(name, "qim", 3) != 0)
        return false;
    size_t digits = 0;
    while (isxdigit((unsigned char)name[3 + digits]))
        digits++;
    return digits >= 1 && digits <= 4 && _stricmp(name + 3 + digits, ".tmp") == 0;
}

static bool isStaleUpdateEntry(const WIN32_FIND_DATAA &entry)
{
    return isUpdateTempName(entry.cFileName) && olderThanADay(entry.ftLastWriteTime) &&
           !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           !isTempNameHeld(entry.cFileName);
}

// A killed updater leaves its archive and unpacked tree (a delta's with full-size rebuilt files)
// in the temporary folder. What is a day old and held by no running updater is removed. A large
// tree takes a while: this runs on a thread of its own that nobody waits for, as stopping
// halfway leaves only part of what was to go anyway.
static DWORD WINAPI sweepThread(LPVOID)
{
    char pattern[MAX_PATH + 16], path[MAX_PATH + 260];
    DWORD length = GetTempPathA(MAX_PATH, pattern);
    if (length == 0 || length > MAX_PATH)
        return 0;
    snprintf(pattern + length, sizeof pattern - length, "qim*.tmp");
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (!isStaleUpdateEntry(entry) || snprintf(path, sizeof path, "%.*s%s", (int)length,
                                                   pattern, entry.cFileName) >= (int)sizeof path)
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            removeUpdateTree(path);
        else
            DeleteFileA(path);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return 0;
}

void sweepStaleUpdateTrees()
{
    HANDLE thread = CreateThread(nullptr, 0, sweepThread, nullptr, 0, nullptr);
    if (thread)
        CloseHandle(thread);
}
