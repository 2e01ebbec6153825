// The installer window: its target rows, the message line and the two buttons.
#include "window.h"
#include "catalogue.h"
#include "copyrun.h"
#include "installsupport.h"
#include "pathtext.h"
#include "session.h"
#include <stdlib.h>

static const char installerClassName[] = "qim_max_plugins";
static const int minimumWindowWidth = 400;
static const int fixedWindowHeight = 375;

void registerInstallerClass(HINSTANCE instance)
{
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = installerWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(101));
    windowClass.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(101));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = installerClassName;
    RegisterClassExA(&windowClass);
}

// The window is shown before its controls exist; size changes until then leave them alone.
bool createInstallerWindow(HINSTANCE instance)
{
    session.installerWindow =
        CreateWindowExA(0, installerClassName, "QIM 3ds Max plugins installer",
                        WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 200, 200, 600, fixedWindowHeight,
                        nullptr, nullptr, instance, nullptr);
    if (!session.installerWindow)
        return false;
    ShowWindow(session.installerWindow, SW_SHOW);
    return true;
}

struct ControlBox {
    int x;
    int y;
    int width;
    int height;
};

static HWND createControl(HINSTANCE instance, DWORD exStyle, const char *className,
                          const char *text, DWORD style, ControlBox box, int id)
{
    return CreateWindowExA(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, box.x, box.y,
                           box.width, box.height, session.installerWindow,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

static void setDefaultFont(HWND control)
{
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                 TRUE);
}

// Each group of twelve gets its font once the group is complete.
static void setRowGroupFont(HWND HostTarget::*control)
{
    for (int row = 0; row < hostTargetCount; ++row)
        setDefaultFont(session.targets[row].*control);
}

// Twelve of a kind at a time: check boxes, edit boxes, "..." buttons, status texts.
static void createRowControls(HINSTANCE instance)
{
    HostTarget *targets = session.targets;
    for (int row = 0; row < hostTargetCount; ++row)
        targets[row].checkBox =
            createControl(instance, 0, "BUTTON", targets[row].label, BS_AUTOCHECKBOX,
                          ControlBox{10, 10 + 20 * row, 125, 20}, checkBoxBaseId + row);
    setRowGroupFont(&HostTarget::checkBox);
    for (int row = 0; row < hostTargetCount; ++row)
        targets[row].pathEdit = createControl(
            instance, WS_EX_CLIENTEDGE, "EDIT", targets[row].pathHint, WS_BORDER | ES_AUTOHSCROLL,
            ControlBox{140, 10 + 20 * row, 315, 20}, pathEditBaseId + row);
    setRowGroupFont(&HostTarget::pathEdit);
    for (int row = 0; row < hostTargetCount; ++row)
        targets[row].browseButton =
            createControl(instance, 0, "BUTTON", "...", 0, ControlBox{460, 11 + 20 * row, 30, 18},
                          browseButtonBaseId + row);
    setRowGroupFont(&HostTarget::browseButton);
    for (int row = 0; row < hostTargetCount; ++row)
        targets[row].statusText = createControl(instance, 0, "static", "status", 0,
                                                ControlBox{500, 13 + 20 * row, 185, 20},
                                                row % 2 == 0 ? evenStatusTextId : oddStatusTextId);
    setRowGroupFont(&HostTarget::statusText);
}

void createInstallerControls(HINSTANCE instance)
{
    createRowControls(instance);
    session.messageLine =
        createControl(instance, 0, "static", "Choose versions and set paths for plugin...", 0,
                      ControlBox{10, 270, 580, 20}, messageLineId);
    session.installButton = createControl(instance, 0, "BUTTON", "Install", 0,
                                          ControlBox{180, 300, 100, 30}, installButtonId);
    session.quitButton = createControl(instance, 0, "BUTTON", "Exit", 0,
                                       ControlBox{320, 300, 100, 30}, quitButtonId);
    setDefaultFont(session.installButton);
    setDefaultFont(session.quitButton);
    setDefaultFont(session.messageLine);
}

static void setRowChoice(HostTarget *target, bool ticked)
{
    SendMessageA(target->checkBox, BM_SETCHECK, ticked ? BST_CHECKED : BST_UNCHECKED, 0);
    EnableWindow(target->pathEdit, ticked);
    EnableWindow(target->browseButton, ticked);
}

// The plug-in directory of a detected 3ds Max; false (and an empty text) when the
// installation directory is too long to name it.
static bool composePluginDir(HostTarget *target, char *pluginDir, size_t size)
{
    trimTrailingSeparators(target->maxInstallDir, 0);
    if (formatText(pluginDir, size, "%s\\plugins", target->maxInstallDir))
        return true;
    pluginDir[0] = '\0';
    return false;
}

// A detected 3ds Max whose installation directory is too long to compose its plug-in
// directory is shown like an undetected one.
static void refreshRow(HostTarget *target)
{
    char pluginDir[2048] = "";
    bool offered = target->detected && composePluginDir(target, pluginDir, sizeof pluginDir);
    setRowChoice(target, offered);
    SetWindowTextA(target->pathEdit, pluginDir);
    SetWindowTextA(target->statusText, offered ? "install" : "ignored");
    if (offered && !directoryExists(pluginDir)) {
        SendMessageA(target->checkBox, BM_SETCHECK, BST_UNCHECKED, 0);
        EnableWindow(target->pathEdit, FALSE);
        SetWindowTextA(target->statusText, "ignored");
    }
}

void refreshRows()
{
    detectMaxInstallations(session.is64BitSystem);
    for (int row = 0; row < hostTargetCount; ++row)
        refreshRow(&session.targets[row]);
}

// Without a renderer directory there is nothing to copy from; the user can only quit.
void disableAllButQuit()
{
    EnableWindow(session.installButton, FALSE);
    EnableWindow(session.messageLine, FALSE);
    for (int row = 0; row < hostTargetCount; ++row)
        EnableWindow(session.targets[row].checkBox, FALSE);
    for (int row = 0; row < hostTargetCount; ++row)
        EnableWindow(session.targets[row].pathEdit, FALSE);
    for (int row = 0; row < hostTargetCount; ++row)
        EnableWindow(session.targets[row].browseButton, FALSE);
    for (int row = 0; row < hostTargetCount; ++row)
        EnableWindow(session.targets[row].statusText, FALSE);
}

static void onRowTicked(HostTarget *target)
{
    bool ticked = SendMessageA(target->checkBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
    EnableWindow(target->pathEdit, ticked);
    EnableWindow(target->browseButton, ticked);
    SetWindowTextA(target->statusText, ticked ? "install" : "ignored");
}

void browseRowPath(HWND pathEdit)
{
    char current[2048] = "";
    GetWindowTextA(pathEdit, current, sizeof current);
    char *chosen = chooseDirectory(pathEdit, "Choose plugin directory:", current);
    if (!chosen)
        return;
    SetWindowTextA(pathEdit, chosen);
    free(chosen);
}

static void onCommand(int id)
{
    if (id >= checkBoxBaseId && id < checkBoxBaseId + hostTargetCount)
        onRowTicked(&session.targets[id - checkBoxBaseId]);
    else if (id >= browseButtonBaseId && id < browseButtonBaseId + hostTargetCount)
        browseRowPath(session.targets[id - browseButtonBaseId].pathEdit);
    else if (id == installButtonId)
        runPluginInstall();
    else if (id == quitButtonId)
        PostQuitMessage(0);
}

static void moveControl(HWND control, int x, int y)
{
    SetWindowPos(control, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

// Edit boxes and buttons follow the client width down to a floor that keeps them usable;
// the status texts follow the right edge without a floor.
void layoutControls(int clientWidth)
{
    if (!session.quitButton)
        return;
    int editWidth = clientWidth - 275 <= 60 ? 60 : clientWidth - 275;
    int browseX = clientWidth - 130 < 205 ? 205 : clientWidth - 130;
    for (int row = 0; row < hostTargetCount; ++row) {
        HostTarget *target = &session.targets[row];
        SetWindowPos(target->pathEdit, nullptr, 0, 0, editWidth, 20, SWP_NOMOVE | SWP_NOZORDER);
        moveControl(target->browseButton, browseX, 11 + 20 * row);
        moveControl(target->statusText, clientWidth - 90, 13 + 20 * row);
    }
    int half = clientWidth / 2 < 130 ? 130 : clientWidth / 2;
    moveControl(session.installButton, half - 120, 300);
    moveControl(session.quitButton, half + 20, 300);
}

void limitSizing(RECT *proposed)
{
    if (proposed->right - proposed->left < minimumWindowWidth)
        proposed->right = proposed->left + minimumWindowWidth;
    proposed->bottom = proposed->top + fixedWindowHeight;
}

LRESULT CALLBACK installerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_SIZE: {
        RECT client;
        GetClientRect(window, &client);
        layoutControls(client.right - client.left);
        return 0;
    }
    case WM_SIZING:
        limitSizing(reinterpret_cast<RECT *>(lParam));
        return 0;
    case WM_COMMAND:
        onCommand(LOWORD(wParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
