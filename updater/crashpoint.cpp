// Counts the changes the copy makes to the disk; the test build can end the process at one.
#include "crashpoint.h"
#include <windows.h>
#include <stdlib.h>

static volatile LONG changesMade;

#ifdef QIM_CRASH_POINTS
enum { crashExitCode = 0x7e570000 };

static LONG crashPoint()
{
    static LONG point = -1;
    if (point < 0) {
        char text[16];
        DWORD length = GetEnvironmentVariableA("QIM_CRASH_AT", text, sizeof text);
        point = length > 0 && length < sizeof text ? atol(text) : 0;
    }
    return point;
}
#endif

void beforeDiskChange()
{
    LONG made = InterlockedIncrement(&changesMade);
#ifdef QIM_CRASH_POINTS
    // TerminateProcess, not ExitProcess: no handle is closed by the program and no buffer is
    // written out, as when the updater is killed.
    if (made == crashPoint())
        TerminateProcess(GetCurrentProcess(), crashExitCode);
#else
    (void)made;
#endif
}

unsigned diskChangesMade()
{
    return (unsigned)changesMade;
}

// Whether a test build's switch is set; always false elsewhere.
static bool testSwitch(const char *name)
{
#ifdef QIM_CRASH_POINTS
    return GetEnvironmentVariableA(name, NULL, 0) > 0;
#else
    (void)name;
    return false;
#endif
}

// With QIM_CRASH_THREADED as well, the k-th change still ends the process, but the copy's threads
// work as they do elsewhere: the same changes, in an order that may differ from run to run.
bool crashPointsArmed()
{
    return testSwitch("QIM_CRASH_AT") && !testSwitch("QIM_CRASH_THREADED");
}

bool commitFlushRefused()
{
    return testSwitch("QIM_REFUSE_COMMIT");
}

bool volumeFlushRefused()
{
    return testSwitch("QIM_NO_VOLUME_FLUSH");
}

bool fileTimeRefused()
{
    return testSwitch("QIM_REFUSE_FILE_TIME");
}

bool fixedCopyToken(char *token, size_t size)
{
#ifdef QIM_CRASH_POINTS
    DWORD length = GetEnvironmentVariableA("QIM_COPY_TOKEN", token, (DWORD)size);
    return length > 0 && length < size;
#else
    (void)token;
    (void)size;
    return false;
#endif
}
