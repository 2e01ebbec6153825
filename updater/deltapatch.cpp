#include "deltapatch.h"
#include "session.h"
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zstd.h>

enum { pathSize = 2048, hashSize = crypto_generichash_BYTES, blockSize = 256 * 1024 };

static const char manifestFormat[] = "qim-delta-manifest-1";

struct DeltaEntry {
    char how[8]; // add, whole or patch
    unsigned char oldHash[hashSize];
    unsigned char newHash[hashSize];
    char path[pathSize]; // below Renderer, with backslashes
};

static bool fits(int length, size_t size)
{
    return length >= 0 && (size_t)length < size;
}

static bool readWholeFile(const char *path, size_t limit, unsigned char **data, size_t *size)
{
    FILE *file = nullptr;
    if (fopen_s(&file, path, "rb") != 0 || !file)
        return false;
    bool read = false;
    long long length = _fseeki64(file, 0, SEEK_END) == 0 ? _ftelli64(file) : -1;
    *data = length >= 0 && (unsigned long long)length < limit
                ? (unsigned char *)malloc((size_t)length + 1)
                : nullptr;
    if (*data && _fseeki64(file, 0, SEEK_SET) == 0) {
        *size = fread(*data, 1, (size_t)length, file);
        read = *size == (size_t)length && ferror(file) == 0;
        (*data)[*size] = 0;
    }
    fclose(file);
    if (!read) {
        free(*data);
        *data = nullptr;
    }
    return read;
}

static bool hashFile(const char *path, unsigned char *hash)
{
    FILE *file = nullptr;
    if (fopen_s(&file, path, "rb") != 0 || !file)
        return false;
    unsigned char *block = (unsigned char *)malloc(blockSize);
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, hashSize);
    size_t got = 0;
    while (block && (got = fread(block, 1, blockSize, file)) > 0)
        crypto_generichash_update(&state, block, got);
    bool read = block && ferror(file) == 0;
    fclose(file);
    free(block);
    crypto_generichash_final(&state, hash, hashSize);
    return read;
}

static bool decodeHash(const char *hex, size_t length, unsigned char *hash)
{
    size_t decoded = 0;
    const char *end = nullptr;
    return length == 2 * hashSize &&
           sodium_hex2bin(hash, hashSize, hex, length, nullptr, &decoded, &end) == 0 &&
           decoded == hashSize && end == hex + length;
}

// A relative path that stays below Renderer: no drive, no root, no "." or ".." component.
static bool takePath(const char *text, size_t length, char *path)
{
    if (length == 0 || length >= pathSize || text[0] == '/' || memchr(text, ':', length) ||
        memchr(text, '\\', length))
        return false;
    memcpy(path, text, length);
    path[length] = 0;
    for (char *part = path; part;) {
        char *slash = strchr(part, '/');
        size_t partLength = slash ? (size_t)(slash - part) : strlen(part);
        if (partLength == 0 || strncmp(part, ".", partLength) == 0 ||
            strncmp(part, "..", partLength) == 0)
            return false;
        if (slash)
            *slash = '\\';
        part = slash ? slash + 1 : nullptr;
    }
    return true;
}

// "HOW OLD NEW PATH": OLD is "-" for an added file.
static bool parseEntry(const char *line, size_t length, DeltaEntry *entry)
{
    const char *end = line + length;
    const char *field[3];
    const char *at = line;
    for (int i = 0; i < 3; i++) {
        field[i] = at;
        at = (const char *)memchr(at, ' ', end - at);
        if (!at)
            return false;
        at++;
    }
    size_t howLength = field[1] - field[0] - 1;
    if (howLength >= sizeof entry->how)
        return false;
    memcpy(entry->how, field[0], howLength);
    entry->how[howLength] = 0;
    bool added = strcmp(entry->how, "add") == 0;
    bool known = added || strcmp(entry->how, "whole") == 0 || strcmp(entry->how, "patch") == 0;
    size_t oldLength = field[2] - field[1] - 1;
    bool oldRead = added ? oldLength == 1 && field[1][0] == '-'
                         : decodeHash(field[1], oldLength, entry->oldHash);
    return known && oldRead && decodeHash(field[2], at - field[2] - 1, entry->newHash) &&
           takePath(at, end - at, entry->path);
}

static void showProgress(unsigned done, unsigned total)
{
    char status[96];
    snprintf(status, sizeof status, "Rebuilding changed files: %u of %u...", done, total);
    SetWindowTextA(session.statusLabel, status);
}

