// The new files written under their new names, the next one of a level prepared on a second
// thread while the copy sets the current one in place (copyahead.cpp).
#pragma once
#include "journalfile.h"
#include <windows.h>

// One new file written whole under its new name, and what placing it takes.
struct PreparedFile {
    HANDLE placed;      // the new file, for reading attributes and renaming; or invalid
    JournalRecord read; // its size, time and identity as the file system holds them
    HANDLE old; // the file it replaces, opened for exclusive writing and deleting; or invalid
};

// Copies from to fresh, a name carrying the run's token that must not exist (a leftover of this
// run's failed attempt is removed once first), and reads it back (volume: the copy's volume
// serial, 0 for none); file->placed stays open. A failure leaves no file that this copy wrote.
bool copyFresh(const char *from, const char *fresh, DWORD volume, PreparedFile *file);
void closePrepared(PreparedFile *file);
// The same beside the copy, for a file set in place: its handles are closed on the second thread
// where one runs; nothing of the copy may then need the files they are open on before
// endCopyAhead.
void closeBeside(PreparedFile *file);
// Starts preparing target's new file beside the copy: from copied to fresh, opened and read
// back, and the old file opened, unless a file is prepared already. With crash points armed
// it is done at once on the calling thread, so that every change to the disk comes in one order.
void prepareAhead(const char *from, const char *fresh, const char *target, DWORD volume);
// Whether fresh was prepared and is whole; *file then holds its handles, which the caller
// closes. Waits for a preparation in hand; one not started yet is dropped, and the caller
// prepares the file itself.
bool takePrepared(const char *fresh, PreparedFile *file);
// How many prepared files the copy took for placing, in this process so far.
void notePreparedUsed();
unsigned filesTakenPrepared();
// Waits for a preparation in hand, closes what was prepared and not taken, and ends the thread.
// A new file written meanwhile is the copy's, which its undo or clean-up removes.
void endCopyAhead();
