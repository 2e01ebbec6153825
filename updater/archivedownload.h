// Fetching the update archive of the server's version.
#pragma once
#include <windows.h>

bool startArchiveDownload();
DWORD WINAPI archiveDownloadWorker(LPVOID unused);
// The rebuilt delta tree waiting for the installation, if any: taken over by the installation
// (the caller then owns and removes it), or removed.
char *takeDeltaTree();
void discardDeltaTree();
bool deltaTreeWaiting();
// The small signed file at url + ".sig", read whole into text; false when there is none.
bool fetchStatementText(const char *url, char *text, size_t size, size_t *length);
