// Where the volume cannot be flushed as a whole, the copy's placed files and the folders that
// hold them are flushed here, once every file is placed (copyflush.cpp).
#pragma once

// Queues target for the flush before the commit mark, and notes the folders up to root whose
// entries changed.
void flushPlacedLater(const char *target, const char *root);
// Notes the folders up to root that hold a name the copy created or renamed (a new folder, an
// old file put back after Ignore).
void noteChangedName(const char *path, const char *root);
// Notes the root folder of the volume that holds root: on FAT its flush writes the whole volume.
void noteVolumeRoot(const char *root);
// Flushes every queued file and noted folder (the folders best effort); false if a file could
// not be flushed, and then the copy cannot commit. Nothing stays queued after this.
bool flushPlacedNow();
// Forgets what was queued, for a copy that is undone.
void dropPlacedFlushes();
