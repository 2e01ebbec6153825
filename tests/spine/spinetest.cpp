// Shared steps of the updater's end-to-end tests: start it on a fixture installation and read
// its window.
#include "spinetest.h"
#include <gtest/gtest.h>

HWND startUpdater(Program &program, const std::string &arguments, const std::string &exe)
{
    if (!program.start(exe, arguments))
        return nullptr;
    return waitForStartedWindow(program);
}

HWND waitForStartedWindow(Program &program)
{
    HWND window = program.waitForWindow(mainWindowClass, 10000, true);
    if (!window)
        return nullptr;
    // The window is shown before its controls exist.
    bool started = waitUntil([&] {
        std::string text = controlText(window, VersionLabelId);
        return text.rfind("Current QIM version: ", 0) == 0 ||
               text == "Error, can't find QIM installed.";
    });
    return started ? window : nullptr;
}

bool waitForExitUnseen(Program &program, DWORD *exitCode, bool *everVisible)
{
    *everVisible = false;
    bool ended = waitUntil([&] {
        HWND window = program.findWindow(mainWindowClass);
        if (window && IsWindowVisible(window))
            *everVisible = true;
        return !program.running();
    });
    return ended && program.waitForExit(0, exitCode);
}

static bool autoInstallStored(DWORD *value)
{
    DWORD type = 0;
    std::string data;
    if (!readRendererValue("autoinstall", &type, &data) || type != REG_DWORD || data.size() != 4)
        return false;
    memcpy(value, data.data(), 4);
    return true;
}

void clickAndSettle(HWND window, int id)
{
    click(control(window, id));
    DWORD before = 2;
    autoInstallStored(&before);
    DWORD expected = before == 1 ? 0 : 1;
    click(control(window, AutoInstallCheckboxId));
    DWORD now = 2;
    ASSERT_TRUE(waitUntil([&] { return autoInstallStored(&now) && now == expected; }))
        << "the updater did not handle a click on the auto-install box";
}
