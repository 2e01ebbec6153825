// Under Wine each open, rename and close of the copy is a round trip to the server, and a copy
// that made them all between one file and the next would take a good part longer than one that
// writes over the old files. So while one file is set in place, the next file of its level is
// prepared on a second thread: written under its new name and read back through the handle that
// will rename it, and the file it replaces opened for the test that it is not in use (opening
// changes nothing on disk). Only one file is prepared ahead, and only a small one: an Abort
// waits for it before the undo starts.
#include "copyahead.h"
#include "copynames.h"
#include "crashpoint.h"
#include "treeops.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum AheadState { AheadNone, AheadQueued, AheadPreparing, AheadPrepared, AheadFailed };

static struct {
    SRWLOCK lock;
    CONDITION_VARIABLE changed;
    HANDLE thread;
    bool quit;
    AheadState state;
    DWORD volume;
    char from[pathBufferSize];
    char fresh[pathBufferSize];
    char target[pathBufferSize];
    PreparedFile file;
    // Handles of files set in place, closed beside the copy (closing changes nothing on disk).
    HANDLE closing[64];
    size_t closingCount;
} ahead = {SRWLOCK_INIT, CONDITION_VARIABLE_INIT, NULL, false, AheadNone, 0, "", "", "", {}, {}, 0};

