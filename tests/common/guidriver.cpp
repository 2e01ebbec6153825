// Drives a real program through its windows, the way a user meets it.
#include "guidriver.h"
#include <commctrl.h>
#include <shlobj.h>
#include <stdio.h>
#include <vector>

Program::~Program()
{
    kill();
}

// Wine now and then fails a start with ERROR_INTERNAL_ERROR after 10 to 20 ms: the new process
// ended before it had initialised (4 in 7,000 starts of a trivial program in a loop here, for a
// console and a window program alike). Windows does not; a second start goes through. Each
// failure is logged, so that it stays visible.
bool startProcess(const std::string &exePath, char *commandLine, DWORD flags,
                  const std::string &workDir, PROCESS_INFORMATION *info, DWORD *error)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessA(exePath.c_str(), commandLine, nullptr, nullptr, FALSE, flags, nullptr,
                           workDir.empty() ? nullptr : workDir.c_str(), &startup, info))
            return true;
        *error = GetLastError();
        fprintf(stderr, "test driver: starting %s failed with error %lu (attempt %d)\n",
                exePath.c_str(), static_cast<unsigned long>(*error), attempt);
        if (*error != ERROR_INTERNAL_ERROR || attempt == 3)
            return false;
        Sleep(100);
    }
}

bool Program::start(const std::string &exePath, const std::string &arguments,
                    const std::string &workDir)
{
    std::string commandLine = "\"" + exePath + "\"";
    if (!arguments.empty())
        commandLine += " " + arguments;
    std::vector<char> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back('\0');
    if (!startProcess(exePath, buffer.data(), 0, workDir, &info_, &startError_))
        return false;
    WaitForInputIdle(info_.hProcess, 5000);
    return true;
}

bool Program::running() const
{
    return info_.hProcess && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

std::string Program::state() const
{
    DWORD code = 0;
    if (!info_.hProcess)
        return startError_ ? "not started (error " + std::to_string(startError_) + ")"
                           : "not started";
    if (running())
        return "running";
    GetExitCodeProcess(info_.hProcess, &code);
    return "ended with exit code " + std::to_string(code);
}

bool Program::waitForExit(DWORD timeoutMs, DWORD *exitCode)
{
    if (!info_.hProcess || WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(info_.hProcess, exitCode);
    return true;
}

void Program::kill()
{
    if (info_.hProcess) {
        if (running()) {
            TerminateProcess(info_.hProcess, 99);
            WaitForSingleObject(info_.hProcess, 5000);
        }
        CloseHandle(info_.hProcess);
    }
    if (info_.hThread)
        CloseHandle(info_.hThread);
    info_ = PROCESS_INFORMATION{};
}

namespace
{
struct WindowSearch {
    DWORD processId;
    const char *className;
    HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM param)
{
    auto *search = reinterpret_cast<WindowSearch *>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || className(window) != search->className)
        return TRUE;
    search->found = window;
    return FALSE;
}
} // namespace

HWND Program::findWindow(const char *wanted) const
{
    WindowSearch search{info_.dwProcessId, wanted, nullptr};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND Program::waitForWindow(const char *wanted, DWORD timeoutMs, bool mustBeVisible)
{
    HWND found = nullptr;
    waitUntil(
        [&] {
            found = findWindow(wanted);
            return found && (!mustBeVisible || IsWindowVisible(found));
        },
        timeoutMs);
    return found && (!mustBeVisible || IsWindowVisible(found)) ? found : nullptr;
}

bool waitUntil(const std::function<bool()> &condition, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(20);
    }
}

std::string windowText(HWND window)
{
    char buffer[4096] = "";
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                             SMTO_ABORTIFHUNG, 5000, &copied))
        return "<no answer>";
    return std::string(buffer, copied);
}

std::string className(HWND window)
{
    char buffer[256] = "";
    GetClassNameA(window, buffer, sizeof buffer);
    return buffer;
}

HWND control(HWND parent, int id)
{
    // Programs show their window before they create its controls, so a control asked for
    // right after the window appeared may be a moment away.
    HWND child = nullptr;
    waitUntil([&] { return (child = GetDlgItem(parent, id)) != nullptr || !IsWindow(parent); },
              3000);
    return child;
}

std::string controlText(HWND parent, int id)
{
    HWND child = control(parent, id);
    return child ? windowText(child) : "<no control>";
}

bool waitForText(HWND window, const std::string &text, DWORD timeoutMs)
{
    return waitUntil([&] { return windowText(window) == text; }, timeoutMs);
}

bool isEnabled(HWND window)
{
    return IsWindowEnabled(window) != FALSE;
}

bool isVisible(HWND window)
{
    return IsWindowVisible(window) != FALSE;
}

