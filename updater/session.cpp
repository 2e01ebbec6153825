#include "session.h"

UpdaterSession session;

bool startWorker(LPTHREAD_START_ROUTINE routine, void *parameter)
{
    HANDLE thread = CreateThread(nullptr, 0, routine, parameter, 0, nullptr);
    if (!thread)
        return false;
    CloseHandle(thread);
    return true;
}
