#include "archivedownload.h"
#include "download.h"
#include "install.h"
#include "installsupport.h"
#include "releasesignature.h"
#include "server.h"
#include "session.h"
#include "verifieddownload.h"
#include "versioncheck.h"
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

static void endDownloadFailed(ArchiveOutcome outcome)
{
    SetWindowTextA(session.exitButton, "Exit");
    session.state = DownloadFailed;
    const char *status = "Downloading update failed.";
    if (session.abortDownload)
        status = "Downloading update aborted.";
    else if (outcome == ArchiveNotVerified)
        status = "The update could not be verified and was deleted.";
    SetWindowTextA(session.statusLabel, status);
    // A partial archive is of no use to anybody.
    if (fileExists(session.archivePath))
        DeleteFileA(session.archivePath);
}

// The version file is not signed: an announced older release, however genuinely signed, would
// bring its known faults back. The same version (a repair) is fine.
static void endDownloadRefusedAsOlder()
{
    const RendererVersion &server = session.serverVersion;
    char status[128];
    snprintf(status, sizeof status,
             "Server version %d.%d.%d is older than the installed one. Not downloaded.",
             server.major, server.minor, server.build);
    session.state = DownloadFailed;
    SetWindowTextA(session.statusLabel, status);
    SetWindowTextA(session.exitButton, "Exit");
}

// Reads a small file whole into text; false when it is longer than size.
static bool readSmallFile(const char *path, char *text, size_t size, size_t *length)
{
    FILE *file = nullptr;
    if (fopen_s(&file, path, "rb") != 0 || !file)
        return false;
    *length = fread(text, 1, size, file);
    bool whole = ferror(file) == 0 && feof(file) != 0;
    fclose(file);
    return whole && *length < size;
}

// The signature file beside the archive, checked against the version the check announced.
static bool fetchSignedStatement(SignedArchive *archive)
{
    char url[archiveUrlSize];
    int urlLength = snprintf(url, sizeof url, "%s.sig", session.archiveUrl);
    char *path = makeTempFileName();
    if (urlLength < 0 || (size_t)urlLength >= sizeof url || !path) {
        free(path);
        return false;
    }
    const RendererVersion &version = session.serverVersion;
    char fileName[64];
    int nameLength = snprintf(fileName, sizeof fileName, "Renderer_%d.%d.%d.zip", version.major,
                              version.minor, version.build);
    char text[signatureFileMaxSize + 1];
    size_t length = 0;
    bool read = downloadToFileWithin(url, path, &smallFileLimits) &&
                readSmallFile(path, text, sizeof text, &length);
    if (fileExists(path))
        DeleteFileA(path);
    free(path);
    return read && nameLength > 0 && (size_t)nameLength < sizeof fileName &&
           readSignedStatement(text, length, session.betaTester ? "beta" : "release", version,
                               fileName, archive);
}

// Nothing is fetched beyond the signed size, and the archive counts only when its size and
// hash are the signed ones.
static ArchiveOutcome fetchSignedArchive()
{
    SignedArchive archive = {};
    if (!fetchSignedStatement(&archive))
        return ArchiveNotVerified;
    return downloadVerifiedArchive(session.archiveUrl, session.archivePath, archive);
}

DWORD WINAPI archiveDownloadWorker(LPVOID)
{
    session.state = Downloading;
    if (!session.archiveUrl || !session.archivePath) {
        session.state = DownloadFailed;
        return 0;
    }
    if (releaseSigningRequired() && isServerVersionOlder()) {
        endDownloadRefusedAsOlder();
        return 0;
    }
    ArchiveOutcome outcome = ArchiveFailed;
    if (releaseSigningRequired())
        outcome = fetchSignedArchive();
    else if (downloadToFileWithin(session.archiveUrl, session.archivePath, &unsignedArchiveLimits))
        outcome = ArchiveFetched;
    if (outcome == ArchiveFetched)
        endDownloadSucceeded();
    else
        endDownloadFailed(outcome);
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
    int urlLength =
        snprintf(url, archiveUrlSize, "%s://%s%s", updateServerScheme, updateServerHost, path);
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
