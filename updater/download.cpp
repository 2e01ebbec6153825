// One blocking HTTP GET into a file with libcurl, its progress line and abort, and fresh
// temporary names.
#define _CRT_RAND_S
#include "download.h"
#include "installsupport.h"
#include "proxy.h"
#include "session.h"
#include "tlscheck.h"
#include <commctrl.h>
#include <curl/curl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

// The test build lowers the stall limit so that a stalled server can be tested quickly.
#ifndef QIM_DOWNLOAD_STALL_SECONDS
#define QIM_DOWNLOAD_STALL_SECONDS 120
#endif

// The version file has 3 bytes and a signature file a few hundred: an answer far beyond that,
// or one that takes minutes, is no such file.
#ifndef QIM_SMALL_FILE_SECONDS
#define QIM_SMALL_FILE_SECONDS 60
#endif

// An unsigned archive has no size anybody vouches for: far beyond any release, or hours on the
// wire, it is not one.
#ifndef QIM_UNSIGNED_ARCHIVE_MAX_BYTES
#define QIM_UNSIGNED_ARCHIVE_MAX_BYTES (2LL << 30)
#endif
#ifndef QIM_UNSIGNED_ARCHIVE_SECONDS
#define QIM_UNSIGNED_ARCHIVE_SECONDS (3 * 3600)
#endif

const DownloadLimits downloadLimits = {30, QIM_DOWNLOAD_STALL_SECONDS, 20, 0, 0};
const DownloadLimits unsignedArchiveLimits = {30, QIM_DOWNLOAD_STALL_SECONDS, 20,
                                              QIM_UNSIGNED_ARCHIVE_MAX_BYTES,
                                              QIM_UNSIGNED_ARCHIVE_SECONDS};
const DownloadLimits smallFileLimits = {30, QIM_DOWNLOAD_STALL_SECONDS, 20, 65536,
                                        QIM_SMALL_FILE_SECONDS};

static const size_t pathBufferSize = 2048;

//--- temporary names

// The platform reports the temporary directory in any form (short names, trailing separator);
// the long form without a trailing separator keeps the names we hand out predictable.
static bool longTempDirectory(char *directory, size_t size)
{
    char reported[pathBufferSize];
    DWORD length = GetTempPathA(sizeof reported, reported);
    if (length >= sizeof reported || length < 3)
        return false;
    length = GetLongPathNameA(reported, directory, (DWORD)size);
    if (length == 0 || length >= size)
        return false;
    if (directory[length - 1] == '\\' || directory[length - 1] == '/')
        directory[length - 1] = '\0';
    return directoryExists(directory);
}

// A unique number makes GetTempFileNameA only form the name, but it uses only the low 16 bits:
// when those are zero it creates a file, which would later stand where the unpack directory goes.
static unsigned int randomUniqueNumber()
{
    unsigned int number = 0;
    while (rand_s(&number) != 0 || (number & 0xFFFF) == 0) {
    }
    return number;
}

// Each name made here is held by a named mutex while the updater runs, so that another updater's
// sweep of the temporary folder leaves it (a waiting update may be days old). The oldest hold is
// let go once the table is full: those names are long removed by then.
enum { heldNameCount = 64 };
static HANDLE heldNames[heldNameCount];
static unsigned nextHeldName = 0;

static bool formNameHold(const char *name, char *hold, size_t size)
{
    int length = snprintf(hold, size, "Local\\QIMUpdate temporary %s", name);
    return length > 0 && (size_t)length < size;
}

static void holdName(const char *path)
{
    const char *name = strrchr(path, '\\');
    char hold[96];
    if (!name || !formNameHold(name + 1, hold, sizeof hold))
        return;
    HANDLE &slot = heldNames[nextHeldName++ % heldNameCount];
    if (slot)
        CloseHandle(slot);
    slot = CreateMutexA(nullptr, FALSE, hold);
}

