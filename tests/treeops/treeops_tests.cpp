// The installation's tree walks on real files: counting, copying over with the question boxes,
// progress and abort, and the clean-up delete.
#include "copyahead.h"
#include "copyjournal.h"
#include "fixtures.h"
#include "guidriver.h"
#include "session.h"
#include "treeops.h"
#include <commctrl.h>
#include <winioctl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
// The status line and progress bar the walks drive, in a hidden window of the calling thread.
class ProgressWindow
{
  public:
    ProgressWindow()
    {
        INITCOMMONCONTROLSEX classes{sizeof classes, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&classes);
        session.mainWindow = CreateWindowExA(0, "STATIC", "tree walks", WS_OVERLAPPEDWINDOW, 0, 0,
                                             320, 200, nullptr, nullptr, nullptr, nullptr);
        session.statusLabel = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 10, 30, 300,
                                              20, session.mainWindow, nullptr, nullptr, nullptr);
        session.progressBar =
            CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 10, 50, 290,
                            17, session.mainWindow, nullptr, nullptr, nullptr);
        SendMessageA(session.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        SendMessageA(session.progressBar, PBM_SETPOS, 0, 0);
    }
    ~ProgressWindow()
    {
        DestroyWindow(session.mainWindow);
        session.mainWindow = session.statusLabel = session.progressBar = nullptr;
    }
    std::string status() const
    {
        return windowText(session.statusLabel);
    }
    int position() const
    {
        return progressPosition(session.progressBar);
    }
};

struct Counters {
    uint32_t bytesCopied = 0, totalBytes = 0, filesCopied = 0, fileCount = 0;
};

// Called with every status text the copy shows, on the copy's thread, before it goes on.
std::function<void(const std::string &)> onStatus;
WNDPROC plainLabel = nullptr;

LRESULT CALLBACK watchStatus(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTEXT && lParam && onStatus)
        onStatus(reinterpret_cast<const char *>(lParam));
    return CallWindowProcA(plainLabel, window, message, wParam, lParam);
}

// One copyTree on a thread of its own, so that the test's thread can answer its question boxes;
// with a journal directory, the copy with its safety net.
struct CopyRun {
    std::string destination, source;
    std::string journalDir;
    Counters counters;
    HWND owner = nullptr;
    bool unshowableBoxes = false; // the owner is no window, so no question box can be shown
    bool result = false;
    JournalOutcome outcome = JournalAbsent;
    std::string status;
    int position = -1;
    HANDLE thread = nullptr;

    void copy()
    {
        Counters &c = counters;
        const char *noTemporaries[] = {nullptr};
        if (journalDir.empty())
            result = copyTree(destination.c_str(), source.c_str(), &c.bytesCopied, &c.totalBytes,
                              &c.filesCopied, &c.fileCount);
        else
            result = copyTreeKeepingOld(noTemporaries, destination.c_str(), source.c_str(),
                                        &c.bytesCopied, &c.totalBytes, &c.filesCopied, &c.fileCount,
                                        &outcome);
    }

    static DWORD WINAPI body(LPVOID param)
    {
        auto *run = static_cast<CopyRun *>(param);
        ProgressWindow window;
        run->owner = session.mainWindow;
        plainLabel = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
            session.statusLabel, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(watchStatus)));
        if (run->unshowableBoxes)
            session.mainWindow = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x7ffe0));
        run->copy();
        session.mainWindow = run->owner;
        run->status = window.status();
        run->position = window.position();
        return 0;
    }
    void start()
    {
        thread = CreateThread(nullptr, 0, body, this, 0, nullptr);
    }
    // Fresh folders "<folder>-src" and "<folder>-dst" for a copy with its safety net of one file
    // of three bytes.
    void prepareOneFile(const std::string &folder)
    {
        source = freshDir(folder + "-src");
        destination = freshDir(folder + "-dst");
        journalDir = destination;
        counters.fileCount = 1;
        counters.totalBytes = 3;
    }
    bool finish()
    {
        bool ended = WaitForSingleObject(thread, 30000) == WAIT_OBJECT_0;
        CloseHandle(thread);
        return ended;
    }
};

struct Box {
    HWND window = nullptr;
    HWND owner = nullptr;
    std::string caption, text;
    std::vector<int> buttons;
    bool hasIcon = false;
};

BOOL CALLBACK findOwnDialog(HWND window, LPARAM param)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || className(window) != "#32770" ||
        !IsWindowVisible(window))
        return TRUE;
    *reinterpret_cast<HWND *>(param) = window;
    return FALSE;
}

bool waitForBox(Box *box)
{
    HWND dialog = nullptr;
    if (!waitUntil([&] {
            dialog = nullptr;
            EnumWindows(findOwnDialog, reinterpret_cast<LPARAM>(&dialog));
            return dialog != nullptr;
        }))
        return false;
    *box = Box();
    box->window = dialog;
    box->owner = GetWindow(dialog, GW_OWNER);
    box->caption = windowText(dialog);
    box->text = controlText(dialog, 0xFFFF);
    for (HWND child : children(dialog)) {
        if (className(child) == "Button" && IsWindowVisible(child))
            box->buttons.push_back(GetDlgCtrlID(child));
        if (className(child) == "Static" &&
            (GetWindowLongA(child, GWL_STYLE) & SS_ICON) == SS_ICON &&
            SendMessageA(child, STM_GETICON, 0, 0))
            box->hasIcon = true;
    }
    return true;
}

bool answer(const Box &box, int buttonId)
{
    HWND button = GetDlgItem(box.window, buttonId);
    PostMessageA(box.window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
    return waitUntil([&] { return !IsWindow(box.window); });
}

std::string createDirText(const std::string &path)
{
    return "Can't create directory:\n" + path +
           "\nProbably you don't have write permissions there.";
}

std::string copyFileText(const std::string &from, const std::string &to)
{
    return "Can't copy file\n" + from + "\nto\n" + to +
           "\nProbably old one is being used (QIM/Max) or you don't have write permissions there.";
}

// Holds a file open with share mode 0, the way a running renderer or 3ds Max holds its files.
HANDLE holdExclusively(const std::string &path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A file of the given size that takes no room on disk.
bool makeSizedFile(const std::string &path, uint64_t size)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD unused = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return sized;
}

// A small renderer-like tree: files at three depths and an empty directory.
void makeSampleTree(const std::string &root)
{
    writeFile(root + "\\readme.txt", "hello");                         // 5
    writeFile(root + "\\bin\\32\\tool.exe", std::string(300, 'x'));    // 300
    writeFile(root + "\\bin\\32\\tool.dat", std::string(20, 'y'));     // 20
    writeFile(root + "\\dll\\32\\engine.dll", std::string(1000, 'z')); // 1000
    makeDirs(root + "\\empty");
}
const uint32_t sampleFiles = 4, sampleBytes = 1325;

std::string contentOf(const std::string &path)
{
    std::string bytes;
    return readFile(path, &bytes) ? bytes : "<missing>";
}

class TreeOps : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        session.abortInstall = false;
        session.filesIgnored = false;
        session.state = Copying;
        onStatus = nullptr;
    }
    void TearDown() override
    {
        onStatus = nullptr;
    }
};

// Files the safety net renamed aside ("<name>.~<token>") anywhere under root.
std::vector<std::string> keptFiles(const std::string &root)
{
    std::vector<std::string> kept;
    for (const auto &entry : treeImage(root))
        if (entry.first.find(".~") != std::string::npos)
            kept.push_back(entry.first);
    return kept;
}

const uint32_t updateFiles = 5;

