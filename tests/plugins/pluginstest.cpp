// Shared steps of the plug-in installer's tests: 3ds Max registry entries and the installer's
// window.
#include "pluginstest.h"
#include <vector>

bool is64BitWindows()
{
    SYSTEM_INFO system;
    GetNativeSystemInfo(&system);
    return system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}

std::string maxKey(const char *version)
{
    return std::string("SOFTWARE\\Autodesk\\3dsmax\\") + version + "\\MAX-1:409";
}

bool writeHklmValue(const std::string &subKey, REGSAM view, const char *name, DWORD type,
                    const void *data, DWORD size)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_WRITE | view,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    bool written =
        RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

bool writeMaxInstallDir(const char *version, bool max64, const std::string &installDir)
{
    return writeHklmValue(maxKey(version), max64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY, "Installdir", REG_SZ,
                          installDir.c_str(), static_cast<DWORD>(installDir.size() + 1));
}

static void removeTreeIn(const char *parent, REGSAM view, const char *child)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent, 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS)
        return;
    RegDeleteTreeA(key, child);
    RegCloseKey(key);
}

void removeMaxEntries()
{
    removeTreeIn("SOFTWARE\\Autodesk", KEY_WOW64_64KEY, "3dsmax");
    removeTreeIn("SOFTWARE\\Autodesk", KEY_WOW64_32KEY, "3dsmax");
    removeTreeIn("SOFTWARE\\Wow6432Node\\Autodesk", 0, "3dsmax");
}

std::string makeRendererWithPlugins(const std::string &name)
{
    std::string dir = makeInstallation(name);
    const char *builds[] = {"max9", "max2008", "max2009", "max2010", "max2012"};
    for (const char *build : builds)
        for (const char *bits : {"32", "64"}) {
            std::string subpath = std::string(build) + " plugin\\" + bits + "\\QIMplugin.dlr";
            writeFile(dir + "\\" + subpath, subpath);
        }
    return dir;
}

std::string makeMaxInstallation(const std::string &name, bool withPluginsDir)
{
    std::string dir = freshDir(name);
    if (withPluginsDir)
        makeDirs(dir + "\\plugins");
    return dir;
}

bool mapControls(HWND window, InstallerControls *controls)
{
    std::vector<HWND> all = children(window);
    if (all.size() != 4 * rowCount + 3)
        return false;
    controls->window = window;
    for (int row = 0; row < rowCount; ++row) {
        controls->checkBox[row] = all[row];
        controls->pathEdit[row] = all[rowCount + row];
        controls->browseButton[row] = all[2 * rowCount + row];
        controls->statusText[row] = all[3 * rowCount + row];
    }
    controls->messageLine = all[4 * rowCount];
    controls->installButton = all[4 * rowCount + 1];
    controls->quitButton = all[4 * rowCount + 2];
    return true;
}

static bool rowsRefreshed(const InstallerControls &controls)
{
    for (HWND status : controls.statusText)
        if (windowText(status) == "status")
            return false;
    return true;
}

bool startInstaller(Program &program, InstallerControls *controls, const std::string &workDir)
{
    if (!program.start(pluginInstallerExe(), "", workDir))
        return false;
    HWND window = program.waitForWindow(installerClass, 10000, true);
    return window && waitUntil([&] { return mapControls(window, controls); }) &&
           waitUntil([&] { return rowsRefreshed(*controls); });
}

bool setText(HWND control, const std::string &text)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                               SMTO_ABORTIFHUNG, 5000, &result) != 0;
}

bool toggleRow(const InstallerControls &controls, int row)
{
    bool wasTicked = checkState(controls.checkBox[row]) == BST_CHECKED;
    click(controls.checkBox[row]);
    const char *expected = wasTicked ? "ignored" : "install";
    return waitUntil([&] {
        return (checkState(controls.checkBox[row]) == BST_CHECKED) != wasTicked &&
               windowText(controls.statusText[row]) == expected;
    });
}
