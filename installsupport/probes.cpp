// Path probes: whether a file or a directory exists.
#include "installsupport.h"

// Both probes hand the path to FindFirstFileA unchanged, so a path ending in a separator
// never matches and a wildcard pattern is judged by its first match.
static bool firstMatchAttributes(const char *path, DWORD *attributes)
{
    WIN32_FIND_DATAA match;
    HANDLE search = FindFirstFileA(path, &match);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    *attributes = match.dwFileAttributes;
    FindClose(search);
    return true;
}

bool directoryExists(const char *path)
{
    DWORD attributes = 0;
    if (!firstMatchAttributes(path, &attributes))
        return false;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool fileExists(const char *path)
{
    if (!path)
        return false;
    DWORD attributes = 0;
    if (!firstMatchAttributes(path, &attributes))
        return false;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
