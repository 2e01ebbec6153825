// Signed releases: reads the publisher's statement about an archive and checks its signature
// with libsodium.
#include "releasesignature.h"
#include <sodium.h>
#include <stdio.h>
#include <string.h>

#ifndef QIM_RELEASE_PUBLIC_KEY
#error "QIM_RELEASE_PUBLIC_KEY must be set by the build"
#endif

// The key is kept behind a marker so that the programs' checks can say which key a built
// QIMUpdate.exe trusts, or that it was built without one on purpose.
static const char releaseKeyMarker[] = "qim-release-key:";
#ifdef QIM_ALLOW_UNSIGNED_UPDATES
static_assert(sizeof QIM_RELEASE_PUBLIC_KEY == 1, "a build with a release key is signed");
__attribute__((used)) static const char releaseKeyRecord[] =
    "qim-release-key:none, unsigned updates allowed on purpose";
static const char *const releasePublicKey = releaseKeyRecord + sizeof releaseKeyRecord - 1;
#elif defined QIM_RELEASE_KEY_IS_DEVELOPMENT
// The local development key: whoever loses its secret can never update this program again.
static_assert(sizeof QIM_RELEASE_PUBLIC_KEY == 65, "a release key of 64 hex digits");
__attribute__((used)) static const char releaseKeyRecord[] =
    "qim-release-key:" QIM_RELEASE_PUBLIC_KEY " development key: do not distribute";
static const char *const releasePublicKey = releaseKeyRecord + sizeof releaseKeyMarker - 1;
#else
static_assert(sizeof QIM_RELEASE_PUBLIC_KEY == 65, "a release key of 64 hex digits");
__attribute__((used)) static const char releaseKeyRecord[] =
    "qim-release-key:" QIM_RELEASE_PUBLIC_KEY;
static const char *const releasePublicKey = releaseKeyRecord + sizeof releaseKeyMarker - 1;
#endif
static const char releaseStatementPurpose[] = "qim-release-statement-2";
static const char deltaStatementPurpose[] = "qim-delta-statement-3";
static const char signatureTag[] = "signature ";
static const size_t signatureHexLength = 2 * crypto_sign_BYTES;
// "signature <128 hex digits>\n" closes the file; everything before it is signed.
static const size_t signatureLineLength = sizeof signatureTag - 1 + signatureHexLength + 1;

bool releaseSigningRequired()
{
    return releasePublicKey[0] != '\0';
}

// Exactly the given number of hex digits, nothing else.
static bool decodeHex(const char *hex, size_t hexLength, unsigned char *bytes, size_t size)
{
    size_t decoded = 0;
    const char *end = nullptr;
    return hexLength == 2 * size &&
           sodium_hex2bin(bytes, size, hex, hexLength, nullptr, &decoded, &end) == 0 &&
           decoded == size && end == hex + hexLength;
}

static bool signatureIsValid(const char *text, size_t statementLength)
{
    const char *line = text + statementLength;
    unsigned char signature[crypto_sign_BYTES];
    unsigned char key[crypto_sign_PUBLICKEYBYTES];
    return sodium_init() >= 0 && memcmp(line, signatureTag, sizeof signatureTag - 1) == 0 &&
           line[signatureLineLength - 1] == '\n' &&
           decodeHex(line + sizeof signatureTag - 1, signatureHexLength, signature,
                     sizeof signature) &&
           decodeHex(releasePublicKey, 2 * sizeof key, key, sizeof key) &&
           crypto_sign_verify_detached(signature, (const unsigned char *)text, statementLength,
                                       key) == 0;
}

size_t signedStatementLength(const char *text, size_t length)
{
    if (!releaseSigningRequired() || !text || length <= signatureLineLength ||
        length > signatureFileMaxSize)
        return 0;
    size_t statementLength = length - signatureLineLength;
    return signatureIsValid(text, statementLength) ? statementLength : 0;
}

