// Test builds only: the process can be ended abruptly just before any change the copy or its
// undo makes to the disk, to prove that every such moment leaves a state the next start settles.
#pragma once
#include <stddef.h>

// Called just before each change to the disk (journal write, rename, create, copy, flush,
// delete, attribute change). In the test build, with QIM_CRASH_AT=k in the environment, the
// k-th call ends the process at once, without any clean-up; elsewhere it only counts.
void beforeDiskChange();
// How many changes were announced so far.
unsigned diskChangesMade();
// Test builds only: QIM_CRASH_AT is set (0 counts without ending) and QIM_CRASH_THREADED is not,
// so every change to the disk must come from one thread in one order. Elsewhere always false.
bool crashPointsArmed();
// Test builds only: with QIM_REFUSE_COMMIT in the environment the flush before the commit mark
// fails, as a failing disk would make it. Elsewhere always false.
bool commitFlushRefused();
// Test builds only: with QIM_NO_VOLUME_FLUSH in the environment the volume cannot be opened, so
// each placed file is flushed, as on a network drive or without the right to open the volume.
bool volumeFlushRefused();
// Test builds only: with QIM_REFUSE_FILE_TIME in the environment the file system refuses the new
// files' last-write times, as FAT refuses one before 1980. Elsewhere always false.
bool fileTimeRefused();
// Test builds only: QIM_COPY_TOKEN (eight hex digits) is the copy's token instead of a random
// one, so that a test can put a name carrying it in the copy's way. Elsewhere always false.
bool fixedCopyToken(char *token, size_t size);
