#include "archivedownload.h"
#include "deltapatch.h"
#include "download.h"
#include "install.h"
#include "installsupport.h"
#include "releasesignature.h"
#include "server.h"
#include "session.h"
#include "settings.h"
#include "treeops.h"
#include "verifieddownload.h"
#include "versioncheck.h"
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const size_t archiveUrlSize = 2048;

// The unpacked delta with its changed files rebuilt, waiting for the installation; the
// installation takes it over.
static char *deltaTree = nullptr;

static void removeDirectory(const char *directory)
{
    uint32_t deleted = 0, count = 0;
    if (directoryExists(directory))
        deleteTree(directory, &deleted, &count);
    if (directoryExists(directory))
        RemoveDirectoryA(directory);
}

void discardDeltaTree()
{
    if (deltaTree)
        removeDirectory(deltaTree);
    free(deltaTree);
    deltaTree = nullptr;
}

bool deltaTreeWaiting()
{
    return deltaTree != nullptr;
}

char *takeDeltaTree()
{
    char *tree = deltaTree;
    deltaTree = nullptr;
    return tree;
}

static void endDownloadSucceeded()
{
    // The status line keeps the last progress line. The state is set before the button is
    // enabled; with automatic installation it already says so, and a click on "Install update"
    // in that instant cannot start a second installation.
    // An Abort clicked after the last byte stops the automatic installation as well; once the
    // state says Installing, Exit sets abortInstall itself, so it is cleared before.
    bool installNow = session.autoInstall && !session.abortDownload;
    if (installNow)
        session.abortInstall = false;
    SetWindowTextA(session.exitButton, "Exit");
    session.state = installNow ? Installing : Downloaded;
    if (installNow && session.abortDownload)
        session.abortInstall = true;
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

// The signature file beside an archive (or the announcement beside a version file), read whole.
bool fetchStatementText(const char *archiveUrl, char *text, size_t size, size_t *length)
{
    char url[archiveUrlSize];
    int urlLength = snprintf(url, sizeof url, "%s.sig", archiveUrl);
    char *path = makeTempFileName();
    if (urlLength < 0 || (size_t)urlLength >= sizeof url || !path) {
        free(path);
        return false;
    }
    bool read = downloadToFileWithin(url, path, &smallFileLimits) &&
                readSmallFile(path, text, size, length);
    if (fileExists(path))
        DeleteFileA(path);
    free(path);
    return read;
}

static const char *channelName()
{
    return session.betaTester ? "beta" : "release";
}

// The signature file beside the archive, checked against the version the check announced.
static bool fetchSignedStatement(SignedArchive *archive)
{
    const RendererVersion &version = session.serverVersion;
    char fileName[64];
    int nameLength = snprintf(fileName, sizeof fileName, "Renderer_%d.%d.%d.zip", version.major,
                              version.minor, version.build);
    char text[signatureFileMaxSize + 1];
    size_t length = 0;
    return fetchStatementText(session.archiveUrl, text, sizeof text, &length) && nameLength > 0 &&
           (size_t)nameLength < sizeof fileName &&
           readSignedStatement(text, length, channelName(), version, fileName, archive);
}

// Nothing is fetched beyond the signed size, and the archive counts only when its size and
// hash are the signed ones.
static ArchiveOutcome fetchSignedArchive()
{
    SignedArchive archive = {}, announced = {};
    // The archive's own statement must describe the very build the announcement names: a build
    // replaced since (published again with --force) is not installed as a "repair".
    if (!fetchSignedStatement(&archive) || !announcedArchive(&announced) ||
        archive.size != announced.size ||
        sodium_memcmp(archive.hash, announced.hash, sizeof archive.hash) != 0)
        return ArchiveNotVerified;
    return downloadVerifiedArchive(session.archiveUrl, session.archivePath, archive);
}

// The delta from the installed version: its URL and file name beside the full archive.
static bool formatDeltaNames(char *url, size_t urlSize, char *fileName, size_t nameSize)
{
    const RendererVersion &from = session.installedVersion;
    const RendererVersion &to = session.serverVersion;
    size_t stem = strlen(session.archiveUrl) - 4; // without ".zip"
    int urlLength = snprintf(url, urlSize, "%.*s.from-%d.%d.%d.zip", (int)stem, session.archiveUrl,
                             from.major, from.minor, from.build);
    int nameLength = snprintf(fileName, nameSize, "Renderer_%d.%d.%d.from-%d.%d.%d.zip", to.major,
                              to.minor, to.build, from.major, from.minor, from.build);
    return urlLength > 0 && (size_t)urlLength < urlSize && nameLength > 0 &&
           (size_t)nameLength < nameSize;
}

// Unpacks the delta and rebuilds its changed files from the installation; the tree is kept
// for the installation only when everything matched.
static bool prepareDeltaTree()
{
    char *rendererDir = rendererDirectory();
    char *unpackDir = nullptr;
    unsigned rebuilt = 0;
    bool ready = rendererDir && unpackArchive(session.archivePath, &unpackDir) &&
                 !session.abortDownload && rebuildDeltaTree(unpackDir, rendererDir, &rebuilt);
    free(rendererDir);
    if (ready) {
        char status[96];
        snprintf(status, sizeof status, "Patch update ready: %u changed file%s rebuilt.", rebuilt,
                 rebuilt == 1 ? "" : "s");
        SetWindowTextA(session.statusLabel, status);
        deltaTree = unpackDir;
        return true;
    }
    if (unpackDir)
        removeDirectory(unpackDir);
    free(unpackDir);
    return false;
}

// Tries the delta from the installed version. DeltaAbsent: there is none (or it does not fit
// this installation); DeltaMismatch: the installed files are not those it patches. The full
// archive is fetched instead in both cases.
enum DeltaOutcome { DeltaReady, DeltaAbsent, DeltaMismatch, DeltaRefused };

static DeltaOutcome fetchDelta(ArchiveOutcome *outcome)
{
    char url[archiveUrlSize], fileName[96];
    char text[signatureFileMaxSize + 1];
    size_t length = 0;
    // A delta holds only what changed: it cannot fill another directory than the installed one,
    // and there is none to the installed version itself or back to an older one.
    if (session.differentDirs || !isServerVersionNewer() ||
        !formatDeltaNames(url, sizeof url, fileName, sizeof fileName) ||
        !fetchStatementText(url, text, sizeof text, &length))
        return DeltaAbsent;
    SignedArchive archive = {};
    *outcome = ArchiveNotVerified;
    if (!readSignedDeltaStatement(text, length, channelName(), session.installedVersion,
                                  session.serverVersion, fileName, &archive))
        return DeltaRefused;
    *outcome = downloadVerifiedArchive(url, session.archivePath, archive);
    if (*outcome != ArchiveFetched || session.abortDownload)
        return DeltaRefused;
    if (prepareDeltaTree())
        return DeltaReady;
    if (fileExists(session.archivePath))
        DeleteFileA(session.archivePath);
    if (session.abortDownload) {
        *outcome = ArchiveFailed;
        return DeltaRefused;
    }
    SetWindowTextA(session.statusLabel, "Installed files do not match the patch update. "
                                        "Downloading the full update instead.");
    return DeltaMismatch;
}

static ArchiveOutcome fetchSignedUpdate()
{
    ArchiveOutcome outcome = ArchiveFailed;
    switch (fetchDelta(&outcome)) {
    case DeltaReady:
        return ArchiveFetched;
    case DeltaRefused:
        return outcome;
    case DeltaMismatch:
        // The progress lines have covered the notice: it is said again once the archive is in.
        outcome = fetchSignedArchive();
        if (outcome == ArchiveFetched)
            SetWindowTextA(session.statusLabel, "Full update downloaded: installed files did not "
                                                "match the patch update.");
        return outcome;
    default:
        return fetchSignedArchive();
    }
}

DWORD WINAPI archiveDownloadWorker(LPVOID)
{
    session.state = Downloading;
    discardDeltaTree();
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
        outcome = fetchSignedUpdate();
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
