// The version check and the archive download end to end: the loopback build of QIMUpdate,
// driven through its window, against the loopback update server.
#include "downloadtest.h"
#include <gtest/gtest.h>
#include <stdio.h>

namespace
{
const char mainWindowClass[] = "qim_update";
const DWORD statusWaitMs = 30000; // beyond the loopback build's stall limit and curl's window
// The signed announcement beside the version file, asked for right after it.
const std::string announcementPath = std::string(releaseVersionPath) + ".sig";
const std::vector<std::string> checkPaths{releaseVersionPath, announcementPath};

std::string versionBytes(int major, int minor, int build)
{
    return {static_cast<char>(major), static_cast<char>(minor), static_cast<char>(build)};
}

std::string repeated(const std::string &bytes, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i)
        all += bytes;
    return all;
}

std::string archiveBytes(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i * 13 + 5);
    return bytes;
}

struct Settings {
    int major = 1, minor = 2, build = 3; // the installed version
    bool betaTester = false;
    bool autoInstall = false;
};

class UpdaterGui : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        deleteValdormineKey();
        clearRequests();
        tempBefore_ = qimTempEntries();
    }
    void TearDown() override
    {
        program_.kill();
        deleteValdormineKey();
    }

    void install(const Settings &settings = {})
    {
        InstallOptions options;
        options.major = settings.major;
        options.minor = settings.minor;
        options.build = settings.build;
        installation_ = makeInstallation("download-gui", options);
        if (settings.betaTester)
            setRendererDword("betatester", 1);
        if (settings.autoInstall)
            setRendererDword("autoinstall", 1);
    }
    // Starts the loopback build and waits for its window to show.
    HWND start()
    {
        if (!program_.start(loopbackUpdaterExe()))
            return nullptr;
        window_ = program_.waitForWindow(mainWindowClass, 10000, true);
        return window_;
    }
    HWND button(int id) const
    {
        return control(window_, id);
    }
    std::string status() const
    {
        if (!window_)
            return "no updater window; the updater is " + program_.state();
        return controlText(window_, StatusLabelId);
    }
    bool waitForStatus(const std::string &text) const
    {
        return waitForText(control(window_, StatusLabelId), text, statusWaitMs);
    }
    HWND progressBar() const
    {
        for (HWND child : children(window_))
            if (className(child) == "msctls_progress32")
                return child;
        return nullptr;
    }
    // Runs "Check update" until the status line shows the outcome.
    bool check(const std::string &outcome)
    {
        if (!start())
            return false;
        click(button(ActionButtonId));
        if (!waitForStatus(outcome))
            return false;
        // The worker hands the buttons back after the status line.
        bool recommended = outcome.compare(0, 15, "Server version:") == 0;
        return waitUntil([&] {
            return controlText(window_, ExitButtonId) == "Exit" &&
                   (!recommended || controlText(window_, ActionButtonId) == "Download update");
        });
    }
    // After a check: "Download update" pressed, waits for the worker to hand the buttons back.
    void download()
    {
        ASSERT_EQ(controlText(window_, ActionButtonId), "Download update");
        click(button(ActionButtonId));
        // The click has been handled once the button is disabled or already reads "Install
        // update"; a fast download or 404 may hand "Exit" back before "Abort" is ever seen.
        ASSERT_TRUE(waitUntil([&] {
            HWND action = button(ActionButtonId);
            return !isEnabled(action) || windowText(action) == "Install update";
        }));
    }
    bool waitForExitButton() const
    {
        return waitForText(button(ExitButtonId), "Exit", statusWaitMs);
    }
    // Ends the program with its Exit button.
    void exitWithCode0()
    {
        click(button(ExitButtonId));
        DWORD code = 1;
        EXPECT_TRUE(program_.waitForExit(10000, &code));
        EXPECT_EQ(code, 0u);
    }
    std::vector<std::string> newTempFiles() const
    {
        return newQimTempEntries(tempBefore_);
    }
    // The worker removes its file as its last step; waits for that.
    bool noNewTempFiles() const
    {
        return waitUntil([&] { return newTempFiles().empty(); }, 5000);
    }
    std::string tempFile(const std::string &name) const
    {
        return tempDir() + "\\" + name;
    }

    Program program_;
    HWND window_ = nullptr;
    std::string installation_;
    std::vector<std::string> tempBefore_;
};

