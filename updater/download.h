// One blocking HTTP GET into a file, its progress display, and fresh temporary names.
#pragma once

char *makeTempFileName();
bool downloadToFile(const char *url, const char *path);
int downloadProgress(void *data, double downloadTotal, double downloaded, double uploadTotal,
                     double uploaded);
