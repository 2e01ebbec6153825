// Routines that both QIMUpdate and QIM_InstallPlugins are built with: path probes,
// the renderer directory lookup, the DLL search path and the folder picker.
#pragma once
#include <windows.h>

//--- probes
bool directoryExists(const char *path);
bool fileExists(const char *path);

//--- renderer key (HKCU\Software\Valdormine\Renderer), opened one level at a time, never created
struct RendererKey {
    HKEY software;
    HKEY maker;
    HKEY renderer;
};
bool openRendererKey(RendererKey *key, REGSAM rendererAccess);
void closeRendererKey(RendererKey *key);

//--- renderer directory
char *rendererDirectory();
bool dllDirectoriesExist(const char *directory);
void setUpDllSearchPath();

//--- folder picker
char *chooseDirectory(HWND owner, const char *title, const char *initialPath);
int CALLBACK browseCallback(HWND picker, UINT notification, LPARAM param, LPARAM data);
