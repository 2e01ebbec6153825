// The archive download worker: fetches the update of the server's version with progress and
// abort, checks it, and leaves it waiting for the installation.
#include "archivedownload.h"
#include "deltapatch.h"
#include "download.h"
#include "install.h"
#include "pendingupdate.h"
#include "installsupport.h"
#include "releasesignature.h"
#include "server.h"
#include "session.h"
#include "settings.h"
#include "verifieddownload.h"
#include "versioncheck.h"
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const size_t archiveUrlSize = 2048;

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
    if (session.abortDownload || outcome != ArchiveLocalFailure)
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

static bool sameArchive(const SignedArchive &one, const SignedArchive &other)
{
    return one.size == other.size && sodium_memcmp(one.hash, other.hash, sizeof one.hash) == 0;
}

// Nothing is fetched beyond the signed size, and the archive counts only when its size and
// hash are the signed ones.
static ArchiveOutcome fetchSignedArchive()
{
    SignedArchive archive = {}, announced = {};
    // The archive's own statement must describe the very build the announcement names: a build
    // replaced since (published again with --force) is not installed as a "repair".
    if (!fetchSignedStatement(&archive) || !announcedArchive(&announced) ||
        !sameArchive(archive, announced))
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

// How the delta from the installed version went. Absent: there is none for this installation
// (or it is not there): the full archive is fetched; Mismatch and Faulty: the installation is
// not what it patches, or it cannot give the release: the full archive too; Refused: not as
// signed; LocalFailure: this machine could not rebuild it, and could not install a full
// archive either.
enum DeltaOutcome {
    DeltaReady,
    DeltaAbsent,
    DeltaMismatch,
    DeltaFaulty,
    DeltaRefused,
    DeltaAborted,
    DeltaLocalFailure,
};

static void formatVersion(char *text, size_t size, const RendererVersion &version)
{
    snprintf(text, size, "%d.%d.%d", version.major, version.minor, version.build);
}

static void showLocalFailure(const char *format, const char *detail)
{
    char status[2300];
    snprintf(status, sizeof status, format, detail);
    SetWindowTextA(session.statusLabel, status);
}

// What keeps the delta from being unpacked here would keep the full archive from it too.
static DeltaOutcome unpackFailure(UnpackResult result, unsigned long exitCode)
{
    char code[16];
    snprintf(code, sizeof code, "%lu", exitCode);
    if (result == UnpackNoExtractor)
        showLocalFailure("Patch update failed: 7-Zip (bin\\32\\7zG.exe) is missing%s.", "");
    else if (result == UnpackNoDirectory)
        showLocalFailure("Patch update failed: no temporary folder could be made%s.", "");
    else if (result == UnpackExtractorFailed && exitCode == 8)
        showLocalFailure("Patch update failed: 7-Zip ran out of memory%s.", "");
    else if (result == UnpackExtractorFailed && exitCode == 255)
        showLocalFailure("Patch update failed: 7-Zip was stopped%s.", "");
    else if (result == UnpackExtractorFailed)
        showLocalFailure("Patch update failed: 7-Zip could not unpack it (exit code %s); is the "
                         "disk full?",
                         code);
    else
        showLocalFailure("Patch update failed: 7-Zip could not be started%s.", "");
    return DeltaLocalFailure;
}

// A rebuild that failed on this machine: said as what it is.
static DeltaOutcome rebuildFailure(const DeltaResult &result)
{
    switch (result.outcome) {
    case RebuildNoMemory:
        showLocalFailure("Patch update failed: not enough memory to rebuild %s.", result.path);
        break;
    case RebuildDiskFull:
        showLocalFailure("Patch update failed: the disk is full (writing %s).", result.path);
        break;
    case RebuildFileHeld:
        showLocalFailure("Patch update failed: %s is in use by another program. Close it and "
                         "try again.",
                         result.path);
        break;
    default:
        showLocalFailure("Patch update failed: could not write %s.", result.path);
        break;
    }
    return DeltaLocalFailure;
}

static DeltaOutcome rebuildOutcome(DeltaRebuild rebuilt, const DeltaResult &result)
{
    switch (rebuilt) {
    case RebuildDone:
        return DeltaReady;
    case RebuildMismatch:
        return DeltaMismatch;
    case RebuildFaulty:
        return DeltaFaulty;
    case RebuildAborted:
        return DeltaAborted;
    default:
        return session.abortDownload ? DeltaAborted : rebuildFailure(result);
    }
}

static void showDeltaReady(const DeltaResult &result)
{
    char status[128];
    snprintf(status, sizeof status,
             "Patch update ready: %u changed file%s rebuilt, %u file%s shipped whole.",
             result.rebuilt, result.rebuilt == 1 ? "" : "s", result.whole,
             result.whole == 1 ? "" : "s");
    SetWindowTextA(session.statusLabel, status);
}

// Unpacks the delta and rebuilds its changed files from the installation; the tree waits for
// the installation only when the result is exactly the new release.
static DeltaOutcome prepareDeltaTree()
{
    char *rendererDir = rendererDirectory();
    char *unpackDir = nullptr;
    unsigned long exitCode = 0;
    UnpackResult unpacked = rendererDir
                                ? unpackArchiveHidden(session.archivePath, &unpackDir, &exitCode)
                                : UnpackNotStarted;
    DeltaOutcome outcome = DeltaAborted;
    DeltaResult *result = (DeltaResult *)calloc(1, sizeof *result);
    char from[40], to[40];
    formatVersion(from, sizeof from, session.installedVersion);
    formatVersion(to, sizeof to, session.serverVersion);
    if (session.abortDownload || unpacked == UnpackAborted)
        outcome = DeltaAborted;
    else if (unpacked != UnpackDone)
        outcome = unpackFailure(unpacked, exitCode);
    else if (!result) {
        showLocalFailure("Patch update failed: not enough memory%s.", "");
        outcome = DeltaLocalFailure;
    } else
        outcome =
            rebuildOutcome(rebuildDeltaTree(unpackDir, rendererDir, {from, to}, result), *result);
    if (outcome == DeltaReady &&
        !setPendingDeltaTree(unpackDir, rendererDir, session.installedVersion)) {
        showLocalFailure("Patch update failed: not enough memory%s.", "");
        outcome = DeltaLocalFailure;
        unpackDir = takePendingDeltaTree();
    }
    if (outcome == DeltaReady)
        showDeltaReady(*result);
    else if (unpackDir) {
        removeUpdateTree(unpackDir);
        free(unpackDir);
    }
    free(result);
    free(rendererDir);
    return outcome;
}

// The delta's statement, and that it reproduces the full archive published now and announced:
// a delta left from a build replaced since (--force) belongs to another full archive.
static bool readDeltaStatement(const char *url, const char *fileName, SignedArchive *delta)
{
    char text[signatureFileMaxSize + 1];
    size_t length = 0;
    SignedArchive full = {}, bound = {}, announced = {};
    return fetchStatementText(url, text, sizeof text, &length) &&
           readSignedDeltaStatement(text, length, channelName(), session.installedVersion,
                                    session.serverVersion, fileName, delta, &bound) &&
           fetchSignedStatement(&full) && sameArchive(full, bound) &&
           announcedArchive(&announced) && sameArchive(announced, bound);
}

// Only the installation the delta was made from can take it; the box for another directory is
// disabled from here until the delta is given up.
static void chooseDelta(bool chosen)
{
    setPendingKind(chosen ? PendingDelta : PendingFullArchive);
    EnableWindow(session.differentDirsCheckbox, chosen ? FALSE : TRUE);
}

static DeltaOutcome fetchDelta(ArchiveOutcome *outcome)
{
    char url[archiveUrlSize], fileName[96];
    // A delta holds only what changed: it cannot fill another directory than the installed one,
    // and there is none to the installed version itself or back to an older one. Anything at
    // its address that is not a statement for it, bound to this full archive, means no delta.
    // The box is disabled before it is read, so that it cannot be ticked while a delta is chosen.
    SignedArchive archive = {};
    if (!isServerVersionNewer() || !formatDeltaNames(url, sizeof url, fileName, sizeof fileName))
        return DeltaAbsent;
    chooseDelta(true);
    if (session.differentDirs || !readDeltaStatement(url, fileName, &archive)) {
        chooseDelta(false);
        return DeltaAbsent;
    }
    *outcome = downloadVerifiedArchive(url, session.archivePath, archive);
    DeltaOutcome delta = DeltaAborted;
    if (session.abortDownload)
        delta = DeltaAborted;
    else if (*outcome == ArchiveNotVerified)
        delta = DeltaRefused; // not as its valid statement says: refused, as a full archive
    else if (*outcome == ArchiveFailed)
        delta = DeltaAbsent; // not there (404) or not delivered: the full archive may be
    else
        delta = prepareDeltaTree();
    if (delta != DeltaReady) {
        chooseDelta(false);
        if (fileExists(session.archivePath))
            DeleteFileA(session.archivePath);
    }
    return delta;
}

static ArchiveOutcome fetchSignedUpdate()
{
    ArchiveOutcome outcome = ArchiveFailed;
    DeltaOutcome delta = fetchDelta(&outcome);
    switch (delta) {
    case DeltaReady:
        return ArchiveFetched;
    case DeltaRefused:
        return outcome;
    case DeltaAborted:
        return ArchiveFailed;
    case DeltaLocalFailure:
        return ArchiveLocalFailure;
    case DeltaMismatch:
    case DeltaFaulty:
        SetWindowTextA(session.statusLabel, delta == DeltaMismatch
                                                ? "Installed files do not match the patch update. "
                                                  "Downloading the full update instead."
                                                : "The patch update is faulty. Downloading the "
                                                  "full update instead.");
        // The progress lines have covered the notice: it is said again once the archive is in.
        outcome = fetchSignedArchive();
        if (outcome == ArchiveFetched)
            SetWindowTextA(session.statusLabel, delta == DeltaMismatch
                                                    ? "Full update downloaded: installed files did "
                                                      "not match the patch update."
                                                    : "Full update downloaded: the patch update "
                                                      "was faulty.");
        return outcome;
    default:
        return fetchSignedArchive();
    }
}

DWORD WINAPI archiveDownloadWorker(LPVOID)
{
    session.state = Downloading;
    discardPendingUpdate();
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
