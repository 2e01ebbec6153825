// Rebuilding a delta's changed files from the installation, and the checks that the result is
// exactly the new release.
#include "deltapatch.h"
#include "session.h"
#include "treeops.h"
#include <ctype.h>
#include <errno.h>
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zstd.h>
#include <zstd_errors.h>

enum { pathSize = 2048, hashSize = crypto_generichash_BYTES };

static const char manifestFormat[] = "qim-delta-manifest-2";

enum EntryKind { EntryAdd, EntryWhole, EntryPatch, EntrySame, EntryDirectory };

struct DeltaEntry {
    EntryKind kind;
    unsigned char oldHash[hashSize];
    unsigned char newHash[hashSize];
    long long size;        // of the new file
    char path[pathSize];   // below Renderer, with backslashes
    char source[pathSize]; // the installed file a patch applies to (path, unless renamed)
};

static bool fits(int length, size_t size)
{
    return length >= 0 && (size_t)length < size;
}

static void noteFile(DeltaResult *result, const char *path)
{
    snprintf(result->path, sizeof result->path, "%s", path);
}

// What a failed run-time call on an installed or a rebuilt file means; errno is read at once.
static DeltaRebuild localFailure(int error, DeltaRebuild otherwise)
{
    if (error == ENOMEM)
        return RebuildNoMemory;
    if (error == ENOSPC)
        return RebuildDiskFull;
    if (error == EACCES)
        return RebuildFileHeld;
    return otherwise;
}

// The whole file with a zero byte after it; files of limit bytes or more are not read.
static DeltaRebuild readWholeFile(const char *path, size_t limit, unsigned char **data,
                                  size_t *size)
{
    *data = nullptr;
    FILE *file = nullptr;
    if (fopen_s(&file, path, "rb") != 0 || !file)
        return localFailure(errno, RebuildMismatch);
    DeltaRebuild outcome = RebuildMismatch;
    long long length = _fseeki64(file, 0, SEEK_END) == 0 ? _ftelli64(file) : -1;
    if (length >= 0 && (unsigned long long)length < limit) {
        *data = (unsigned char *)malloc((size_t)length + 1);
        outcome = *data ? RebuildDone : RebuildNoMemory;
    }
    if (outcome == RebuildDone) {
        *size = _fseeki64(file, 0, SEEK_SET) == 0 ? fread(*data, 1, (size_t)length, file) : 0;
        outcome = *size == (size_t)length && ferror(file) == 0
                      ? RebuildDone
                      : localFailure(errno, RebuildMismatch);
        (*data)[*size] = 0;
    }
    fclose(file);
    if (outcome != RebuildDone) {
        free(*data);
        *data = nullptr;
    }
    return outcome;
}

// An installed file seen through a read-only mapping: under Wine far cheaper than reading it,
// and nobody may write to it while it is held (it is shared for reading only), so the bytes
// hashed are the bytes a patch is applied to.
struct MappedFile {
    HANDLE file;
    HANDLE mapping;
    const unsigned char *data;
    size_t size;
};

static DeltaRebuild openFailure(DWORD error)
{
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return RebuildMismatch;
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
        error == ERROR_ACCESS_DENIED)
        return RebuildFileHeld;
    if (error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
        error == ERROR_COMMITMENT_LIMIT)
        return RebuildNoMemory;
    return RebuildMismatch;
}

static void closeMapped(MappedFile *mapped)
{
    if (mapped->data)
        UnmapViewOfFile(mapped->data);
    if (mapped->mapping)
        CloseHandle(mapped->mapping);
    if (mapped->file != INVALID_HANDLE_VALUE)
        CloseHandle(mapped->file);
}

// Files of limit bytes or more are not mapped (a mismatch: no patch is made for them).
static DeltaRebuild openMapped(const char *path, unsigned long long limit, MappedFile *mapped)
{
    *mapped = MappedFile{INVALID_HANDLE_VALUE, nullptr, nullptr, 0};
    mapped->file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mapped->file == INVALID_HANDLE_VALUE)
        return openFailure(GetLastError());
    LARGE_INTEGER size;
    DeltaRebuild outcome = RebuildDone;
    if (!GetFileSizeEx(mapped->file, &size) || (unsigned long long)size.QuadPart >= limit)
        outcome = RebuildMismatch;
    else if (size.QuadPart == 0)
        mapped->data = nullptr; // an empty file cannot be mapped: no bytes at all
    else if (!(mapped->mapping =
                   CreateFileMappingA(mapped->file, nullptr, PAGE_READONLY, 0, 0, nullptr)) ||
             !(mapped->data =
                   (const unsigned char *)MapViewOfFile(mapped->mapping, FILE_MAP_READ, 0, 0, 0)))
        outcome = openFailure(GetLastError());
    mapped->size = outcome == RebuildDone ? (size_t)size.QuadPart : 0;
    if (outcome != RebuildDone)
        closeMapped(mapped);
    return outcome;
}

