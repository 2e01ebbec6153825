// Asking the update server for the newest version.
#pragma once
#include "releasesignature.h"
#include <windows.h>

bool startVersionCheck();
DWORD WINAPI versionCheckWorker(LPVOID unused);
bool isServerVersionNewer();
bool isServerVersionOlder();
// In a build with a release key: the full archive the last accepted announcement names (false
// when none was accepted). The archive download takes nothing else.
bool announcedArchive(SignedArchive *archive);
void rememberAnnouncedArchive(const SignedArchive *archive); // null: none