bool isTempNameHeld(const char *name)
{
    char hold[96];
    if (!formNameHold(name, hold, sizeof hold))
        return true;
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, hold);
    if (!mutex)
        return false;
    CloseHandle(mutex);
    return true;
}

void releaseTempNames()
{
    for (HANDLE &slot : heldNames) {
        if (slot)
            CloseHandle(slot);
        slot = nullptr;
    }
}

char *makeTempFileName()
{
    char directory[pathBufferSize];
    if (!longTempDirectory(directory, sizeof directory))
        return nullptr;
    char formed[pathBufferSize];
    if (GetTempFileNameA(directory, "qim", randomUniqueNumber(), formed) == 0)
        return nullptr;
    size_t length = strnlen(formed, sizeof formed);
    if (length >= sizeof formed || length < strlen(directory))
        return nullptr;
    char *name = (char *)malloc(length + 1);
    if (!name)
        return nullptr;
    memcpy(name, formed, length + 1);
    holdName(name);
    return name;
}

//--- progress

// The bar's own range bounds what it shows; only values that cannot be held are pinned here.
static int barPosition(double percent)
{
    if (!(percent >= 0.0))
        return 0;
    if (percent >= (double)INT32_MAX)
        return INT32_MAX;
    return (int)percent;
}

// Counts are shown in full, also from 2 GiB on where a 32-bit integer would turn negative.
static long long shownByteCount(double bytes)
{
    if (!(bytes >= 0.0))
        return 0;
    if (bytes >= 9.0e18)
        return 9000000000000000000LL;
    return (long long)bytes;
}

int downloadProgress(void *, double downloadTotal, double downloaded, double, double)
{
    double percent = downloadTotal > 0.0 ? downloaded * 100.0 / downloadTotal : 0.0;
    SendMessageA(session.progressBar, PBM_SETPOS, (WPARAM)barPosition(percent), 0);
    // Truncated first, then range-checked: a few bytes more than announced still show 100%.
    int shownPercent = barPosition(percent);
    if (shownPercent > 100)
        shownPercent = 0;
    char line[512];
    snprintf(line, sizeof line, "Downloading %lld of %lld bytes... %d%%",
             shownByteCount(downloaded), shownByteCount(downloadTotal), shownPercent);
    SetWindowTextA(session.statusLabel, line);
    return session.abortDownload ? 1 : 0;
}

//--- transfer