int checkState(HWND button)
{
    DWORD_PTR state = 0;
    SendMessageTimeoutA(button, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state);
    return static_cast<int>(state);
}

int progressPosition(HWND progressBar)
{
    DWORD_PTR position = 0;
    SendMessageTimeoutA(progressBar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &position);
    return static_cast<int>(position);
}

SIZE clientSize(HWND window)
{
    RECT rect{};
    GetClientRect(window, &rect);
    return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

RECT childRect(HWND child)
{
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT *>(&rect), 2);
    return rect;
}

void click(HWND button)
{
    PostMessageA(button, BM_CLICK, 0, 0);
}

namespace
{
BOOL CALLBACK collectChild(HWND window, LPARAM param)
{
    reinterpret_cast<std::vector<HWND> *>(param)->push_back(window);
    return TRUE;
}
} // namespace

std::vector<HWND> children(HWND parent)
{
    std::vector<HWND> found;
    EnumChildWindows(parent, collectChild, reinterpret_cast<LPARAM>(&found));
    return found;
}

namespace
{
void describeMessageBox(HWND dialog, MessageBoxInfo *box)
{
    box->window = dialog;
    box->owner = GetWindow(dialog, GW_OWNER);
    box->caption = windowText(dialog);
    HWND text = GetDlgItem(dialog, 0xFFFF);
    box->text = text ? windowText(text) : "";
    box->buttons.clear();
    box->hasIcon = false;
    for (HWND child : children(dialog)) {
        int id = GetDlgCtrlID(child);
        std::string kind = className(child);
        if (kind == "Button" && IsWindowVisible(child))
            box->buttons.push_back(id);
        if (kind == "Static" && (GetWindowLongA(child, GWL_STYLE) & SS_ICON) == SS_ICON &&
            SendMessageA(child, STM_GETICON, 0, 0))
            box->hasIcon = true;
    }
}
} // namespace

bool waitForMessageBox(const Program &program, MessageBoxInfo *box, DWORD timeoutMs)
{
    HWND dialog = nullptr;
    // The text and the buttons are set while the dialog initialises; it shows once they are,
    // which under load can take longer than a moment.
    if (!waitUntil(
            [&] {
                dialog = program.findWindow("#32770");
                return dialog && IsWindowVisible(dialog);
            },
            timeoutMs))
        return false;
    describeMessageBox(dialog, box);
    return true;
}

bool noMessageBox(const Program &program)
{
    return program.findWindow("#32770") == nullptr;
}

bool answerMessageBox(const MessageBoxInfo &box, int buttonId, DWORD timeoutMs)
{
    HWND button = GetDlgItem(box.window, buttonId);
    if (!button)
        return false;
    PostMessageA(box.window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
    return waitUntil([&] { return !IsWindow(box.window); }, timeoutMs);
}

static HTREEITEM treeItem(HWND tree, WPARAM which, HTREEITEM from)
{
    DWORD_PTR item = 0;
    if (!SendMessageTimeoutA(tree, TVM_GETNEXTITEM, which, reinterpret_cast<LPARAM>(from),
                             SMTO_ABORTIFHUNG, 5000, &item))
        return nullptr;
    return reinterpret_cast<HTREEITEM>(item);
}

HWND pickerTree(HWND picker)
{
    for (HWND child : children(picker))
        if (className(child) == WC_TREEVIEWA)
            return child;
    return nullptr;
}

bool pickerShowsTitle(HWND picker, const std::string &title)
{
    for (HWND child : children(picker))
        if (className(child) == "Static" && windowText(child) == title)
            return true;
    return false;
}

bool pickerHasSelection(HWND picker)
{
    HWND tree = pickerTree(picker);
    return tree && treeItem(tree, TVGN_CARET, nullptr) != nullptr;
}

// The memory lives in the picker's process: the tree view reads and writes it there.
struct RemoteBuffer {
    HANDLE process;
    char *address;
    RemoteBuffer(HANDLE owner, size_t size)
        : process(owner), address(static_cast<char *>(VirtualAllocEx(
                              owner, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)))
    {
    }
    ~RemoteBuffer()
    {
        if (address)
            VirtualFreeEx(process, address, 0, MEM_RELEASE);
    }
    RemoteBuffer(const RemoteBuffer &) = delete;
    RemoteBuffer &operator=(const RemoteBuffer &) = delete;
};

static bool sendSelection(const Program &program, HWND picker, const std::string &folder)
{
    RemoteBuffer remote(program.handle(), folder.size() + 1);
    DWORD_PTR unused = 0;
    return remote.address &&
           WriteProcessMemory(program.handle(), remote.address, folder.c_str(), folder.size() + 1,
                              nullptr) &&
           SendMessageTimeoutA(picker, BFFM_SETSELECTIONA, TRUE,
                               reinterpret_cast<LPARAM>(remote.address), SMTO_ABORTIFHUNG, 5000,
                               &unused) != 0;
}

// An item's text as the tree shows it; empty when it cannot be read.
static std::string itemText(const Program &program, HWND tree, HTREEITEM item)
{
    char text[MAX_PATH] = "";
    RemoteBuffer remote(program.handle(), sizeof(TVITEMA) + sizeof text);
    TVITEMA query = {};
    query.mask = TVIF_TEXT;
    query.hItem = item;
    query.pszText = remote.address + sizeof(TVITEMA);
    query.cchTextMax = sizeof text;
    DWORD_PTR got = 0;
    if (!item || !remote.address ||
        !WriteProcessMemory(program.handle(), remote.address, &query, sizeof query, nullptr) ||
        !SendMessageTimeoutA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote.address),
                             SMTO_ABORTIFHUNG, 5000, &got) ||
        !got || !ReadProcessMemory(program.handle(), query.pszText, text, sizeof text - 1, nullptr))
        return "";
    text[sizeof text - 1] = '\0';
    return text;
}

