// Shared steps of the plug-in installer's tests: 3ds Max registry entries written the way
// 3ds Max writes them, a renderer installation carrying the plug-in builds, and the
// installer's window with its controls.
#pragma once
#include "fixtures.h"
#include "guidriver.h"
#include <string>

const int rowCount = 12;
const char installerClass[] = "qim_max_plugins";

//--- machine
bool is64BitWindows();

//--- 3ds Max registry entries under HKLM
// "SOFTWARE\Autodesk\3dsmax\<version>\MAX-1:409", e.g. version "12.0" for 3ds Max 2010.
std::string maxKey(const char *version);
// Writes a value under HKLM\subKey in the given view (0, KEY_WOW64_32KEY or KEY_WOW64_64KEY).
bool writeHklmValue(const std::string &subKey, REGSAM view, const char *name, DWORD type,
                    const void *data, DWORD size);
// Installdir as 3ds Max's setup writes it: a 32-bit 3ds Max into the 32-bit view (so under
// Wow6432Node on 64-bit Windows), a 64-bit 3ds Max into the 64-bit view.
bool writeMaxInstallDir(const char *version, bool max64, const std::string &installDir);
// Removes every 3ds Max entry, in both views and under an explicit Wow6432Node.
void removeMaxEntries();

//--- renderer installation with the ten plug-in builds, recorded in the registry
// Each build's content is its subpath, so a test can tell which build was copied.
std::string makeRendererWithPlugins(const std::string &name);
// A 3ds Max installation folder, with or without its "plugins" directory.
std::string makeMaxInstallation(const std::string &name, bool withPluginsDir);

//--- the installer's window
struct InstallerControls {
    HWND window = nullptr;
    HWND checkBox[rowCount] = {};
    HWND pathEdit[rowCount] = {};
    HWND browseButton[rowCount] = {};
    HWND statusText[rowCount] = {};
    HWND messageLine = nullptr;
    HWND installButton = nullptr;
    HWND quitButton = nullptr;
};

// Maps the window's children in creation order: twelve check boxes, edit boxes, "..." buttons
// and status texts, then the message line, "Install" and "Exit". False if the count is wrong.
bool mapControls(HWND window, InstallerControls *controls);
// Starts the installer and waits until its rows have been refreshed (no row says "status").
bool startInstaller(Program &program, InstallerControls *controls, const std::string &workDir = "");
bool setText(HWND control, const std::string &text);
// Clicks a row's check box and waits until the installer has answered it.
bool toggleRow(const InstallerControls &controls, int row);
