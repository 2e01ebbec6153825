// Test helper: one copy with the installation's safety net, or one settling of a journal, in a
// process of its own, so that a test can end it at any change it makes to the disk.
//   crashcopy copy DEST SRC   counts SRC, copies it over DEST, commits and removes kept files
//   crashcopy settle ROOT     settles the journal in ROOT, as a start of the updater does
// Exit code: the number of changes made to the disk; 0x7e570000 when QIM_CRASH_AT ended it,
// 0x7e57ffff when the copy failed.
#include "copyjournal.h"
#include "crashpoint.h"
#include "session.h"
#include "treeops.h"
#include <string.h>

int main(int argc, char **argv)
{
    // No question box can be shown, so a failure ends the copy as Abort would.
    session.mainWindow = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x7ffe0));
    if (argc == 3 && strcmp(argv[1], "settle") == 0) {
        settleCopyJournal(argv[2]);
        return static_cast<int>(diskChangesMade());
    }
    if (argc != 4 || strcmp(argv[1], "copy") != 0)
        return 0x7e57fffe;
    uint32_t files = 0, bytes = 0, filesCopied = 0, bytesCopied = 0;
    const char *noTemporaries[] = {nullptr};
    JournalOutcome outcome = JournalAbsent;
    if (!countTree(argv[3], &files, &bytes) ||
        !copyTreeKeepingOld(noTemporaries, argv[2], argv[3], &bytesCopied, &bytes, &filesCopied,
                            &files, &outcome))
        return 0x7e57ffff;
    removeKeptFiles();
    return static_cast<int>(diskChangesMade());
}
