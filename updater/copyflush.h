// Where the volume cannot be flushed as a whole, the copy's placed files and the folders that
// hold them are flushed here, once every file is placed (copyflush.cpp).
#pragma once

// Queues target for the flush before the commit mark, and notes the folders up to root whose
// entries changed.
void flushPlacedLater(const char *target, const char *root);
// Notes the folders up to root that hold a name the copy created or renamed (a new folder, an
// old file put back after Ignore).
void noteChangedName(const char *path, const char *root);
// Notes the root folder of the volume that holds root, flushed after the other folders: on FAT
// its flush writes the whole volume and must succeed.
void noteVolumeRoot(const char *root);
// Flushes every queued file and noted folder (the folders best effort, but for the volume's root
// on FAT); false if something that must be flushed was not, and then the copy cannot commit.
// Nothing stays queued after this.
bool flushPlacedNow();
// Forgets what was queued, for a copy that is undone.
void dropPlacedFlushes();