std::string archivePath(const char *dir, int major, int minor, int build)
{
    char path[128];
    snprintf(path, sizeof path, "/files/qimRenderer/%sRenderer_%d.%d.%d.zip", dir, major, minor,
             build);
    return path;
}
} // namespace

//--- version check

struct VersionCase {
    int major, minor, build; // on the server; installed is 1.2.3
    const char *status;
    // After "Download update": nullptr (not tried), allowed (a repair) or the refusal's line.
    const char *download = nullptr;
};
const char allowed[] = "allowed";

void PrintTo(const VersionCase &c, std::ostream *out)
{
    *out << c.major << "." << c.minor << "." << c.build;
}

class ServerVersion : public UpdaterGui, public ::testing::WithParamInterface<VersionCase>
{
};

TEST_P(ServerVersion, IsComparedWithTheInstalledVersion)
{
    const VersionCase &c = GetParam();
    install();
    // Published as the publisher does: the archive, then the version file and its announcement.
    const std::string archive = archivePath("", c.major, c.minor, c.build);
    if (c.download == allowed)
        serveSignedArchive(archive, archiveBytes(1000));
    serve(releaseVersionPath, versionBytes(c.major, c.minor, c.build));
    ASSERT_TRUE(check(c.status)) << status();
    EXPECT_TRUE(waitForExitButton());
    EXPECT_TRUE(isEnabled(button(ActionButtonId)));
    EXPECT_EQ(controlText(window_, ActionButtonId), "Download update");
    EXPECT_EQ(requestedPaths(), checkPaths);
    EXPECT_TRUE(noNewTempFiles()) << "the version file is removed";
    if (c.download == allowed) {
        download();
        EXPECT_TRUE(waitForText(button(ActionButtonId), "Install update", statusWaitMs))
            << status();
        EXPECT_EQ(requestedPaths(), (std::vector<std::string>{releaseVersionPath, announcementPath,
                                                              archive + ".sig", archive}));
    } else if (c.download) {
        // Refused before anything of the release is asked for.
        download();
        EXPECT_TRUE(waitForStatus(c.download)) << status();
        EXPECT_TRUE(waitForExitButton());
        EXPECT_FALSE(isEnabled(button(ActionButtonId)));
        EXPECT_EQ(requestedPaths(), checkPaths);
        EXPECT_TRUE(noNewTempFiles()) << testing::PrintToString(newTempFiles());
    }
    exitWithCode0();
}

INSTANTIATE_TEST_SUITE_P(
    Comparison, ServerVersion,
    ::testing::Values(VersionCase{1, 2, 3, "Server version: 1.2.3. No need to update.", allowed},
                      VersionCase{1, 2, 4, "Server version: 1.2.4. Update recommended."},
                      VersionCase{1, 3, 0, "Server version: 1.3.0. Update recommended."},
                      VersionCase{2, 0, 0, "Server version: 2.0.0. Update recommended."},
                      VersionCase{1, 2, 2, "Server version: 1.2.2. No need to update.",
                                  "Server version 1.2.2 is older than the installed one. Not "
                                  "downloaded."},
                      VersionCase{0, 9, 9, "Server version: 0.9.9. No need to update.",
                                  "Server version 0.9.9 is older than the installed one. Not "
                                  "downloaded."},
                      // Bytes above 127 are unsigned.
                      VersionCase{200, 129, 255,
                                  "Server version: 200.129.255. Update recommended."},
                      VersionCase{1, 255, 0, "Server version: 1.255.0. Update recommended."}),
    [](const ::testing::TestParamInfo<VersionCase> &info) {
        const VersionCase &c = info.param;
        return std::to_string(c.major) + "_" + std::to_string(c.minor) + "_" +
               std::to_string(c.build);
    });

struct BadVersionFile {
    const char *name;
    const char *bytes;
    size_t size;
    const char *behaviour;
};

void PrintTo(const BadVersionFile &c, std::ostream *out)
{
    *out << c.name;
}

class InvalidVersionFile : public UpdaterGui, public ::testing::WithParamInterface<BadVersionFile>
{
};

