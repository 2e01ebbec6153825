// Rebuilding the changed files of a delta archive from the installed version, and checking that
// the installation then holds exactly the new release.
#pragma once
#include <stddef.h>

// The updater rebuilds files with a zstd window of at most 2^27 bytes (128 MiB): with the old
// file held beside it, a rebuild needs about 256 MiB, which a 32-bit process finds. The
// publisher ships larger files whole.
static const int deltaWindowLogMax = 27;
// The manifest lists paths and hashes only; a longer one is not read.
static const size_t deltaManifestMaxSize = 4 * 1024 * 1024;

// Mismatch: the installation is not the release the delta starts from (the full archive will
// do); Faulty: the delta itself cannot give the release (the full archive will do too). The
// local failures would fail a full archive the same way: they end the attempt.
enum DeltaRebuild {
    RebuildDone,
    RebuildMismatch,
    RebuildFaulty,
    RebuildAborted,
    RebuildNoMemory,
    RebuildDiskFull,
    RebuildFileHeld,
    RebuildWriteFailed,
};

struct DeltaResult {
    DeltaRebuild outcome;
    unsigned rebuilt; // files rebuilt from a patch
    unsigned whole;   // files shipped whole (added or changed)
    char path[2048];  // the file a local failure concerns
};

// The versions the manifest must name: "from" and "version" lines, as "M.m.b".
struct DeltaVersions {
    const char *from;
    const char *version;
};

// unpackDir holds the unpacked delta: Renderer\ (files shipped whole), delta\manifest.txt and
// delta\PATH.zst. The manifest lists every file of the new release: patched files are rebuilt
// into Renderer\ from the installed file (of the same or, for a renamed file, another path),
// which must have the manifest's old hash; unchanged files must be installed with their size
// and hash; directories listed are created in Renderer\; every file in Renderer\ must be
// listed and end with its new hash.
DeltaRebuild rebuildDeltaTree(const char *unpackDir, const char *rendererDir,
                              const DeltaVersions &versions, DeltaResult *result);
// The rules every path of a manifest keeps (the publisher keeps them too): relative, "/"
// between components, printable ASCII, no component empty, "." or "..", ending in a dot or a
// blank, or naming a device, and none of the characters Windows refuses in names.
bool isDeltaPathAllowed(const char *path, size_t length);