// Views of at most this many bytes: a 32-bit process may find no single range for a large file.
static const DWORD hashViewSize = 64u << 20;

static bool hashViews(HANDLE mapping, unsigned long long size, crypto_generichash_state *state)
{
    for (unsigned long long at = 0; at < size; at += hashViewSize) {
        SIZE_T length = (SIZE_T)(size - at < hashViewSize ? size - at : hashViewSize);
        const unsigned char *view = (const unsigned char *)MapViewOfFile(
            mapping, FILE_MAP_READ, (DWORD)(at >> 32), (DWORD)at, length);
        if (!view)
            return false;
        crypto_generichash_update(state, view, length);
        UnmapViewOfFile(view);
    }
    return true;
}

// A file of any size hashed through bounded views. Not opening it is a mismatch or a local
// failure; a mapping that fails is a mismatch too, so that the full archive is taken.
static DeltaRebuild hashFile(const char *path, unsigned char *hash)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return openFailure(GetLastError());
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, hashSize);
    LARGE_INTEGER size;
    HANDLE mapping = nullptr;
    DeltaRebuild outcome = GetFileSizeEx(file, &size) ? RebuildDone : RebuildMismatch;
    if (outcome == RebuildDone && size.QuadPart > 0 &&
        (!(mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr)) ||
         !hashViews(mapping, (unsigned long long)size.QuadPart, &state)))
        outcome = RebuildMismatch;
    if (mapping)
        CloseHandle(mapping);
    CloseHandle(file);
    crypto_generichash_final(&state, hash, hashSize);
    return outcome;
}

static bool decodeHash(const char *hex, size_t length, unsigned char *hash)
{
    size_t decoded = 0;
    const char *end = nullptr;
    return length == 2 * hashSize &&
           sodium_hex2bin(hash, hashSize, hex, length, nullptr, &decoded, &end) == 0 &&
           decoded == hashSize && end == hex + length;
}

static bool isDeviceName(const char *part, size_t length)
{
    static const char *const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    size_t stem = 0;
    while (stem < length && part[stem] != '.')
        stem++;
    for (const char *device : devices)
        if (stem == strlen(device) && _strnicmp(part, device, stem) == 0)
            return true;
    return stem == 4 && (_strnicmp(part, "COM", 3) == 0 || _strnicmp(part, "LPT", 3) == 0) &&
           part[3] >= '0' && part[3] <= '9';
}

static bool isComponentAllowed(const char *part, size_t length)
{
    if (length == 0 || part[length - 1] == '.' || part[length - 1] == ' ' ||
        isDeviceName(part, length))
        return false;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)part[i];
        if (c < 0x20 || c > 0x7e || strchr("<>:\"\\|?*", c))
            return false;
    }
    return true;
}

bool isDeltaPathAllowed(const char *path, size_t length)
{
    if (length == 0 || length >= pathSize)
        return false;
    const char *end = path + length;
    for (const char *part = path; part <= end;) {
        const char *slash = (const char *)memchr(part, '/', end - part);
        size_t partLength = slash ? (size_t)(slash - part) : (size_t)(end - part);
        if (!isComponentAllowed(part, partLength))
            return false;
        part += partLength + 1;
    }
    return true;
}

static bool takePath(const char *text, size_t length, char *path)
{
    if (!isDeltaPathAllowed(text, length))
        return false;
    memcpy(path, text, length);
    path[length] = 0;
    for (char *slash = strchr(path, '/'); slash; slash = strchr(slash + 1, '/'))
        *slash = '\\';
    return true;
}

static bool readKind(const char *text, size_t length, EntryKind *kind)
{
    static const char *const names[] = {"add", "whole", "patch", "same", "dir"};
    for (int i = 0; i < 5; i++)
        if (length == strlen(names[i]) && memcmp(text, names[i], length) == 0) {
            *kind = (EntryKind)i;
            return true;
        }
    return false;
}