// An update over an installation: five files, each in a directory of its own so that an abort
// request is seen after each of them; one replaces a read-only file, one a plain file, three
// are new, in a new directory, a new subdirectory of an existing one, and another new directory.
// The installation also holds a file of its own that the update does not touch.
CopyRun updateOverInstallation(const std::string &name)
{
    CopyRun run;
    run.source = freshDir(name + "-src");
    run.destination = freshDir(name + "-dst");
    run.journalDir = run.destination;
    writeFile(run.source + "\\d0\\engine.dll", "new engine");
    writeFile(run.destination + "\\d0\\engine.dll", "old engine, read-only");
    SetFileAttributesA((run.destination + "\\d0\\engine.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    writeFile(run.source + "\\d1\\tool.exe", "new tool");
    writeFile(run.destination + "\\d1\\tool.exe", "old tool");
    writeFile(run.source + "\\d2\\added.txt", "added");
    writeFile(run.source + "\\d3\\x\\deep.txt", "deep");
    writeFile(run.destination + "\\d3\\own.txt", "the installation's own");
    writeFile(run.source + "\\d4\\last.dat", "last");
    writeFile(run.destination + "\\keep.txt", "untouched");
    run.counters.fileCount = updateFiles;
    run.counters.totalBytes = 10 + 8 + 5 + 4 + 4;
    return run;
}

std::string copiedText(uint32_t files)
{
    return "Copied " + std::to_string(files) + " of " + std::to_string(updateFiles) + " files.";
}

// A test-build switch, set for as long as this lives.
struct TestSwitch {
    const char *name;
    explicit TestSwitch(const char *switchName, const char *value = "1") : name(switchName)
    {
        SetEnvironmentVariableA(name, value);
    }
    ~TestSwitch()
    {
        SetEnvironmentVariableA(name, nullptr);
    }
};

uint64_t lastWrite(const std::string &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    return (uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) |
           data.ftLastWriteTime.dwLowDateTime;
}

std::string journalOf(const std::string &directory)
{
    return directory + "\\QIMUpdate.journal";
}
} // namespace

//--- queryFileSize and countTree

struct SizeCase {
    uint64_t size;
    bool readable;
    uint32_t reported;
};

TEST_F(TreeOps, FileSizeIsOneThirtyTwoBitValueAndAllOnesIsUnreadable)
{
    const SizeCase cases[] = {
        {0, true, 0},
        {4294967294ull, true, 4294967294u},
        {4294967295ull, false, 0}, // the invalid-size marker
        {4294967296ull, true, 0},  // high half never asked for
        {8589934591ull, false, 0}, // modulo 4 GiB it is the marker again
    };
    std::string dir = freshDir("treeops-sizes");
    for (const SizeCase &c : cases) {
        std::string path = dir + "\\f" + std::to_string(c.size);
        ASSERT_TRUE(makeSizedFile(path, c.size)) << c.size;
        uint32_t size = 12345;
        EXPECT_EQ(queryFileSize(path.c_str(), &size), c.readable) << c.size;
        EXPECT_EQ(size, c.reported) << c.size;
        DeleteFileA(path.c_str());
    }
    uint32_t size = 7;
    EXPECT_FALSE(queryFileSize((dir + "\\missing").c_str(), &size));
    EXPECT_EQ(size, 0u);
}

TEST_F(TreeOps, CountAddsFilesAndBytesOfTheWholeTreeToTheStartingValues)
{
    std::string root = freshDir("treeops-count");
    makeSampleTree(root);
    uint32_t files = 10, bytes = 100;
    EXPECT_TRUE(countTree(root.c_str(), &files, &bytes));
    EXPECT_EQ(files, 10 + sampleFiles);
    EXPECT_EQ(bytes, 100 + sampleBytes);

    uint32_t emptyFiles = 3, emptyBytes = 4;
    EXPECT_TRUE(countTree((root + "\\empty").c_str(), &emptyFiles, &emptyBytes));
    EXPECT_EQ(emptyFiles, 3u);
    EXPECT_EQ(emptyBytes, 4u);
}

TEST_F(TreeOps, CountFailsOnMissingPathsFilesAndUnsizableFiles)
{
    std::string root = freshDir("treeops-countfail");
    writeFile(root + "\\plain.txt", "x");
    uint32_t files = 0, bytes = 0;
    EXPECT_FALSE(countTree(nullptr, &files, &bytes));
    EXPECT_FALSE(countTree((root + "\\nothing").c_str(), &files, &bytes));
    EXPECT_FALSE(countTree((root + "\\plain.txt").c_str(), &files, &bytes));

    ASSERT_TRUE(makeDirs(root + "\\deep\\er"));
    ASSERT_TRUE(makeSizedFile(root + "\\deep\\er\\huge.bin", 4294967295ull));
    EXPECT_FALSE(countTree(root.c_str(), &files, &bytes));
    removeTree(root + "\\deep");

    // Another writer shares reading, but the size query does not share writing.
    HANDLE writer = CreateFileA((root + "\\plain.txt").c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(countTree(root.c_str(), &files, &bytes));
    CloseHandle(writer);
    files = bytes = 0;
    EXPECT_TRUE(countTree(root.c_str(), &files, &bytes));
    EXPECT_EQ(files, 1u);
}

//--- copyTree

TEST_F(TreeOps, CopyRecreatesTheTreeOverwritesAndReportsProgress)
{
    std::string source = freshDir("treeops-copy-src");
    std::string destination = freshDir("treeops-copy-dst");
    makeSampleTree(source);
    writeFile(destination + "\\readme.txt", "old text that is longer");
    writeFile(destination + "\\keep.txt", "untouched");

    ProgressWindow window;
    Counters c;
    c.totalBytes = sampleBytes;
    c.fileCount = sampleFiles;
    ASSERT_TRUE(copyTree(destination.c_str(), source.c_str(), &c.bytesCopied, &c.totalBytes,
                         &c.filesCopied, &c.fileCount));
    EXPECT_EQ(c.filesCopied, sampleFiles);
    EXPECT_EQ(c.bytesCopied, sampleBytes);
    EXPECT_EQ(window.status(), "Copied 4 of 4 files.");
    EXPECT_EQ(window.position(), 100);
    EXPECT_EQ(contentOf(destination + "\\readme.txt"), "hello");
    EXPECT_EQ(contentOf(destination + "\\bin\\32\\tool.exe"), std::string(300, 'x'));
    EXPECT_EQ(contentOf(destination + "\\dll\\32\\engine.dll"), std::string(1000, 'z'));
    EXPECT_EQ(contentOf(destination + "\\keep.txt"), "untouched");
    EXPECT_TRUE(pathIsDir(destination + "\\empty"));
    EXPECT_FALSE(session.filesIgnored);
}

TEST_F(TreeOps, CopyFailsSilentlyWhenEitherDirectoryIsMissing)
{
    std::string existing = freshDir("treeops-copy-missing");
    std::string missing = existing + "\\nothing";
    ProgressWindow window;
    Counters c;
    EXPECT_FALSE(copyTree(missing.c_str(), existing.c_str(), &c.bytesCopied, &c.totalBytes,
                          &c.filesCopied, &c.fileCount));
    EXPECT_FALSE(copyTree(existing.c_str(), missing.c_str(), &c.bytesCopied, &c.totalBytes,
                          &c.filesCopied, &c.fileCount));
    EXPECT_FALSE(copyTree(nullptr, existing.c_str(), &c.bytesCopied, &c.totalBytes, &c.filesCopied,
                          &c.fileCount));
    EXPECT_EQ(window.status(), "");
    EXPECT_FALSE(pathIsDir(missing));
}

struct ProgressCase {
    uint32_t bytesBefore;
    uint32_t fileSize;
    uint32_t totalBytes;
    int position;
};

// The position is bytesCopied * 100 / totalBytes in 64 bits; an empty total or a sum past the
// total still stays on the bar.
TEST_F(TreeOps, CopyProgressIsTheShareOfBytesCopied)
{
    const ProgressCase cases[] = {
        {99999990u, 10, 500000000u, 20},
        {0, 10, 1000, 1},
        {4000000000u, 10, 4294967295u, 93}, // would wrap in 32 bits
        {0, 0, 0, 100},                     // every counted file empty
        {100, 10, 50, 100},                 // more copied than counted
    };
    std::string source = freshDir("treeops-progress-src");
    for (const ProgressCase &pc : cases) {
        std::string destination = freshDir("treeops-progress-dst");
        writeFile(source + "\\one.bin", std::string(pc.fileSize, 'p'));
        ProgressWindow window;
        Counters c;
        c.bytesCopied = pc.bytesBefore;
        c.totalBytes = pc.totalBytes;
        c.fileCount = 1;
        EXPECT_TRUE(copyTree(destination.c_str(), source.c_str(), &c.bytesCopied, &c.totalBytes,
                             &c.filesCopied, &c.fileCount));
        EXPECT_EQ(c.bytesCopied, pc.bytesBefore + pc.fileSize);
        EXPECT_EQ(window.position(), pc.position) << pc.bytesBefore << " of " << pc.totalBytes;
    }
}

TEST_F(TreeOps, AbortRequestedBeforeTheCopyStopsItOnEntry)
{
    std::string source = freshDir("treeops-abort-src");
    std::string destination = freshDir("treeops-abort-dst");
    makeSampleTree(source);
    session.abortInstall = true;
    ProgressWindow window;
    Counters c;
    EXPECT_FALSE(copyTree(destination.c_str(), source.c_str(), &c.bytesCopied, &c.totalBytes,
                          &c.filesCopied, &c.fileCount));
    EXPECT_EQ(window.status(), "Installation aborted.");
    EXPECT_EQ(session.state.load(), InstallAborted);
    EXPECT_EQ(c.filesCopied, 0u);
    EXPECT_FALSE(pathIsFile(destination + "\\readme.txt"));
}

TEST_F(TreeOps, FileInTheWayOfADirectoryIsAskedAboutUntilItIsGone)
{
    std::string source = freshDir("treeops-obstacle-src");
    std::string destination = freshDir("treeops-obstacle-dst");
    writeFile(source + "\\plugins\\a.dlr", "plugin");
    writeFile(destination + "\\plugins", "a file where a directory belongs");

    CopyRun run;
    run.destination = destination;
    run.source = source;
    run.counters.fileCount = 1;
    run.counters.totalBytes = 6;
    run.start();
    for (int round = 0; round < 2; ++round) {
        Box box;
        ASSERT_TRUE(waitForBox(&box)) << round;
        EXPECT_EQ(box.caption, "Error");
        EXPECT_EQ(box.text, createDirText(destination + "\\plugins"));
        EXPECT_EQ(box.buttons, (std::vector<int>{IDABORT, IDRETRY, IDIGNORE}));
        EXPECT_FALSE(box.hasIcon);
        EXPECT_EQ(box.owner, run.owner);
        ASSERT_TRUE(answer(box, IDRETRY));
    }
    Box box;
    ASSERT_TRUE(waitForBox(&box));
    DeleteFileA((destination + "\\plugins").c_str());
    ASSERT_TRUE(answer(box, IDRETRY));
    ASSERT_TRUE(run.finish());
    EXPECT_TRUE(run.result);
    EXPECT_EQ(contentOf(destination + "\\plugins\\a.dlr"), "plugin");
    EXPECT_FALSE(session.filesIgnored);
    EXPECT_EQ(run.status, "Copied 1 of 1 files.");
}

TEST_F(TreeOps, IgnoredDirectoryLeavesItsSubtreeOutAndIsRemembered)
{
    std::string source = freshDir("treeops-ignoredir-src");
    std::string destination = freshDir("treeops-ignoredir-dst");
    writeFile(source + "\\plugins\\deeper\\a.dlr", "plugin");
    writeFile(destination + "\\plugins", "obstacle");

    CopyRun run;
    run.destination = destination;
    run.source = source;
    run.start();
    Box box;
    ASSERT_TRUE(waitForBox(&box));
    ASSERT_TRUE(answer(box, IDIGNORE));
    ASSERT_TRUE(run.finish());
    EXPECT_TRUE(run.result);
    EXPECT_TRUE(session.filesIgnored);
    EXPECT_EQ(run.counters.filesCopied, 0u);
    EXPECT_TRUE(pathIsFile(destination + "\\plugins"));
}

TEST_F(TreeOps, FileInUseIsAskedAboutAndIgnoreKeepsTheOldFile)
{
    std::string source = freshDir("treeops-inuse-src");
    std::string destination = freshDir("treeops-inuse-dst");
    writeFile(source + "\\dll\\32\\engine.dll", "new engine");
    writeFile(destination + "\\dll\\32\\engine.dll", "old engine");
    HANDLE held = holdExclusively(destination + "\\dll\\32\\engine.dll");
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    CopyRun run;
    run.destination = destination;
    run.source = source;
    run.counters.fileCount = 1;
    run.counters.totalBytes = 10;
    run.start();
    Box box;
    ASSERT_TRUE(waitForBox(&box));
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.text, copyFileText(source + "\\dll\\32\\engine.dll",
                                     destination + "\\dll\\32\\engine.dll"));
    EXPECT_EQ(box.buttons, (std::vector<int>{IDABORT, IDRETRY, IDIGNORE}));
    EXPECT_FALSE(box.hasIcon);
    ASSERT_TRUE(answer(box, IDIGNORE));
    ASSERT_TRUE(run.finish());
    CloseHandle(held);
    EXPECT_TRUE(run.result);
    EXPECT_TRUE(session.filesIgnored);
    EXPECT_EQ(run.counters.filesCopied, 0u);
    EXPECT_EQ(run.counters.bytesCopied, 0u);
    EXPECT_EQ(contentOf(destination + "\\dll\\32\\engine.dll"), "old engine");
}

TEST_F(TreeOps, AbortInAQuestionEndsTheWholeCopyWithoutTheAbortFlag)
{
    std::string source = freshDir("treeops-boxabort-src");
    std::string destination = freshDir("treeops-boxabort-dst");
    writeFile(source + "\\a\\b\\c\\locked.dll", "new");
    writeFile(destination + "\\a\\b\\c\\locked.dll", "old");
    HANDLE held = holdExclusively(destination + "\\a\\b\\c\\locked.dll");
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    CopyRun run;
    run.destination = destination;
    run.source = source;
    run.start();
    Box box;
    ASSERT_TRUE(waitForBox(&box));
    ASSERT_TRUE(answer(box, IDABORT));
    ASSERT_TRUE(run.finish());
    CloseHandle(held);
    EXPECT_FALSE(run.result);
    EXPECT_FALSE(session.abortInstall);
    EXPECT_EQ(session.state.load(), Copying);
    EXPECT_FALSE(session.filesIgnored);
    EXPECT_EQ(contentOf(destination + "\\a\\b\\c\\locked.dll"), "old");
}

// The abort flag is looked at when the copy enters a directory and before each file: set while a
// question is open, it stops the copy at the next directory or the next file.
TEST_F(TreeOps, AbortRequestTakesEffectOnEnteringTheNextDirectory)
{
    std::string source = freshDir("treeops-abortdir-src");
    std::string destination = freshDir("treeops-abortdir-dst");
    writeFile(source + "\\plugins\\a.dlr", "plugin");
    writeFile(destination + "\\plugins", "obstacle");

    CopyRun run;
    run.destination = destination;
    run.source = source;
    run.start();
    Box box;
    ASSERT_TRUE(waitForBox(&box));
    session.abortInstall = true;
    DeleteFileA((destination + "\\plugins").c_str());
    ASSERT_TRUE(answer(box, IDRETRY));
    ASSERT_TRUE(run.finish());
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.status, "Installation aborted.");
    EXPECT_EQ(session.state.load(), InstallAborted);
    EXPECT_TRUE(pathIsDir(destination + "\\plugins"));
    EXPECT_FALSE(pathIsFile(destination + "\\plugins\\a.dlr"));
}

