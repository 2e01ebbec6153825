// An update ended at every change it makes to the disk, and its undo ended at every change of its
// own: the next settling of the journal leaves the previous installation or, once the commit mark
// is on disk, the new one, byte for byte, attribute for attribute and with each file's time, with
// nothing else beside.
#include "copyjournal.h"
#include "fixtures.h"
#include "guidriver.h"
#include <gtest/gtest.h>
#include <stdio.h>
#include <string>

namespace
{
const DWORD crashed = 0x7e570000, copyFailed = 0x7e57ffff;

std::string helperExe()
{
    return binDir() + "\\tests\\crashcopy.exe";
}

// Runs the helper with QIM_CRASH_AT=crashAt (0: counts only, the same changes in the same order)
// and returns its exit code.
DWORD runHelper(const std::string &arguments, unsigned crashAt)
{
    SetEnvironmentVariableA("QIM_CRASH_AT", std::to_string(crashAt).c_str());
    Program helper;
    DWORD code = 0xffffffff;
    bool ended = helper.start(helperExe(), arguments) && helper.waitForExit(60000, &code);
    SetEnvironmentVariableA("QIM_CRASH_AT", nullptr);
    return ended ? code : 0xffffffff;
}

void setAttributes(const std::string &path, DWORD attributes)
{
    SetFileAttributesA(path.c_str(), attributes);
}

// The installation before the update: replaced files (one read-only, one hidden, the engine),
// files of its own the update leaves alone.
void makeOldInstallation(const std::string &root)
{
    writeFile(root + "\\readme.txt", "old readme");
    writeFile(root + "\\license.txt", "the installation's own license");
    writeFile(root + "\\bin\\32\\tool.exe", "old tool, shorter");
    writeFile(root + "\\bin\\32\\tool.dat", "old data, read-only");
    setAttributes(root + "\\bin\\32\\tool.dat", FILE_ATTRIBUTE_READONLY);
    writeFile(root + "\\bin\\32\\hidden.cfg", "old hidden configuration");
    setAttributes(root + "\\bin\\32\\hidden.cfg", FILE_ATTRIBUTE_HIDDEN);
    writeFile(root + "\\dll\\32\\PlenaraDLL32.dll", "an old engine");
    writeFile(root + "\\user\\settings.ini", "the user's settings");
}

// The unpacked update: about thirty entries, new and replaced files, new nested directories, a
// read-only and a hidden file, the engine library.
void makeUpdate(const std::string &source)
{
    writeFile(source + "\\readme.txt", "the new readme");
    writeFile(source + "\\bin\\32\\tool.exe", "new tool");
    writeFile(source + "\\bin\\32\\tool.dat", "new data, read-only too");
    setAttributes(source + "\\bin\\32\\tool.dat", FILE_ATTRIBUTE_READONLY);
    writeFile(source + "\\bin\\32\\hidden.cfg", "new hidden");
    setAttributes(source + "\\bin\\32\\hidden.cfg", FILE_ATTRIBUTE_HIDDEN);
    writeFile(source + "\\bin\\32\\added.exe", "an added program");
    CopyFileA((fixtureDir() + "\\PlenaraDLL32.dll").c_str(),
              (source + "\\dll\\32\\PlenaraDLL32.dll").c_str(), FALSE);
    writeFile(source + "\\dll\\32\\extra.dll", "extra library");
    writeFile(source + "\\max2010 plugin\\32\\QIMplugin.dlr", "plugin 32");
    writeFile(source + "\\max2010 plugin\\64\\QIMplugin.dlr", "plugin 64");
    writeFile(source + "\\docs\\a\\b\\c\\deep.txt", "deep");
    writeFile(source + "\\docs\\index.html", "<html></html>");
    writeFile(source + "\\licenses\\third-party.txt", "read-only notice");
    setAttributes(source + "\\licenses\\third-party.txt", FILE_ATTRIBUTE_READONLY);
    for (int i = 0; i < 6; ++i)
        writeFile(source + "\\shaders\\s" + std::to_string(i) + ".glsl", std::string(i + 1, 's'));
    makeDirs(source + "\\cache");
}

// What a settled state is.
enum Ending { EndedOld, EndedNew, EndedOther };

struct CrashFixture {
    std::string root, source;
    TreeImage sourceImage, oldImage, newImage;
    unsigned copyChanges = 0;

