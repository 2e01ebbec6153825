// The updater's main window, its controls and the command state machine.
#pragma once
#include <windows.h>

void registerMainWindowClass(HINSTANCE instance);
LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void requestVersionCheck();
