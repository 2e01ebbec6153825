// Downloading a signed archive: capped at the signed size and hashed while it arrives, on a
// thread of its own so that the hashing overlaps the transfer instead of following it.
#pragma once
#include "releasesignature.h"

// How an archive download ended; one that is not as signed is never kept.
enum ArchiveOutcome { ArchiveFetched, ArchiveFailed, ArchiveNotVerified };

ArchiveOutcome downloadVerifiedArchive(const char *url, const char *path,
                                       const SignedArchive &archive);