static bool readSize(const char *text, size_t length, long long *size)
{
    *size = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9' || i >= 15)
            return false;
        *size = *size * 10 + (text[i] - '0');
    }
    return length > 0;
}

// The fixed fields of an entry: which of them a kind carries ("-" for the others).
static bool readFields(const char *const *field, const size_t *length, DeltaEntry *entry)
{
    bool hasOld = entry->kind == EntryWhole || entry->kind == EntryPatch;
    bool hasNew = entry->kind != EntryDirectory;
    bool dash1 = length[1] == 1 && field[1][0] == '-';
    bool dash2 = length[2] == 1 && field[2][0] == '-';
    bool dash3 = length[3] == 1 && field[3][0] == '-';
    return (hasOld ? decodeHash(field[1], length[1], entry->oldHash) : dash1) &&
           (hasNew ? decodeHash(field[2], length[2], entry->newHash) &&
                         readSize(field[3], length[3], &entry->size)
                   : dash2 && dash3);
}

// "KIND OLD NEW SIZE PATH", and for a patch of a renamed file "\tOLDPATH" after it.
static bool parseEntry(const char *line, size_t length, DeltaEntry *entry)
{
    const char *end = line + length;
    const char *field[4];
    size_t fieldLength[4];
    const char *at = line;
    for (int i = 0; i < 4; i++) {
        const char *blank = (const char *)memchr(at, ' ', end - at);
        if (!blank)
            return false;
        field[i] = at;
        fieldLength[i] = blank - at;
        at = blank + 1;
    }
    if (!readKind(field[0], fieldLength[0], &entry->kind) || !readFields(field, fieldLength, entry))
        return false;
    const char *tab = (const char *)memchr(at, '\t', end - at);
    if (tab && entry->kind != EntryPatch)
        return false;
    const char *pathEnd = tab ? tab : end;
    return takePath(at, pathEnd - at, entry->path) &&
           takePath(tab ? tab + 1 : at, tab ? end - tab - 1 : pathEnd - at, entry->source);
}

static void showProgress(unsigned done, unsigned total)
{
    char status[96];
    snprintf(status, sizeof status, "Rebuilding changed files: %u of %u...", done, total);
    SetWindowTextA(session.statusLabel, status);
}

static DeltaRebuild decoderFailure(size_t code)
{
    return ZSTD_getErrorCode(code) == ZSTD_error_memory_allocation ? RebuildNoMemory
                                                                   : RebuildFaulty;
}

// Streams the patch through the decompressor with the old file as its prefix; what is written
// is hashed on the way, so the rebuilt file is not read again. Nothing beyond the listed size
// is written: a faulty frame cannot fill the disk.
static DeltaRebuild applyPatch(const unsigned char *old, size_t oldSize, FILE *patch, FILE *rebuilt,
                               long long listedSize, crypto_generichash_state *written)
{
    ZSTD_DCtx *context = ZSTD_createDCtx();
    size_t inSize = ZSTD_DStreamInSize(), outSize = ZSTD_DStreamOutSize();
    unsigned char *in = (unsigned char *)malloc(inSize);
    unsigned char *out = (unsigned char *)malloc(outSize);
    DeltaRebuild outcome = context && in && out ? RebuildDone : RebuildNoMemory;
    size_t code = 0;
    if (outcome == RebuildDone &&
        (ZSTD_isError(
             code = ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, deltaWindowLogMax)) ||
         ZSTD_isError(code = ZSTD_DCtx_refPrefix(context, old, oldSize))))
        outcome = decoderFailure(code);
    size_t remaining = 1, got = 0;
    long long room = listedSize;
    while (outcome == RebuildDone && (got = fread(in, 1, inSize, patch)) > 0) {
        ZSTD_inBuffer input = {in, got, 0};
        while (outcome == RebuildDone && input.pos < input.size) {
            ZSTD_outBuffer output = {out, outSize, 0};
            remaining = ZSTD_decompressStream(context, &output, &input);
            if (ZSTD_isError(remaining))
                outcome = decoderFailure(remaining);
            else if ((long long)output.pos > room)
                outcome = RebuildFaulty;
            else if (fwrite(out, 1, output.pos, rebuilt) != output.pos)
                outcome = localFailure(errno, RebuildWriteFailed);
            else {
                room -= (long long)output.pos;
                crypto_generichash_update(written, out, output.pos);
            }
        }
        if (session.abortDownload)
            outcome = RebuildAborted;
    }
    // A whole frame and nothing after it: remaining is 0 exactly at the frame's end.
    if (outcome == RebuildDone && (ferror(patch) != 0 || remaining != 0))
        outcome = RebuildFaulty;
    ZSTD_freeDCtx(context);
    free(in);
    free(out);
    return outcome;
}