TEST_F(TreeOps, AbortRequestIsSeenBeforeTheNextFileOfADirectory)
{
    std::string source = freshDir("treeops-abortfile-src");
    std::string destination = freshDir("treeops-abortfile-dst");
    writeFile(source + "\\engine.dll", "new");
    writeFile(destination + "\\engine.dll", "old");
    writeFile(source + "\\tool.dll", "new tool");
    writeFile(destination + "\\tool.dll", "old tool");
    // Both held, so that the question comes for whichever the enumeration gives first.
    HANDLE held = holdExclusively(destination + "\\engine.dll");
    HANDLE heldTool = holdExclusively(destination + "\\tool.dll");
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ASSERT_NE(heldTool, INVALID_HANDLE_VALUE);

    CopyRun run;
    run.destination = destination;
    run.source = source;
    run.counters.fileCount = 2;
    run.start();
    Box box;
    ASSERT_TRUE(waitForBox(&box));
    session.abortInstall = true;
    CloseHandle(held);
    CloseHandle(heldTool);
    ASSERT_TRUE(answer(box, IDRETRY));
    ASSERT_TRUE(run.finish());
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.status, "Installation aborted.");
    EXPECT_EQ(session.state.load(), InstallAborted);
    EXPECT_EQ(run.counters.filesCopied, 1u);
    EXPECT_EQ(contentOf(destination + "\\engine.dll") + "|" + contentOf(destination + "\\tool.dll"),
              box.text.find("engine.dll") != std::string::npos ? "new|old tool" : "old|new tool");
}

//--- the copy's safety net

// The Abort button during the copy, after the first file, in the middle and before the last:
// the installation is put back byte for byte and attribute for attribute, journal and kept
// files gone.
TEST_F(TreeOps, AbortedCopyRestoresTheInstallationExactly)
{
    for (uint32_t abortAfter : {1u, 3u, 4u}) {
        SCOPED_TRACE(abortAfter);
        SetUp();
        CopyRun run = updateOverInstallation("treeops-net-abort");
        TreeImage before = treeImage(run.destination);
        onStatus = [&](const std::string &status) {
            if (status == copiedText(abortAfter))
                session.abortInstall = true;
        };
        run.start();
        ASSERT_TRUE(run.finish());
        EXPECT_FALSE(run.result);
        EXPECT_EQ(run.counters.filesCopied, abortAfter);
        EXPECT_EQ(run.status, "Installation aborted.");
        EXPECT_EQ(session.state.load(), InstallAborted);
        EXPECT_EQ(run.outcome, JournalRestored);
        EXPECT_EQ(treeImage(run.destination), before);
    }
}

