// The system folder picker, opened in-process on a thread of its own and answered from here.
#include "fixtures.h"
#include "guidriver.h"
#include "installsupport.h"
#include <commctrl.h>
#include <functional>
#include <gtest/gtest.h>
#include <shlobj.h>
#include <stdlib.h>
#include <thread>

namespace
{
struct DialogSearch {
    DWORD thread;
    HWND found;
};

BOOL CALLBACK matchDialog(HWND window, LPARAM param)
{
    auto *search = reinterpret_cast<DialogSearch *>(param);
    if (GetWindowThreadProcessId(window, nullptr) != search->thread ||
        className(window) != "#32770" || !IsWindowVisible(window))
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND waitForPicker(DWORD thread)
{
    DialogSearch search{thread, nullptr};
    waitUntil([&] {
        EnumWindows(matchDialog, reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
    });
    return search.found;
}

HWND treeOf(HWND picker)
{
    for (HWND child : children(picker))
        if (className(child) == WC_TREEVIEWA)
            return child;
    return nullptr;
}

std::string selectedItemText(HWND picker)
{
    HWND tree = treeOf(picker);
    if (!tree)
        return "";
    char text[MAX_PATH] = "";
    TVITEMA item = {};
    item.mask = TVIF_TEXT;
    item.hItem = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    item.pszText = text;
    item.cchTextMax = sizeof text;
    if (!item.hItem || !SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item)))
        return "";
    return text;
}

struct PickerRun {
    std::string title;
    const char *initialPath = nullptr;
    char *result = nullptr;
    HWND picker = nullptr;
    std::string shownTitle;
    std::function<void(HWND)> inspect;
};

// Opens the picker, presses one of its buttons, and returns once the picker has closed.
void runPicker(PickerRun *run, int buttonId)
{
    DWORD pickerThread = 0;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread thread([&] {
        pickerThread = GetCurrentThreadId();
        SetEvent(ready);
        run->result = chooseDirectory(nullptr, run->title.c_str(), run->initialPath);
    });
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
    run->picker = waitForPicker(pickerThread);
    if (run->picker) {
        for (HWND child : children(run->picker))
            if (className(child) == "Static" && windowText(child) == run->title)
                run->shownTitle = run->title;
        // The initial selection is made while the picker initialises; wait for OK to allow it.
        HWND ok = GetDlgItem(run->picker, IDOK);
        waitUntil([&] { return buttonId != IDOK || (ok && IsWindowEnabled(ok)); }, 5000);
        if (run->inspect)
            run->inspect(run->picker);
        PostMessageA(run->picker, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(run->picker, buttonId)));
    }
    thread.join();
}
} // namespace

TEST(FolderPicker, OpensOnTheInitialPathAndReturnsIt)
{
    std::string dir = freshDir("picker\\chosen");
    PickerRun run;
    std::string selected;
    // Wine's picker now and then drops the initial selection while it reads all drives; a
    // person would open it again, and so does this test, up to three times.
    for (int attempt = 0; attempt < 3 && selected != "chosen"; attempt++) {
        free(run.result);
        run = PickerRun();
        run.title = "Choose directory for new version:";
        run.initialPath = dir.c_str();
        run.inspect = [&](HWND picker) {
            waitUntil([&] { return (selected = selectedItemText(picker)) == "chosen"; }, 5000);
        };
        runPicker(&run, IDOK);
    }
    ASSERT_NE(run.picker, nullptr);
    EXPECT_EQ(run.shownTitle, run.title);
    EXPECT_EQ(selected, "chosen");
    ASSERT_NE(run.result, nullptr);
    EXPECT_STRCASEEQ(run.result, dir.c_str());
    free(run.result);
}

TEST(FolderPicker, CancelGivesNone)
{
    std::string dir = freshDir("picker\\cancelled");
    PickerRun run;
    run.title = "Choose plugin directory:";
    run.initialPath = dir.c_str();
    runPicker(&run, IDCANCEL);
    ASSERT_NE(run.picker, nullptr);
    EXPECT_EQ(run.result, nullptr);
}

TEST(FolderPicker, WithoutInitialPathNothingIsSelected)
{
    PickerRun run;
    run.title = "Choose plugin directory:";
    LRESULT selected = -1;
    run.inspect = [&](HWND picker) {
        if (HWND tree = treeOf(picker))
            selected = SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0);
    };
    runPicker(&run, IDCANCEL);
    ASSERT_NE(run.picker, nullptr);
    EXPECT_EQ(selected, 0);
    EXPECT_EQ(run.result, nullptr);
}
