// Drives a whole interactive update the way a user would: QIMUpdate checks the loopback
// server, downloads and installs the published release and starts QIM_InstallPlugins, whose
// "Install" then puts the plug-in into 3ds Max. Prints "SHOT <name>" where a screenshot
// belongs and waits until the caller has taken it.
#include "fixtures.h"
#include "guidriver.h"
#include <map>
#include <stdio.h>

namespace {
const char maxKey[] = "SOFTWARE\\Autodesk\\3dsmax\\12.0\\MAX-1:409";
const char maxDir[] = "C:\\Program Files\\Autodesk\\3ds Max 2010";
const DWORD stepTimeout = 60000;

std::string shotsDir;

void say(const char *format, const std::string &text = "")
{
    printf(format, text.c_str());
    printf("\n");
    fflush(stdout);
}

void screenshot(const std::string &name)
{
    Sleep(300); // let the window repaint
    say("SHOT %s", name);
    std::string done = shotsDir + "\\" + name + ".done";
    waitUntil([&] { return pathIsFile(done); }, 30000);
}

bool fail(const std::string &what)
{
    say("demo: FAILED: %s", what);
    return false;
}

std::map<std::string, std::string> snapshot(const std::string &dir, const std::string &prefix = "")
{
    std::map<std::string, std::string> files;
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return files;
    do {
        std::string name = entry.cFileName;
        if (name == "." || name == "..")
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            auto inner = snapshot(dir + "\\" + name, prefix + name + "\\");
            files.insert(inner.begin(), inner.end());
        } else {
            readFile(dir + "\\" + name, &files[prefix + name]);
        }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return files;
}

std::string engineVersion(const std::string &installation)
{
    std::string text;
    readFile(installation + "\\dll\\32\\PlenaraVersion.txt", &text);
    int major = -1, minor = -1, build = -1;
    sscanf(text.c_str(), "%d %d %d", &major, &minor, &build);
    char version[64];
    snprintf(version, sizeof version, "%d.%d.%d", major, minor, build);
    return version;
}

void prepareMachine(std::string *installation)
{
    deleteValdormineKey();
    *installation = makeInstallation("QIM Renderer", {1, 0, 0});
    CopyFileA(pluginInstallerExe().c_str(),
              (*installation + "\\bin\\32\\QIM_InstallPlugins.exe").c_str(), FALSE);
    writeFile(*installation + "\\max2010 plugin\\32\\QIMplugin.dlr", "QIM plug-in 1.0.0\n");
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, maxKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
        std::string dir = std::string(maxDir) + "\\";
        RegSetValueExA(key, "Installdir", 0, REG_SZ, reinterpret_cast<const BYTE *>(dir.c_str()),
                       static_cast<DWORD>(dir.size() + 1));
        RegCloseKey(key);
    }
    removeTree(maxDir);
    makeDirs(std::string(maxDir) + "\\plugins");
}

bool startsWith(const std::string &text, const std::string &start)
{
    return text.compare(0, start.size(), start) == 0;
}

bool updateThroughTheUpdater(Program &updater, HWND window)
{
    HWND action = control(window, 201), status = control(window, 205);
    if (!waitUntil([&] { return startsWith(controlText(window, 204), "Current QIM version"); }))
        return fail("the updater shows no installed version");
    say("demo: %s", controlText(window, 204));
    screenshot("1-started");

    click(action);
    if (!waitUntil([&] { return startsWith(windowText(status), "Server version:"); }, stepTimeout))
        return fail("no answer from the update server: " + windowText(status));
    say("demo: %s", windowText(status));
    screenshot("2-checked");

    click(action);
    if (!waitUntil([&] { return windowText(action) == "Install update" && isEnabled(action); },
                   stepTimeout))
        return fail("the download did not finish: " + windowText(status));
    say("demo: %s", windowText(status));
    screenshot("3-downloaded");

    click(action);
    if (!waitUntil([&] { return windowText(action) == "Done"; }, stepTimeout))
        return fail("the installation did not finish: " + windowText(status));
    say("demo: %s", windowText(status));
    screenshot("4-installed");
    (void)updater;
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
    HWND installer = nullptr;
    if (!waitUntil([&] { return (installer = FindWindowA("qim_max_plugins", nullptr)) != nullptr &&
                                isVisible(installer); },
                   stepTimeout))
        return fail("the plug-in installer did not appear");
    screenshot("5-plugins");
    click(control(installer, 251));
    HWND line = messageLine(installer);
    if (!waitUntil([&] { return startsWith(windowText(line), "Installation finished"); },
                   stepTimeout))
        return fail("the plug-in installation did not finish: " + windowText(line));
    say("demo: %s", windowText(line));
    screenshot("6-plugins-installed");
    PostMessageA(installer, WM_CLOSE, 0, 0);
    return true;
}

void summarise(const std::string &installation, const std::map<std::string, std::string> &before)
{
    auto after = snapshot(installation);
    int changed = 0, added = 0;
    for (const auto &file : after) {
        auto old = before.find(file.first);
        if (old == before.end())
            added++;
        else if (old->second != file.second)
            changed++;
    }
    std::string plugin;
    bool installed = readFile(std::string(maxDir) + "\\plugins\\QIMplugin.dlr", &plugin);
    printf("\n== Summary ==\n");
    printf("renderer directory: %s\n", installation.c_str());
    printf("version before: 1.0.0, after: %s\n", engineVersion(installation).c_str());
    printf("files: %d changed, %d added, %d in all\n", changed, added, (int)after.size());
    printf("3ds Max 2010 plug-in: %s\n",
           installed ? ("installed (" + plugin.substr(0, plugin.find('\n')) + ")").c_str()
                     : "not installed");
    fflush(stdout);
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: qimdemo SHOTS_DIR\n");
        return 2;
    }
    shotsDir = argv[1];
    std::string installation;
    prepareMachine(&installation);
    auto before = snapshot(installation);

    Program updater;
    if (!updater.start(loopbackUpdaterExe()))
        return fail("QIMUpdate.exe did not start"), 1;
    HWND window = updater.waitForWindow("qim_update", 10000, true);
    if (!window)
        return fail("no QIMUpdate window"), 1;
    bool done = updateThroughTheUpdater(updater, window) && installPlugins();
    summarise(installation, before);
    click(control(window, 203));
    DWORD exitCode = 0;
    updater.waitForExit(10000, &exitCode);
    return done ? 0 : 1;
}