// Abort answered for a file held by another program; and a directory that cannot be created
// because a file is in its way, when no question box can be shown at all (that counts as
// Abort instead of asking for ever).
TEST_F(TreeOps, CopyEndedInTheMiddleRestoresTheInstallation)
{
    for (bool heldFile : {true, false}) {
        SCOPED_TRACE(heldFile ? "held file, Abort" : "file in the way, no box");
        CopyRun run = updateOverInstallation("treeops-net-fail");
        if (!heldFile)
            writeFile(run.destination + "\\d2", "a file where the update has a directory");
        TreeImage before = treeImage(run.destination);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (heldFile) {
            held = holdExclusively(run.destination + "\\d1\\tool.exe");
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        } else {
            run.unshowableBoxes = true;
        }
        run.start();
        if (heldFile) {
            Box box;
            ASSERT_TRUE(waitForBox(&box));
            EXPECT_EQ(box.text, copyFileText(run.source + "\\d1\\tool.exe",
                                             run.destination + "\\d1\\tool.exe"));
            ASSERT_TRUE(answer(box, IDABORT));
        }
        ASSERT_TRUE(run.finish());
        CloseHandle(held);
        EXPECT_FALSE(run.result);
        EXPECT_FALSE(session.abortInstall);
        EXPECT_EQ(session.state.load(), Copying);
        EXPECT_EQ(run.outcome, JournalRestored);
        EXPECT_EQ(treeImage(run.destination), before);
    }
}

// The longest name a file gets ("<file>.~<token>.ignored") must fit the file calls' limit, or
// the file could be placed but neither retried nor kept: such a level is refused before its
// first change, and a name one character shorter is copied.
TEST_F(TreeOps, FileWhoseIgnoredNameWouldNotFitIsRefusedBeforeAnyChange)
{
    for (size_t length : {241u, 242u}) {
        SCOPED_TRACE(length);
        CopyRun run;
        run.prepareOneFile("treeops-long");
        std::string name(length - run.destination.size() - 1, 'n');
        writeFile(run.source + "\\" + name, "new");
        writeFile(run.destination + "\\" + name, "old");
        TreeImage before = treeImage(run.destination);
        run.start();
        ASSERT_TRUE(run.finish());
        EXPECT_EQ(run.result, length == 241);
        EXPECT_EQ(contentOf(run.destination + "\\" + name), length == 241 ? "new" : "old");
        // The status names the file that was refused.
        const char *refused = copyRefusedPath();
        EXPECT_EQ(refused ? refused : "", length == 242 ? run.destination + "\\" + name : "");
        if (length == 242) {
            EXPECT_EQ(treeImage(run.destination), before);
        }
    }
}

// A name carrying the run's token in a folder with files (left by someone else, however
// unlikely) would be taken for the run's own by an undo: the folder is refused untouched.
TEST_F(TreeOps, NameCarryingTheRunsTokenRefusesItsFolderBeforeAnyChange)
{
    const char *strangers[] = {"other.dll.~0badc0de.new", "readme.txt.~0badc0de",
                               "sub.~0badc0de.ignored"};
    TestSwitch token("QIM_COPY_TOKEN", "0badc0de");
    for (const char *stranger : strangers) {
        SCOPED_TRACE(stranger);
        CopyRun run;
        run.prepareOneFile("treeops-token");
        writeFile(run.source + "\\readme.txt", "new");
        writeFile(run.destination + "\\readme.txt", "old");
        writeFile(run.destination + "\\" + stranger, "not the run's");
        TreeImage before = treeImage(run.destination);
        run.start();
        ASSERT_TRUE(run.finish());
        EXPECT_FALSE(run.result);
        EXPECT_EQ(treeImage(run.destination), before);
    }
}

// A successful copy removes its kept files and its journal; a read-only file is replaced, an
// ignored held file stays the old one. A kept file that is held open when the copy ends stays
// with the journal, and the next settling of the journal removes both.
TEST_F(TreeOps, SuccessfulCopyLeavesNoKeptFileAndNoJournal)
{
    CopyRun clean = updateOverInstallation("treeops-net-ok");
    clean.start();
    ASSERT_TRUE(clean.finish());
    EXPECT_TRUE(clean.result);
    EXPECT_EQ(clean.outcome, JournalSettled);
    // The kept files stay until the result has been shown, with the journal that names them.
    EXPECT_EQ(keptFiles(clean.destination).size(), 2u);
    EXPECT_TRUE(pathIsFile(journalOf(clean.destination)));
    removeKeptFiles();
    EXPECT_EQ(contentOf(clean.destination + "\\d0\\engine.dll"), "new engine");
    EXPECT_EQ(contentOf(clean.destination + "\\d3\\x\\deep.txt"), "deep");
    EXPECT_EQ(contentOf(clean.destination + "\\keep.txt"), "untouched");
    EXPECT_TRUE(keptFiles(clean.destination).empty());
    EXPECT_FALSE(pathIsFile(journalOf(clean.destination)));

    CopyRun run = updateOverInstallation("treeops-net-held");
    HANDLE held = holdExclusively(run.destination + "\\d1\\tool.exe");
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    // Whichever replaced file comes first, its kept file is held from then on.
    HANDLE heldKept = INVALID_HANDLE_VALUE;
    onStatus = [&](const std::string &) {
        std::vector<std::string> kept = keptFiles(run.destination);
        if (heldKept == INVALID_HANDLE_VALUE && !kept.empty())
            heldKept = CreateFileA((run.destination + kept[0]).c_str(), GENERIC_READ, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    };
    run.start();
    Box box;
    ASSERT_TRUE(waitForBox(&box));
    ASSERT_TRUE(answer(box, IDIGNORE));
    ASSERT_TRUE(run.finish());
    CloseHandle(held);
    EXPECT_TRUE(run.result);
    EXPECT_TRUE(session.filesIgnored);
    EXPECT_EQ(run.outcome, JournalSettled);
    removeKeptFiles();
    EXPECT_EQ(contentOf(run.destination + "\\d1\\tool.exe"), "old tool");
    EXPECT_EQ(contentOf(run.destination + "\\d0\\engine.dll"), "new engine");
    ASSERT_NE(heldKept, INVALID_HANDLE_VALUE);
    std::vector<std::string> kept = keptFiles(run.destination);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].rfind("\\d0\\engine.dll.~", 0), 0u) << kept[0];
    EXPECT_TRUE(pathIsFile(journalOf(run.destination)));
    CloseHandle(heldKept);
    EXPECT_EQ(settleCopyJournal(run.destination.c_str()), JournalSettled);
    EXPECT_TRUE(keptFiles(run.destination).empty());
    EXPECT_FALSE(pathIsFile(journalOf(run.destination)));
}

//--- deleteTree

