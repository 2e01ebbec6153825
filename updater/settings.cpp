// The updater's settings under the renderer's registry key: read at start, written when a box
// changes.
#include "settings.h"
#include "installsupport.h"
#include "session.h"
#include <string.h>

static const DWORD registryValueBufferSize = 2048;

// Only a REG_DWORD holding exactly 1 counts as on; anything else leaves the flag as it was.
static void readFlag(HKEY renderer, const char *name, bool *flag)
{
    BYTE buffer[registryValueBufferSize] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof buffer;
    if (RegQueryValueExA(renderer, name, nullptr, &type, buffer, &size) != ERROR_SUCCESS)
        return;
    if (type != REG_DWORD)
        return;
    DWORD value = 0;
    memcpy(&value, buffer, sizeof value);
    *flag = value == 1;
}

bool readSettings()
{
    RendererKey key;
    if (!openRendererKey(&key, KEY_READ))
        return false;
    readFlag(key.renderer, "betatester", &session.betaTester);
    readFlag(key.renderer, "autoupdate", &session.autoUpdate);
    readFlag(key.renderer, "autoinstall", &session.autoInstall);
    readFlag(key.renderer, "differentdirs", &session.differentDirs);
    closeRendererKey(&key);
    return true;
}

static bool writeRendererValue(const char *name, DWORD type, const BYTE *data, DWORD size)
{
    RendererKey key;
    if (!openRendererKey(&key, KEY_WRITE))
        return false;
    LONG status = RegSetValueExA(key.renderer, name, 0, type, data, size);
    closeRendererKey(&key);
    return status == ERROR_SUCCESS;
}

static bool writeFlag(const char *name, bool on)
{
    DWORD value = on ? 1 : 0;
    return writeRendererValue(name, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                              sizeof value);
}

bool writeAutoUpdate(bool on)
{
    return writeFlag("autoupdate", on);
}

bool writeAutoInstall(bool on)
{
    return writeFlag("autoinstall", on);
}

bool writeDifferentDirs(bool on)
{
    return writeFlag("differentdirs", on);
}

bool writeRendererDirectory(const char *path)
{
    if (!path)
        return false;
    DWORD size = static_cast<DWORD>(strlen(path) + 1);
    return writeRendererValue("directory", REG_SZ, reinterpret_cast<const BYTE *>(path), size);
}

// Where a copy other than into the renderer directory keeps its journal, until it is settled.
// The copy starts only once this value is on disk: after a power cut the next start must find
// the journal of an installation outside the renderer directory.
bool writeCopyRoot(const char *path)
{
    RendererKey key;
    if (!openRendererKey(&key, KEY_WRITE))
        return false;
    DWORD size = static_cast<DWORD>(strlen(path) + 1);
    LONG status = RegSetValueExA(key.renderer, "copyroot", 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(path), size);
    if (status == ERROR_SUCCESS)
        status = RegFlushKey(key.renderer);
    closeRendererKey(&key);
    return status == ERROR_SUCCESS;
}

void clearCopyRoot()
{
    RendererKey key;
    if (!openRendererKey(&key, KEY_WRITE))
        return;
    RegDeleteValueA(key.renderer, "copyroot");
    closeRendererKey(&key);
}

char *readCopyRoot()
{
    RendererKey key;
    char buffer[registryValueBufferSize] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof buffer - 1;
    if (!openRendererKey(&key, KEY_READ))
        return nullptr;
    LONG status = RegQueryValueExA(key.renderer, "copyroot", nullptr, &type,
                                   reinterpret_cast<BYTE *>(buffer), &size);
    closeRendererKey(&key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return nullptr;
    return _strdup(buffer);
}

// Times the updater keeps for itself, in seconds since 1970 (UTC), as REG_QWORD values.
long long readRecordedTime(const char *name)
{
    RendererKey key;
    unsigned long long value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof value;
    if (!openRendererKey(&key, KEY_READ))
        return 0;
    LONG status = RegQueryValueExA(key.renderer, name, nullptr, &type,
                                   reinterpret_cast<BYTE *>(&value), &size);
    closeRendererKey(&key);
    if (status != ERROR_SUCCESS || type != REG_QWORD || size != sizeof value)
        return 0;
    return (long long)value;
}

bool writeRecordedTime(const char *name, long long seconds)
{
    unsigned long long value = (unsigned long long)seconds;
    return writeRendererValue(name, REG_QWORD, reinterpret_cast<const BYTE *>(&value),
                              sizeof value);
}

long long currentTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    unsigned long long ticks = ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
    const unsigned long long ticksPerSecond = 10000000ULL;
    const unsigned long long secondsFrom1601To1970 = 11644473600ULL;
    return (long long)(ticks / ticksPerSecond - secondsFrom1601To1970);
}

typedef int (*VersionFunction)();

// The engine is loaded afresh for every question so that an installation replaced in the
// meantime answers with its own version.
bool queryInstalledVersion()
{
    HMODULE engine = LoadLibraryA("PlenaraDLL32.dll");
    if (!engine)
        return false;
    VersionFunction major = reinterpret_cast<VersionFunction>(
        GetProcAddress(engine, "?getVersionMajor@Raytracer@@SAHXZ"));
    VersionFunction minor = reinterpret_cast<VersionFunction>(
        GetProcAddress(engine, "?getVersionMinor@Raytracer@@SAHXZ"));
    VersionFunction build = reinterpret_cast<VersionFunction>(
        GetProcAddress(engine, "?getVersionBuild@Raytracer@@SAHXZ"));
    bool complete = major && minor && build;
    if (complete) {
        session.installedVersion.major = major();
        session.installedVersion.minor = minor();
        session.installedVersion.build = build();
    }
    FreeLibrary(engine);
    return complete;
}