// The installed file must be the one the patch was made against, and the rebuilt one the new.
static DeltaRebuild rebuildFile(const char *oldPath, const char *patchPath, const char *newPath,
                                const DeltaEntry &entry, DeltaResult *result)
{
    MappedFile mapped;
    unsigned char hash[hashSize];
    noteFile(result, oldPath);
    DeltaRebuild outcome = openMapped(oldPath, 1ULL << deltaWindowLogMax, &mapped);
    if (outcome != RebuildDone)
        return outcome;
    const unsigned char *old = mapped.data;
    size_t oldSize = mapped.size;
    crypto_generichash(hash, hashSize, old, oldSize, nullptr, 0);
    if (sodium_memcmp(hash, entry.oldHash, hashSize) != 0)
        outcome = RebuildMismatch;
    FILE *patch = nullptr, *rebuilt = nullptr;
    if (outcome == RebuildDone && (fopen_s(&patch, patchPath, "rb") != 0 || !patch))
        outcome = RebuildFaulty;
    noteFile(result, newPath);
    if (outcome == RebuildDone && (fopen_s(&rebuilt, newPath, "wb") != 0 || !rebuilt))
        outcome = localFailure(errno, RebuildWriteFailed);
    crypto_generichash_state written;
    crypto_generichash_init(&written, nullptr, 0, hashSize);
    if (outcome == RebuildDone)
        outcome = applyPatch(old, oldSize, patch, rebuilt, entry.size, &written);
    if (patch)
        fclose(patch);
    if (rebuilt && fclose(rebuilt) != 0 && outcome == RebuildDone)
        outcome = localFailure(errno, RebuildWriteFailed);
    crypto_generichash_final(&written, hash, hashSize);
    if (outcome == RebuildDone && sodium_memcmp(hash, entry.newHash, hashSize) != 0)
        outcome = RebuildFaulty;
    closeMapped(&mapped);
    if (outcome == RebuildDone)
        DeleteFileA(patchPath);
    return outcome;
}

static void makeParentDirectories(char *path, size_t from)
{
    for (char *slash = strchr(path + from, '\\'); slash; slash = strchr(slash + 1, '\\')) {
        *slash = 0;
        CreateDirectoryA(path, nullptr);
        *slash = '\\';
    }
}

static DeltaRebuild checkHash(const char *path, const unsigned char *expected, DeltaRebuild wrong,
                              DeltaResult *result)
{
    unsigned char hash[hashSize];
    noteFile(result, path);
    DeltaRebuild outcome = hashFile(path, hash);
    if (outcome == RebuildMismatch)
        return wrong;
    if (outcome != RebuildDone)
        return outcome;
    return sodium_memcmp(hash, expected, hashSize) == 0 ? RebuildDone : wrong;
}

static DeltaRebuild takePatch(const char *unpackDir, const char *rendererDir, char *newPath,
                              const DeltaEntry &entry, DeltaResult *result)
{
    char oldPath[pathSize], patchPath[pathSize];
    if (!fits(snprintf(oldPath, sizeof oldPath, "%s\\%s", rendererDir, entry.source),
              sizeof oldPath) ||
        !fits(snprintf(patchPath, sizeof patchPath, "%s\\delta\\%s.zst", unpackDir, entry.path),
              sizeof patchPath))
        return RebuildFaulty;
    makeParentDirectories(newPath, strlen(unpackDir) + 1);
    DeltaRebuild outcome = rebuildFile(oldPath, patchPath, newPath, entry, result);
    if (outcome == RebuildDone)
        result->rebuilt++;
    return outcome;
}

