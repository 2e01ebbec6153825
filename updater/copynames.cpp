// The names and the lock that the copy, its undo and the start-up share: the root's one spelling,
// kept and new file names, one updater at a time, and what the disk holds for a placed file.
#include "copynames.h"
#include "crashpoint.h"
#include "installsupport.h"
#include <ctype.h>
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

bool fitsPath(int length)
{
    return length >= 0 && length < pathBufferSize;
}

// A drive root ("E:\\") ends with its separator already.
bool inRoot(char *buffer, const char *root, const char *name)
{
    size_t length = strlen(root);
    const char *separator = length && root[length - 1] == '\\' ? "" : "\\";
    return fitsPath(snprintf(buffer, pathBufferSize, "%s%s%s", root, separator, name));
}

// The one spelling of an installation's root, for its lock, its journal and copyroot: the final
// long path the file system gives for the folder, so that an 8.3 or differently cased spelling,
// or a junction to it, names the same root. A drive root keeps its backslash.
bool finalRoot(const char *given, char *root)
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

bool keptPath(char *buffer, const char *target, const char *token)
{
    return fitsPath(snprintf(buffer, pathBufferSize, "%s.~%s", target, token));
}

// Where a new file is written until it is complete; only then does it get its final name.
bool freshPath(char *buffer, const char *target, const char *token)
{
    return fitsPath(snprintf(buffer, pathBufferSize, "%s.~%s.new", target, token));
}

bool flushed(HANDLE file)
{
    beforeDiskChange();
    return FlushFileBuffers(file) != FALSE;
}

bool renameFile(const char *from, const char *to)
{
    beforeDiskChange();
    return MoveFileA(from, to) != FALSE;
}

bool pathExists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Where the volume cannot be flushed as a whole (a network drive), each placed file is. A
// read-only file refuses to open for writing, so the attribute is off for the open only.
bool flushPlaced(const char *target)
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

// The elevated updater may open the volume; flushing it once is far cheaper than a flush per file.
// The volume is the one that holds the root's folder (a folder mounted from another volume, or
// reached through a junction, is flushed there), and only a local disk's: elsewhere each placed
// file is flushed.
HANDLE openVolume(const char *root)
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

//--- one updater at a time on an installation

// Named after the root in one case, so that two updaters on one installation meet whatever
// spelling each was given.
HANDLE lockInstallation(const char *root)
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

void unlockInstallation(HANDLE mutex)
{
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

// Whether root, in its one spelling, is the renderer directory's.
bool isRendererDirectory(const char *root)
{
    char *rendererDir = rendererDirectory();
    char renderer[pathBufferSize];
    bool same = rendererDir && finalRoot(rendererDir, renderer) && _stricmp(renderer, root) == 0;
    free(rendererDir);
    return same;
}

// A file index is an identity only where the file system keeps one (NTFS, ReFS); FAT and exFAT
// give the position of the directory entry, which a rename to a name of another length moves.
static bool keepsFileIds(HANDLE file)
{
    DWORD flags = 0;
    return GetVolumeInformationByHandleW(file, NULL, 0, NULL, NULL, &flags, NULL, 0) &&
           (flags & FILE_SUPPORTS_OPEN_BY_FILE_ID);
}

// Size, last-write time and identity as the file system holds them; the open asks for
// attributes only, which a program holding the file does not refuse, and never follows a link.
// With lastingIdentity, an identity a rename may change is given as zeros: not compared.
bool readPlaced(const char *path, JournalRecord *placed, bool lastingIdentity)
{
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool read = GetFileInformationByHandle(file, &info) != FALSE;
    bool identity = read && (!lastingIdentity || keepsFileIds(file));
    CloseHandle(file);
    if (!read || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    placed->size = joinHalves(info.nFileSizeHigh, info.nFileSizeLow);
    placed->written =
        joinHalves(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
    placed->volume = identity ? info.dwVolumeSerialNumber : 0;
    placed->fileIndex = identity ? joinHalves(info.nFileIndexHigh, info.nFileIndexLow) : 0;
    return true;
}

// The serial the copy records with each placed file, or 0 where its volume keeps no lasting file
// identity; read from a file in the root (a link inside the installation is never written
// through, so every placed file is on that volume).
DWORD identityVolume(HANDLE inRoot)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(inRoot, &info) && keepsFileIds(inRoot)
               ? info.dwVolumeSerialNumber
               : 0;
}

// readPlaced for a file the copy placed, through a handle with FILE_READ_ATTRIBUTES, the volume
// read once for the copy. Without a lasting identity (FAT, exFAT, Wine) nothing asks about the
// volume: under Wine each such question is a round trip to another process, several per file.
bool readPlacedOn(HANDLE file, DWORD volume, JournalRecord *placed)
{
    if (volume) {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(file, &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return false;
        placed->size = joinHalves(info.nFileSizeHigh, info.nFileSizeLow);
        placed->written =
            joinHalves(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
        placed->volume = volume;
        placed->fileIndex = joinHalves(info.nFileIndexHigh, info.nFileIndexLow);
        return true;
    }
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) ||
        standard.Directory)
        return false;
    placed->size = (uint64_t)standard.EndOfFile.QuadPart;
    placed->written = (uint64_t)basic.LastWriteTime.QuadPart;
    placed->volume = 0;
    placed->fileIndex = 0;
    return true;
}
