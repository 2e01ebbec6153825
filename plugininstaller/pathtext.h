// Small text helpers shared by the rows and the copy run.
#pragma once
#include <stddef.h>
#include <stdio.h>

char *copyText(const char *text);
void trimTrailingSeparators(char *path, size_t keptPrefix);
bool formatText(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 3, 4)));
