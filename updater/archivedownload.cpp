#include "archivedownload.h"
#include "download.h"
#include "install.h"
#include "installsupport.h"
#include "server.h"
#include "session.h"
#include <stdio.h>
#include <stdlib.h>

static const size_t archiveUrlSize = 2048;

static void endDownloadSucceeded()
{
    // The status line keeps the last progress line. The state is set before the button is
    // enabled; with automatic installation it already says so, and a click on "Install update"
    // in that instant cannot start a second installation.
    bool installNow = session.autoInstall;
    SetWindowTextA(session.exitButton, "Exit");
    session.state = installNow ? Installing : Downloaded;
    EnableWindow(session.actionButton, TRUE);
    SetWindowTextA(session.actionButton, "Install update");
    if (installNow && !startInstallation())
        SetWindowTextA(session.exitButton, "Exit");
}

static void endDownloadFailed()
{
    SetWindowTextA(session.exitButton, "Exit");
    session.state = DownloadFailed;
    SetWindowTextA(session.statusLabel, session.abortDownload ? "Downloading update aborted."
                                                              : "Downloading update failed.");
    // A partial archive is of no use to anybody.
    if (fileExists(session.archivePath))
        DeleteFileA(session.archivePath);
}

DWORD WINAPI archiveDownloadWorker(LPVOID)
{
    session.state = Downloading;
    if (!session.archiveUrl || !session.archivePath) {
        session.state = DownloadFailed;
        return 0;
    }
    if (downloadToFile(session.archiveUrl, session.archivePath))
        endDownloadSucceeded();
    else
        endDownloadFailed();
    return 0;
}

bool startArchiveDownload()
{
    EnableWindow(session.actionButton, FALSE);
    SetWindowTextA(session.exitButton, "Abort");
    char *url = (char *)malloc(archiveUrlSize);
    if (!url)
        return false;
    const RendererVersion &version = session.serverVersion;
    char path[archiveUrlSize];
    int pathLength = snprintf(path, sizeof path,
                              session.betaTester ? archivePathFormatBeta : archivePathFormatRelease,
                              version.major, version.minor, version.build);
    int urlLength = snprintf(url, archiveUrlSize, "http://%s%s", updateServerHost, path);
    char *file = nullptr;
    if (pathLength < 0 || (size_t)pathLength >= sizeof path || urlLength < 0 ||
        (size_t)urlLength >= archiveUrlSize || !(file = makeTempFileName())) {
        free(url);
        return false;
    }
    free(session.archiveUrl);
    free(session.archivePath);
    session.archiveUrl = url;
    session.archivePath = file;
    return startWorkerIn(Downloading, archiveDownloadWorker, nullptr);
}
