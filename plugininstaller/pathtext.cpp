// Small text helpers shared by the rows and the copy run.
#include "pathtext.h"
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// A heap copy owned by the caller (malloc), or none when the heap is exhausted.
char *copyText(const char *text)
{
    size_t length = strlen(text);
    char *copy = static_cast<char *>(malloc(length + 1));
    if (copy)
        memcpy(copy, text, length + 1);
    return copy;
}

// Removes trailing backslashes and slashes but never one of the first keptPrefix characters,
// so that callers can keep a drive's "C:" or a root's "C:\".
void trimTrailingSeparators(char *path, size_t keptPrefix)
{
    size_t length = strlen(path);
    while (length > keptPrefix && (path[length - 1] == '\\' || path[length - 1] == '/'))
        path[--length] = '\0';
}

// False when the text did not fit: a cut path would name another file.
bool formatText(char *buffer, size_t size, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(buffer, size, format, arguments);
    va_end(arguments);
    return length >= 0 && static_cast<size_t>(length) < size;
}
