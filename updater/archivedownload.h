// Fetching the update archive of the server's version.
#pragma once
#include <windows.h>

bool startArchiveDownload();
DWORD WINAPI archiveDownloadWorker(LPVOID unused);
