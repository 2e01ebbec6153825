// The renderer's registry key, opened one level at a time and never created, and the renderer
// directory recorded in it.
#include "installsupport.h"
#include <stdlib.h>
#include <string.h>

static const DWORD registryValueBufferSize = 2048;

// The key is only ever opened, one level at a time: the updater must not leave an empty
// "Valdormine" tree behind on a machine where the renderer was never installed.
bool openRendererKey(RendererKey *key, REGSAM rendererAccess)
{
    key->software = nullptr;
    key->maker = nullptr;
    key->renderer = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key->software) != ERROR_SUCCESS)
        goto failed;
    if (RegOpenKeyExA(key->software, "Valdormine", 0, KEY_READ, &key->maker) != ERROR_SUCCESS)
        goto failed;
    if (RegOpenKeyExA(key->maker, "Renderer", 0, rendererAccess, &key->renderer) != ERROR_SUCCESS)
        goto failed;
    return true;
failed:
    closeRendererKey(key);
    return false;
}

void closeRendererKey(RendererKey *key)
{
    if (key->renderer)
        RegCloseKey(key->renderer);
    if (key->maker)
        RegCloseKey(key->maker);
    if (key->software)
        RegCloseKey(key->software);
    key->renderer = nullptr;
    key->maker = nullptr;
    key->software = nullptr;
}

static void trimTrailingSeparators(char *path)
{
    size_t length = strlen(path);
    while (length > 3 && (path[length - 1] == '\\' || path[length - 1] == '/'))
        path[--length] = '\0';
}

// The value's type is not checked: whatever bytes it holds are taken up to the first zero.
// A value that fills the whole buffer without a terminator is bounded by the bytes read.
char *rendererDirectory()
{
    RendererKey key;
    if (!openRendererKey(&key, KEY_READ))
        return nullptr;
    char buffer[registryValueBufferSize];
    buffer[0] = '\0';
    DWORD size = sizeof buffer;
    LONG status = RegQueryValueExA(key.renderer, "directory", nullptr, nullptr,
                                   reinterpret_cast<BYTE *>(buffer), &size);
    closeRendererKey(&key);
    if (status != ERROR_SUCCESS)
        return nullptr;
    size_t length = strnlen(buffer, size <= sizeof buffer ? size : sizeof buffer);
    char *directory = static_cast<char *>(malloc(length + 1));
    if (!directory)
        return nullptr;
    memcpy(directory, buffer, length);
    directory[length] = '\0';
    trimTrailingSeparators(directory);
    return directory;
}
