// Start-up of QIMUpdate: settings, the main window with its controls, the silent check and
// the message loop.
#include "archivedownload.h"
#include "pendingupdate.h"
#include "copyjournal.h"
#include "download.h"
#include "installsupport.h"
#include "session.h"
#include "settings.h"
#include "startrecovery.h"
#include "versioncheck.h"
#include "window.h"
#include <commctrl.h>
#include <stdio.h>
#include <string.h>

static const int clientWidth = 310;
static const int clientHeight = 160;
static const int betaTesterExtraHeight = 20;
static const int statusTextSize = 512;

enum ControlId {
    ActionButtonId = 201,
    ExitButtonId = 203,
    VersionLabelId = 204,
    StatusLabelId = 205,
    AutoUpdateCheckboxId = 206,
    AutoInstallCheckboxId = 207,
    DifferentDirsCheckboxId = 208,
    ProgressBarId = 0,
};

static bool isSilentCommandLine(const char *commandLine)
{
    return commandLine && strlen(commandLine) > 1 && strcmp(commandLine, "-silent") == 0;
}

static bool isSupportedArchitecture()
{
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL;
}

static void fitClientArea(HWND window, int width, int height)
{
    RECT outer, client;
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    int frameWidth = (outer.right - outer.left) - (client.right - client.left);
    int frameHeight = (outer.bottom - outer.top) - (client.bottom - client.top);
    SetWindowPos(window, nullptr, 0, 0, width + frameWidth, height + frameHeight,
                 SWP_NOMOVE | SWP_NOZORDER);
}

static HWND createControl(HINSTANCE instance, const char *windowClass, const char *text,
                          DWORD style, int x, int y, int width, int height, int id)
{
    return CreateWindowExA(0, windowClass, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                           session.mainWindow, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           instance, nullptr);
}

static void setCheck(HWND box, bool on)
{
    SendMessageA(box, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

static void setFont(HWND control, HFONT font)
{
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

static void createControls(HINSTANCE instance, int extra, HFONT font)
{
    session.actionButton = createControl(instance, "BUTTON", "Check update", BS_PUSHBUTTON, 10,
                                         120 + extra, 140, 30, ActionButtonId);
    session.exitButton = createControl(instance, "BUTTON", "Exit", BS_PUSHBUTTON, 160, 120 + extra,
                                       140, 30, ExitButtonId);
    session.versionLabel = createControl(instance, "STATIC", "Checking QIM version...", SS_LEFT, 10,
                                         10, 335, 20, VersionLabelId);
    session.statusLabel = createControl(instance, "STATIC", "Click Check update...", SS_LEFT, 10,
                                        30, 335, 20, StatusLabelId);
    session.autoUpdateCheckbox =
        createControl(instance, "BUTTON", "Check for updates on QIM start", BS_AUTOCHECKBOX, 10, 75,
                      250, 20, AutoUpdateCheckboxId);
    session.autoInstallCheckbox =
        createControl(instance, "BUTTON", "Auto install after download", BS_AUTOCHECKBOX, 10, 95,
                      250, 20, AutoInstallCheckboxId);
    if (session.betaTester) {
        session.differentDirsCheckbox =
            createControl(instance, "BUTTON", "Install in different directory", BS_AUTOCHECKBOX, 10,
                          115, 250, 20, DifferentDirsCheckboxId);
        setFont(session.differentDirsCheckbox, font);
        SetWindowTextA(session.mainWindow, "QIM Update [beta tester]");
    }
    setCheck(session.autoUpdateCheckbox, session.autoUpdate);
    setCheck(session.autoInstallCheckbox, session.autoInstall);
    if (session.betaTester)
        setCheck(session.differentDirsCheckbox, session.differentDirs);

    session.progressBar = createControl(instance, PROGRESS_CLASSA, nullptr, PBS_SMOOTH, 10, 50, 290,
                                        17, ProgressBarId);
    SendMessageA(session.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageA(session.progressBar, PBM_SETPOS, 0, 0);

    HWND fontedControls[] = {session.actionButton,        session.exitButton,
                             session.versionLabel,        session.statusLabel,
                             session.autoInstallCheckbox, session.autoUpdateCheckbox};
    for (HWND control : fontedControls)
        setFont(control, font);
}

static bool createMainWindow(HINSTANCE instance, int extra, HFONT font)
{
    session.mainWindow =
        CreateWindowExA(0, "qim_update", "QIM Update", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 200,
                        200, 315, 200 + extra, nullptr, nullptr, instance, nullptr);
    if (!session.mainWindow)
        return false;
    ShowWindow(session.mainWindow, session.silent ? SW_HIDE : SW_SHOW);
    fitClientArea(session.mainWindow, clientWidth, clientHeight + extra);
    createControls(instance, extra, font);
    return true;
}

static void showInstalledVersion()
{
    if (queryInstalledVersion()) {
        char text[statusTextSize];
        snprintf(text, sizeof text, "Current QIM version: %d.%d.%d", session.installedVersion.major,
                 session.installedVersion.minor, session.installedVersion.build);
        SetWindowTextA(session.versionLabel, text);
        session.state = Ready;
    } else {
        SetWindowTextA(session.versionLabel, "Error, can't find QIM installed.");
        session.state = NotInstalled;
    }
}

// Returns false when the program is to end at once: without an installed engine a silent
// check has nothing to compare, and the user has seen nothing yet.
static bool startSilentCheck()
{
    session.abortDownload = false;
    bool installed = queryInstalledVersion();
    session.state = installed ? Ready : NotInstalled;
    if (!installed)
        return false;
    SetWindowTextA(session.statusLabel, "Checking server version. Please wait...");
    if (!startVersionCheck()) {
        session.state = CheckFailed;
        SetWindowTextA(session.exitButton, "Exit");
        SendMessageA(session.mainWindow, WM_CLOSE, 0, 0);
    }
    return true;
}

// Whoever names a temporary file removes it: an archive that was never installed (the user left
// in Downloaded, or the automatic installation could not start) goes with the program. No worker
// runs any more: the window stays while one does.
static void removeTemporaryFiles()
{
    discardPendingUpdate();
    if (fileExists(session.archivePath))
        DeleteFileA(session.archivePath);
    if (fileExists(session.versionFilePath))
        DeleteFileA(session.versionFilePath);
}

static int runMessageLoop()
{
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    registerMainWindowClass(instance);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    session.silent = isSilentCommandLine(commandLine);
    setUpDllSearchPath();
    readSettings();
    int extra = session.betaTester ? betaTesterExtraHeight : 0;
    if (!isSupportedArchitecture()) {
        if (!session.silent)
            MessageBoxA(nullptr, "Unfortunately I can't determine your system version.", "", MB_OK);
        return 0;
    }
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    if (!createMainWindow(instance, extra, font)) {
        MessageBoxA(nullptr, "Can't create the main window.", "QIM Update", MB_ICONERROR);
        return 1;
    }
    // An update killed halfway is undone before the engine library is asked for its version.
    recoverInterruptedCopy();
    sweepStaleUpdateTrees();
    showInstalledVersion();
    if (session.silent && !startSilentCheck())
        return 0;
    int exitCode = runMessageLoop();
    removeTemporaryFiles();
    releaseTempNames();
    return exitCode;
}
