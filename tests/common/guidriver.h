// Drives a real program through its windows, the way a user meets it.
// Every wait has a time-out, so a broken program fails a test instead of hanging the suite.
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

// CreateProcessA with a second and third try where Wine fails a start at random
// (ERROR_INTERNAL_ERROR); *error gets the last error of a start that failed.
bool startProcess(const std::string &exePath, char *commandLine, DWORD flags,
                  const std::string &workDir, PROCESS_INFORMATION *info, DWORD *error);

// A started program; the destructor kills it if it is still running.
class Program
{
  public:
    Program() = default;
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;
    ~Program();

    // Starts exePath with the command line "exePath arguments" (arguments may be empty).
    bool start(const std::string &exePath, const std::string &arguments = "",
               const std::string &workDir = "");
    DWORD id() const
    {
        return info_.dwProcessId;
    }
    HANDLE handle() const
    {
        return info_.hProcess;
    }
    bool running() const;
    // "not started", "running" or "ended with exit code N": what a failed window lookup met.
    std::string state() const;
    // Waits for the end; false on time-out. The exit code is read into *exitCode.
    bool waitForExit(DWORD timeoutMs, DWORD *exitCode);
    void kill();

    // The first top-level window of this process with the class name; nullptr on time-out.
    HWND waitForWindow(const char *className, DWORD timeoutMs = 10000, bool mustBeVisible = false);
    // Any top-level window of this process with this class right now.
    HWND findWindow(const char *className) const;

  private:
    PROCESS_INFORMATION info_{};
    DWORD startError_ = 0; // CreateProcess's error when the start failed
};

// Polls until the condition holds; false on time-out.
bool waitUntil(const std::function<bool()> &condition, DWORD timeoutMs = 10000);

std::string windowText(HWND window);
std::string className(HWND window);
// The child with this id; waits a moment for it (use GetDlgItem to test that one is absent).
HWND control(HWND parent, int id);
std::string controlText(HWND parent, int id);
bool waitForText(HWND window, const std::string &text, DWORD timeoutMs = 10000);
bool isEnabled(HWND window);
bool isVisible(HWND window);
int checkState(HWND button);
int progressPosition(HWND progressBar);
SIZE clientSize(HWND window);
// The child's rectangle in its parent's client coordinates.
RECT childRect(HWND child);
// Posts a click; the program handles it on its own thread.
void click(HWND button);
// All children of a window, in creation order.
std::vector<HWND> children(HWND parent);

struct MessageBoxInfo {
    HWND window = nullptr;
    HWND owner = nullptr;
    std::string caption;
    std::string text;
    // Ids of the buttons it shows (IDOK 1, IDCANCEL 2, IDABORT 3, IDRETRY 4, IDIGNORE 5, IDYES 6,
    // IDNO 7).
    std::vector<int> buttons;
    bool hasIcon = false;
};

// The first dialog (class #32770) of the process; false on time-out.
bool waitForMessageBox(const Program &program, MessageBoxInfo *box, DWORD timeoutMs = 10000);
// True when the process shows no dialog right now.
bool noMessageBox(const Program &program);
// Presses a button of a dialog and waits for the dialog to go away.
bool answerMessageBox(const MessageBoxInfo &box, int buttonId, DWORD timeoutMs = 10000);

// The system folder picker: its folder tree, whether it shows a title, whether a folder is
// selected.
HWND pickerTree(HWND picker);
bool pickerShowsTitle(HWND picker, const std::string &title);
bool pickerHasSelection(HWND picker);
// Selects a folder (one below another folder, not a drive root) in another process's picker and
// returns once the picker shows it selected.
// The picker first selects its own initial path, which would replace a selection made before it;
// so this waits for that one first.
bool selectInPicker(const Program &program, HWND picker, const std::string &folder);
