// The renderer's dll\32 directory put on the DLL search path, so the engine library is found.
#include "installsupport.h"
#include <stdio.h>
#include <stdlib.h>

static const size_t dllTextBufferSize = 2560;

// False when the text did not fit: a cut path would name another directory.
static bool formatDllDirectory(char *buffer, size_t size, const char *directory)
{
    int written = snprintf(buffer, size, "%s\\dll\\32", directory);
    return written >= 0 && static_cast<size_t>(written) < size;
}

bool dllDirectoriesExist(const char *directory)
{
    char buffer[dllTextBufferSize];
    int written = snprintf(buffer, sizeof buffer, "%s", directory);
    if (written < 0 || static_cast<size_t>(written) >= sizeof buffer || !directoryExists(buffer))
        return false;
    if (!formatDllDirectory(buffer, sizeof buffer, directory))
        return false;
    return directoryExists(buffer);
}

static bool systemOlderThanXp()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    return version.dwMajorVersion < 5 ||
           (version.dwMajorVersion == 5 && version.dwMinorVersion == 0);
}

static void warnMissingDllDirectory(const char *directory)
{
    char text[dllTextBufferSize];
    snprintf(
        text, sizeof text,
        "Directory\n%s\\dll\\32\ndoes not exist.\nApplication may fail to find DLLs and crash.",
        directory);
    MessageBoxA(nullptr, text, "Warning", MB_ICONWARNING);
}

// Puts the renderer's 32-bit DLL directory on the search path, so the engine library and
// the libraries it needs are found by bare name.
void setUpDllSearchPath()
{
    if (systemOlderThanXp())
        return;
    char *directory = rendererDirectory();
    if (!directory) {
        MessageBoxA(nullptr,
                    "Directory not set in registry.\nApplication may fail to find DLLs and crash.",
                    "Warning", MB_ICONWARNING);
        return;
    }
    char dllDirectory[dllTextBufferSize];
    if (dllDirectoriesExist(directory) &&
        formatDllDirectory(dllDirectory, sizeof dllDirectory, directory)) {
        if (!SetDllDirectoryA(dllDirectory))
            MessageBoxA(nullptr, "Directory setting for DLLs failed.\nInstructions later.", "",
                        MB_OK);
    } else {
        warnMissingDllDirectory(directory);
    }
    free(directory);
}