// "<decimal>\nblake2b-256 <64 hex digits>\n" (after "size "), ending exactly at end.
bool readSizeAndHash(const char *text, const char *end, SignedArchive *archive)
{
    const char *digit = text;
    long long size = 0;
    while (digit < end && *digit >= '0' && *digit <= '9' && digit - text < 15)
        size = size * 10 + (*digit++ - '0');
    static const char hashTag[] = "\nblake2b-256 ";
    const size_t hashTagLength = sizeof hashTag - 1;
    const size_t hashHexLength = 2 * sizeof archive->hash;
    if (digit == text || (size_t)(end - digit) != hashTagLength + hashHexLength + 1 ||
        memcmp(digit, hashTag, hashTagLength) != 0 || end[-1] != '\n' ||
        !decodeHex(digit + hashTagLength, hashHexLength, archive->hash, sizeof archive->hash))
        return false;
    archive->size = size;
    return true;
}

// The lines before "size": purpose, channel, for a delta the version it starts from, version
// and file name; false when they do not fit.
static bool formatStatementHead(char *head, size_t size, int *length, const char *channel,
                                const RendererVersion *from, const RendererVersion &version,
                                const char *fileName)
{
    char fromLine[48] = "";
    if (from)
        snprintf(fromLine, sizeof fromLine, "from %d.%d.%d\n", from->major, from->minor,
                 from->build);
    *length = snprintf(head, size, "%s\nchannel %s\n%sversion %d.%d.%d\nfile %s\n%s",
                       from ? deltaStatementPurpose : releaseStatementPurpose, channel, fromLine,
                       version.major, version.minor, version.build, fileName, from ? "" : "size ");
    return *length >= 0 && (size_t)*length < size;
}

// A delta's binding to the full archive it reproduces, after its file line:
// "full-size <decimal>\nfull-blake2b-256 <64 hex digits>\nsize "; next is just after it.
static bool readFullArchiveLines(const char *text, const char *end, SignedArchive *full,
                                 const char **next)
{
    static const char sizeTag[] = "full-size ";
    static const char hashTag[] = "full-blake2b-256 ";
    static const char tail[] = "\nsize ";
    const size_t hashHexLength = 2 * sizeof full->hash;
    const char *at = text + sizeof sizeTag - 1;
    if (end - text < (ptrdiff_t)(sizeof sizeTag - 1) || memcmp(text, sizeTag, sizeof sizeTag - 1))
        return false;
    long long size = 0;
    const char *digits = at;
    while (at < end && *at >= '0' && *at <= '9' && at - digits < 15)
        size = size * 10 + (*at++ - '0');
    if (at == digits ||
        end - at < (ptrdiff_t)(1 + sizeof hashTag - 1 + hashHexLength + sizeof tail - 1) ||
        *at++ != '\n' || memcmp(at, hashTag, sizeof hashTag - 1) != 0)
        return false;
    at += sizeof hashTag - 1;
    if (!decodeHex(at, hashHexLength, full->hash, sizeof full->hash) ||
        memcmp(at + hashHexLength, tail, sizeof tail - 1) != 0)
        return false;
    full->size = size;
    *next = at + hashHexLength + sizeof tail - 1;
    return true;
}

static bool readStatement(const char *text, size_t length, const char *channel,
                          const RendererVersion *from, const RendererVersion &version,
                          const char *fileName, SignedArchive *archive, SignedArchive *full)
{
    size_t statementLength = signedStatementLength(text, length);
    if (statementLength == 0)
        return false;
    // Only text the key vouches for is read from here on.
    char expected[signatureFileMaxSize];
    int expectedLength = 0;
    if (!formatStatementHead(expected, sizeof expected, &expectedLength, channel, from, version,
                             fileName) ||
        (size_t)expectedLength >= statementLength || memcmp(text, expected, expectedLength) != 0)
        return false;
    const char *rest = text + expectedLength;
    if (full && !readFullArchiveLines(rest, text + statementLength, full, &rest))
        return false;
    return readSizeAndHash(rest, text + statementLength, archive);
}

bool readSignedStatement(const char *text, size_t length, const char *channel,
                         const RendererVersion &version, const char *fileName,
                         SignedArchive *archive)
{
    return readStatement(text, length, channel, nullptr, version, fileName, archive, nullptr);
}