TEST_F(TreeOps, DeleteRemovesFilesAndEmptyDirectoriesDeepestFirst)
{
    std::string root = freshDir("treeops-delete");
    makeSampleTree(root);
    // 7-Zip keeps an archived file's read-only attribute; the clean-up removes it all the same.
    SetFileAttributesA((root + "\\bin\\32\\tool.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    ProgressWindow window;
    uint32_t deleted = 0, total = sampleFiles;
    EXPECT_TRUE(deleteTree(root.c_str(), &deleted, &total));
    EXPECT_EQ(deleted, sampleFiles);
    EXPECT_EQ(window.position(), 100);
    EXPECT_FALSE(pathIsDir(root));

    uint32_t none = 0;
    EXPECT_FALSE(deleteTree(root.c_str(), &deleted, &none));
    EXPECT_FALSE(deleteTree(nullptr, &deleted, &none));
}

// After a failed count the clean-up divides by 0 and must still remove everything.
TEST_F(TreeOps, DeleteWithAZeroOrShortDenominatorStaysOnTheBar)
{
    const uint32_t denominators[] = {0, 1};
    for (uint32_t denominator : denominators) {
        std::string root = freshDir("treeops-delete-zero");
        makeSampleTree(root);
        ProgressWindow window;
        uint32_t deleted = 0, total = denominator;
        EXPECT_TRUE(deleteTree(root.c_str(), &deleted, &total)) << denominator;
        EXPECT_EQ(deleted, sampleFiles);
        int position = window.position();
        EXPECT_GE(position, 0);
        EXPECT_LE(position, 100);
        EXPECT_FALSE(pathIsDir(root));
    }
}

TEST_F(TreeOps, DeleteCountsAFileItCannotRemoveAndKeepsItsDirectories)
{
    std::string root = freshDir("treeops-delete-held");
    writeFile(root + "\\sub\\held.dll", "in use");
    writeFile(root + "\\sub\\free.txt", "free");
    writeFile(root + "\\other\\x.txt", "x");
    HANDLE held = holdExclusively(root + "\\sub\\held.dll");
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    uint32_t deleted = 0, total = 3;
    EXPECT_TRUE(deleteTree(root.c_str(), &deleted, &total));
    CloseHandle(held);
    EXPECT_EQ(deleted, 3u);
    EXPECT_TRUE(pathIsFile(root + "\\sub\\held.dll"));
    EXPECT_FALSE(pathIsFile(root + "\\sub\\free.txt"));
    EXPECT_FALSE(pathIsDir(root + "\\other"));
}

//--- depth and path length

TEST_F(TreeOps, VeryDeepTreesFailCountAndCopyButAreStillDeleted)
{
    std::string root = freshDir("treeops-deep");
    std::string deepest = root;
    for (int level = 0; level < 110; ++level)
        deepest += "\\d";
    ASSERT_TRUE(makeDirs(deepest));
    ASSERT_TRUE(writeFile(deepest + "\\bottom.txt", "b"));
    uint32_t files = 0, bytes = 0;
    EXPECT_FALSE(countTree(root.c_str(), &files, &bytes));

    std::string destination = freshDir("treeops-deep-dst");
    Counters c;
    EXPECT_FALSE(copyTree(destination.c_str(), root.c_str(), &c.bytesCopied, &c.totalBytes,
                          &c.filesCopied, &c.fileCount));

    uint32_t deleted = 0, total = 0;
    EXPECT_TRUE(deleteTree(root.c_str(), &deleted, &total));
    EXPECT_EQ(deleted, 1u);
    EXPECT_FALSE(pathIsDir(root));
}

// Beyond the system's path limit the ANSI calls cannot reach an entry: the walk fails cleanly
// and copies nothing, whatever 7-Zip managed to unpack there.
TEST_F(TreeOps, EntriesBeyondThePathLimitFailTheWalk)
{
    std::string root = freshDir("treeops-long");
    std::wstring longDir = L"\\\\?\\" + std::wstring(root.begin(), root.end());
    const std::wstring part(120, L'L');
    for (int level = 0; level < 3; ++level) {
        longDir += L"\\" + part;
        ASSERT_TRUE(CreateDirectoryW(longDir.c_str(), nullptr)) << level;
    }
    HANDLE file = CreateFileW((longDir + L"\\f.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    uint32_t files = 0, bytes = 0;
    EXPECT_FALSE(countTree(root.c_str(), &files, &bytes));
    EXPECT_EQ(files, 0u);

    // The copy cannot create the destination directory either and asks; Abort ends it.
    CopyRun run;
    run.destination = freshDir("treeops-long-dst");
    run.source = root;
    run.start();
    Box box;
    ASSERT_TRUE(waitForBox(&box));
    EXPECT_EQ(box.text.rfind("Can't create directory:", 0), 0u) << box.text;
    ASSERT_TRUE(answer(box, IDABORT));
    ASSERT_TRUE(run.finish());
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.counters.filesCopied, 0u);
    DeleteFileW((longDir + L"\\f.txt").c_str());
    for (int level = 0; level < 3; ++level) {
        RemoveDirectoryW(longDir.c_str());
        longDir.resize(longDir.size() - part.size() - 1);
    }
    removeTree(root);
}

//--- hand-written journals settled against prepared trees

namespace
{
// "<size> <time> <attributes>" of a file as the journal records the file the copy placed; the
// attributes an undo puts back are those of a plain file.
std::string signature(const std::string &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return "missing";
    char text[48];
    snprintf(text, sizeof text, "%08lx%08lx %08lx%08lx 00000000", data.nFileSizeHigh,
             data.nFileSizeLow, data.ftLastWriteTime.dwHighDateTime,
             data.ftLastWriteTime.dwLowDateTime);
    return text;
}

std::string placed(char kind, const std::string &path)
{
    return std::string(1, kind) + " " + signature(path) + " " + path + "\n";
}

// What the copy read back from a placed file: its size and time as stored and its identity, the
// file index shifted by indexOffset to fake a file written anew; zeros where the file system
// keeps no identity.
std::string readBack(const std::string &path, uint64_t indexOffset, bool identity = true,
                     int64_t secondsOff = 0)
{
    BY_HANDLE_FILE_INFORMATION info{};
    HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    uint64_t time = ((uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) |
                     info.ftLastWriteTime.dwLowDateTime) +
                    uint64_t(secondsOff * 10000000);
    uint64_t index = ((uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow) + indexOffset;
    char text[160];
    snprintf(text, sizeof text, "P %016llx %016llx %08lx %016llx ",
             (unsigned long long)info.nFileSizeLow, (unsigned long long)time,
             identity ? (unsigned long)info.dwVolumeSerialNumber : 0ul,
             identity ? (unsigned long long)index : 0ull);
    return text + path + "\n";
}

// An N or R record of a file as it is now but for its time, secondsOff later.
std::string announcedOff(char kind, const std::string &path, int64_t secondsOff)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    uint64_t time =
        (uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    char text[160];
    snprintf(text, sizeof text, "%c %016llx %016llx 00000000 ", kind,
             (unsigned long long)data.nFileSizeLow,
             (unsigned long long)(time + uint64_t(secondsOff * 10000000)));
    return text + path + "\n";
}

// The announcement of a file whose source had another time than the file system stored (FAT
// keeps 2 s steps), followed by what the copy read back from the placed file.
std::string placedOnCoarseVolume(char kind, const std::string &path, uint64_t secondsOff,
                                 uint64_t indexOffset = 0, bool identity = true)
{
    return announcedOff(kind, path, int64_t(secondsOff)) + readBack(path, indexOffset, identity);
}

// An N or R record of a file as it is now, with the old file's attributes given.
std::string announced(char kind, const std::string &path, const char *attributes)
{
    std::string sig = signature(path);
    return std::string(1, kind) + " " + sig.substr(0, sig.size() - 8) + attributes + " " + path +
           "\n";
}

// The same in the form a previous version wrote, without attributes.
std::string announcedWithoutAttributes(char kind, const std::string &path)
{
    std::string sig = signature(path);
    return std::string(1, kind) + " " + sig.substr(0, sig.size() - 9) + " " + path + "\n";
}

struct JournalCase {
    const char *name;
    // Prepares root (and outside, a directory beside it) and returns the journal's text.
    std::function<std::string(const std::string &root, const std::string &outside)> prepare;
    JournalOutcome outcome;
    std::function<void(const std::string &root, const std::string &outside)> check;
};

std::string unreadableOf(const std::string &root)
{
    return root + "\\QIMUpdate.journal.unreadable";
}

// A journal naming a file outside its root, in one of the forms a crafted journal could use.
JournalCase outsideCase(const char *name,
                        std::function<std::string(const std::string &, const std::string &)> path)
{
    return {name,
            [path](const std::string &root, const std::string &outside) {
                writeFile(outside + "\\victim.dll", "someone else's");
                return "T 0badc0de " + root + "\n" + "N " + signature(outside + "\\victim.dll") +
                       " " + path(root, outside) + "\n";
            },
            JournalUnreadable,
            [](const std::string &root, const std::string &outside) {
                EXPECT_EQ(contentOf(outside + "\\victim.dll"), "someone else's");
                EXPECT_FALSE(pathIsFile(journalOf(root)));
                EXPECT_TRUE(pathIsFile(unreadableOf(root)));
            }};
}

std::vector<JournalCase> journalCases()
{
    return {
        // The state a kill inside the copy of a large file leaves: the new file only under its
        // temporary name, its old one kept aside; and one file placed whole before it.
        {"stale run: a half-written new file, one placed file still the copy's",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\bin\\a.dll", "new a");
             std::string record = placed('R', root + "\\bin\\a.dll");
             MoveFileA((root + "\\bin\\a.dll").c_str(),
                       (root + "\\bin\\a.dll.~0000abcd.new").c_str());
             writeFile(root + "\\bin\\a.dll.~0000abcd.new", "new");
             writeFile(root + "\\bin\\a.dll.~0000abcd", "old a");
             writeFile(root + "\\bin\\b.dll", "new b");
             writeFile(root + "\\bin\\b.dll.~0000abcd", "old b");
             return "T 0000abcd " + root + "\n" + record + placed('R', root + "\\bin\\b.dll");
         },
         JournalRestored,
         [](const std::string &root, const std::string &) {
             EXPECT_EQ(contentOf(root + "\\bin\\a.dll"), "old a");
             EXPECT_EQ(contentOf(root + "\\bin\\b.dll"), "old b");
             EXPECT_EQ(keptFiles(root), std::vector<std::string>());
             EXPECT_FALSE(pathIsFile(journalOf(root)));
         }},
        {"a half-written new file of a file that was new",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\added.dll", "added");
             std::string record = placed('N', root + "\\added.dll");
             MoveFileA((root + "\\added.dll").c_str(),
                       (root + "\\added.dll.~0000abcd.new").c_str());
             return "T 0000abcd " + root + "\n" + record;
         },
         JournalRestored,
         [](const std::string &root, const std::string &) {
             EXPECT_EQ(treeImage(root), TreeImage());
         }},
        // A repair after the copy, before the next start: the file it wrote is not the copy's, so
        // it stays with the kept copy beside it.
        {"stale run: one placed file rewritten since, one still the copy's",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\bin\\a.dll", "new a");
             std::string record = placed('R', root + "\\bin\\a.dll");
             writeFile(root + "\\bin\\a.dll", "repaired by a full installer");
             writeFile(root + "\\bin\\a.dll.~0000abcd", "old a");
             writeFile(root + "\\bin\\b.dll", "new b");
             writeFile(root + "\\bin\\b.dll.~0000abcd", "old b");
             return "T 0000abcd " + root + "\n" + record + placed('R', root + "\\bin\\b.dll");
         },
         JournalChangedLeft,
         [](const std::string &root, const std::string &) {
             EXPECT_EQ(contentOf(root + "\\bin\\a.dll"), "repaired by a full installer");
             EXPECT_EQ(contentOf(root + "\\bin\\a.dll.~0000abcd"), "old a");
             EXPECT_EQ(contentOf(root + "\\bin\\b.dll"), "old b");
             EXPECT_FALSE(pathIsFile(root + "\\bin\\b.dll.~0000abcd"));
             EXPECT_FALSE(pathIsFile(journalOf(root)));
         }},
        {"times 1 s and 2 s off on a FAT-like volume: what was read back decides",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\one.dll", "new one");
             writeFile(root + "\\two.dll", "new two");
             writeFile(root + "\\two.dll.~0000fa70", "old two");
             return "T 0000fa70 " + root + "\n" + placedOnCoarseVolume('N', root + "\\one.dll", 1) +
                    placedOnCoarseVolume('R', root + "\\two.dll", 2);
         },
         JournalRestored,
         [](const std::string &root, const std::string &) {
             EXPECT_FALSE(pathIsFile(root + "\\one.dll"));
             EXPECT_EQ(contentOf(root + "\\two.dll"), "old two");
             EXPECT_TRUE(keptFiles(root).empty());
         }},
        {"a placed file written anew since, same size and time, another identity",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\a.dll", "new a");
             writeFile(root + "\\a.dll.~0000fa71", "old a");
             return "T 0000fa71 " + root + "\n" + placedOnCoarseVolume('R', root + "\\a.dll", 0, 1);
         },
         JournalChangedLeft,
         [](const std::string &root, const std::string &) {
             EXPECT_EQ(contentOf(root + "\\a.dll"), "new a");
             EXPECT_EQ(contentOf(root + "\\a.dll.~0000fa71"), "old a");
         }},
        // FAT keeps local time: daylight saving between the copy and the next start moves them.
        {"files exactly an hour off where no identity was recorded: daylight saving on FAT",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\one.dll", "new one");
             writeFile(root + "\\two.dll", "new two");
             writeFile(root + "\\two.dll.~0000fa74", "old two");
             writeFile(root + "\\three.dll", "new three, not yet recorded");
             return "T 0000fa74 " + root + "\n" + placed('N', root + "\\one.dll") +
                    readBack(root + "\\one.dll", 0, false, 3600) + placed('R', root + "\\two.dll") +
                    readBack(root + "\\two.dll", 0, false, -3600) +
                    announcedOff('N', root + "\\three.dll", -3600);
         },
         JournalRestored,
         [](const std::string &root, const std::string &) {
             EXPECT_FALSE(pathIsFile(root + "\\one.dll"));
             EXPECT_EQ(contentOf(root + "\\two.dll"), "old two");
             EXPECT_FALSE(pathIsFile(root + "\\three.dll"));
             EXPECT_TRUE(keptFiles(root).empty());
         }},
        {"other amounts off, or an hour off where an identity was recorded: changed since",
         [](const std::string &root, const std::string &) {
             std::string text = "T 0000fa75 " + root + "\n";
             const struct {
                 const char *name;
                 int64_t secondsOff;
                 bool identity;
             } files[] = {{"\\one.dll", 3660, false},
                          {"\\two.dll", 3600, true},
                          {"\\three.dll", 7200, false}};
             for (const auto &file : files) {
                 writeFile(root + file.name, "new");
                 writeFile(root + file.name + ".~0000fa75", "old");
                 text += placed('R', root + file.name) +
                         readBack(root + file.name, 0, file.identity, file.secondsOff);
             }
             return text;
         },
         JournalChangedLeft,
         [](const std::string &root, const std::string &) {
             for (const char *name : {"\\one.dll", "\\two.dll", "\\three.dll"})
                 EXPECT_EQ(contentOf(root + name), "new") << name;
             EXPECT_EQ(keptFiles(root).size(), 3u);
         }},
        // On FAT a rename moves the file index, so the copy records no identity there.
        {"a FAT-like volume keeps no identity: zeros are not compared",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\one.dll", "new one");
             writeFile(root + "\\two.dll", "new two");
             writeFile(root + "\\two.dll.~0000fa72", "old two");
             return "T 0000fa72 " + root + "\n" +
                    placedOnCoarseVolume('N', root + "\\one.dll", 2, 0, false) +
                    placedOnCoarseVolume('R', root + "\\two.dll", 1, 0, false);
         },
         JournalRestored,
         [](const std::string &root, const std::string &) {
             EXPECT_FALSE(pathIsFile(root + "\\one.dll"));
             EXPECT_EQ(contentOf(root + "\\two.dll"), "old two");
             EXPECT_TRUE(keptFiles(root).empty());
         }},
        // A rename that failed once removed its new file; Retry placed the file again.
        {"a file placed twice: the last read-back decides",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\a.dll", "new a");
             writeFile(root + "\\a.dll.~0000fa73", "old a");
             return "T 0000fa73 " + root + "\n" + placed('R', root + "\\a.dll") +
                    readBack(root + "\\a.dll", 7) + readBack(root + "\\a.dll", 0);
         },
         JournalRestored,
         [](const std::string &root, const std::string &) {
             EXPECT_EQ(contentOf(root + "\\a.dll"), "old a");
             EXPECT_TRUE(keptFiles(root).empty());
         }},
        // Ended between clearing the old file's attributes and setting it aside; the old file
        // has the new one's size and time, so it looks placed.
        {"an old read-only hidden file like the new one gets its attributes back",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\same.dat", "same");
             return "T 0000fa74 " + root + "\n" + announced('R', root + "\\same.dat", "00000003");
         },
         JournalRestored,
         [](const std::string &root, const std::string &) {
             DWORD attributes = GetFileAttributesA((root + "\\same.dat").c_str());
             EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
                       DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
             EXPECT_EQ(contentOf(root + "\\same.dat"), "same");
             SetFileAttributesA((root + "\\same.dat").c_str(), FILE_ATTRIBUTE_NORMAL);
         }},
        // What the previous version left after an interrupted update; attributes unknown are
        // left as the kept file has them.
        {"a journal without attributes, from the previous version",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\a.dll", "new a");
             writeFile(root + "\\a.dll.~0000fa75", "old a");
             SetFileAttributesA((root + "\\a.dll.~0000fa75").c_str(), FILE_ATTRIBUTE_READONLY);
             writeFile(root + "\\b.dll", "new b");
             return "T 0000fa75 " + root + "\n" +
                    announcedWithoutAttributes('R', root + "\\a.dll") +
                    announcedWithoutAttributes('N', root + "\\b.dll");
         },
         JournalRestored,
         [](const std::string &root, const std::string &) {
             EXPECT_EQ(contentOf(root + "\\a.dll"), "old a");
             EXPECT_TRUE(GetFileAttributesA((root + "\\a.dll").c_str()) & FILE_ATTRIBUTE_READONLY);
             EXPECT_FALSE(pathIsFile(root + "\\b.dll"));
             EXPECT_FALSE(pathIsFile(journalOf(root)));
             SetFileAttributesA((root + "\\a.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
         }},
        // A new file whose removal failed during a committed copy goes with its kept files.
        {"a committed run's leftover new file is removed with the kept ones",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\a.dll", "new a");
             writeFile(root + "\\a.dll.~0000fa76", "old a");
             writeFile(root + "\\a.dll.~0000fa76.new", "a failed attempt");
             writeFile(root + "\\b.dll", "new b");
             writeFile(root + "\\b.dll.~0000fa76.new", "another failed attempt");
             return "T 0000fa76 " + root + "\n" + placed('R', root + "\\a.dll") +
                    placed('N', root + "\\b.dll") + "C\n";
         },
         JournalSettled,
         [](const std::string &root, const std::string &) {
             EXPECT_EQ(contentOf(root + "\\a.dll"), "new a");
             EXPECT_EQ(contentOf(root + "\\b.dll"), "new b");
             EXPECT_TRUE(keptFiles(root).empty());
             EXPECT_FALSE(pathIsFile(journalOf(root)));
         }},
        {"created directory now holding a user file",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\added\\placed.txt", "placed");
             writeFile(root + "\\added\\user.txt", "the user's");
             return "T 12345678 " + root + "\nD " + root + "\\added\n" +
                    placed('N', root + "\\added\\placed.txt");
         },
         JournalRestored,
         [](const std::string &root, const std::string &) {
             EXPECT_FALSE(pathIsFile(root + "\\added\\placed.txt"));
             EXPECT_EQ(contentOf(root + "\\added\\user.txt"), "the user's");
             EXPECT_FALSE(pathIsFile(journalOf(root)));
         }},
        {"only the last unfinished run is undone, and zeros after it are damage",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\early.txt", "placed by a run followed by another");
             writeFile(root + "\\early.txt.~00000001", "kept by that run");
             writeFile(root + "\\late.txt", "placed by the last run");
             return "T 00000001 " + root + "\n" + placed('R', root + "\\early.txt") +
                    "T 00000002 " + root + "\n" + placed('N', root + "\\late.txt") +
                    std::string(64, '\0');
         },
         JournalRestored,
         [](const std::string &root, const std::string &) {
             EXPECT_EQ(contentOf(root + "\\early.txt"), "placed by a run followed by another");
             EXPECT_TRUE(pathIsFile(root + "\\early.txt.~00000001"));
             EXPECT_FALSE(pathIsFile(root + "\\late.txt"));
             EXPECT_FALSE(pathIsFile(journalOf(root)));
         }},
        {"zeros followed by more text",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\late.txt", "placed");
             return "T 00000002 " + root + "\n" + placed('N', root + "\\late.txt") +
                    std::string(8, '\0') + "D " + root + "\n";
         },
         JournalUnreadable,
         [](const std::string &root, const std::string &) {
             EXPECT_EQ(contentOf(root + "\\late.txt"), "placed");
             EXPECT_TRUE(pathIsFile(unreadableOf(root)));
         }},
        outsideCase(
            "absolute path elsewhere",
            [](const std::string &, const std::string &out) { return out + "\\victim.dll"; }),
        outsideCase("dot-dot out of the root",
                    [](const std::string &root, const std::string &out) {
                        return root + "\\..\\" + out.substr(out.rfind('\\') + 1) + "\\victim.dll";
                    }),
        outsideCase("device-path form",
                    [](const std::string &, const std::string &out) {
                        return "\\\\?\\" + out + "\\victim.dll";
                    }),
        outsideCase("stream after the drive",
                    [](const std::string &root, const std::string &) {
                        return root + "\\victim.dll:stream";
                    }),
        outsideCase("relative path",
                    [](const std::string &, const std::string &) { return "victim.dll"; }),
        {"a run rooted elsewhere than the journal",
         [](const std::string &, const std::string &outside) {
             writeFile(outside + "\\victim.dll", "someone else's");
             return "T 0badc0de " + outside + "\n" + placed('N', outside + "\\victim.dll");
         },
         JournalUnreadable,
         [](const std::string &, const std::string &outside) {
             EXPECT_EQ(contentOf(outside + "\\victim.dll"), "someone else's");
         }},
        {"malformed first record",
         [](const std::string &root, const std::string &) {
             writeFile(root + "\\placed.txt", "placed");
             return placed('N', root + "\\placed.txt");
         },
         JournalUnreadable,
         [](const std::string &root, const std::string &) {
             EXPECT_EQ(contentOf(root + "\\placed.txt"), "placed");
         }},
        {"a torn first record only: the copy had not begun",
         [](const std::string &root, const std::string &) { return "T 0000" + root; },
         JournalSettled,
         [](const std::string &root, const std::string &) {
             EXPECT_FALSE(pathIsFile(journalOf(root)));
             EXPECT_FALSE(pathIsFile(unreadableOf(root)));
         }},
    };
}
} // namespace

