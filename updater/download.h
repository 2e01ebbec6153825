// One blocking HTTP GET into a file, its progress display, and fresh temporary names.
#pragma once

char *makeTempFileName();
bool downloadToFile(const char *url, const char *path);
int downloadProgress(void *data, double downloadTotal, double downloaded, double uploadTotal,
                     double uploaded);

// Bounds that keep a dead, silent or looping server from holding a transfer (and a hidden
// silent updater) forever. None of them cuts off a slow connection that still delivers.
struct DownloadLimits {
    long connectSeconds; // to establish the connection, name resolution included
    long stallSeconds;   // below 1 byte per second for this long ends the transfer
    long maxRedirects;
};
extern const DownloadLimits downloadLimits; // what downloadToFile uses
bool downloadToFileWithin(const char *url, const char *path, const DownloadLimits *limits);