TEST_P(InvalidVersionFile, FailsTheCheckAndLeavesNoTemporaryFile)
{
    const BadVersionFile &c = GetParam();
    install();
    serve(releaseVersionPath, std::string(c.bytes, c.size), c.behaviour);
    ASSERT_TRUE(check("Failed to check server version.")) << status();
    EXPECT_TRUE(waitForExitButton());
    EXPECT_FALSE(isEnabled(button(ActionButtonId)));
    EXPECT_TRUE(noNewTempFiles()) << testing::PrintToString(newTempFiles());
    EXPECT_EQ(requestCount(releaseVersionPath), 1) << "no retry of its own";
    exitWithCode0();
}

INSTANTIATE_TEST_SUITE_P(
    Files, InvalidVersionFile,
    ::testing::Values(BadVersionFile{"empty", "", 0, ""}, BadVersionFile{"two", "\x01\x02", 2, ""},
                      // A valid version followed by one more byte is no version file either.
                      BadVersionFile{"four", "\x01\x02\x09\x00", 4, ""},
                      BadVersionFile{"notfound", "\x01\x02\x09", 3, "status=404"},
                      BadVersionFile{"servererror", "\x01\x02\x09", 3, "status=500"},
                      BadVersionFile{"incomplete", "\x01\x02\x09", 3, "announce=4"}),
    [](const ::testing::TestParamInfo<BadVersionFile> &info) {
        return std::string(info.param.name);
    });

TEST_F(UpdaterGui, RedirectedVersionFileIsRead)
{
    install();
    serve("/mirror/qim.ver", versionBytes(1, 4, 0));
    serveBehaviour(releaseVersionPath, "redirect=/mirror/qim.ver");
    // The announcement is asked for beside the version file's own address.
    writeFile(webPath(announcementPath),
              announcementFile("release", "1.4.0", "", unixTimeNow(), unixTimeNow() + 86400));
    EXPECT_TRUE(check("Server version: 1.4.0. Update recommended.")) << status();
}

TEST_F(UpdaterGui, AbortDuringTheCheckFailsIt)
{
    install();
    serve(releaseVersionPath, versionBytes(9, 9, 9), "mute=1");
    ASSERT_TRUE(start());
    click(button(ActionButtonId));
    ASSERT_TRUE(waitForRequest(releaseVersionPath));
    EXPECT_EQ(controlText(window_, ExitButtonId), "Abort");
    click(button(ExitButtonId));
    EXPECT_TRUE(waitForStatus("Failed to check server version.")) << status();
    EXPECT_TRUE(waitForExitButton());
    EXPECT_FALSE(isEnabled(button(ActionButtonId)));
    EXPECT_TRUE(noNewTempFiles()) << testing::PrintToString(newTempFiles());
    EXPECT_TRUE(program_.running()) << "Abort only stops the check";
    exitWithCode0();
    releaseServer(releaseVersionPath);
}

// The loopback build gives up on a silent server after a few seconds; the shipped one after
// two minutes.
TEST_F(UpdaterGui, SilentServerEndsTheCheckByItself)
{
    install();
    serve(releaseVersionPath, versionBytes(9, 9, 9), "mute=1");
    ASSERT_TRUE(check("Failed to check server version.")) << status();
    EXPECT_TRUE(waitForExitButton());
    EXPECT_TRUE(noNewTempFiles()) << testing::PrintToString(newTempFiles());
    exitWithCode0();
    releaseServer(releaseVersionPath);
}

TEST_F(UpdaterGui, RedirectLoopEndsTheCheck)
{
    install();
    serveBehaviour(releaseVersionPath, "redirect=/loop/b.ver");
    serveBehaviour("/loop/b.ver", std::string("redirect=") + releaseVersionPath);
    ASSERT_TRUE(check("Failed to check server version.")) << status();
    EXPECT_LE(requestCount(releaseVersionPath) + requestCount("/loop/b.ver"), 21);
    EXPECT_TRUE(noNewTempFiles()) << testing::PrintToString(newTempFiles());
}

//--- silent mode