    // The old installation written anew (its files' times are those of this moment), and the
    // two states a settled copy may leave.
    void resetInstallation()
    {
        removeTree(root);
        makeDirs(root);
        makeOldInstallation(root);
        oldImage = newImage = treeImage(root);
        for (const auto &entry : sourceImage)
            newImage[entry.first] = entry.second;
    }
    std::string copyArguments() const
    {
        return "copy \"" + root + "\" \"" + source + "\"";
    }
    // The update run once to its end gives the new installation and the number of changes.
    void prepare()
    {
        root = freshDir("crash-installation");
        source = freshDir("crash-update");
        makeUpdate(source);
        sourceImage = treeImage(source);
        resetInstallation();
        DWORD code = runHelper(copyArguments(), 0);
        ASSERT_NE(code, copyFailed);
        ASSERT_NE(code, crashed);
        copyChanges = code;
        EXPECT_EQ(treeImage(root), newImage);
    }
    bool committedOnDisk() const
    {
        std::string text;
        return readFile(root + "\\QIMUpdate.journal", &text) && text.find("\nC\n") != text.npos;
    }
    // What differs from an image (missing, stray, changed with the attributes of both), for a
    // failure's message.
    std::string differenceFrom(const TreeImage &expected) const
    {
        TreeImage now = treeImage(root);
        std::string text;
        for (const auto &entry : expected) {
            auto found = now.find(entry.first);
            if (found == now.end())
                text += " missing " + entry.first;
            else if (found->second != entry.second)
                text += " changed " + entry.first + " (" + entry.second.substr(0, 24) + " -> " +
                        found->second.substr(0, 24) + ")";
        }
        for (const auto &entry : now)
            if (!expected.count(entry.first))
                text += " stray " + entry.first;
        return text;
    }
    Ending ending() const
    {
        TreeImage now = treeImage(root);
        return now == oldImage ? EndedOld : now == newImage ? EndedNew : EndedOther;
    }
};

// Where the copy's changes ended up, over all of them.
struct CopyEndings {
    unsigned old = 0, fresh = 0, lastUncommitted = 0;
};

// Every change of the copy, its commit and its clean-up: the process ended just before it, the
// next start settles the journal, and the installation is exactly the old or exactly the new one,
// the new one once and only once the commit mark was written.
void endCopyAtEveryChange(CrashFixture &f, CopyEndings *endings)
{
    for (unsigned k = 1; k <= f.copyChanges; ++k) {
        SCOPED_TRACE("copy ended before change " + std::to_string(k));
        f.resetInstallation();
        ASSERT_EQ(runHelper(f.copyArguments(), k), crashed);
        bool committed = f.committedOnDisk();
        JournalOutcome outcome = settleCopyJournal(f.root.c_str());
        Ending ending = f.ending();
        ASSERT_EQ(ending, committed ? EndedNew : EndedOld)
            << "settled as " << outcome << ":"
            << f.differenceFrom(committed ? f.newImage : f.oldImage);
        if (committed) {
            EXPECT_EQ(outcome, JournalSettled);
            ++endings->fresh;
        } else {
            EXPECT_TRUE(outcome == JournalRestored || outcome == JournalSettled ||
                        outcome == JournalAbsent)
                << outcome;
            ASSERT_EQ(endings->fresh, 0u) << "an uncommitted state after a committed one";
            endings->lastUncommitted = k;
            ++endings->old;
        }
    }
    EXPECT_GT(endings->old, 0u);
    EXPECT_GT(endings->fresh, 0u);
}
} // namespace

