#include "archivedownload.h"
#include "session.h"

// Not built yet: report that no download could be started.
bool startArchiveDownload()
{
    return false;
}

DWORD WINAPI archiveDownloadWorker(LPVOID)
{
    return 0;
}