struct SilentCase {
    const char *name;
    std::string versionFile;
    const char *behaviour;
    bool shown;
    int lastCheckDaysAgo = 0;           // 0: no check recorded; negative: a later date
    int firstFailureDaysAgo = 0;        // 0: no failure recorded since
    const char *status = nullptr;       // when shown; nullptr: the update recommended
    const char *announcement = nullptr; // its behaviour; nullptr: served as published
};
const char longWithoutCheck[] = "No update check has succeeded for 30 days (the update server "
                                "may be blocked): Failed to check server version.";

void PrintTo(const SilentCase &c, std::ostream *out)
{
    *out << c.name;
}

class SilentCheck : public UpdaterGui, public ::testing::WithParamInterface<SilentCase>
{
};

TEST_P(SilentCheck, ShowsTheWindowOnlyForARecommendedUpdate)
{
    const SilentCase &c = GetParam();
    install();
    if (c.lastCheckDaysAgo) {
        unsigned long long at = unixTimeNow() - c.lastCheckDaysAgo * 86400LL;
        setRendererValue("lastcheck", REG_QWORD, &at, sizeof at);
    }
    if (c.firstFailureDaysAgo) {
        unsigned long long at = unixTimeNow() - c.firstFailureDaysAgo * 86400LL;
        setRendererValue("firstfailure", REG_QWORD, &at, sizeof at);
    }
    if (strcmp(c.name, "redirectloop") == 0) {
        serveBehaviour("/loop/c.ver", std::string("redirect=") + releaseVersionPath);
        serveBehaviour(releaseVersionPath, "redirect=/loop/c.ver");
    } else {
        serve(releaseVersionPath, c.versionFile, c.behaviour);
    }
    if (c.announcement)
        serveBehaviour(announcementPath, c.announcement);
    auto endsUnseen = [&] {
        bool everVisible = false;
        ASSERT_TRUE(waitUntil(
            [&] {
                HWND window = program_.findWindow(mainWindowClass);
                everVisible = everVisible || (window && IsWindowVisible(window));
                return !program_.running();
            },
            statusWaitMs))
            << "a silent updater must end by itself";
        DWORD code = 1;
        EXPECT_TRUE(program_.waitForExit(0, &code));
        EXPECT_EQ(code, 0u);
        EXPECT_FALSE(everVisible);
    };
    ASSERT_TRUE(program_.start(loopbackUpdaterExe(), "-silent"));
    if (c.shown && c.status) {
        // Shown once with a plain word, then silent again for as long.
        window_ = program_.waitForWindow(mainWindowClass, statusWaitMs, true);
        ASSERT_NE(window_, nullptr);
        EXPECT_TRUE(waitForStatus(c.status)) << status();
        EXPECT_FALSE(isEnabled(button(ActionButtonId)));
        exitWithCode0();
        ASSERT_TRUE(program_.start(loopbackUpdaterExe(), "-silent"));
        endsUnseen();
    } else if (c.shown) {
        window_ = program_.waitForWindow(mainWindowClass, statusWaitMs, true);
        ASSERT_NE(window_, nullptr);
        EXPECT_EQ(status(), "Server version: 1.3.0. Update recommended.");
        EXPECT_TRUE(isEnabled(button(ActionButtonId)));
        EXPECT_EQ(controlText(window_, ActionButtonId), "Download update");
        EXPECT_EQ(controlText(window_, ExitButtonId), "Exit");
    } else {
        endsUnseen();
    }
    EXPECT_GE(requestCount(releaseVersionPath), 1);
    EXPECT_TRUE(noNewTempFiles()) << testing::PrintToString(newTempFiles());
    releaseServer(releaseVersionPath);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, SilentCheck,
    ::testing::Values(
        SilentCase{"recommended", versionBytes(1, 3, 0), "", true},
        SilentCase{"uptodate", versionBytes(1, 2, 3), "", false},
        SilentCase{"older", versionBytes(1, 0, 0), "", false},
        SilentCase{"notfound", versionBytes(1, 3, 0), "status=404", false},
        SilentCase{"toolong", versionBytes(1, 3, 0) + "x", "", false},
        SilentCase{"stalled", versionBytes(1, 3, 0), "mute=1", false},
        // Endless answers: at full speed, and trickling too fast for the stall
        // limit; both are cut off by the version file's size and time caps.
        SilentCase{"endless", repeated(versionBytes(1, 3, 0), 4096), "endless=1", false},
        SilentCase{"trickle", versionBytes(1, 3, 0), "endless=1\nrate=4", false},
        SilentCase{"redirectloop", "", "", false},
        // Builds with a release key: a version file without its announcement is
        // not trusted and says nothing; checks failing for 30 days are told once, with the
        // failure's reason. A machine off for weeks is not told at its first failure, and a
        // success recorded while the clock was ahead does not hold the notice back.
        SilentCase{"notannounced", versionBytes(1, 3, 0), "", false, 0, 0, nullptr, "status=404"},
        SilentCase{"failingfor5days", versionBytes(1, 3, 0), "status=404", false, 5, 5},
        SilentCase{"failingfor31days", versionBytes(1, 3, 0), "status=404", true, 31, 31,
                   longWithoutCheck},
        SilentCase{"offfor40days", versionBytes(1, 3, 0), "status=404", false, 40},
        SilentCase{"successaheadofclock", versionBytes(1, 3, 0), "status=404", true, -100, 31,
                   longWithoutCheck}),
    [](const ::testing::TestParamInfo<SilentCase> &info) { return std::string(info.param.name); });

