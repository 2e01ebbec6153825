#include "versioncheck.h"
#include "download.h"
#include "installsupport.h"
#include "server.h"
#include "session.h"
#include <stdio.h>
#include <stdlib.h>

static const size_t versionUrlSize = 512;

// Closing the main window ends the program; a silent updater has nobody to tell. The close is
// sent when this worker has ended, since the window stays while a worker runs.
static void closeIfSilent()
{
    if (session.silent)
        session.closeWhenWorkerEnds = true;
}

static void deleteIfPresent(const char *path)
{
    if (path && fileExists(path))
        DeleteFileA(path);
}

static void endCheckInternalError()
{
    session.state = CheckFailed;
    SetWindowTextA(session.statusLabel, "Internal error. Sorry.");
    SetWindowTextA(session.exitButton, "Exit");
    closeIfSilent();
}

static void endCheckFailed()
{
    session.state = CheckFailed;
    SetWindowTextA(session.statusLabel, "Failed to check server version.");
    SetWindowTextA(session.exitButton, "Exit");
    deleteIfPresent(session.versionFilePath);
    closeIfSilent();
}

// The version file is exactly three bytes: major, minor, build.
static bool readVersionFile(const char *path, RendererVersion *version)
{
    FILE *file = nullptr;
    if (fopen_s(&file, path, "rb") != 0 || !file)
        return false;
    bool read = false;
    if (_fseeki64(file, 0, SEEK_END) == 0 && _ftelli64(file) == versionFileSize &&
        _fseeki64(file, 0, SEEK_SET) == 0) {
        int major = fgetc(file);
        int minor = fgetc(file);
        int build = fgetc(file);
        read = major != EOF && minor != EOF && build != EOF;
        if (read)
            *version = RendererVersion{major, minor, build};
    }
    fclose(file);
    deleteIfPresent(path);
    return read;
}

static void reportServerVersion()
{
    bool newer = isServerVersionNewer();
    const RendererVersion &server = session.serverVersion;
    char status[512];
    snprintf(status, sizeof status,
             newer ? "Server version: %d.%d.%d. Update recommended."
                   : "Server version: %d.%d.%d. No need to update.",
             server.major, server.minor, server.build);
    session.state = newer ? UpdateAvailable : UpToDate;
    SetWindowTextA(session.statusLabel, status);
    SetWindowTextA(session.exitButton, "Exit");
    EnableWindow(session.actionButton, TRUE);
    SetWindowTextA(session.actionButton, "Download update");
    if (!session.silent)
        return;
    if (newer)
        ShowWindow(session.mainWindow, SW_SHOW);
    else
        closeIfSilent();
}

DWORD WINAPI versionCheckWorker(LPVOID)
{
    session.state = CheckingServer;
    if (!session.versionFileUrl || !session.versionFilePath) {
        endCheckInternalError();
        return 0;
    }
    RendererVersion version{};
    if (!downloadToFileWithin(session.versionFileUrl, session.versionFilePath, &smallFileLimits) ||
        !fileExists(session.versionFilePath) ||
        !readVersionFile(session.versionFilePath, &version)) {
        endCheckFailed();
        return 0;
    }
    session.serverVersion = version;
    reportServerVersion();
    return 0;
}

bool startVersionCheck()
{
    EnableWindow(session.actionButton, FALSE);
    SetWindowTextA(session.exitButton, "Abort");
    char *path = makeTempFileName();
    if (!path)
        return false;
    char *url = (char *)malloc(versionUrlSize);
    if (!url) {
        free(path);
        return false;
    }
    int length = snprintf(url, versionUrlSize, "%s://%s%s", updateServerScheme, updateServerHost,
                          session.betaTester ? versionFilePathBeta : versionFilePathRelease);
    if (length < 0 || (size_t)length >= versionUrlSize) {
        free(url);
        free(path);
        return false;
    }
    free(session.versionFileUrl);
    free(session.versionFilePath);
    session.versionFileUrl = url;
    session.versionFilePath = path;
    return startWorkerIn(CheckingServer, versionCheckWorker, nullptr);
}

// Lexicographic on (major, minor, build): negative when a is older than b.
static int compareVersions(const RendererVersion &a, const RendererVersion &b)
{
    if (a.major != b.major)
        return a.major < b.major ? -1 : 1;
    if (a.minor != b.minor)
        return a.minor < b.minor ? -1 : 1;
    return a.build < b.build ? -1 : a.build > b.build ? 1 : 0;
}

// Only a strictly newer server version counts.
bool isServerVersionNewer()
{
    return compareVersions(session.serverVersion, session.installedVersion) > 0;
}

bool isServerVersionOlder()
{
    return compareVersions(session.serverVersion, session.installedVersion) < 0;
}