TEST_F(TreeOps, HandWrittenJournalsAreSettledOnlyWhereTheyMaySafely)
{
    for (const JournalCase &row : journalCases()) {
        SCOPED_TRACE(row.name);
        std::string root = freshDir("treeops-journal");
        std::string outside = freshDir("treeops-journal-outside");
        std::string text = row.prepare(root, outside);
        ASSERT_TRUE(writeFile(journalOf(root), text));
        EXPECT_EQ(settleCopyJournal(root.c_str()), row.outcome);
        row.check(root, outside);
        if (row.outcome == JournalUnreadable) {
            EXPECT_EQ(contentOf(unreadableOf(root)), text);
        }
    }
}

// A finished run whose kept file is still held, followed by a torn record: the journal that
// stays for the next start is written afresh without the damage, never appended to.
TEST_F(TreeOps, JournalEndingInDamageIsRewrittenNotAppendedTo)
{
    std::string root = freshDir("treeops-journal-torn");
    writeFile(root + "\\x.dll", "new x");
    writeFile(root + "\\x.dll.~00c0ffee", "old x");
    std::string clean = "T 00c0ffee " + root + "\n" + placed('R', root + "\\x.dll") + "C\n";
    ASSERT_TRUE(writeFile(journalOf(root), clean + "T 0000ab"));
    HANDLE held = holdExclusively(root + "\\x.dll.~00c0ffee");
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(settleCopyJournal(root.c_str()), JournalSettled);
    EXPECT_EQ(contentOf(journalOf(root)), clean);
    EXPECT_FALSE(pathIsFile(root + "\\QIMUpdate.journal.new"));
    CloseHandle(held);
    EXPECT_EQ(settleCopyJournal(root.c_str()), JournalSettled);
    EXPECT_FALSE(pathIsFile(root + "\\x.dll.~00c0ffee"));
    EXPECT_EQ(contentOf(root + "\\x.dll"), "new x");
    EXPECT_FALSE(pathIsFile(journalOf(root)));
}

