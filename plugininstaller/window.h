// The installer window: twelve target rows, the message line and the two buttons.
#pragma once
#include <windows.h>

// Control ids; a row's id is its group's base plus the row index.
const int checkBoxBaseId = 201;
const int browseButtonBaseId = 221;
const int pathEditBaseId = 261;
const int installButtonId = 251;
const int quitButtonId = 252;
const int messageLineId = 253;
const int evenStatusTextId = 254;
const int oddStatusTextId = 253;

void registerInstallerClass(HINSTANCE instance);
bool createInstallerWindow(HINSTANCE instance);
void createInstallerControls(HINSTANCE instance);
void refreshRows();
void disableAllButQuit();
void browseRowPath(HWND pathEdit);
void layoutControls(int clientWidth);
void limitSizing(RECT *proposed);
LRESULT CALLBACK installerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
