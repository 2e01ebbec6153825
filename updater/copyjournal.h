// The safety net of the copy over an installation: what the copy replaces is kept beside it and
// what it creates is listed in a journal, so that a copy that does not succeed as a whole, or an
// updater killed halfway, leaves the previous installation as it was.
#pragma once
#include <stdint.h>

enum JournalOutcome {
    JournalAbsent,      // no journal: nothing was left to settle
    JournalSettled,     // only kept files of successful copies were left; removed or scheduled
    JournalRestored,    // an unfinished copy was undone completely
    JournalChangedLeft, // ... except files changed since, left as they are with their kept copy
    JournalIncomplete,  // an unfinished copy could not be undone completely; tried again later
    JournalUnreadable,  // the journal did not read as one; set aside untouched, nothing done
    JournalBusy,        // another updater works on this installation; its journal is left alone
};

// copyTree with the safety net; the journal lives in the destination. On failure the
// installation is put back and *outcome tells whether that was complete. temporaries (ending
// with a null) name the update's temporary files, which a later start removes if this updater
// is killed.
bool copyTreeKeepingOld(const char *const *temporaries, const char *destination, const char *source,
                        uint32_t *bytesCopied, uint32_t *totalBytes, uint32_t *filesCopied,
                        uint32_t *fileCount, JournalOutcome *outcome);
// The same in two steps, so that the result can show while the data is still going to disk:
// the first places every file and holds the installation; the second flushes what was placed
// and writes the commit mark, or undoes the copy when that fails. Until the mark is durable the
// next start brings the previous version back.
bool placeTreeKeepingOld(const char *const *temporaries, const char *destination,
                         const char *source, uint32_t *bytesCopied, uint32_t *totalBytes,
                         uint32_t *filesCopied, uint32_t *fileCount, JournalOutcome *outcome);
bool commitPlacedTree(JournalOutcome *outcome);
// After the result of a successful copy is shown: removes the files it kept. Ending the program
// meanwhile stops this at once; the next start finishes it.
void removeKeptFiles();
// The file the last copy refused before its first change because a name derived from it would
// pass MAX_PATH; NULL when none was.
const char *copyRefusedPath();
bool removingKeptFiles();
// While a copy or its undo works on the installation, which is then neither version.
bool copyChangingInstallation();
// Finishes what a journal in the installation root describes: undoes the last copy if it did
// not finish, removes the kept files of finished ones, and removes the journal once nothing is
// left to do. With an unfinished copy it also removes the temporary files of that update, which
// nobody else owns any more.
JournalOutcome settleCopyJournal(const char *root);
// The file an incomplete undo could not put back, for the status line; empty otherwise.
const char *unrestoredFile();
