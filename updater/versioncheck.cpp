#include "versioncheck.h"
#include "session.h"

// Not built yet: report that no check could be started.
bool startVersionCheck()
{
    return false;
}

DWORD WINAPI versionCheckWorker(LPVOID)
{
    return 0;
}

bool isServerVersionNewer()
{
    return false;
}