// Streams the patch through the decompressor with the old file as its prefix, into newPath.
static bool applyPatch(const unsigned char *old, size_t oldSize, FILE *patch, FILE *rebuilt)
{
    ZSTD_DCtx *context = ZSTD_createDCtx();
    size_t inSize = ZSTD_DStreamInSize(), outSize = ZSTD_DStreamOutSize();
    unsigned char *in = (unsigned char *)malloc(inSize);
    unsigned char *out = (unsigned char *)malloc(outSize);
    bool ok =
        context && in && out &&
        !ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, deltaWindowLogMax)) &&
        !ZSTD_isError(ZSTD_DCtx_refPrefix(context, old, oldSize));
    size_t remaining = 1, got = 0;
    while (ok && !session.abortDownload && (got = fread(in, 1, inSize, patch)) > 0) {
        ZSTD_inBuffer input = {in, got, 0};
        while (ok && input.pos < input.size) {
            ZSTD_outBuffer output = {out, outSize, 0};
            remaining = ZSTD_decompressStream(context, &output, &input);
            ok = !ZSTD_isError(remaining) && fwrite(out, 1, output.pos, rebuilt) == output.pos;
        }
    }
    // A whole frame and nothing after it: remaining is 0 exactly at the frame's end.
    ok = ok && !session.abortDownload && ferror(patch) == 0 && remaining == 0;
    ZSTD_freeDCtx(context);
    free(in);
    free(out);
    return ok;
}

static bool rebuildFile(const char *oldPath, const char *patchPath, const char *newPath,
                        const DeltaEntry &entry)
{
    unsigned char *old = nullptr;
    size_t oldSize = 0;
    unsigned char hash[hashSize];
    if (!readWholeFile(oldPath, (size_t)1 << deltaWindowLogMax, &old, &oldSize))
        return false;
    crypto_generichash(hash, hashSize, old, oldSize, nullptr, 0);
    bool ok = sodium_memcmp(hash, entry.oldHash, hashSize) == 0;
    FILE *patch = nullptr, *rebuilt = nullptr;
    if (ok && fopen_s(&patch, patchPath, "rb") == 0 && patch &&
        fopen_s(&rebuilt, newPath, "wb") == 0 && rebuilt)
        ok = applyPatch(old, oldSize, patch, rebuilt);
    else
        ok = false;
    if (patch)
        fclose(patch);
    if (rebuilt && fclose(rebuilt) != 0)
        ok = false;
    free(old);
    if (ok)
        DeleteFileA(patchPath);
    return ok;
}

// A patched file is rebuilt (its folder may not exist in the unpacked tree yet); every file
// must end with its new hash.
static bool takeEntry(const char *unpackDir, const char *rendererDir, const DeltaEntry &entry)
{
    char newPath[pathSize], oldPath[pathSize], patchPath[pathSize];
    if (!fits(snprintf(newPath, sizeof newPath, "%s\\Renderer\\%s", unpackDir, entry.path),
              sizeof newPath))
        return false;
    if (strcmp(entry.how, "patch") == 0) {
        if (!fits(snprintf(oldPath, sizeof oldPath, "%s\\%s", rendererDir, entry.path),
                  sizeof oldPath) ||
            !fits(snprintf(patchPath, sizeof patchPath, "%s\\delta\\%s.zst", unpackDir, entry.path),
                  sizeof patchPath))
            return false;
        for (char *slash = strchr(newPath + strlen(unpackDir) + 1, '\\'); slash;
             slash = strchr(slash + 1, '\\')) {
            *slash = 0;
            CreateDirectoryA(newPath, nullptr);
            *slash = '\\';
        }
        if (!rebuildFile(oldPath, patchPath, newPath, entry))
            return false;
    }
    unsigned char hash[hashSize];
    return hashFile(newPath, hash) && sodium_memcmp(hash, entry.newHash, hashSize) == 0;
}

static unsigned countPatches(const char *text)
{
    unsigned count = 0;
    for (const char *line = strstr(text, "\npatch "); line; line = strstr(line + 1, "\npatch "))
        count++;
    return count;
}

static bool takeEntries(const char *text, const char *unpackDir, const char *rendererDir,
                        unsigned *done)
{
    unsigned total = countPatches(text);
    *done = 0;
    DeltaEntry *entry = (DeltaEntry *)malloc(sizeof *entry);
    bool ok = entry != nullptr;
    const char *line = strchr(text, '\n');
    while (ok && line && line[1]) {
        line++;
        const char *end = strchr(line, '\n');
        size_t length = end ? (size_t)(end - line) : strlen(line);
        bool header = strncmp(line, "from ", 5) == 0 || strncmp(line, "version ", 8) == 0;
        if (!header) {
            ok = parseEntry(line, length, entry) && !session.abortDownload;
            if (ok && strcmp(entry->how, "patch") == 0)
                showProgress(++*done, total);
            ok = ok && takeEntry(unpackDir, rendererDir, *entry);
        }
        line = end;
    }
    free(entry);
    return ok;
}

bool rebuildDeltaTree(const char *unpackDir, const char *rendererDir, unsigned *rebuilt)
{
    char path[pathSize];
    unsigned char *text = nullptr;
    size_t size = 0;
    if (!fits(snprintf(path, sizeof path, "%s\\delta\\manifest.txt", unpackDir), sizeof path) ||
        !readWholeFile(path, deltaManifestMaxSize, &text, &size))
        return false;
    bool ok = sodium_init() >= 0 && size > sizeof manifestFormat &&
              memcmp(text, manifestFormat, sizeof manifestFormat - 1) == 0 &&
              text[sizeof manifestFormat - 1] == '\n' && strlen((char *)text) == size &&
              takeEntries((const char *)text, unpackDir, rendererDir, rebuilt);
    free(text);
    return ok;
}