// The folder's name and its parent folder's name, as the picker's tree shows them.
static bool leafAndParent(const std::string &folder, std::string *leaf, std::string *parent)
{
    size_t cut = folder.find_last_of('\\');
    size_t parentCut = cut == std::string::npos ? cut : folder.find_last_of('\\', cut - 1);
    if (cut == std::string::npos || cut + 1 == folder.size() || parentCut == std::string::npos)
        return false;
    *leaf = folder.substr(cut + 1);
    *parent = folder.substr(parentCut + 1, cut - parentCut - 1);
    return true;
}

static bool isItem(const Program &program, HWND tree, HTREEITEM item, const std::string &leaf,
                   const std::string &parent)
{
    return item && lstrcmpiA(itemText(program, tree, item).c_str(), leaf.c_str()) == 0 &&
           lstrcmpiA(itemText(program, tree, treeItem(tree, TVGN_PARENT, item)).c_str(),
                     parent.c_str()) == 0;
}

// Whether the picker's selected item is the folder: its name and its parent folder's name.
static bool folderSelected(const Program &program, HWND picker, const std::string &folder)
{
    std::string leaf, parent;
    HWND tree = pickerTree(picker);
    return tree && leafAndParent(folder, &leaf, &parent) &&
           isItem(program, tree, treeItem(tree, TVGN_CARET, nullptr), leaf, parent);
}

// The folder's item among those the tree has read so far (depth first); nullptr when absent.
static HTREEITEM loadedItem(const Program &program, HWND tree, HTREEITEM first,
                            const std::string &leaf, const std::string &parent)
{
    for (HTREEITEM item = first; item; item = treeItem(tree, TVGN_NEXT, item)) {
        if (isItem(program, tree, item, leaf, parent))
            return item;
        HTREEITEM found = loadedItem(program, tree, treeItem(tree, TVGN_CHILD, item), leaf, parent);
        if (found)
            return found;
    }
    return nullptr;
}

// Selects the folder's item the way a click does, when the tree has read it already. Asking the
// picker by path instead misses such an item for good when its access time moved after the tree
// read it (see folderpicker.cpp).
static bool clickLoadedItem(const Program &program, HWND picker, const std::string &folder)
{
    std::string leaf, parent;
    HWND tree = pickerTree(picker);
    if (!tree || !leafAndParent(folder, &leaf, &parent))
        return false;
    HTREEITEM item = loadedItem(program, tree, treeItem(tree, TVGN_ROOT, nullptr), leaf, parent);
    DWORD_PTR unused = 0;
    return item &&
           SendMessageTimeoutA(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item),
                               SMTO_ABORTIFHUNG, 5000, &unused) != 0;
}

bool selectInPicker(const Program &program, HWND picker, const std::string &folder)
{
    // Until the picker is shown it may still be initialising, and its own initial selection
    // would replace one made now.
    waitUntil([&] { return IsWindowVisible(picker) != FALSE; }, 10000);
    waitUntil([&] { return pickerHasSelection(picker); }, 5000);
    // Wine's picker misses a selection when its reading of the path moves the access times of
    // the path's folders (see folderpicker.cpp); a person would look and select again. So the
    // selection is read back, and must hold, before OK.
    auto holds = [&] { return folderSelected(program, picker, folder); };
    return waitUntil(
        [&] {
            if (holds()) {
                Sleep(300);
                if (holds())
                    return true;
            }
            if (!clickLoadedItem(program, picker, folder))
                sendSelection(program, picker, folder);
            return false;
        },
        30000);
}