// A read-only DLL that this process has loaded, held the way Windows holds a loaded image: the
// copy asks about it instead of setting it aside, and the question leaves its attribute as it
// was; the file after it, prepared beside the copy, is not held while the question is open. While
// a copy holds the installation, a second settling of its journal finds it busy and leaves the
// journal alone, under whichever spelling of the root it is given.
TEST_F(TreeOps, LoadedReadOnlyFileIsAskedAboutAndABusyInstallationIsLeftAlone)
{
    CopyRun run;
    run.source = freshDir("treeops-loaded-src");
    run.destination = freshDir("treeops-loaded-dst");
    run.journalDir = run.destination;
    std::string dll = run.destination + "\\bin\\PlenaraDLL32.dll";
    ASSERT_TRUE(makeDirs(run.destination + "\\bin"));
    ASSERT_TRUE(CopyFileA((fixtureDir() + "\\PlenaraDLL32.dll").c_str(), dll.c_str(), FALSE));
    // Listed in the order written: the DLL between the two others, whichever way round.
    const char *const others[] = {"\\bin\\a.dat", "\\bin\\z.dat"};
    writeFile(run.source + others[0], "new a");
    writeFile(run.source + "\\bin\\PlenaraDLL32.dll", "new engine");
    writeFile(run.source + others[1], "new z");
    for (const char *other : others)
        writeFile(run.destination + other, "old");
    SetFileAttributesA(dll.c_str(), FILE_ATTRIBUTE_READONLY);
    DWORD attributes = GetFileAttributesA(dll.c_str());
    TreeImage before = treeImage(run.destination);
    HMODULE loaded = LoadLibraryA(dll.c_str());
    ASSERT_NE(loaded, nullptr);
    run.counters.fileCount = 1;
    run.start();
    Box box;
    ASSERT_TRUE(waitForBox(&box));
    EXPECT_EQ(box.text, copyFileText(run.source + "\\bin\\PlenaraDLL32.dll", dll));
    EXPECT_EQ(GetFileAttributesA(dll.c_str()), attributes);
    int waiting = 0;
    for (const char *other : others) {
        HANDLE held = holdExclusively(run.destination + other);
        EXPECT_NE(held, INVALID_HANDLE_VALUE) << other << " is held during the question";
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        waiting += contentOf(run.destination + other) == "old";
    }
    EXPECT_EQ(waiting, 1) << "the DLL was not listed between the other two";
    std::string journalText = contentOf(journalOf(run.destination));
    EXPECT_EQ(settleCopyJournal(run.destination.c_str()), JournalBusy);
    // Its 8.3 spelling meets the same lock, instead of setting the live journal aside.
    char shortSpelling[MAX_PATH];
    DWORD length = GetShortPathNameA(run.destination.c_str(), shortSpelling, sizeof shortSpelling);
    ASSERT_TRUE(length > 0 && length < sizeof shortSpelling);
    EXPECT_NE(std::string(shortSpelling), run.destination);
    EXPECT_EQ(settleCopyJournal(shortSpelling), JournalBusy);
    EXPECT_EQ(contentOf(journalOf(run.destination)), journalText);
    ASSERT_TRUE(answer(box, IDABORT));
    ASSERT_TRUE(run.finish());
    FreeLibrary(loaded);
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.outcome, JournalRestored);
    TreeImage after = treeImage(run.destination);
    EXPECT_EQ(after, before);
}