TEST_F(UpdaterGui, BetaTesterAsksTheAlphaChannel)
{
    Settings settings;
    settings.major = 1;
    settings.minor = 10;
    settings.build = 0;
    settings.betaTester = true;
    install(settings);
    serve(betaVersionPath, versionBytes(1, 10, 0));
    serve(releaseVersionPath, versionBytes(7, 0, 0));
    const std::string archive = archivePath("alpha/", 1, 10, 0);
    serveSignedArchive(archive, archiveBytes(5000));
    ASSERT_TRUE(check("Server version: 1.10.0. No need to update.")) << status();
    // Up to date, yet the archive of the server's version can be fetched again.
    download();
    ASSERT_TRUE(waitForText(button(ActionButtonId), "Install update", statusWaitMs));
    EXPECT_EQ(requestedPaths(),
              (std::vector<std::string>{betaVersionPath, betaVersionPath + std::string(".sig"),
                                        archive + ".sig", archive}));
}

//--- archive download

TEST_F(UpdaterGui, DownloadedArchiveWaitsForInstallation)
{
    install();
    serve(releaseVersionPath, versionBytes(1, 10, 0));
    const std::string archive = archivePath("", 1, 10, 0);
    const std::string bytes = archiveBytes(300000);
    serveSignedArchive(archive, bytes, "rate=150000"); // about two seconds: the line moves
    ASSERT_TRUE(check("Server version: 1.10.0. Update recommended.")) << status();
    download();

    // Part way through, the line and the bar tell how far the transfer has come.
    int received = 0, total = 0, percent = 0;
    EXPECT_TRUE(waitUntil([&] {
        return sscanf(status().c_str(), "Downloading %d of %d bytes... %d%%", &received, &total,
                      &percent) == 3 &&
               received > 0 && received < total;
    }));
    EXPECT_EQ(total, 300000);
    EXPECT_EQ(percent, static_cast<int>(received * 100.0 / total));

    ASSERT_TRUE(waitForText(button(ActionButtonId), "Install update", statusWaitMs));
    EXPECT_TRUE(isEnabled(button(ActionButtonId)));
    EXPECT_EQ(controlText(window_, ExitButtonId), "Exit");
    EXPECT_EQ(status(), "Downloading 300000 of 300000 bytes... 100%");
    EXPECT_EQ(progressPosition(progressBar()), 100);
    // The installed 1.2.3 has no delta to 1.10.0: one question for it, then the full archive.
    const std::string delta = "/files/qimRenderer/Renderer_1.10.0.from-1.2.3.zip";
    EXPECT_EQ(requestedPaths(),
              (std::vector<std::string>{releaseVersionPath, announcementPath, delta + ".sig",
                                        archive + ".sig", archive}));

    // The archive waits in the temporary directory for the installation.
    std::vector<std::string> added = newTempFiles();
    ASSERT_EQ(added.size(), 1u);
    std::string stored;
    ASSERT_TRUE(readFile(tempFile(added[0]), &stored));
    EXPECT_TRUE(stored == bytes);
    // Leaving without installing takes the archive along.
    exitWithCode0();
    EXPECT_TRUE(newTempFiles().empty()) << testing::PrintToString(newTempFiles());
}

