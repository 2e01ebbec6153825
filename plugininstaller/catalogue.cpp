// The 3ds Max versions the plug-in installer knows, and which of them the registry shows installed.
#include "catalogue.h"
#include "pathtext.h"
#include "session.h"
#include <stdlib.h>
#include <string.h>

#define MAX_KEY(version) "SOFTWARE\\Autodesk\\3dsmax\\" version "\\MAX-1:409"
#define WOW_KEY(version) "SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\" version "\\MAX-1:409"

// A row of the catalogue; detection and the window fill the rest at run time.
// clang-format off
#define HOST_TARGET(name, bits, is64, version, pluginDir)                                          \
    {"3ds Max " name " " bits " bit",                                                              \
     "3ds Max " name " " bits " bit path...",                                                      \
     "3ds max " name " " bits " bit",                                                              \
     is64,                                                                                         \
     MAX_KEY(version),                                                                             \
     WOW_KEY(version),                                                                             \
     pluginDir " plugin\\" bits "\\QIMplugin.dlr",                                                 \
     nullptr, false,                                                                               \
     nullptr, nullptr, nullptr, nullptr}
// clang-format on

InstallerSession session = {
    nullptr,
    nullptr,
    false,
    nullptr,
    nullptr,
    nullptr,
    {
        HOST_TARGET("9", "32", false, "9.0", "max9"),
        HOST_TARGET("9", "64", true, "9.0", "max9"),
        HOST_TARGET("2008", "32", false, "10.0", "max2008"),
        HOST_TARGET("2008", "64", true, "10.0", "max2008"),
        HOST_TARGET("2009", "32", false, "11.0", "max2009"),
        HOST_TARGET("2009", "64", true, "11.0", "max2009"),
        HOST_TARGET("2010", "32", false, "12.0", "max2010"),
        HOST_TARGET("2010", "64", true, "12.0", "max2010"),
        // No plug-in is built for 3ds Max 2011: it loads the 2010 build.
        HOST_TARGET("2011", "32", false, "13.0", "max2010"),
        HOST_TARGET("2011", "64", true, "13.0", "max2010"),
        HOST_TARGET("2012", "32", false, "14.0", "max2012"),
        HOST_TARGET("2012", "64", true, "14.0", "max2012"),
    },
};

// The value's type is not examined: 3ds Max writes REG_SZ, and anything else is taken as its
// bytes up to the first zero. A value that fills the whole buffer without a terminating zero
// is refused, since cutting it would name another directory.
// The program is meant as a 32-bit process, whose default view is the 32-bit one; a 64-bit build
// must ask for that view by name to find the same installations.
#ifdef _WIN64
const REGSAM defaultView = KEY_WOW64_32KEY;
#else
const REGSAM defaultView = 0;
#endif

char *readMaxInstallDir(const char *subKey, bool use64BitView)
{
    REGSAM access = KEY_READ | (use64BitView ? KEY_WOW64_64KEY : defaultView);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, access, &key) != ERROR_SUCCESS)
        return nullptr;
    char value[2048];
    memset(value, 0, sizeof value);
    DWORD size = sizeof value;
    LONG queried = RegQueryValueExA(key, "Installdir", nullptr, nullptr,
                                    reinterpret_cast<BYTE *>(value), &size);
    RegCloseKey(key);
    if (queried != ERROR_SUCCESS || value[0] == '\0' ||
        strnlen(value, sizeof value) == sizeof value)
        return nullptr;
    return copyText(value);
}

// A 32-bit process sees 32-bit 3ds Max under Wow6432Node and reaches 64-bit 3ds Max only
// through the 64-bit view; 32-bit Windows has no 64-bit 3ds Max at all.
void detectMaxInstallations(bool is64BitSystem)
{
    for (int row = 0; row < hostTargetCount; ++row) {
        HostTarget *target = &session.targets[row];
        free(target->maxInstallDir);
        target->maxInstallDir = nullptr;
        if (is64BitSystem && target->is64BitBuild)
            target->maxInstallDir = readMaxInstallDir(target->nativeKey, true);
        else if (is64BitSystem)
            target->maxInstallDir = readMaxInstallDir(target->redirectedKey, false);
        else if (!target->is64BitBuild)
            target->maxInstallDir = readMaxInstallDir(target->nativeKey, false);
        target->detected = target->maxInstallDir != nullptr;
    }
}
