// The safety net of the copy over an installation: what the copy replaces is kept beside it and
// what it creates is listed in a journal, so that a copy that does not succeed as a whole, or an
// updater killed halfway, leaves the previous installation as it was.
#pragma once
#include <stdint.h>

enum JournalOutcome {
    JournalAbsent,     // no journal: nothing was left to settle
    JournalSettled,    // only kept files of successful copies were left; removed or scheduled
    JournalRestored,   // an unfinished copy was undone completely
    JournalIncomplete, // an unfinished copy could not be undone completely; tried again later
};

// copyTree with the safety net; the journal lives in journalDir. On failure the installation is
// put back and *outcome tells whether that was complete. temporaries (ending with a null) name
// the update's temporary files, which a later start removes if this updater is killed.
bool copyTreeKeepingOld(const char *journalDir, const char *const *temporaries,
                        const char *destination, const char *source, uint32_t *bytesCopied,
                        uint32_t *totalBytes, uint32_t *filesCopied, uint32_t *fileCount,
                        JournalOutcome *outcome);
// Finishes what a journal left in journalDir describes: undoes an unfinished copy, removes the
// kept files of finished ones, and removes the journal once nothing is left to do. With an
// unfinished copy it also removes the temporary files of that update, which nobody else owns
// any more.
JournalOutcome settleCopyJournal(const char *journalDir);
// At start-up, before anything else uses the installation: settles the renderer directory's
// journal and says on the status line when an interrupted update was undone.
void recoverInterruptedCopy();

//--- used by copyTree while a journal is open
bool copyJournalOpen();
// Records what the copy may do to target (a directory or a file of the source); written to disk
// by flushJournal before the first change of the directory level.
bool announceChange(const char *target, bool isDirectory);
bool flushJournal();
// Puts the new file in place, the old one (if any) renamed aside first.
bool placeFile(const char *target, const char *from);
// After Ignore: the old file goes back in place if it had been renamed aside already.
void restoreKeptFile(const char *target);
