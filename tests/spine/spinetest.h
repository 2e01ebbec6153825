// Shared steps of the updater's end-to-end tests: start it on a fixture installation and
// find its main window.
#pragma once
#include "fixtures.h"
#include "guidriver.h"
#include <string>

enum ControlId {
    ActionButtonId = 201,
    ExitButtonId = 203,
    VersionLabelId = 204,
    StatusLabelId = 205,
    AutoUpdateCheckboxId = 206,
    AutoInstallCheckboxId = 207,
    DifferentDirsCheckboxId = 208,
};

const char mainWindowClass[] = "qim_update";

// Starts the updater and waits for its main window to be shown; nullptr when it never is.
HWND startUpdater(Program &program, const std::string &arguments = "",
                  const std::string &exe = updaterExe());
// Waits for the main window to be shown and its start-up to finish (the version label has
// its final text); nullptr when that never happens.
HWND waitForStartedWindow(Program &program);
// Waits for the end and tells whether the main window was ever visible meanwhile.
bool waitForExitUnseen(Program &program, DWORD *exitCode, bool *everVisible);
// Posts the clicks, then waits until a later click on the auto-install box has reached the
// registry: posted messages are handled in order, so the earlier ones have been handled too.
void clickAndSettle(HWND window, int id);
