// The main window's procedure: clicks become the operations of the current state, Exit asks a
// running worker to stop, and the end of the Windows session waits for the copy.
#include "window.h"
#include "archivedownload.h"
#include "pendingupdate.h"
#include "copyjournal.h"
#include "install.h"
#include "session.h"
#include "settings.h"
#include "versioncheck.h"
#include <string.h>

static const int actionButtonId = 201;
static const int exitButtonId = 203;
static const int autoUpdateCheckboxId = 206;
static const int autoInstallCheckboxId = 207;
static const int differentDirsCheckboxId = 208;
static const int applicationIconId = 101;

void registerMainWindowClass(HINSTANCE instance)
{
    HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(applicationIconId));
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hIconSm = icon;
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = "qim_update";
    RegisterClassExA(&windowClass);
}

static void setInstalledVersionState()
{
    session.state = queryInstalledVersion() ? Ready : NotInstalled;
}

// The check goes on even when the engine cannot be read: the comparison then uses the
// version read last.
void requestVersionCheck()
{
    session.abortDownload = false;
    setInstalledVersionState();
    SetWindowTextA(session.statusLabel, "Checking server version. Please wait...");
    if (startVersionCheck())
        return;
    session.state = CheckFailed;
    SetWindowTextA(session.exitButton, "Exit");
    if (session.silent)
        SendMessageA(session.mainWindow, WM_CLOSE, 0, 0);
}

static void requestArchiveDownload()
{
    session.abortDownload = false;
    if (startArchiveDownload())
        return;
    session.state = DownloadFailed;
    SetWindowTextA(session.exitButton, "Exit");
}

// A failed start keeps the state at Downloaded; the action button stays disabled.
static void requestInstallation()
{
    session.abortInstall = false;
    if (!startInstallation())
        SetWindowTextA(session.exitButton, "Exit");
}

static void requestPluginInstaller()
{
    session.state = PluginsInstaller;
    launchPluginInstaller();
    SetWindowTextA(session.exitButton, "Exit");
    EnableWindow(session.actionButton, FALSE);
    SetWindowTextA(session.actionButton, "Done");
}

static void onActionClicked()
{
    switch (session.state.load()) {
    case Ready:
        requestVersionCheck();
        break;
    case UpdateAvailable:
    case UpToDate:
        requestArchiveDownload();
        break;
    case Downloaded:
        requestInstallation();
        break;
    case Installed:
        requestPluginInstaller();
        break;
    default:
        break;
    }
}

static bool exitCaptionShown()
{
    char caption[8] = "";
    GetWindowTextA(session.exitButton, caption, sizeof caption);
    return strcmp(caption, "Exit") == 0;
}

// A worker past its final state (the caption already reads "Exit") may still be cleaning up or
// starting the plug-in installer. The user asked to leave, so the close is only put off until it
// has ended, not dropped. The flag is set before the count is read: either this side sees the
// worker gone, or the worker sees the flag as it ends.
static bool deferCloseWhileWorkerEnds()
{
    session.closeWhenWorkerEnds = true;
    if (session.workersRunning > 0)
        return true;
    // Already ended: close now, unless the worker took the flag and has sent the close itself.
    return !session.closeWhenWorkerEnds.exchange(false);
}

// While a worker runs, leaving means asking it to stop; the window stays until it has
// ended. Returns true when a worker runs (or the folder picker is open), so the window
// must not be closed now.
static bool requestAbortOfWorker()
{
    switch (session.state.load()) {
    case CheckingServer:
    case Downloading:
        session.abortDownload = true;
        return true;
    case Installing:
    case Unpacking:
    case Copying:
        session.abortInstall = true;
        return true;
    case ChoosingDirectory:
        return true;
    default:
        // Removing the kept files after the result stops at once; the next start finishes it.
        if (session.workersRunning == 0 || removingKeptFiles())
            return false;
        // Still captioned "Abort", the worker is winding down what the user asked to stop, and
        // its result (a restored or unrestorable installation) is still to be shown.
        if (!exitCaptionShown())
            return true;
        return deferCloseWhileWorkerEnds();
    }
}

// The close request itself asks a running worker to stop instead of closing.
static void onExitClicked(HWND window)
{
    SendMessageA(window, WM_CLOSE, 0, 0);
}

static bool isChecked(HWND box)
{
    return SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// A failed registry write is not reported: the flag follows the box for this run anyway.
static void onCheckboxClicked(int id)
{
    if (id == autoUpdateCheckboxId) {
        bool on = isChecked(session.autoUpdateCheckbox);
        writeAutoUpdate(on);
        session.autoUpdate = on;
    } else if (id == autoInstallCheckboxId) {
        bool on = isChecked(session.autoInstallCheckbox);
        writeAutoInstall(on);
        session.autoInstall = on;
    } else if (id == differentDirsCheckboxId && session.betaTester) {
        // A chosen delta goes over the installation it was made from: the box keeps its value.
        if (pendingKind() == PendingDelta) {
            SendMessageA(session.differentDirsCheckbox, BM_SETCHECK,
                         session.differentDirs ? BST_CHECKED : BST_UNCHECKED, 0);
            return;
        }
        bool on = isChecked(session.differentDirsCheckbox);
        writeDifferentDirs(on);
        session.differentDirs = on;
    }
}

static void onCommand(HWND window, int id)
{
    if (id == actionButtonId)
        onActionClicked();
    else if (id == exitButtonId)
        onExitClicked(window);
    else
        onCheckboxClicked(id);
}

// Half-copied, the installation is neither version; Windows is asked to wait until it is one.
static bool isChangingInstallation()
{
    UpdaterState state = session.state.load();
    return state == Unpacking || state == Copying || copyChangingInstallation();
}

static LRESULT onQueryEndSession(HWND window)
{
    if (!isChangingInstallation()) {
        ShutdownBlockReasonDestroy(window);
        return TRUE;
    }
    ShutdownBlockReasonCreate(window, L"QIM is being updated. Please wait until the update has "
                                      L"finished, or the previous version would be damaged.");
    return FALSE;
}

// The session ends anyway: the copy is aborted and undone, for as long as Windows waits.
static void onEndSession(bool ending)
{
    enum { boundedWaitMs = 15000 };
    if (!ending || !isChangingInstallation())
        return;
    session.abortInstall = true;
    DWORD start = GetTickCount();
    while (session.workersRunning > 0 && GetTickCount() - start < boundedWaitMs) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
    case WM_SIZE:
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED)
            onCommand(window, LOWORD(wParam));
        return 0;
    case WM_QUERYENDSESSION:
        return onQueryEndSession(window);
    case WM_ENDSESSION:
        onEndSession(wParam != FALSE);
        return 0;
    case WM_CLOSE:
        // The close box must not destroy the window around a running worker.
        if (requestAbortOfWorker())
            return 0;
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
