// Downloading a signed archive: capped at the signed size and hashed while it arrives, on a
// thread of its own so that the hashing overlaps the transfer instead of following it.
#pragma once
#include "releasesignature.h"

// How an archive download ended; one that is not as signed is never kept. A local failure
// (of the delta's rebuild) has its own status text already.
enum ArchiveOutcome { ArchiveFetched, ArchiveFailed, ArchiveNotVerified, ArchiveLocalFailure };

ArchiveOutcome downloadVerifiedArchive(const char *url, const char *path,
                                       const SignedArchive &archive);