bool readSignedDeltaStatement(const char *text, size_t length, const char *channel,
                              const RendererVersion &from, const RendererVersion &version,
                              const char *fileName, SignedArchive *archive, SignedArchive *full)
{
    return readStatement(text, length, channel, &from, version, fileName, archive, full);
}

//--- the signed announcement of a channel's newest release

static const char announcementPurpose[] = "qim-release-announcement-1";

// A cursor over signed text: each reader takes exactly what it names, or fails.
struct TextCursor {
    const char *at;
    const char *end;
};

static bool takeLiteral(TextCursor *cursor, const char *literal)
{
    size_t length = strlen(literal);
    if ((size_t)(cursor->end - cursor->at) < length || memcmp(cursor->at, literal, length) != 0)
        return false;
    cursor->at += length;
    return true;
}

// Decimal without leading zeros, at most maxDigits digits.
static bool takeDecimal(TextCursor *cursor, int maxDigits, long long *value)
{
    const char *start = cursor->at;
    long long number = 0;
    while (cursor->at < cursor->end && *cursor->at >= '0' && *cursor->at <= '9' &&
           cursor->at - start < maxDigits)
        number = number * 10 + (*cursor->at++ - '0');
    bool digits = cursor->at > start && !(cursor->at - start > 1 && *start == '0');
    *value = number;
    return digits && (cursor->at == cursor->end || *cursor->at < '0' || *cursor->at > '9');
}

static bool takeVersionPart(TextCursor *cursor, int32_t *part)
{
    long long value = 0;
    if (!takeDecimal(cursor, 3, &value) || value > 255)
        return false;
    *part = (int32_t)value;
    return true;
}

static bool takeVersion(TextCursor *cursor, RendererVersion *version)
{
    return takeVersionPart(cursor, &version->major) && takeLiteral(cursor, ".") &&
           takeVersionPart(cursor, &version->minor) && takeLiteral(cursor, ".") &&
           takeVersionPart(cursor, &version->build);
}

static bool takeHash(TextCursor *cursor, unsigned char *hash, size_t size)
{
    if ((size_t)(cursor->end - cursor->at) < 2 * size ||
        !decodeHex(cursor->at, 2 * size, hash, size))
        return false;
    cursor->at += 2 * size;
    return true;
}

// Everything after the purpose and channel lines: the version, the full archive it names and
// the two times, in seconds since 1970 (UTC).
static bool takeAnnouncementBody(TextCursor *cursor, ReleaseAnnouncement *announcement)
{
    RendererVersion &version = announcement->version;
    char fileLine[64];
    if (!takeLiteral(cursor, "version ") || !takeVersion(cursor, &version) ||
        !takeLiteral(cursor, "\n"))
        return false;
    snprintf(fileLine, sizeof fileLine, "file Renderer_%d.%d.%d.zip\nsize ", version.major,
             version.minor, version.build);
    long long size = 0;
    SignedArchive &archive = announcement->archive;
    if (!takeLiteral(cursor, fileLine) || !takeDecimal(cursor, 15, &size) ||
        !takeLiteral(cursor, "\nblake2b-256 ") ||
        !takeHash(cursor, archive.hash, sizeof archive.hash))
        return false;
    archive.size = size;
    return takeLiteral(cursor, "\nissued ") && takeDecimal(cursor, 15, &announcement->issued) &&
           takeLiteral(cursor, "\nexpires ") && takeDecimal(cursor, 15, &announcement->expires) &&
           takeLiteral(cursor, "\n") && cursor->at == cursor->end;
}

bool readSignedAnnouncement(const char *text, size_t length, const char *channel,
                            ReleaseAnnouncement *announcement)
{
    size_t statementLength = signedStatementLength(text, length);
    if (statementLength == 0)
        return false;
    // Only text the key vouches for is read from here on.
    TextCursor cursor = {text, text + statementLength};
    return takeLiteral(&cursor, announcementPurpose) && takeLiteral(&cursor, "\nchannel ") &&
           takeLiteral(&cursor, channel) && takeLiteral(&cursor, "\n") &&
           takeAnnouncementBody(&cursor, announcement);
}
