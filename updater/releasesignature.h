// Signed releases: the publisher's statement about an update archive (channel, version, file
// name, size and SHA-256), checked with the release key built into the updater.
#pragma once
#include "session.h"
#include <stddef.h>

// What the publisher vouches for: the archive's size and SHA-256.
struct SignedArchive {
    long long size;
    unsigned char sha256[32];
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
// The same for a delta archive, whose statement also names the version it starts from.
bool readSignedDeltaStatement(const char *text, size_t length, const char *channel,
                              const RendererVersion &from, const RendererVersion &version,
                              const char *fileName, SignedArchive *archive);
