// The system folder picker, opened by a small program on its own main thread (as the products
// open it) and answered from here. Driving it from a second thread of the test program instead
// deadlocks Wine now and then while the picker registers its window classes.
#include "fixtures.h"
#include "guidriver.h"
#include <gtest/gtest.h>

namespace
{
struct Picker {
    Program program;
    HWND dialog = nullptr;
    std::string resultFile;
};

std::string inQuotes(const std::string &text)
{
    return "\"" + text + "\"";
}

// Sets the last access time of each folder on the path (not the drive) to a day ago, as for
// folders the user last opened yesterday: the picker's first reading of them then moves their
// access times, which Wine's picker keeps in what it compares.
void lastReadYesterday(const std::string &path)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER time = {{now.dwLowDateTime, now.dwHighDateTime}};
    time.QuadPart -= 24ULL * 3600 * 10000000;
    FILETIME yesterday = {time.LowPart, time.HighPart};
    // Each folder from below the drive down to the path itself.
    for (size_t cut = path.find('\\', 3);; cut = path.find('\\', cut + 1)) {
        HANDLE folder = CreateFileA(path.substr(0, cut).c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        EXPECT_NE(folder, INVALID_HANDLE_VALUE) << path.substr(0, cut);
        if (folder != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(SetFileTime(folder, nullptr, &yesterday, nullptr));
            CloseHandle(folder);
        }
        if (cut == std::string::npos)
            break;
    }
}

// Starts the picker program; false when its picker does not show.
bool openPicker(Picker *picker, const std::string &title, const char *initialPath)
{
    picker->resultFile = freshDir("picker\\result") + "\\chosen.txt";
    std::string arguments = inQuotes(picker->resultFile) + " " + inQuotes(title);
    if (initialPath) {
        arguments += " " + inQuotes(initialPath);
        lastReadYesterday(initialPath);
    }
    if (!picker->program.start(fixtureDir() + "\\pickerhost.exe", arguments))
        return false;
    picker->dialog = picker->program.waitForWindow("#32770", 30000, true);
    return picker->dialog != nullptr;
}

// Presses a button of the picker; the program's exit code, or -1 when it does not end.
int answer(Picker *picker, int buttonId)
{
    PostMessageA(picker->dialog, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(picker->dialog, buttonId)));
    DWORD exitCode = 0;
    if (!picker->program.waitForExit(30000, &exitCode))
        return -1;
    return static_cast<int>(exitCode);
}
} // namespace

TEST(FolderPicker, OpensOnTheInitialPathAndReturnsIt)
{
    std::string dir = freshDir("picker\\chosen");
    const std::string title = "Choose directory for new version:";
    Picker picker;
    ASSERT_TRUE(openPicker(&picker, title, dir.c_str()));
    EXPECT_TRUE(pickerShowsTitle(picker.dialog, title));
    ASSERT_TRUE(waitUntil([&] { return pickerHasSelection(picker.dialog); }, 10000));
    // OK hands back the selected item, so the result shows which one the picker opened on.
    EXPECT_EQ(answer(&picker, IDOK), 0);
    std::string result;
    readFile(picker.resultFile, &result);
    EXPECT_EQ(lstrcmpiA(result.c_str(), dir.c_str()), 0) << result;
}

TEST(FolderPicker, CancelGivesNone)
{
    std::string dir = freshDir("picker\\cancelled");
    Picker picker;
    ASSERT_TRUE(openPicker(&picker, "Choose plugin directory:", dir.c_str()));
    EXPECT_TRUE(pickerShowsTitle(picker.dialog, "Choose plugin directory:"));
    EXPECT_EQ(answer(&picker, IDCANCEL), 1);
    EXPECT_FALSE(pathIsFile(picker.resultFile));
}

TEST(FolderPicker, WithoutInitialPathNothingIsSelected)
{
    Picker picker;
    ASSERT_TRUE(openPicker(&picker, "Choose plugin directory:", nullptr));
    ASSERT_NE(pickerTree(picker.dialog), nullptr);
    // Give a selection time to appear, as it would with an initial path.
    Sleep(1000);
    EXPECT_FALSE(pickerHasSelection(picker.dialog));
    EXPECT_EQ(answer(&picker, IDCANCEL), 1);
}
