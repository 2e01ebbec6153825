// The updater's single global record and the start of its worker threads.
#include "session.h"
#include <stdlib.h>

UpdaterSession session;

namespace
{
struct WorkerStart {
    LPTHREAD_START_ROUTINE routine;
    void *parameter;
};
} // namespace

// A worker that ends the program closes the window only once it no longer counts as running;
// the window refuses to close around a running worker.
static DWORD WINAPI runCountedWorker(LPVOID startData)
{
    WorkerStart start = *static_cast<WorkerStart *>(startData);
    free(startData);
    DWORD result = start.routine(start.parameter);
    session.workersRunning--;
    if (session.closeWhenWorkerEnds.exchange(false))
        SendMessageA(session.mainWindow, WM_CLOSE, 0, 0);
    return result;
}

bool startWorker(LPTHREAD_START_ROUTINE routine, void *parameter)
{
    WorkerStart *start = static_cast<WorkerStart *>(malloc(sizeof(WorkerStart)));
    if (!start)
        return false;
    *start = WorkerStart{routine, parameter};
    session.workersRunning++;
    HANDLE thread = CreateThread(nullptr, 0, runCountedWorker, start, 0, nullptr);
    if (!thread) {
        session.workersRunning--;
        free(start);
        return false;
    }
    CloseHandle(thread);
    return true;
}

bool startWorkerIn(UpdaterState running, LPTHREAD_START_ROUTINE routine, void *parameter)
{
    UpdaterState before = session.state.exchange(running);
    if (startWorker(routine, parameter))
        return true;
    session.state = before;
    return false;
}