// Over https the server's certificate and name are checked by Schannel against Windows' own
// store, and a redirect may not leave https: a plain answer could be anybody's.
static bool setTlsChecks(CURL *transfer, const char *url)
{
    bool secure = _strnicmp(url, "https://", 8) == 0;
    return curl_easy_setopt(transfer, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
           curl_easy_setopt(transfer, CURLOPT_REDIR_PROTOCOLS_STR,
                            secure ? "https" : "http,https") == CURLE_OK &&
           curl_easy_setopt(transfer, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
           curl_easy_setopt(transfer, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
           checkServerCertificates(transfer);
}

static bool setTransferOptions(CURL *transfer, const char *url, FILE *file,
                               const DownloadLimits *limits)
{
    bool set = curl_easy_setopt(transfer, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
               curl_easy_setopt(transfer, CURLOPT_URL, url) == CURLE_OK &&
               curl_easy_setopt(transfer, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
               curl_easy_setopt(transfer, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
               curl_easy_setopt(transfer, CURLOPT_PROGRESSDATA, (void *)nullptr) == CURLE_OK &&
               curl_easy_setopt(transfer, CURLOPT_PROGRESSFUNCTION, downloadProgress) == CURLE_OK &&
               curl_easy_setopt(transfer, CURLOPT_WRITEDATA, file) == CURLE_OK;
    // A server that accepts and then falls silent, or redirects in a circle, must not keep the
    // transfer (and a hidden silent updater) alive for ever.
    return set &&
           curl_easy_setopt(transfer, CURLOPT_CONNECTTIMEOUT, limits->connectSeconds) == CURLE_OK &&
           curl_easy_setopt(transfer, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
           curl_easy_setopt(transfer, CURLOPT_LOW_SPEED_TIME, limits->stallSeconds) == CURLE_OK &&
           curl_easy_setopt(transfer, CURLOPT_MAXREDIRS, limits->maxRedirects) == CURLE_OK &&
           // An abort during a name look-up that the network never answers would otherwise wait
           // for the resolver thread to give up; it is left to end on its own.
           curl_easy_setopt(transfer, CURLOPT_QUICK_EXIT, 1L) == CURLE_OK &&
           setTlsChecks(transfer, url) && useSystemProxy(transfer, url, limits->connectSeconds);
}

// The file being written, how many more bytes it may take, and who sees them.
struct CappedFile {
    FILE *file;
    long long room;
    bool exceeded;
    const DownloadSink *sink;
};

// Bytes beyond the cap never reach the disk: the transfer ends before them.
static size_t writeCapped(char *data, size_t size, size_t count, void *target)
{
    CappedFile *capped = (CappedFile *)target;
    size_t bytes = size * count;
    if ((long long)bytes > capped->room) {
        capped->exceeded = true;
        return 0;
    }
    capped->room -= (long long)bytes;
    size_t written = fwrite(data, 1, bytes, capped->file);
    if (written == bytes && capped->sink)
        capped->sink->receive(data, bytes, capped->sink->context);
    return written;
}

// A size announced beyond the cap is refused before any body byte arrives.
static bool setSizeAndTimeCaps(CURL *transfer, const DownloadLimits *limits, CappedFile *capped)
{
    bool set = true;
    if (limits->maxBytes > 0 || capped->sink)
        set = curl_easy_setopt(transfer, CURLOPT_WRITEFUNCTION, writeCapped) == CURLE_OK &&
              curl_easy_setopt(transfer, CURLOPT_WRITEDATA, capped) == CURLE_OK;
    if (set && limits->maxBytes > 0)
        set = curl_easy_setopt(transfer, CURLOPT_MAXFILESIZE_LARGE, (curl_off_t)limits->maxBytes) ==
              CURLE_OK;
    if (set && limits->totalSeconds > 0)
        set = curl_easy_setopt(transfer, CURLOPT_TIMEOUT, limits->totalSeconds) == CURLE_OK;
    return set;
}

bool downloadToFileWithin(const char *url, const char *path, const DownloadLimits *limits,
                          bool *tooLarge, const DownloadSink *sink)
{
    if (tooLarge)
        *tooLarge = false;
    if (!url || !path || !limits)
        return false;
    FILE *file = nullptr;
    if (fopen_s(&file, path, "wb") != 0 || !file)
        return false;
    bool completed = false;
    long responseCode = 0;
    CappedFile capped = {file, limits->maxBytes > 0 ? limits->maxBytes : LLONG_MAX, false, sink};
    CURL *transfer = curl_easy_init();
    if (!transfer)
        goto closeFile;
    if (setTransferOptions(transfer, url, file, limits) &&
        setSizeAndTimeCaps(transfer, limits, &capped)) {
        CURLcode result = curl_easy_perform(transfer);
        curl_easy_getinfo(transfer, CURLINFO_RESPONSE_CODE, &responseCode);
        completed = result == CURLE_OK;
        if (tooLarge)
            *tooLarge = capped.exceeded || result == CURLE_FILESIZE_EXCEEDED;
    }
    curl_easy_cleanup(transfer);
closeFile:
    // A file that cannot be flushed to the end holds less than was received.
    if (fclose(file) != 0)
        completed = false;
    return completed && responseCode < 400;
}

bool downloadToFile(const char *url, const char *path)
{
    return downloadToFileWithin(url, path, &downloadLimits);
}
