// Downloads a signed archive: capped at its signed size and hashed while it arrives.
#include "verifieddownload.h"
#include "download.h"
#include <sodium.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

// A ring of pieces between the transfer and the hashing thread. Pieces are large so that the
// two threads meet rarely (under Wine each meeting is a round trip to the server process).
static const int pieceCount = 8;
static const size_t pieceSize = 256 * 1024;

struct ArchiveHasher {
    HANDLE freePieces;
    HANDLE filledPieces;
    HANDLE thread;
    unsigned char *pieces; // pieceCount * pieceSize
    size_t lengths[pieceCount];
    int next;                       // the piece the transfer fills
    size_t filled;                  // bytes in it so far
    bool holding;                   // the transfer has taken that piece from the free ones
    crypto_generichash_state state; // BLAKE2b: vectorised code picked at run time
    long long size;
};

// A piece of length 0 ends the hashing.
static DWORD WINAPI hashPieces(LPVOID parameter)
{
    ArchiveHasher *hasher = (ArchiveHasher *)parameter;
    for (int piece = 0;; piece = (piece + 1) % pieceCount) {
        WaitForSingleObject(hasher->filledPieces, INFINITE);
        size_t length = hasher->lengths[piece];
        if (length == 0)
            return 0;
        crypto_generichash_update(&hasher->state, hasher->pieces + piece * pieceSize, length);
        hasher->size += (long long)length;
        ReleaseSemaphore(hasher->freePieces, 1, nullptr);
    }
}

static void takePiece(ArchiveHasher *hasher)
{
    if (!hasher->holding)
        WaitForSingleObject(hasher->freePieces, INFINITE);
    hasher->holding = true;
}

static void handOverPiece(ArchiveHasher *hasher)
{
    hasher->lengths[hasher->next] = hasher->filled;
    hasher->next = (hasher->next + 1) % pieceCount;
    hasher->filled = 0;
    hasher->holding = false;
    ReleaseSemaphore(hasher->filledPieces, 1, nullptr);
}

static void receiveBytes(const void *data, size_t size, void *context)
{
    ArchiveHasher *hasher = (ArchiveHasher *)context;
    const unsigned char *bytes = (const unsigned char *)data;
    while (size > 0) {
        takePiece(hasher);
        size_t room = pieceSize - hasher->filled;
        size_t taken = size < room ? size : room;
        memcpy(hasher->pieces + hasher->next * pieceSize + hasher->filled, bytes, taken);
        hasher->filled += taken;
        bytes += taken;
        size -= taken;
        if (hasher->filled == pieceSize)
            handOverPiece(hasher);
    }
}

static void releaseHasher(ArchiveHasher *hasher)
{
    if (hasher->thread)
        CloseHandle(hasher->thread);
    if (hasher->filledPieces)
        CloseHandle(hasher->filledPieces);
    if (hasher->freePieces)
        CloseHandle(hasher->freePieces);
    free(hasher->pieces);
    free(hasher);
}

static ArchiveHasher *startHasher()
{
    // sodium_init picks the fastest BLAKE2b code for this processor.
    ArchiveHasher *hasher =
        sodium_init() >= 0 ? (ArchiveHasher *)calloc(1, sizeof *hasher) : nullptr;
    if (!hasher)
        return nullptr;
    crypto_generichash_init(&hasher->state, nullptr, 0, releaseHashBytes);
    hasher->pieces = (unsigned char *)malloc(pieceCount * pieceSize);
    hasher->freePieces = CreateSemaphoreA(nullptr, pieceCount, pieceCount, nullptr);
    hasher->filledPieces = CreateSemaphoreA(nullptr, 0, pieceCount, nullptr);
    if (hasher->pieces && hasher->freePieces && hasher->filledPieces)
        hasher->thread = CreateThread(nullptr, 0, hashPieces, hasher, 0, nullptr);
    if (!hasher->thread) {
        releaseHasher(hasher);
        return nullptr;
    }
    return hasher;
}

// Waits until everything handed over is hashed; the digest and size then describe the bytes
// the transfer wrote.
static void finishHasher(ArchiveHasher *hasher, unsigned char *digest, long long *size)
{
    if (hasher->filled > 0)
        handOverPiece(hasher);
    takePiece(hasher);
    handOverPiece(hasher); // empty: the end
    WaitForSingleObject(hasher->thread, INFINITE);
    crypto_generichash_final(&hasher->state, digest, releaseHashBytes);
    *size = hasher->size;
    releaseHasher(hasher);
}

static long long sizeOnDisk(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return -1;
    return ((long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

ArchiveOutcome downloadVerifiedArchive(const char *url, const char *path,
                                       const SignedArchive &archive)
{
    ArchiveHasher *hasher = startHasher();
    if (!hasher)
        return ArchiveFailed;
    DownloadLimits limits = downloadLimits;
    limits.maxBytes = archive.size > 0 ? archive.size : 1;
    DownloadSink sink = {receiveBytes, hasher};
    bool tooLarge = false;
    bool fetched = downloadToFileWithin(url, path, &limits, &tooLarge, &sink);
    unsigned char digest[sizeof archive.hash];
    long long hashedSize = 0;
    finishHasher(hasher, digest, &hashedSize);
    if (!fetched)
        return tooLarge ? ArchiveNotVerified : ArchiveFailed;
    bool matches = hashedSize == archive.size && sizeOnDisk(path) == archive.size &&
                   sodium_memcmp(digest, archive.hash, sizeof digest) == 0;
    return matches ? ArchiveFetched : ArchiveNotVerified;
}
