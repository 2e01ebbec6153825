// The update waiting between its download and its installation: what archivePath holds and,
// for a delta, the unpacked tree with its changed files rebuilt. The download fills it in,
// the installation and the program's end take it.
#pragma once
#include "session.h"

enum PendingKind { PendingFullArchive, PendingDelta };

// archivePath holds (or is about to hold) an archive of this kind; a delta's tree is dropped.
void setPendingKind(PendingKind kind);
PendingKind pendingKind();
// The rebuilt tree of the delta at archivePath, rebuilt from the installation in rendererDir at
// version from; the record owns the tree from here on. False: it could not be recorded.
bool setPendingDeltaTree(char *tree, const char *rendererDir, const RendererVersion &from);
// Whether a waiting delta tree was rebuilt from another installation than rendererDir or from
// another version than the one installed now.
bool isPendingDeltaFromElsewhere(const char *rendererDir);
// The rebuilt tree, handed over to the caller (who then removes it); none when no delta is
// ready, and then a delta zip is never to be unpacked as a full archive.
char *takePendingDeltaTree();
// Removes a rebuilt tree that nobody took; the kind goes back to a full archive.
void discardPendingUpdate();
// Removes our temporary files and trees older than a day that no running updater holds, on a
// thread of its own.
void sweepStaleUpdateTrees();
// Removes an unpacked tree of the updater's own, content first.
void removeUpdateTree(const char *directory);