// The copy in one order (the next file prepared at once, not beside it), then the undo of a copy
// ended just before its commit mark, itself ended at each of its changes: the next start still
// brings back exactly the previous installation.
TEST(CrashPoints, EveryStepOfTheCopyAndOfItsUndoLeavesOneWholeInstallation)
{
    CrashFixture f;
    f.prepare();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_GT(f.copyChanges, 30u);
    CopyEndings endings;
    endCopyAtEveryChange(f, &endings);
    ASSERT_FALSE(HasFatalFailure());
    printf("copy: %u crash points tried, %u ended in the previous installation, %u in the new "
           "one\n",
           f.copyChanges, endings.old, endings.fresh);
    unsigned lastUncommitted = endings.lastUncommitted;

    // The undo of the copy ended just before its commit mark: every file placed, every old one
    // kept aside.
    std::string settleArguments = "settle \"" + f.root + "\"";
    f.resetInstallation();
    ASSERT_EQ(runHelper(f.copyArguments(), lastUncommitted), crashed);
    DWORD undoChanges = runHelper(settleArguments, 0);
    ASSERT_EQ(f.ending(), EndedOld);
    ASSERT_GT(undoChanges, 10u);
    ASSERT_LT(undoChanges, crashed);
    for (unsigned j = 1; j <= undoChanges; ++j) {
        SCOPED_TRACE("undo ended before change " + std::to_string(j));
        f.resetInstallation();
        ASSERT_EQ(runHelper(f.copyArguments(), lastUncommitted), crashed);
        ASSERT_EQ(runHelper(settleArguments, j), crashed);
        settleCopyJournal(f.root.c_str());
        ASSERT_EQ(f.ending(), EndedOld) << f.differenceFrom(f.oldImage);
    }
    printf("undo: %lu crash points tried, each ended in the previous installation\n",
           static_cast<unsigned long>(undoChanges));
}

// The same with the next file written beside the copy on its own thread, as outside the tests:
// the k-th change, in whichever order the threads made them, ends the process.
TEST(CrashPoints, EveryStepOfACopyWritingTheNextFileBesideItLeavesOneWholeInstallation)
{
    SetEnvironmentVariableA("QIM_CRASH_THREADED", "1");
    CrashFixture f;
    f.prepare();
    CopyEndings endings;
    if (!HasFatalFailure() && f.copyChanges > 30)
        endCopyAtEveryChange(f, &endings);
    EXPECT_GT(f.copyChanges, 30u);
    SetEnvironmentVariableA("QIM_CRASH_THREADED", nullptr);
    printf("copy, next file beside it: %u crash points tried, %u ended in the previous "
           "installation, %u in the new one\n",
           f.copyChanges, endings.old, endings.fresh);
}

// The updater killed from outside while a large new file is being written: nothing partial
// stands under the file's name, and the next start brings back the previous installation.
TEST(CrashPoints, KillWhileALargeFileIsWrittenLeavesThePreviousInstallation)
{
    const uint64_t bigSize = 256ull << 20;
    std::string root = freshDir("crash-kill-installation");
    std::string source = freshDir("crash-kill-update");
    writeFile(root + "\\big.dat", "the old big file");
    writeFile(root + "\\small.txt", "old small");
    writeFile(source + "\\small.txt", "new small file");
    HANDLE big = CreateFileA((source + "\\big.dat").c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(big, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(bigSize);
    ASSERT_TRUE(SetFilePointerEx(big, end, nullptr, FILE_BEGIN) && SetEndOfFile(big));
    CloseHandle(big);
    TreeImage before = treeImage(root);

    Program helper;
    ASSERT_TRUE(helper.start(helperExe(), "copy \"" + root + "\" \"" + source + "\""));
    uint64_t seen = 0;
    bool caught = waitUntil(
        [&] {
            WIN32_FIND_DATAA entry;
            HANDLE search = FindFirstFileA((root + "\\big.dat.~*.new").c_str(), &entry);
            if (search == INVALID_HANDLE_VALUE)
                return false;
            FindClose(search);
            seen = (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
            if (seen == 0)
                return false;
            TerminateProcess(helper.handle(), 1);
            return true;
        },
        60000);
    ASSERT_TRUE(caught);
    DWORD code = 0;
    ASSERT_TRUE(helper.waitForExit(10000, &code));
    EXPECT_LT(seen, bigSize) << "the file was complete already";
    // The old file is set aside only once the new one is whole.
    std::string old;
    EXPECT_TRUE(readFile(root + "\\big.dat", &old) && old == "the old big file");
    EXPECT_EQ(settleCopyJournal(root.c_str()), JournalRestored);
    EXPECT_EQ(treeImage(root), before);
    removeTree(source);
}
