#include "install.h"
#include "session.h"

// Not built yet: report that no installation could be started.
bool startInstallation()
{
    return false;
}

DWORD WINAPI installWorker(LPVOID)
{
    return 0;
}

bool runInstallation(const char *, char **, uint32_t *)
{
    return false;
}

bool unpackArchive(const char *, char **)
{
    return false;
}

bool launchPluginInstaller()
{
    return false;
}
