// Rebuilding the changed files of a delta archive from the installed version.
#pragma once
#include <stddef.h>

// The updater rebuilds files with a zstd window of at most 2^27 bytes (128 MiB): with the old
// file held beside it, a rebuild needs about 256 MiB, which a 32-bit process finds. The
// publisher ships larger files whole.
static const int deltaWindowLogMax = 27;
// The manifest lists paths and hashes only; a longer one is not read.
static const size_t deltaManifestMaxSize = 4 * 1024 * 1024;

// unpackDir holds the unpacked delta: Renderer\ (files shipped whole), delta\manifest.txt and
// delta\PATH.zst. Each patched file is rebuilt into Renderer\ from the same file of
// rendererDir, which must have the manifest's old hash; every file must end with its new hash.
// False on anything that does not match, and on abort; rebuilt counts the rebuilt files.
bool rebuildDeltaTree(const char *unpackDir, const char *rendererDir, unsigned *rebuilt);
