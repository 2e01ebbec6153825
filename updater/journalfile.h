// The journal of the copy's safety net as it lies on disk, and how it is read. This program
// runs elevated and the journal's directory comes from a per-user value, so a journal is read as
// untrusted input: strictly, and with every path checked before anything acts on it.
#pragma once
#include <windows.h>
#include <stdint.h>

// The journal is a text file in the root of the installation the copy goes to, one record a
// line, flushed to disk before the changes it announces:
//   T <token> <root>  a copy into root begins; the files it sets aside are "<file>.~<token>"
//   U <path>          a temporary file or directory of the update (the archive, the unpacked
//                     tree), removed with an unfinished copy that a killed updater left
//   D <path>          a directory that did not exist and that the copy may create
//   N <size> <time> <attributes> <path>  a file that did not exist and that the copy may create
//   R <size> <time> <attributes> <path>  a file that existed and that the copy may set aside
//                     and replace; attributes (8 hex digits) are the old file's, 0 for N;
//                     a previous version wrote these two without attributes, read as
//                     ffffffff: unknown, never put back
//   P <size> <time> <volume> <index> <path>  read back from a new file once written, before
//                     it gets its final name: what the file system holds (its rounding of
//                     times, FAT's 2 s) and the file's identity (volume serial, 8 hex digits,
//                     and file index, 16; zeros where unknown or where the file system keeps
//                     no lasting identity, FAT and exFAT); flushed before the rename where
//                     size or time differ from the N or R record; the last one of a path counts
//   C                 the copy succeeded and its files are on disk; kept files are only removed
//   X                 the copy was undone
// Size and last-write time (16 hex digits each) are those of the new file, which the copy keeps:
// an undo touches a file only while it is still the one the copy put there, judged by the P
// record where there is one (identity included), else by the N or R record. A new file is
// written as "<file>.~<token>.new" and renamed onto its free name only when complete, so no
// partly written file ever stands under a final name. Every path must lie under its run's root,
// which is the journal's own directory.

enum { journalTokenLength = 8 };
// The attributes of an N or R record written without them.
const uint32_t unknownAttributes = 0xffffffffu;

struct JournalRecord {
    char kind;
    const char *path; // the root for T
    const char *token;
    uint64_t size;
    uint64_t written;
    uint32_t attributes;
    uint32_t volume; // P: the file's identity
    uint64_t fileIndex;
};

struct JournalText {
    char *text;
    JournalRecord *records;
    size_t count;
    bool damagedTail; // a torn last line or zeros after a power cut
};

// Reads and parses the journal at path; a torn last line or zeros at the end are damage and left
// out, anything else that does not parse fails the read.
bool readJournal(const char *path, JournalText *journalText);
// Every run names root as its root, nothing follows a run's mark, and every path of the
// installation lies under the root.
bool checkRuns(const JournalText *journalText, const char *root);
// No junction or link between root and path, path included; checkedParent (2048 bytes) keeps the
// last parent found free of them.
bool noReparseBelow(const char *root, const char *path, char *checkedParent);
// "X:\..." or "\\server\share\...", never "\\?\", "\\.\", "..", a relative path or a stream.
bool validAbsolutePath(const char *path);
bool writeRecord(HANDLE file, const JournalRecord *record);
bool writeJournalText(HANDLE file, const char *format, ...);
uint64_t joinHalves(DWORD high, DWORD low);