TEST_F(UpdaterGui, AbortDuringTheDownloadLeavesNoFile)
{
    install();
    serve(releaseVersionPath, versionBytes(1, 10, 0));
    const std::string archive = archivePath("", 1, 10, 0);
    serveSignedArchive(archive, archiveBytes(200000), "stall=1000");
    ASSERT_TRUE(check("Server version: 1.10.0. Update recommended.")) << status();
    download();
    ASSERT_TRUE(waitForStatus("Downloading 1000 of 200000 bytes... 0%")) << status();
    click(button(ExitButtonId));
    EXPECT_TRUE(waitForStatus("Downloading update aborted.")) << status();
    EXPECT_TRUE(waitForExitButton());
    EXPECT_FALSE(isEnabled(button(ActionButtonId)));
    EXPECT_TRUE(noNewTempFiles()) << testing::PrintToString(newTempFiles());
    exitWithCode0();
    releaseServer(archive);
}

TEST_F(UpdaterGui, FailedDownloadsLeaveNoFile)
{
    struct Case {
        const char *behaviour;
    };
    // Not found, and a server that falls silent half-way (given up on after the stall limit).
    const Case cases[] = {{"status=404"}, {"stall=1000"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.behaviour);
        install();
        tempBefore_ = qimTempEntries();
        serve(releaseVersionPath, versionBytes(1, 10, 0));
        const std::string archive = archivePath("", 1, 10, 0);
        serveSignedArchive(archive, archiveBytes(200000), c.behaviour);
        ASSERT_TRUE(check("Server version: 1.10.0. Update recommended.")) << status();
        download();
        EXPECT_TRUE(waitForStatus("Downloading update failed.")) << status();
        EXPECT_TRUE(waitForExitButton());
        EXPECT_FALSE(isEnabled(button(ActionButtonId)));
        EXPECT_TRUE(noNewTempFiles()) << testing::PrintToString(newTempFiles());
        exitWithCode0();
        program_.kill();
        releaseServer(archive);
    }
}

TEST_F(UpdaterGui, AutoInstallInstallsRightAfterTheDownload)
{
    Settings settings;
    settings.autoInstall = true;
    install(settings);
    std::string zip;
    ASSERT_TRUE(readFile(binDir() + "\\tests\\download-update.zip", &zip));
    serve(releaseVersionPath, versionBytes(1, 10, 0));
    serveSignedArchive(archivePath("", 1, 10, 0), zip);
    ASSERT_TRUE(check("Server version: 1.10.0. Update recommended.")) << status();
    download();
    // No click: the installation copies the archive's Renderer tree over the installation.
    EXPECT_TRUE(
        waitUntil([&] { return pathIsFile(installation_ + "\\updated.txt"); }, statusWaitMs));
    EXPECT_TRUE(pathIsFile(installation_ + "\\docs\\notes.txt"));
    EXPECT_TRUE(waitForText(button(ActionButtonId), "Done", statusWaitMs))
        << controlText(window_, ActionButtonId);
    EXPECT_TRUE(waitForExitButton());
    EXPECT_TRUE(noNewTempFiles()) << "archive and unpacked tree removed";
}

//--- behind a proxy

TEST_F(UpdaterGui, ProxyCarriesTheCheckAndTheDownload)
{
    InternetOptions options;
    options.set(DirectConnection | FixedProxy, testProxy());
    install();
    serve(releaseVersionPath, versionBytes(1, 10, 0));
    const std::string archive = archivePath("", 1, 10, 0);
    serveSignedArchive(archive, archiveBytes(50000));
    ASSERT_TRUE(check("Server version: 1.10.0. Update recommended.")) << status();
    download();
    ASSERT_TRUE(waitForText(button(ActionButtonId), "Install update", statusWaitMs)) << status();
    EXPECT_EQ(requestedPaths(),
              (std::vector<std::string>{
                  serverUrl(releaseVersionPath), serverUrl(announcementPath),
                  serverUrl("/files/qimRenderer/Renderer_1.10.0.from-1.2.3.zip.sig"),
                  serverUrl(archive + ".sig"), serverUrl(archive)}));
}