static bool existsError(DWORD error)
{
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

// The attributes a copy carries over, as CopyFile does.
static DWORD copiedAttributes(DWORD attributes)
{
    attributes &= FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// Renaming asks for no write access; the handle that writes the file also renames it, so a
// read-only new file needs no attribute change.
static HANDLE createFresh(const char *fresh, DWORD attributes)
{
    beforeDiskChange();
    return CreateFileA(fresh, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, CREATE_NEW,
                       attributes | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

// Names with this run's token are its own (announcing found none), so a new file left by a
// failed attempt goes before a Retry; one that cannot go is not written over. The second thread
// removes nothing: what is in its way is left to the copy.
static HANDLE createFreshOnce(const char *fresh, DWORD attributes, bool removeLeftover)
{
    HANDLE file = createFresh(fresh, attributes);
    if (file == INVALID_HANDLE_VALUE && removeLeftover && existsError(GetLastError()) &&
        removeFileEvenReadOnly(fresh))
        file = createFresh(fresh, attributes);
    return file;
}

// A time the file system cannot hold (FAT before 1980), or none (0 leaves the time as it is),
// does not stop the copy: the file keeps the time it was given when created, set again so that
// closing it does not stamp it anew after the copy recorded it.
static bool setWritten(HANDLE file, const FILETIME *written)
{
    FILE_BASIC_INFO basic;
    beforeDiskChange();
    if ((written->dwLowDateTime || written->dwHighDateTime) && !fileTimeRefused() &&
        SetFileTime(file, NULL, NULL, written))
        return true;
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
        return false;
    FILETIME held = {basic.LastWriteTime.LowPart, (DWORD)basic.LastWriteTime.HighPart};
    return SetFileTime(file, NULL, NULL, &held) != FALSE;
}

// The data, then the source's last-write time.
static bool copyData(HANDLE from, HANDLE to, const FILETIME *written)
{
    char buffer[64 << 10];
    DWORD got = 0, put = 0;
    bool copied = true;
    beforeDiskChange();
    while (copied && (copied = ReadFile(from, buffer, sizeof buffer, &got, NULL) != FALSE) && got)
        copied = WriteFile(to, buffer, got, &put, NULL) && put == got;
    return copied && setWritten(to, written);
}

// The new file is written here, not by CopyFileA, so that the handle that writes it reads it
// back and renames it: under Wine each open and close is a round trip to the server. Its data,
// last-write time and attributes are the source's.
static bool writeCopy(const char *from, const char *fresh, DWORD volume, PreparedFile *file,
                      bool removeLeftover)
{
    FILE_BASIC_INFO basic = {};
    HANDLE source = CreateFileA(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (source == INVALID_HANDLE_VALUE)
        return false;
    file->placed = INVALID_HANDLE_VALUE;
    if (GetFileInformationByHandleEx(source, FileBasicInfo, &basic, sizeof basic))
        file->placed =
            createFreshOnce(fresh, copiedAttributes(basic.FileAttributes), removeLeftover);
    FILETIME written = {basic.LastWriteTime.LowPart, (DWORD)basic.LastWriteTime.HighPart};
    bool copied = file->placed != INVALID_HANDLE_VALUE &&
                  copyData(source, file->placed, &written) &&
                  readPlacedOn(file->placed, volume, &file->read);
    CloseHandle(source);
    if (copied || file->placed == INVALID_HANDLE_VALUE)
        return copied;
    CloseHandle(file->placed);
    file->placed = INVALID_HANDLE_VALUE;
    removeFileEvenReadOnly(fresh);
    return false;
}

bool copyFresh(const char *from, const char *fresh, DWORD volume, PreparedFile *file)
{
    return writeCopy(from, fresh, volume, file, true);
}

void closePrepared(PreparedFile *file)
{
    if (file->placed != INVALID_HANDLE_VALUE)
        CloseHandle(file->placed);
    if (file->old != INVALID_HANDLE_VALUE)
        CloseHandle(file->old);
    file->placed = file->old = INVALID_HANDLE_VALUE;
}

// The old file is opened as the copy's own test opens it; one whose attributes that test must
// clear first (a change to the disk) is left to the copy, in its order.
static HANDLE openOld(const char *target)
{
    DWORD attributes = GetFileAttributesA(target);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY)))
        return INVALID_HANDLE_VALUE;
    return CreateFileA(target, GENERIC_WRITE | DELETE, 0, NULL, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

// The job's names stay as they are while it is in hand: only a job not in hand is replaced.
static AheadState prepareJob()
{
    ahead.file.placed = ahead.file.old = INVALID_HANDLE_VALUE;
    if (!writeCopy(ahead.from, ahead.fresh, ahead.volume, &ahead.file, false))
        return AheadFailed;
    ahead.file.old = openOld(ahead.target);
    return AheadPrepared;
}

// Called and returns with the lock held.
static void closeHanded()
{
    HANDLE handles[sizeof ahead.closing / sizeof ahead.closing[0]];
    size_t count = ahead.closingCount;
    memcpy(handles, ahead.closing, count * sizeof handles[0]);
    ahead.closingCount = 0;
    ReleaseSRWLockExclusive(&ahead.lock);
    for (size_t i = 0; i < count; ++i)
        CloseHandle(handles[i]);
    AcquireSRWLockExclusive(&ahead.lock);
}

static DWORD WINAPI prepareQueued(LPVOID)
{
    AcquireSRWLockExclusive(&ahead.lock);
    for (;;) {
        while (!ahead.quit && ahead.state != AheadQueued && !ahead.closingCount)
            SleepConditionVariableSRW(&ahead.changed, &ahead.lock, INFINITE, 0);
        if (ahead.closingCount)
            closeHanded();
        if (ahead.quit)
            break;
        if (ahead.state != AheadQueued)
            continue;
        ahead.state = AheadPreparing;
        ReleaseSRWLockExclusive(&ahead.lock);
        AheadState prepared = prepareJob();
        AcquireSRWLockExclusive(&ahead.lock);
        ahead.state = prepared;
        WakeAllConditionVariable(&ahead.changed);
    }
    ReleaseSRWLockExclusive(&ahead.lock);
    return 0;
}

static bool setJob(const char *from, const char *fresh, const char *target, DWORD volume)
{
    ahead.volume = volume;
    return fitsPath(snprintf(ahead.from, sizeof ahead.from, "%s", from)) &&
           fitsPath(snprintf(ahead.fresh, sizeof ahead.fresh, "%s", fresh)) &&
           fitsPath(snprintf(ahead.target, sizeof ahead.target, "%s", target));
}

void prepareAhead(const char *from, const char *fresh, const char *target, DWORD volume)
{
    if (crashPointsArmed()) {
        if (ahead.state == AheadNone && setJob(from, fresh, target, volume))
            ahead.state = prepareJob();
        return;
    }
    if (!ahead.thread) {
        ahead.quit = false;
        ahead.thread = CreateThread(NULL, 0, prepareQueued, NULL, 0, NULL);
        if (!ahead.thread)
            return;
    }
    AcquireSRWLockExclusive(&ahead.lock);
    if (ahead.state == AheadNone && setJob(from, fresh, target, volume)) {
        ahead.state = AheadQueued;
        WakeAllConditionVariable(&ahead.changed);
    }
    ReleaseSRWLockExclusive(&ahead.lock);
}

static volatile LONG usedPrepared;

void notePreparedUsed()
{
    InterlockedIncrement(&usedPrepared);
}

unsigned filesTakenPrepared()
{
    return (unsigned)usedPrepared;
}

bool takePrepared(const char *fresh, PreparedFile *file)
{
    AcquireSRWLockExclusive(&ahead.lock);
    bool mine = ahead.state != AheadNone && strcmp(ahead.fresh, fresh) == 0;
    while (mine && ahead.state == AheadPreparing)
        SleepConditionVariableSRW(&ahead.changed, &ahead.lock, INFINITE, 0);
    bool prepared = mine && ahead.state == AheadPrepared;
    if (prepared)
        *file = ahead.file;
    if (mine)
        ahead.state = AheadNone;
    ReleaseSRWLockExclusive(&ahead.lock);
    return prepared;
}

void closeBeside(PreparedFile *file)
{
    HANDLE handles[] = {file->placed, file->old};
    file->placed = file->old = INVALID_HANDLE_VALUE;
    AcquireSRWLockExclusive(&ahead.lock);
    for (HANDLE handle : handles) {
        if (handle == INVALID_HANDLE_VALUE)
            continue;
        if (ahead.thread && ahead.closingCount < sizeof ahead.closing / sizeof ahead.closing[0])
            ahead.closing[ahead.closingCount++] = handle;
        else
            CloseHandle(handle);
    }
    WakeAllConditionVariable(&ahead.changed);
    ReleaseSRWLockExclusive(&ahead.lock);
}

void endCopyAhead()
{
    if (ahead.thread) {
        AcquireSRWLockExclusive(&ahead.lock);
        ahead.quit = true;
        WakeAllConditionVariable(&ahead.changed);
        ReleaseSRWLockExclusive(&ahead.lock);
        WaitForSingleObject(ahead.thread, INFINITE);
        CloseHandle(ahead.thread);
        ahead.thread = NULL;
    }
    for (size_t i = 0; i < ahead.closingCount; ++i)
        CloseHandle(ahead.closing[i]);
    ahead.closingCount = 0;
    if (ahead.state == AheadPrepared)
        closePrepared(&ahead.file);
    ahead.state = AheadNone;
}