// An entry's file in the unpacked tree (or its directory) ends as the new release has it.
static DeltaRebuild takeEntry(const char *unpackDir, const char *rendererDir,
                              const DeltaEntry &entry, DeltaResult *result)
{
    char newPath[pathSize];
    if (!fits(snprintf(newPath, sizeof newPath, "%s\\Renderer\\%s", unpackDir, entry.path),
              sizeof newPath))
        return RebuildFaulty;
    if (entry.kind == EntryDirectory) {
        makeParentDirectories(newPath, strlen(unpackDir) + 1);
        noteFile(result, newPath);
        return CreateDirectoryA(newPath, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS
                   ? RebuildDone
                   : RebuildWriteFailed;
    }
    if (entry.kind == EntryPatch)
        return takePatch(unpackDir, rendererDir, newPath, entry, result);
    result->whole++;
    // The signed manifest's hash is the final word on a file shipped whole, as on a rebuilt one.
    return checkHash(newPath, entry.newHash, RebuildFaulty, result);
}

static long long installedSize(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    return ((long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

// An unchanged file: installed with the new release's size (checked for every file first, as
// that costs nothing) and then its hash.
static DeltaRebuild checkUnchanged(const char *rendererDir, const DeltaEntry &entry, bool hashToo,
                                   DeltaResult *result)
{
    char path[pathSize];
    if (!fits(snprintf(path, sizeof path, "%s\\%s", rendererDir, entry.path), sizeof path))
        return RebuildFaulty;
    noteFile(result, path);
    if (installedSize(path) != entry.size)
        return RebuildMismatch;
    return hashToo ? checkHash(path, entry.newHash, RebuildMismatch, result) : RebuildDone;
}

static unsigned countPatches(const char *text)
{
    unsigned count = 0;
    for (const char *line = strstr(text, "\npatch "); line; line = strstr(line + 1, "\npatch "))
        count++;
    return count;
}

// The three header lines, exactly.
static bool readHeader(const char *text, const DeltaVersions &versions, const char **entries)
{
    char header[128];
    int length = snprintf(header, sizeof header, "%s\nfrom %s\nversion %s\n", manifestFormat,
                          versions.from, versions.version);
    if (!fits(length, sizeof header) || strncmp(text, header, length) != 0)
        return false;
    *entries = text + length;
    return true;
}

// The manifest's paths, case-folded and sorted. The first character tells what a path is: '0'
// an unchanged file or a directory, '1' a file of the unpacked tree, '2' one found there.
struct ListedPaths {
    char **paths;
    unsigned count;
    unsigned capacity;
};

static void foldPath(const char *path, char kind, char *key, size_t size)
{
    snprintf(key, size, "%c%s", kind, path);
    for (char *c = key + 1; *c; c++)
        *c = (char)tolower((unsigned char)*c);
}

static bool addListed(ListedPaths *listed, const DeltaEntry &entry)
{
    if (listed->count == listed->capacity) {
        unsigned capacity = listed->capacity ? listed->capacity * 2 : 256;
        char **grown = (char **)realloc(listed->paths, capacity * sizeof *grown);
        if (!grown)
            return false;
        listed->paths = grown;
        listed->capacity = capacity;
    }
    size_t size = strlen(entry.path) + 2;
    char *key = (char *)malloc(size);
    if (!key)
        return false;
    bool inTree = entry.kind != EntrySame && entry.kind != EntryDirectory;
    foldPath(entry.path, inTree ? '1' : '0', key, size);
    listed->paths[listed->count++] = key;
    return true;
}

static void freeListed(ListedPaths *listed)
{
    for (unsigned i = 0; i < listed->count; i++)
        free(listed->paths[i]);
    free(listed->paths);
}

static int compareListed(const void *a, const void *b)
{
    return strcmp(*(char *const *)a + 1, *(char *const *)b + 1);
}

// Sorted, and no path twice, whatever its case or kind.
static DeltaRebuild sortListed(ListedPaths *listed)
{
    if (listed->count > 1)
        qsort(listed->paths, listed->count, sizeof *listed->paths, compareListed);
    for (unsigned i = 1; i < listed->count; i++)
        if (compareListed(&listed->paths[i - 1], &listed->paths[i]) == 0)
            return RebuildFaulty;
    return RebuildDone;
}

// A file of the unpacked tree, by its path below Renderer: listed for the tree, found once.
static bool findListedFile(ListedPaths *listed, const char *path)
{
    char key[pathSize + 1];
    const char *keyRef = key;
    foldPath(path, '?', key, sizeof key);
    char **hit =
        (char **)bsearch(&keyRef, listed->paths, listed->count, sizeof *hit, compareListed);
    if (!hit || (*hit)[0] != '1')
        return false;
    (*hit)[0] = '2';
    return true;
}

// One pass over the entries. Pass 0 checks unchanged files' sizes and gathers the paths, pass 1
// rebuilds and checks the files of the tree, pass 2 hashes unchanged files.
static DeltaRebuild walkEntries(const char *entries, int pass, const char *unpackDir,
                                const char *rendererDir, DeltaResult *result, ListedPaths *listed)
{
    DeltaEntry *entry = (DeltaEntry *)malloc(sizeof *entry);
    DeltaRebuild outcome = entry ? RebuildDone : RebuildNoMemory;
    unsigned total = countPatches(entries - 1), done = 0;
    for (const char *line = entries; outcome == RebuildDone && *line;) {
        const char *end = strchr(line, '\n');
        if (!end || !parseEntry(line, end - line, entry))
            outcome = RebuildFaulty;
        else if (session.abortDownload)
            outcome = RebuildAborted;
        else if (pass == 0 && !addListed(listed, *entry))
            outcome = RebuildNoMemory;
        else if (entry->kind == EntrySame && pass != 1)
            outcome = checkUnchanged(rendererDir, *entry, pass == 2, result);
        else if (entry->kind != EntrySame && pass == 1) {
            if (entry->kind == EntryPatch)
                showProgress(++done, total);
            outcome = takeEntry(unpackDir, rendererDir, *entry, result);
        }
        line = end ? end + 1 : line;
    }
    free(entry);
    return outcome;
}

// Every file of the unpacked tree (path ends in its directory) is one the manifest lists for it.
static DeltaRebuild walkTree(char *path, size_t rootLength, ListedPaths *listed)
{
    size_t length = strlen(path);
    WIN32_FIND_DATAA data;
    HANDLE find = INVALID_HANDLE_VALUE;
    if (fits(snprintf(path + length, pathSize - length, "\\*"), pathSize - length))
        find = FindFirstFileA(path, &data);
    path[length] = 0;
    if (find == INVALID_HANDLE_VALUE)
        return RebuildFaulty;
    DeltaRebuild outcome = RebuildDone;
    do {
        if (strcmp(data.cFileName, ".") == 0 || strcmp(data.cFileName, "..") == 0)
            continue;
        if (!fits(snprintf(path + length, pathSize - length, "\\%s", data.cFileName),
                  pathSize - length) ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            outcome = RebuildFaulty;
        else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            outcome = walkTree(path, rootLength, listed);
        else if (!findListedFile(listed, path + rootLength + 1))
            outcome = RebuildFaulty;
        path[length] = 0;
    } while (outcome == RebuildDone && FindNextFileA(find, &data));
    FindClose(find);
    return outcome;
}

// Nothing is installed that the manifest does not list: the tree holds exactly its files.
static DeltaRebuild checkNothingUnlisted(const char *unpackDir, ListedPaths *listed)
{
    char tree[pathSize];
    if (!fits(snprintf(tree, sizeof tree, "%s\\Renderer", unpackDir), sizeof tree))
        return RebuildFaulty;
    DeltaRebuild outcome = walkTree(tree, strlen(tree), listed);
    for (unsigned i = 0; outcome == RebuildDone && i < listed->count; i++)
        if (listed->paths[i][0] == '1')
            outcome = RebuildFaulty;
    return outcome;
}

DeltaRebuild rebuildDeltaTree(const char *unpackDir, const char *rendererDir,
                              const DeltaVersions &versions, DeltaResult *result)
{
    *result = DeltaResult{};
    char path[pathSize];
    unsigned char *text = nullptr;
    size_t size = 0;
    const char *entries = nullptr;
    if (!fits(snprintf(path, sizeof path, "%s\\delta\\manifest.txt", unpackDir), sizeof path))
        return result->outcome = RebuildFaulty;
    DeltaRebuild outcome = readWholeFile(path, deltaManifestMaxSize, &text, &size);
    if (outcome == RebuildMismatch)
        outcome = RebuildFaulty; // the manifest is the delta's own
    if (outcome == RebuildDone && (sodium_init() < 0 || strlen((char *)text) != size ||
                                   !readHeader((const char *)text, versions, &entries)))
        outcome = RebuildFaulty;
    ListedPaths listed = {nullptr, 0, 0};
    for (int pass = 0; pass < 3 && outcome == RebuildDone; pass++) {
        outcome = walkEntries(entries, pass, unpackDir, rendererDir, result, &listed);
        if (pass == 0 && outcome == RebuildDone)
            outcome = sortListed(&listed);
    }
    if (outcome == RebuildDone)
        outcome = checkNothingUnlisted(unpackDir, &listed);
    freeListed(&listed);
    free(text);
    return result->outcome = outcome;
}
