// Fetching the update archive of the server's version.
#pragma once
#include <windows.h>

bool startArchiveDownload();
DWORD WINAPI archiveDownloadWorker(LPVOID unused);
// The small signed file at url + ".sig", read whole into text; false when there is none.
bool fetchStatementText(const char *url, char *text, size_t size, size_t *length);