// Outside the tests' crash points, each file after the first of a directory is written beside the
// copy on its own thread while the one before it is set in place. The copy writes a file itself
// when it gets there before that thread has started on it, as on a busy machine; here each
// status update waits a little, so that the thread gets its turn.
TEST_F(TreeOps, FilesAfterTheFirstOfADirectoryAreWrittenBesideTheCopy)
{
    CopyRun run;
    run.source = freshDir("treeops-ahead-src");
    run.destination = freshDir("treeops-ahead-dst");
    run.journalDir = run.destination;
    for (int i = 0; i < 20; ++i) {
        std::string name = "\\f" + std::to_string(i) + ".dat";
        writeFile(run.source + name, std::string(4096 + i, 'n'));
        writeFile(run.destination + name, "old");
    }
    unsigned preparedBefore = filesTakenPrepared();
    onStatus = [](const std::string &) { Sleep(20); };
    run.start();
    ASSERT_TRUE(run.finish());
    EXPECT_TRUE(run.result);
    removeKeptFiles();
    EXPECT_EQ(treeImage(run.destination), treeImage(run.source));
    EXPECT_GT(filesTakenPrepared(), preparedBefore);
}

// A last-write time the file system refuses (FAT before 1980; here the test build's
// QIM_REFUSE_FILE_TIME) does not stop the copy: the new file keeps the time it got, and what the
// copy recorded of it still names it, so that an undo (the commit's flush refused) takes it away.
// (That the time set again keeps closing from stamping the file anew shows only on Windows: Wine
// never stamps a file when it is closed.)
TEST_F(TreeOps, RefusedFileTimeLeavesTheFilesOwnTimeWhichTheUndoStillKnows)
{
    TestSwitch refuseTime("QIM_REFUSE_FILE_TIME");
    for (bool committed : {false, true}) {
        SCOPED_TRACE(committed ? "committed" : "undone");
        CopyRun run =
            updateOverInstallation(committed ? "treeops-time-kept" : "treeops-time-undone");
        std::string tool = run.destination + "\\d1\\tool.exe";
        TreeImage before = treeImage(run.destination);
        {
            TestSwitch refuseCommit(committed ? "QIM_UNUSED_SWITCH" : "QIM_REFUSE_COMMIT");
            run.start();
            ASSERT_TRUE(run.finish());
        }
        EXPECT_EQ(run.result, committed);
        EXPECT_EQ(run.outcome, committed ? JournalSettled : JournalRestored);
        removeKeptFiles();
        if (!committed) {
            EXPECT_EQ(treeImage(run.destination), before);
            continue;
        }
        EXPECT_EQ(contentOf(tool), "new tool");
        EXPECT_NE(lastWrite(tool), lastWrite(run.source + "\\d1\\tool.exe"));
    }
}

// A file of the update that cannot be read (another program holds it) is asked about as one in
// use is, whether the copy met it or the preparation of the file ahead did; Retry once it is free
// places it, the files after it are still prepared ahead, and nothing is left beside the
// installation's files. Crash points armed (none taken) make the preparation happen at once, so
// that it is taken every time.
TEST_F(TreeOps, UnreadableUpdateFileIsAskedAboutAndRetryPlacesIt)
{
    CopyRun run;
    run.source = freshDir("treeops-unreadable-src");
    run.destination = freshDir("treeops-unreadable-dst");
    run.journalDir = run.destination;
    for (const char *name : {"\\a.dat", "\\b.dat", "\\c.dat", "\\d.dat"}) {
        writeFile(run.source + name, std::string("new ") + name);
        writeFile(run.destination + name, "old");
    }
    unsigned preparedBefore = filesTakenPrepared();
    TestSwitch armed("QIM_CRASH_AT", "0");
    HANDLE held = holdExclusively(run.source + "\\b.dat");
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    run.start();
    Box box;
    ASSERT_TRUE(waitForBox(&box));
    EXPECT_EQ(box.text, copyFileText(run.source + "\\b.dat", run.destination + "\\b.dat"));
    CloseHandle(held);
    ASSERT_TRUE(answer(box, IDRETRY));
    ASSERT_TRUE(run.finish());
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.outcome, JournalSettled);
    removeKeptFiles();
    EXPECT_EQ(treeImage(run.destination), treeImage(run.source));
    EXPECT_GT(filesTakenPrepared(), preparedBefore);
}

// An undo that meets a placed file another program holds cannot finish: it names the file, keeps
// the journal, and the next settling, once the file is free, puts the old one back.
TEST_F(TreeOps, UndoThatCannotFinishNamesTheFileAndFinishesLater)
{
    std::string root = freshDir("treeops-journal-held");
    writeFile(root + "\\engine.dll", "new engine");
    writeFile(root + "\\engine.dll.~0feed000", "old engine");
    ASSERT_TRUE(writeFile(journalOf(root),
                          "T 0feed000 " + root + "\n" + placed('R', root + "\\engine.dll")));
    HANDLE held = holdExclusively(root + "\\engine.dll");
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(settleCopyJournal(root.c_str()), JournalIncomplete);
    EXPECT_EQ(std::string(unrestoredFile()), root + "\\engine.dll");
    EXPECT_TRUE(pathIsFile(journalOf(root)));
    CloseHandle(held);
    EXPECT_EQ(settleCopyJournal(root.c_str()), JournalRestored);
    EXPECT_EQ(contentOf(root + "\\engine.dll"), "old engine");
    EXPECT_TRUE(keptFiles(root).empty());
    EXPECT_FALSE(pathIsFile(journalOf(root)));
}

// With %TEMP% in its short form, the temporaries a killed update named in their long form are
// still its own and are removed with the undo; a look-alike outside the temporary directory is
// not.
TEST_F(TreeOps, TemporariesAreRecognisedWhicheverFormTheTemporaryDirectoryTakes)
{
    std::string longTemp = freshDir("LongerTemporaryDirectory");
    std::string root = freshDir("treeops-journal-temp");
    std::string elsewhere = freshDir("treeops-journal-nottemp");
    char shortTemp[MAX_PATH];
    DWORD length = GetShortPathNameA(longTemp.c_str(), shortTemp, sizeof shortTemp);
    ASSERT_TRUE(length > 0 && length < sizeof shortTemp);
    ASSERT_NE(std::string(shortTemp), longTemp) << "no short name to compare";
    writeFile(longTemp + "\\qimUpdate.zip", "archive");
    writeFile(longTemp + "\\qimUnpacked\\Renderer\\readme.txt", "unpacked");
    writeFile(elsewhere + "\\qimLookalike.zip", "not the updater's");
    ASSERT_TRUE(writeFile(journalOf(root),
                          "T 7e3f0000 " + root + "\nU " + longTemp + "\\qimUpdate.zip\nU " +
                              longTemp + "\\qimUnpacked\nU " + elsewhere + "\\qimLookalike.zip\n"));
    char saved[MAX_PATH] = "";
    DWORD savedLength = GetEnvironmentVariableA("TMP", saved, sizeof saved);
    SetEnvironmentVariableA("TMP", shortTemp);
    JournalOutcome outcome = settleCopyJournal(root.c_str());
    SetEnvironmentVariableA("TMP", savedLength ? saved : nullptr);
    EXPECT_EQ(outcome, JournalRestored);
    EXPECT_FALSE(pathIsFile(longTemp + "\\qimUpdate.zip"));
    EXPECT_FALSE(pathIsDir(longTemp + "\\qimUnpacked"));
    EXPECT_TRUE(pathIsFile(elsewhere + "\\qimLookalike.zip"));
    removeTree(longTemp);
}

// QIM starts the updater while the new engine is loaded: the undo cannot delete the placed DLL,
// so it renames it aside (gone at the next restart) and puts the old one back.
TEST_F(TreeOps, UndoRenamesALoadedPlacedFileAside)
{
    std::string root = freshDir("treeops-journal-loaded");
    std::string dll = root + "\\bin\\PlenaraDLL32.dll";
    ASSERT_TRUE(makeDirs(root + "\\bin"));
    ASSERT_TRUE(CopyFileA((fixtureDir() + "\\PlenaraDLL32.dll").c_str(), dll.c_str(), FALSE));
    writeFile(dll + ".~5ca1ab1e", "old engine");
    ASSERT_TRUE(writeFile(journalOf(root), "T 5ca1ab1e " + root + "\n" + placed('R', dll)));
    HMODULE loaded = LoadLibraryA(dll.c_str());
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(settleCopyJournal(root.c_str()), JournalRestored);
    EXPECT_EQ(contentOf(dll), "old engine");
    EXPECT_TRUE(pathIsFile(dll + ".~5ca1ab1e.undone"));
    EXPECT_FALSE(pathIsFile(journalOf(root)));
    FreeLibrary(loaded);
}
