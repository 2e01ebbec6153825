// The updater's start-up as a user meets it: the window, its controls and the ways to leave.
// These also run in the 64-bit prefix, where the updater sees an x64 processor.
#include "spinetest.h"
#include <commctrl.h>
#include <gtest/gtest.h>

namespace
{
struct ExpectedControl {
    int id;
    const char *windowClass;
    const char *text;
    RECT rect;
};

const ExpectedControl plainControls[] = {
    {ActionButtonId, "Button", "Check update", {10, 120, 150, 150}},
    {ExitButtonId, "Button", "Exit", {160, 120, 300, 150}},
    {VersionLabelId, "Static", "Current QIM version: 1.2.3", {10, 10, 345, 30}},
    {StatusLabelId, "Static", "Click Check update...", {10, 30, 345, 50}},
    {AutoUpdateCheckboxId, "Button", "Check for updates on QIM start", {10, 75, 260, 95}},
    {AutoInstallCheckboxId, "Button", "Auto install after download", {10, 95, 260, 115}},
};

class UpdaterStartup : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        deleteValdormineKey();
        makeInstallation("spine-startup", {1, 2, 3});
    }
    void TearDown() override
    {
        deleteValdormineKey();
    }
};
} // namespace

TEST_F(UpdaterStartup, ShowsTheInstalledVersionInAWindowOfFixedLayout)
{
    Program program;
    HWND window = startUpdater(program);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(windowText(window), "QIM Update");
    SIZE client = clientSize(window);
    EXPECT_EQ(client.cx, 310);
    EXPECT_EQ(client.cy, 160);
    for (const ExpectedControl &expected : plainControls) {
        SCOPED_TRACE(expected.text);
        HWND child = control(window, expected.id);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(className(child), expected.windowClass);
        EXPECT_EQ(windowText(child), expected.text);
        RECT rect = childRect(child);
        EXPECT_EQ(rect.left, expected.rect.left);
        EXPECT_EQ(rect.top, expected.rect.top);
        EXPECT_EQ(rect.right, expected.rect.right);
        EXPECT_EQ(rect.bottom, expected.rect.bottom);
        EXPECT_TRUE(isVisible(child));
        EXPECT_TRUE(isEnabled(child));
        EXPECT_EQ(GetWindowLongA(child, GWL_STYLE) & WS_TABSTOP, 0);
    }
    EXPECT_EQ(GetDlgItem(window, DifferentDirsCheckboxId), nullptr);
}

TEST_F(UpdaterStartup, ProgressBarIsEmptyAndSpansTheWindow)
{
    Program program;
    HWND window = startUpdater(program);
    ASSERT_NE(window, nullptr);
    HWND bar = nullptr;
    for (HWND child : children(window))
        if (className(child) == PROGRESS_CLASSA)
            bar = child;
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(GetDlgCtrlID(bar), 0);
    RECT rect = childRect(bar);
    EXPECT_EQ(rect.left, 10);
    EXPECT_EQ(rect.top, 50);
    EXPECT_EQ(rect.right, 300);
    EXPECT_EQ(rect.bottom, 67);
    EXPECT_EQ(progressPosition(bar), 0);
    EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_NE(GetWindowLongA(bar, GWL_STYLE) & PBS_SMOOTH, 0);
}

TEST_F(UpdaterStartup, ExitButtonEndsTheProgramWithCodeZero)
{
    Program program;
    HWND window = startUpdater(program);
    ASSERT_NE(window, nullptr);
    click(control(window, ExitButtonId));
    DWORD exitCode = 99;
    ASSERT_TRUE(program.waitForExit(10000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

// A killed updater leaves its archive and unpacked trees in the temporary folder: a start removes
// those older than a day, and leaves younger ones, names that are not exactly ours and names a
// running updater holds (another updater may be working on them).
TEST_F(UpdaterStartup, StartRemovesUpdateLeftoversOlderThanADay)
{
    auto ageTwoDays = [](const std::string &path) {
        HANDLE handle = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << path;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER time = {{now.dwLowDateTime, now.dwHighDateTime}};
        time.QuadPart -= 2ULL * 24 * 60 * 60 * 10000000;
        FILETIME old = {time.LowPart, time.HighPart};
        EXPECT_TRUE(SetFileTime(handle, nullptr, nullptr, &old));
        CloseHandle(handle);
    };
    const std::string oldTree = tempDir() + "\\qimA1.tmp", oldArchive = tempDir() + "\\qimA2.tmp";
    const std::string youngTree = tempDir() + "\\qimA3.tmp";
    // Old too, but not ours or not free: they stay.
    const std::string kept[] = {tempDir() + "\\qimsettings", tempDir() + "\\qimA1234F.tmp",
                                tempDir() + "\\qimA5.tmp.bak", tempDir() + "\\qimA6.tmp"};
    HANDLE held = CreateMutexA(nullptr, FALSE, "Local\\QIMUpdate temporary qimA6.tmp");
    ASSERT_TRUE(writeFile(oldTree + "\\Renderer\\big.dll", "rebuilt"));
    ASSERT_TRUE(writeFile(youngTree + "\\Renderer\\big.dll", "rebuilt"));
    ASSERT_TRUE(writeFile(oldArchive, "archive"));
    ageTwoDays(oldTree);
    ageTwoDays(oldArchive);
    for (const std::string &path : kept) {
        ASSERT_TRUE(writeFile(path + "\\Renderer\\big.dll", "someone's"));
        ageTwoDays(path);
    }
    Program program;
    HWND window = startUpdater(program);
    ASSERT_NE(window, nullptr);
    // The sweep runs beside the window.
    for (int i = 0; i < 100 && (pathIsDir(oldTree) || pathIsFile(oldArchive)); i++)
        Sleep(100);
    Sleep(1000); // what it would wrongly remove may come after them
    EXPECT_FALSE(pathIsDir(oldTree));
    EXPECT_FALSE(pathIsFile(oldArchive));
    EXPECT_TRUE(pathIsFile(youngTree + "\\Renderer\\big.dll"));
    for (const std::string &path : kept) {
        EXPECT_TRUE(pathIsFile(path + "\\Renderer\\big.dll")) << path;
        removeTree(path);
    }
    CloseHandle(held);
    click(control(window, ExitButtonId));
    DWORD exitCode = 99;
    EXPECT_TRUE(program.waitForExit(10000, &exitCode));
    removeTree(youngTree);
}

TEST_F(UpdaterStartup, CloseBoxEndsTheProgramWithCodeZero)
{
    Program program;
    HWND window = startUpdater(program);
    ASSERT_NE(window, nullptr);
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    DWORD exitCode = 99;
    ASSERT_TRUE(program.waitForExit(10000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(UpdaterStartup, SilentWithoutEngineEndsUnseenWithCodeZero)
{
    InstallOptions options;
    options.engine = false;
    makeInstallation("spine-startup", options);
    Program program;
    ASSERT_TRUE(program.start(updaterExe(), "-silent"));
    DWORD exitCode = 99;
    bool everVisible = true;
    ASSERT_TRUE(waitForExitUnseen(program, &exitCode, &everVisible));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(everVisible);
}
