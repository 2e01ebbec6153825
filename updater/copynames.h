// The names and the lock that the copy, its undo and the start-up share (copynames.cpp).
#pragma once
#include "copyjournal.h"
#include "journalfile.h"
#include <windows.h>

enum { pathBufferSize = 2048 };

static const char journalName[] = "QIMUpdate.journal";
static const char unreadableName[] = "QIMUpdate.journal.unreadable";
static const char freshName[] = "QIMUpdate.journal.new";

bool fitsPath(int length);
// "<root>\<name>"; a drive root ("E:\") ends with its separator already.
bool inRoot(char *buffer, const char *root, const char *name);
// The final long path of the folder given, in pathBufferSize bytes.
bool finalRoot(const char *given, char *root);
// "<file>.~<token>", the kept old file, and "<file>.~<token>.new", the new one until complete.
bool keptPath(char *buffer, const char *target, const char *token);
bool freshPath(char *buffer, const char *target, const char *token);
bool pathExists(const char *path);
// A flush and a rename, each counted as a change to the disk.
bool flushed(HANDLE file);
bool renameFile(const char *from, const char *to);
// The volume that holds root, opened and flushed once; INVALID_HANDLE_VALUE where it cannot be
// (not a local disk, not elevated, Wine), and then each file is flushed on its own.
HANDLE openVolume(const char *root);
bool flushPlaced(const char *path);
// The installation's lock, named after its root; NULL when another updater holds it.
HANDLE lockInstallation(const char *root);
void unlockInstallation(HANDLE mutex);
bool isRendererDirectory(const char *root);
// Size, time and identity (volume serial, file index) as the file system holds them; with
// lastingIdentity zeros for the identity where a rename may change it (FAT, exFAT).
bool readPlaced(const char *path, JournalRecord *placed, bool lastingIdentity);
// The same for the copy's own files, the volume's serial given (0: no lasting identity).
DWORD identityVolume(HANDLE inRoot);
bool readPlacedOn(HANDLE file, DWORD volume, JournalRecord *placed);

//--- settling (copysettle.cpp)
// Settles the journal in root (its one spelling), the lock held by the caller; with
// removeTemporaries also the temporary files of an unfinished copy.
JournalOutcome settleJournal(const char *root, bool removeTemporaries);
