// Signed releases: the publisher's statement about an update archive (channel, version, file
// name, size and BLAKE2b-256 hash), checked with the release key built into the updater.
#pragma once
#include "session.h"
#include <stddef.h>

// What the publisher vouches for: the archive's size and hash (BLAKE2b, 32 bytes, unkeyed).
static const size_t releaseHashBytes = 32;
struct SignedArchive {
    long long size;
    unsigned char hash[releaseHashBytes];
};

// The signature file is at most this long; a longer one is not read.
static const size_t signatureFileMaxSize = 1024;

// True when this build was given a release key and so accepts only signed archives.
bool releaseSigningRequired();
// Checks the signature file's text with the built-in key, and that its statement is about
// this channel ("release" or "beta"), version and archive file name; fills archive.
bool readSignedStatement(const char *text, size_t length, const char *channel,
                         const RendererVersion &version, const char *fileName,
                         SignedArchive *archive);
// The same for a delta archive, whose statement also names the version it starts from and the
// full archive it reproduces (its size and hash, filled into full).
bool readSignedDeltaStatement(const char *text, size_t length, const char *channel,
                              const RendererVersion &from, const RendererVersion &version,
                              const char *fileName, SignedArchive *archive, SignedArchive *full);

// The publisher's signed announcement beside a channel's version file: the newest version, the
// full archive that holds it, when it was issued and when it expires (seconds since 1970, UTC).
struct ReleaseAnnouncement {
    RendererVersion version;
    SignedArchive archive;
    long long issued;
    long long expires;
};
// Checks the announcement's text with the built-in key and that it is about this channel.
bool readSignedAnnouncement(const char *text, size_t length, const char *channel,
                            ReleaseAnnouncement *announcement);

// The pieces every signed statement is read with. The length of the statement before its
// valid signature line, or 0 when the text is not signed by the built-in key.
size_t signedStatementLength(const char *text, size_t length);
// The statement's tail from just after "size " to its end: the size and the hash lines.
bool readSizeAndHash(const char *text, const char *end, SignedArchive *archive);
