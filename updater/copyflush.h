// Where the volume cannot be flushed as a whole, the copy's placed files and the folders that
// hold them are flushed here, once every file is placed (copyflush.cpp).
#pragma once

// Queues target for the flush before the commit mark, and notes the folders up to root whose
// entries changed.
void flushPlacedLater(const char *target, const char *root);
// Notes the folders up to root that hold a name the copy created or renamed (a new folder, an
// old file put back after Ignore).
void noteChangedName(const char *path, const char *root);
// Flushes every queued file and noted folder; false if a file, or a folder where the file system
// does not log its names (namesLogged false: FAT, exFAT), could not be flushed, and then the copy
// cannot commit. Nothing stays queued after this.
bool flushPlacedNow(bool namesLogged);
// Forgets what was queued, for a copy that is undone.
void dropPlacedFlushes();
