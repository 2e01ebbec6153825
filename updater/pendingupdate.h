// The update waiting between its download and its installation: what archivePath holds and,
// for a delta, the unpacked tree with its changed files rebuilt. The download fills it in,
// the installation and the program's end take it.
#pragma once

enum PendingKind { PendingFullArchive, PendingDelta };

// archivePath holds (or is about to hold) an archive of this kind; a delta's tree is dropped.
void setPendingKind(PendingKind kind);
PendingKind pendingKind();
// The rebuilt tree of the delta at archivePath; the record owns it from here on.
void setPendingDeltaTree(char *tree);
// The rebuilt tree, handed over to the caller (who then removes it); none when no delta is
// ready, and then a delta zip is never to be unpacked as a full archive.
char *takePendingDeltaTree();
// Removes a rebuilt tree that nobody took; the kind goes back to a full archive.
void discardPendingUpdate();
// Removes qim* files and trees older than a day from the temporary folder.
void sweepStaleUpdateTrees();
// Removes an unpacked tree of the updater's own, content first.
void removeUpdateTree(const char *directory);