TEST_F(UpdaterGui, DeadProxyFailsTheCheckWithoutGoingDirect)
{
    InternetOptions options;
    options.set(DirectConnection | FixedProxy, "127.0.0.1:1"); // nothing listens there
    install();
    serve(releaseVersionPath, versionBytes(1, 10, 0));
    ASSERT_TRUE(check("Failed to check server version.")) << status();
    EXPECT_FALSE(isEnabled(button(ActionButtonId)));
    EXPECT_TRUE(noNewTempFiles()) << testing::PrintToString(newTempFiles());
    exitWithCode0();

    // Silent: ends by itself and never shows the window.
    ASSERT_TRUE(program_.start(loopbackUpdaterExe(), "-silent"));
    bool everVisible = false;
    ASSERT_TRUE(waitUntil(
        [&] {
            HWND window = program_.findWindow(mainWindowClass);
            everVisible = everVisible || (window && IsWindowVisible(window));
            return !program_.running();
        },
        statusWaitMs));
    EXPECT_FALSE(everVisible);
    EXPECT_TRUE(noNewTempFiles()) << testing::PrintToString(newTempFiles());
    EXPECT_TRUE(requestedPaths().empty()) << testing::PrintToString(requestedPaths());
}

TEST_F(UpdaterGui, AbortWhileTheConfigurationScriptIsAwaited)
{
    InternetOptions options;
    std::string script = serve("/pac/unanswered.pac", "", "mute=1");
    options.set(DirectConnection | ConfigurationScript, "", "", script);
    install();
    serve(releaseVersionPath, versionBytes(1, 10, 0));
    ASSERT_TRUE(start());
    click(button(ActionButtonId));
    ASSERT_TRUE(waitForRequest("/pac/unanswered.pac"));
    click(button(ExitButtonId));
    // Long before the connect limit would end the wait.
    EXPECT_TRUE(
        waitForText(control(window_, StatusLabelId), "Failed to check server version.", 5000))
        << status();
    EXPECT_EQ(requestCount(releaseVersionPath), 0);
    exitWithCode0();
    releaseServer("/pac/unanswered.pac");
}

TEST_F(UpdaterGui, UnverifiedArchiveIsDeletedAndNeverInstalled)
{
    Settings settings;
    settings.autoInstall = true;
    install(settings);
    std::string zip;
    ASSERT_TRUE(readFile(binDir() + "\\tests\\download-update.zip", &zip));
    serve(releaseVersionPath, versionBytes(1, 10, 0));
    const std::string archive = archivePath("", 1, 10, 0);
    serveSignedArchive(archive, zip);
    std::string tampered = zip;
    tampered[tampered.size() / 2] ^= 0x01; // same size, one bit changed
    serve(archive, tampered);
    ASSERT_TRUE(check("Server version: 1.10.0. Update recommended.")) << status();
    download();
    EXPECT_TRUE(waitForStatus("The update could not be verified and was deleted.")) << status();
    EXPECT_TRUE(waitForExitButton());
    EXPECT_FALSE(isEnabled(button(ActionButtonId)));
    EXPECT_TRUE(noNewTempFiles()) << testing::PrintToString(newTempFiles());
    EXPECT_FALSE(pathIsFile(installation_ + "\\updated.txt")) << "nothing was installed";
    EXPECT_EQ(requestCount(archive), 1) << "no retry of its own";
    exitWithCode0();

    // The next attempt, with the archive as signed, goes through to the installation.
    program_.kill();
    serve(archive, zip);
    ASSERT_TRUE(check("Server version: 1.10.0. Update recommended.")) << status();
    download();
    EXPECT_TRUE(
        waitUntil([&] { return pathIsFile(installation_ + "\\updated.txt"); }, statusWaitMs));
    EXPECT_TRUE(waitForText(button(ActionButtonId), "Done", statusWaitMs));
    EXPECT_TRUE(noNewTempFiles()) << testing::PrintToString(newTempFiles());
}
