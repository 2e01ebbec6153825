// Asking the update server for the newest version.
#pragma once
#include <windows.h>

bool startVersionCheck();
DWORD WINAPI versionCheckWorker(LPVOID unused);
bool isServerVersionNewer();
bool isServerVersionOlder();
