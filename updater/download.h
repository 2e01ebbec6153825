// One blocking HTTP GET into a file, its progress display, and fresh temporary names.
#pragma once
#include <stddef.h>

// A fresh name "qimXXXX.tmp" in the temporary folder, held as this updater's until it ends.
char *makeTempFileName();
// Whether a running updater holds this name (a file name in the temporary folder).
bool isTempNameHeld(const char *name);
void releaseTempNames();
bool downloadToFile(const char *url, const char *path);
int downloadProgress(void *data, double downloadTotal, double downloaded, double uploadTotal,
                     double uploaded);

// Bounds that keep a dead, silent or looping server from holding a transfer (and a hidden
// silent updater) forever. Only maxBytes and totalSeconds cut off a connection that still
// delivers; they are for files whose size is known to be small or signed.
struct DownloadLimits {
    long connectSeconds; // to establish the connection, name resolution included
    long stallSeconds;   // below 1 byte per second for this long ends the transfer
    long maxRedirects;
    long long maxBytes; // more body bytes than this end the transfer; 0: no limit
    long totalSeconds;  // the whole transfer; 0: no limit
};
extern const DownloadLimits downloadLimits;        // what downloadToFile uses
extern const DownloadLimits smallFileLimits;       // the version file and the signature file
extern const DownloadLimits unsignedArchiveLimits; // an archive in a build without a key
// Is handed every body byte right after it is written to the file.
struct DownloadSink {
    void (*receive)(const void *data, size_t size, void *context);
    void *context;
};
// tooLarge (may be null) tells whether the transfer ended because of maxBytes.
bool downloadToFileWithin(const char *url, const char *path, const DownloadLimits *limits,
                          bool *tooLarge = nullptr, const DownloadSink *sink = nullptr);
