// The version check worker: fetches the server's version file and compares it with the
// installed version.
#include "versioncheck.h"
#include "archivedownload.h"
#include "download.h"
#include "installsupport.h"
#include "releasesignature.h"
#include "server.h"
#include "session.h"
#include "settings.h"
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

// A silent updater whose checks have all failed for this long shows its window once (and again
// after as long again), so that a blocked or frozen update server does not go unnoticed. The
// clock runs from the first failure after the last success: a machine that was off for weeks
// gets a month of its own failures before it is told anything.
static const long long longWithoutCheckSeconds = 30LL * 24 * 60 * 60;
static const char lastCheckValue[] = "lastcheck";
static const char firstFailureValue[] = "firstfailure";
static const char checkNoticeValue[] = "checknotice";

// A recorded time later than now was written while the clock was ahead: it is reset, or it
// would hold the notice back until that date.
static long long recordedTimeNotAfter(const char *name, long long now, long long resetTo)
{
    long long recorded = readRecordedTime(name);
    if (recorded <= now)
        return recorded;
    writeRecordedTime(name, resetTo);
    return resetTo;
}

// True when the window is to be shown now; the first failure after a success starts the clock.
static bool noticeLongWithoutCheck()
{
    long long now = currentTime();
    long long lastCheck = recordedTimeNotAfter(lastCheckValue, now, 0);
    long long lastNotice = recordedTimeNotAfter(checkNoticeValue, now, 0);
    long long firstFailure = recordedTimeNotAfter(firstFailureValue, now, now);
    if (firstFailure == 0) {
        writeRecordedTime(firstFailureValue, now);
        return false;
    }
    if (now - firstFailure < longWithoutCheckSeconds || now - lastCheck < longWithoutCheckSeconds ||
        now - lastNotice < longWithoutCheckSeconds)
        return false;
    writeRecordedTime(checkNoticeValue, now);
    return true;
}

// A completed check: the next failure starts the clock afresh.
static void recordCheckSucceeded()
{
    writeRecordedTime(lastCheckValue, currentTime());
    writeRecordedTime(firstFailureValue, 0);
}

// A failed check: a silent updater ends, unless no check has succeeded for a long time; then
// the window tells so, with this failure's own reason after it.
static void closeOrNoticeIfSilent(const char *status)
{
    if (!session.silent)
        return;
    if (releaseSigningRequired() && noticeLongWithoutCheck()) {
        char notice[512];
        snprintf(notice, sizeof notice,
                 "No update check has succeeded for 30 days (the update server may be blocked): "
                 "%s",
                 status);
        SetWindowTextA(session.statusLabel, notice);
        ShowWindow(session.mainWindow, SW_SHOW);
        return;
    }
    closeIfSilent();
}

static void endCheckWith(const char *status)
{
    session.state = CheckFailed;
    SetWindowTextA(session.statusLabel, status);
    SetWindowTextA(session.exitButton, "Exit");
    deleteIfPresent(session.versionFilePath);
    closeOrNoticeIfSilent(status);
}

static void endCheckInternalError()
{
    session.state = CheckFailed;
    SetWindowTextA(session.statusLabel, "Internal error. Sorry.");
    SetWindowTextA(session.exitButton, "Exit");
    closeOrNoticeIfSilent("Internal error. Sorry.");
}

static void endCheckFailed()
{
    endCheckWith("Failed to check server version.");
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

//--- the signed announcement (builds with a release key)

// The full archive of the announced version, as the last accepted announcement names it.
static SignedArchive announcedFullArchive = {};
static bool fullArchiveAnnounced = false;

void rememberAnnouncedArchive(const SignedArchive *archive)
{
    fullArchiveAnnounced = archive != nullptr;
    if (archive)
        announcedFullArchive = *archive;
}

bool announcedArchive(SignedArchive *archive)
{
    if (fullArchiveAnnounced)
        *archive = announcedFullArchive;
    return fullArchiveAnnounced;
}

enum AnnouncementOutcome {
    Announced,
    NotAnnounced,
    AnnouncesAnother,
    AnnouncedBefore,
    AnnouncementExpired
};

// The newest issue time accepted so far, per channel: an older announcement is a replay.
static const char *issuedValueName()
{
    return session.betaTester ? "announcedbeta" : "announcedrelease";
}

static AnnouncementOutcome readAnnouncement(const RendererVersion &version,
                                            ReleaseAnnouncement *announcement)
{
    char text[signatureFileMaxSize + 1];
    size_t length = 0;
    if (!fetchStatementText(session.versionFileUrl, text, sizeof text, &length) ||
        !readSignedAnnouncement(text, length, session.betaTester ? "beta" : "release",
                                announcement))
        return NotAnnounced;
    const RendererVersion &announced = announcement->version;
    if (announced.major != version.major || announced.minor != version.minor ||
        announced.build != version.build)
        return AnnouncesAnother;
    if (announcement->issued < readRecordedTime(issuedValueName()))
        return AnnouncedBefore;
    if (announcement->expires <= currentTime())
        return AnnouncementExpired;
    return Announced;
}

// The version file counts only with a valid, current announcement of the same version; the
// check then records when it succeeded and which announcement it took.
static bool trustAnnouncement(const RendererVersion &version)
{
    ReleaseAnnouncement announcement = {};
    AnnouncementOutcome outcome = readAnnouncement(version, &announcement);
    rememberAnnouncedArchive(outcome == Announced ? &announcement.archive : nullptr);
    if (outcome == Announced) {
        if (announcement.issued > readRecordedTime(issuedValueName()))
            writeRecordedTime(issuedValueName(), announcement.issued);
        recordCheckSucceeded();
        return true;
    }
    if (session.abortDownload)
        endCheckFailed();
    else if (outcome == AnnouncementExpired)
        endCheckWith("The server's announcement has expired. No update is offered until the "
                     "publisher renews it.");
    else if (outcome == AnnouncesAnother)
        endCheckWith("Server version not trusted: its announcement names another version.");
    else if (outcome == AnnouncedBefore)
        endCheckWith("Server version not trusted: its announcement is older than one seen before.");
    else
        endCheckWith("Server version not trusted: no valid signed announcement.");
    return false;
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
    if (releaseSigningRequired() && !trustAnnouncement(version))
        return 0;
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
