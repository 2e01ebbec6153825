// Works the road of one update the way a user would: prepares a machine with the renderer
// 1.0.0 and 3ds Max 2010 and 2012, starts the given QIMUpdate.exe and drives it through check,
// download and installation, then the plug-in installer it starts through "Install".
// Usage: qimroad UPDATER_EXE SCENARIO [SHOTS_DIR]
//   SCENARIO: interactive | silent_update | silent_no_update | auto_install | rejected
// Prints "RESULT key=value" lines for the caller to check, and "SHOT name x y w h" where a
// screenshot belongs (only with SHOTS_DIR; it then waits for SHOTS_DIR\name.done).
#include "fixtures.h"
#include "guidriver.h"
#include <stdio.h>
#include <stdlib.h>

namespace
{
// Two 3ds Max versions are installed: 2010 and 2012, both 32 bit.
const char *const maxKeys[] = {"SOFTWARE\\Autodesk\\3dsmax\\12.0\\MAX-1:409",
                               "SOFTWARE\\Autodesk\\3dsmax\\14.0\\MAX-1:409"};
const char *const maxDirs[] = {"C:\\Program Files\\Autodesk\\3ds Max 2010",
                               "C:\\Program Files\\Autodesk\\3ds Max 2012"};
const DWORD stepTimeout = 60000;

std::string shotsDir;

void say(const char *format, const std::string &text = "")
{
    printf(format, text.c_str());
    printf("\n");
    fflush(stdout);
}

void screenshot(const std::string &name, HWND window)
{
    if (shotsDir.empty())
        return;
    Sleep(300); // let the window repaint
    RECT rect{};
    GetWindowRect(window, &rect);
    printf("SHOT %s %ld %ld %ld %ld\n", name.c_str(), rect.left, rect.top, rect.right - rect.left,
           rect.bottom - rect.top);
    fflush(stdout);
    std::string done = shotsDir + "\\" + name + ".done";
    waitUntil([&] { return pathIsFile(done); }, 30000);
}

bool fail(const std::string &what)
{
    say("road: FAILED: %s", what);
    return false;
}

bool startsWith(const std::string &text, const std::string &start)
{
    return text.compare(0, start.size(), start) == 0;
}

void recordMax(const char *keyPath, const std::string &dir)
{
    HKEY key;
    // A 32-bit 3ds Max, recorded where its setup records it whatever this program's width.
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    std::string value = dir + "\\";
    RegSetValueExA(key, "Installdir", 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

// The renderer 1.0.0 as users have it; every file of it is also in the 1.1.0 release.
// Copies every file below seed over the same path in dir (the road's extra installed files).
void copySeed(const std::string &seed, const std::string &dir)
{
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((seed + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return;
    makeDirs(dir);
    do {
        std::string name = entry.cFileName;
        if (name == "." || name == "..")
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            copySeed(seed + "\\" + name, dir + "\\" + name);
        else
            CopyFileA((seed + "\\" + name).c_str(), (dir + "\\" + name).c_str(), FALSE);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
}

std::string prepareMachine(bool autoInstall)
{
    deleteValdormineKey();
    std::string installation = makeInstallation("QIM Renderer", {1, 0, 0});
    CopyFileA(pluginInstallerExe().c_str(),
              (installation + "\\bin\\32\\QIM_InstallPlugins.exe").c_str(), FALSE);
    writeFile(installation + "\\max2010 plugin\\32\\QIMplugin.dlr", "QIM plug-in 1.0.0\n");
    setRendererDword("autoinstall", autoInstall ? 1 : 0);
    if (const char *seed = getenv("QIM_ROAD_SEED"))
        copySeed(seed, installation);
    for (int max = 0; max < 2; max++) {
        recordMax(maxKeys[max], maxDirs[max]);
        removeTree(maxDirs[max]);
        makeDirs(std::string(maxDirs[max]) + "\\plugins");
    }
    return installation;
}

bool check(HWND window)
{
    HWND action = control(window, 201), status = control(window, 205);
    click(action);
    if (!waitUntil([&] { return startsWith(windowText(status), "Server version:"); }, stepTimeout))
        return fail("no answer from the update server: " + windowText(status));
    // The status comes first; the worker then hands the buttons back, and only then does a click
    // on "Download update" mean what it says.
    if (!waitUntil([&] { return windowText(action) == "Download update" && isEnabled(action); }))
        return fail("the check did not offer the download");
    say("road: %s", windowText(status));
    screenshot("2-checked", window);
    return true;
}

bool downloadAndInstall(HWND window, bool autoInstall)
{
    HWND action = control(window, 201), status = control(window, 205);
    DWORD clicked = GetTickCount();
    click(action);
    if (!autoInstall) {
        if (!waitUntil([&] { return windowText(action) == "Install update" && isEnabled(action); },
                       stepTimeout))
            return fail("the download did not finish: " + windowText(status));
        say("road: %s", windowText(status));
        screenshot("3-downloaded", window);
        click(action);
    }
    // Each new status text with its time since the click (progress lines only at their end),
    // for the benchmarks' timelines.
    std::string shown;
    auto done = [&] {
        std::string now = windowText(status);
        bool progress = startsWith(now, "Downloading ") || startsWith(now, "Copied ");
        if (now != shown && (!progress || now.find("100%") != std::string::npos))
            say("STATUS %s", std::to_string(GetTickCount() - clicked) + " " + now);
        shown = now;
        return windowText(action) == "Done";
    };
    if (!waitUntil(done, stepTimeout))
        return fail("the installation did not finish: " + windowText(status));
    say("RESULT click_to_done_ms=%s", std::to_string(GetTickCount() - clicked));
    say("road: %s", windowText(status));
    screenshot("4-installed", window);
    return true;
}

HWND messageLine(HWND installer)
{
    HWND last = nullptr;
    for (HWND child : children(installer))
        if (GetDlgCtrlID(child) == 253)
            last = child;
    return last;
}

bool installPlugins()
{
    HWND installer = nullptr, line = nullptr;
    // The window shows before its controls exist: wait for the message line under the rows.
    if (!waitUntil(
            [&] {
                installer = FindWindowA("qim_max_plugins", nullptr);
                line = installer && isVisible(installer) ? messageLine(installer) : nullptr;
                return line && control(installer, 251) &&
                       startsWith(windowText(line), "Choose versions");
            },
            stepTimeout))
        return fail("the plug-in installer did not appear");
    screenshot("5-plugins", installer);
    click(control(installer, 251));
    if (!waitUntil([&] { return startsWith(windowText(line), "Installation finished"); },
                   stepTimeout))
        return fail("the plug-in installation did not finish: " + windowText(line));
    say("road: %s", windowText(line));
    screenshot("6-plugins-installed", installer);
    PostMessageA(installer, WM_CLOSE, 0, 0);
    return true;
}

// The plug-in installer is started by the updater, not by this driver: make sure none is left
// holding files of the installation when a road ends or the next one starts.
void endPluginInstallers()
{
    HWND window;
    while ((window = FindWindowA("qim_max_plugins", nullptr)) != nullptr) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
        if (!process)
            break;
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
}

void reportRegistry()
{
    DWORD type = 0;
    std::string directory;
    if (readRendererValue("directory", &type, &directory))
        directory = directory.c_str(); // up to the terminator
    say("RESULT directory=%s", directory);
}

bool interactiveRoad(Program &updater, bool autoInstall)
{
    HWND window = updater.waitForWindow("qim_update", 10000, true);
    // The window shows before its controls exist.
    if (!window || !waitUntil([&] { return startsWith(controlText(window, 204), "Current"); }))
        return fail("no QIMUpdate window with the installed version");
    say("road: %s", controlText(window, 204));
    screenshot("1-started", window);
    bool done = check(window) && downloadAndInstall(window, autoInstall) && installPlugins();
    click(control(window, 203));
    return done;
}

// A release that is not as its publisher signed it: the download is refused and deleted.
bool rejectedRoad(Program &updater)
{
    HWND window = updater.waitForWindow("qim_update", 10000, true);
    if (!window || !waitUntil([&] { return startsWith(controlText(window, 204), "Current"); }))
        return fail("no QIMUpdate window with the installed version");
    if (!check(window))
        return false;
    HWND action = control(window, 201), status = control(window, 205);
    click(action);
    if (!waitUntil(
            [&] {
                return windowText(status) == "The update could not be verified and was deleted.";
            },
            stepTimeout))
        return fail("the tampered release was not refused: " + windowText(status));
    say("road: %s", windowText(status));
    bool handedBack = waitUntil([&] { return controlText(window, 203) == "Exit"; });
    say("RESULT action_enabled=%s", isEnabled(action) ? "yes" : "no");
    screenshot("3-rejected", window);
    click(control(window, 203));
    return handedBack || fail("the Exit button was not handed back");
}

// Silent start with an update: the window shows itself, ready to download.
bool silentRoad(Program &updater)
{
    HWND window = updater.waitForWindow("qim_update", stepTimeout, true);
    if (!window)
        return fail("the silent updater did not show its window");
    HWND action = control(window, 201);
    if (!waitUntil([&] { return windowText(action) == "Download update" && isEnabled(action); }))
        return fail("the shown window does not offer the download");
    say("road: %s", controlText(window, 205));
    screenshot("2-checked", window);
    bool done = downloadAndInstall(window, false) && installPlugins();
    click(control(window, 203));
    return done;
}

// Silent start without an update: the program ends by itself and never shows a window.
bool silentQuietRoad(Program &updater)
{
    bool shown = false;
    waitUntil(
        [&] {
            HWND window = updater.findWindow("qim_update");
            shown = shown || (window && isVisible(window));
            return !updater.running();
        },
        stepTimeout);
    say("RESULT window_shown=%s", shown ? "yes" : "no");
    return !shown;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: qimroad UPDATER_EXE SCENARIO [SHOTS_DIR]\n");
        return 2;
    }
    std::string scenario = argv[2];
    shotsDir = argc > 3 ? argv[3] : "";
    endPluginInstallers();
    std::string installation = prepareMachine(scenario == "auto_install");
    say("RESULT installation=%s", installation);

    bool silent = startsWith(scenario, "silent");
    Program updater;
    if (!updater.start(argv[1], silent ? "-silent" : ""))
        return fail("QIMUpdate.exe did not start"), 1;
    bool done = scenario == "silent_update"      ? silentRoad(updater)
                : scenario == "silent_no_update" ? silentQuietRoad(updater)
                : scenario == "rejected"         ? rejectedRoad(updater)
                                         : interactiveRoad(updater, scenario == "auto_install");
    DWORD exitCode = 999;
    if (!updater.waitForExit(15000, &exitCode))
        fail("QIMUpdate.exe did not end");
    say("RESULT exit_code=%s", std::to_string(exitCode));
    reportRegistry();
    endPluginInstallers();
    return done ? 0 : 1;
}
