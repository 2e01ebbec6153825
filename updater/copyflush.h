// Where the volume cannot be flushed as a whole, the copy's placed files and the folders that
// hold them are flushed here, once every file is placed (copyflush.cpp).
#pragma once

// Queues target for the flush before the commit mark, and notes the folders up to root whose
// entries changed. While crash points are armed the file is flushed at once.
void flushPlacedLater(const char *target, const char *root);
// Flushes every queued file and noted folder; false if a file could not be flushed, and then
// the copy cannot commit. Nothing stays queued after this.
bool flushPlacedNow();
// Forgets what was queued, for a copy that is undone.
void dropPlacedFlushes();
