// The installation on the real updater: a fixture installation at 1.0.0, version 1.2.3 checked
// and downloaded from the loopback server, then "Install update" through the window.
#include "guidriver.h"
#include "installtest.h"
#include <shlobj.h>
#include <gtest/gtest.h>

namespace
{
enum { ActionButtonId = 201, ExitButtonId = 203, StatusLabelId = 205 };

std::string obstacleQuestion(const std::string &installation);

class RealInstall : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        deleteValdormineKey();
        clearQimTempEntries();
        installation = makeInstallation("real-installation");
        ASSERT_TRUE(placeInBin(installation, "pluginsstandin.exe", "QIM_InstallPlugins.exe"));
        writeFile(installation + "\\readme.txt", "old readme");
        stage = freshDir("real-stage");
        writeFile(stage + "\\Renderer\\readme.txt", "new readme");
        writeFile(stage + "\\Renderer\\docs\\manual.txt", "manual");
    }
    void TearDown() override
    {
        program.kill();
        deleteValdormineKey();
    }

    // Serves version 1.2.3 and its archive, starts the updater and downloads the archive.
    void reachDownloaded()
    {
        // Other tests leave side files that make the server misbehave on these paths.
        std::string files = webRoot() + "\\files\\qimRenderer";
        removeTree(files);
        ASSERT_TRUE(writeFile(files + "\\update\\qim.ver", std::string("\x01\x02\x03", 3)));
        ASSERT_TRUE(makeZip(stage, files + "\\Renderer_1.2.3.zip"));
        ASSERT_TRUE(signServedArchive(files + "\\Renderer_1.2.3.zip"));
        ASSERT_TRUE(program.start(updater.empty() ? loopbackUpdaterExe() : updater));
        window = program.waitForWindow("qim_update", 10000, true);
        ASSERT_NE(window, nullptr);
        action = control(window, ActionButtonId);
        exitButton = control(window, ExitButtonId);
        click(action);
        ASSERT_TRUE(waitUntil([&] {
            return isEnabled(action) && windowText(action) == "Download update";
        })) << status();
        click(action);
        ASSERT_TRUE(waitUntil([&] {
            return isEnabled(action) && windowText(action) == "Install update";
        })) << status();
    }

    // Downloads, clicks "Install update", picks chosen and waits for the question about the file
    // "docs" that stands where the update has a directory.
    void installIntoChosenUntilTheObstacle(const std::string &chosen, MessageBoxInfo *question)
    {
        ASSERT_NO_FATAL_FAILURE(reachDownloaded());
        click(action);
        MessageBoxInfo picker;
        ASSERT_TRUE(waitForMessageBox(program, &picker));
        ASSERT_TRUE(selectInPicker(program, picker.window, chosen));
        ASSERT_TRUE(answerMessageBox(picker, IDOK));
        ASSERT_TRUE(waitForMessageBox(program, question));
        EXPECT_EQ(question->text, obstacleQuestion(chosen));
    }

    std::string status()
    {
        return controlText(window, StatusLabelId);
    }

    // What the updater answers when Windows asks whether the session may end.
    DWORD_PTR queryEndSession()
    {
        DWORD_PTR answer = 2;
        SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG,
                            5000, &answer);
        return answer;
    }

    // The Exit button pressed while a question box keeps the user's hands off the window.
    void pressExitBehindTheBox()
    {
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(ExitButtonId, BN_CLICKED),
                     reinterpret_cast<LPARAM>(exitButton));
    }

    bool waitForEnd(const std::string &finalStatus)
    {
        return waitUntil(
            [&] { return status() == finalStatus && windowText(exitButton) == "Exit"; }, 30000);
    }

    void expectDoneAndRecorded(const std::string &directory)
    {
        EXPECT_TRUE(waitForEnd("Done. Running plugins installer...")) << status();
        EXPECT_TRUE(waitUntil([&] { return windowText(action) == "Done"; }));
        EXPECT_FALSE(isEnabled(action));
        DWORD type = 0;
        std::string value;
        EXPECT_TRUE(readRendererValue("directory", &type, &value));
        EXPECT_EQ(std::string(value.c_str()), directory);
        EXPECT_TRUE(
            waitUntil([&] { return pathIsFile(directory + "\\bin\\32\\plugins-ran.txt"); }));
    }

    // Whatever the outcome, neither the archive nor anything unpacked stays behind.
    void expectTempClean()
    {
        EXPECT_TRUE(waitUntil([] { return qimTempEntries().empty(); }, 5000))
            << joined(qimTempEntries());
    }

    // Clicks "Install update" and fails the test if any question is asked.
    void installWithoutAQuestion()
    {
        click(action);
        MessageBoxInfo box;
        bool asked = false;
        waitUntil(
            [&] {
                asked = program.findWindow("#32770") != nullptr;
                return asked || windowText(action) == "Done";
            },
            30000);
        if (asked) {
            bool shown = waitForMessageBox(program, &box);
            ADD_FAILURE() << "asked: " << (shown ? box.text : "a box that never showed");
            if (shown)
                answerMessageBox(box, IDABORT);
        }
    }

    Program program;
    HWND window = nullptr, action = nullptr, exitButton = nullptr;
    std::string installation, stage;
    std::string updater; // the loopback updater of the build unless set
};

std::string obstacleQuestion(const std::string &installation)
{
    return "Can't create directory:\n" + installation +
           "\\docs\nProbably you don't have write permissions there.";
}
} // namespace

TEST_F(RealInstall, FileHeldByAnotherProgramIsAskedAboutAndIgnored)
{
    ASSERT_NO_FATAL_FAILURE(reachDownloaded());
    HANDLE held = holdExclusively(installation + "\\readme.txt");
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    click(action);
    MessageBoxInfo box;
    ASSERT_TRUE(waitForMessageBox(program, &box)) << status();
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.owner, window);
    EXPECT_EQ(box.buttons, (std::vector<int>{IDABORT, IDRETRY, IDIGNORE}));
    EXPECT_FALSE(box.hasIcon);
    std::string ending = "\\Renderer\\readme.txt\nto\n" + installation +
                         "\\readme.txt\nProbably old one is being used (QIM/Max) or you don't "
                         "have write permissions there.";
    EXPECT_EQ(box.text.rfind("Can't copy file\n" + tempDir() + "\\qim", 0), 0u) << box.text;
    ASSERT_GE(box.text.size(), ending.size());
    EXPECT_EQ(box.text.substr(box.text.size() - ending.size()), ending);
    EXPECT_EQ(windowText(exitButton), "Abort");
    ASSERT_TRUE(answerMessageBox(box, IDIGNORE));

    expectDoneAndRecorded(installation);
    CloseHandle(held);
    EXPECT_EQ(contentOf(installation + "\\readme.txt"), "old readme");
    EXPECT_EQ(contentOf(installation + "\\docs\\manual.txt"), "manual");
    expectTempClean();
}

TEST_F(RealInstall, FileInTheWayOfADirectoryIsAskedAboutUntilItIsGone)
{
    writeFile(installation + "\\docs", "a file where the update has a directory");
    ASSERT_NO_FATAL_FAILURE(reachDownloaded());
    click(action);
    for (int round = 0; round < 2; ++round) {
        MessageBoxInfo box;
        ASSERT_TRUE(waitForMessageBox(program, &box)) << round;
        EXPECT_EQ(box.text, obstacleQuestion(installation));
        if (round == 1)
            DeleteFileA((installation + "\\docs").c_str());
        ASSERT_TRUE(answerMessageBox(box, IDRETRY));
    }
    expectDoneAndRecorded(installation);
    EXPECT_EQ(contentOf(installation + "\\docs\\manual.txt"), "manual");
    EXPECT_EQ(contentOf(installation + "\\readme.txt"), "new readme");
    expectTempClean();
}

TEST_F(RealInstall, AbortAnsweredInAQuestionFails)
{
    writeFile(installation + "\\docs", "obstacle");
    ASSERT_NO_FATAL_FAILURE(reachDownloaded());
    click(action);
    MessageBoxInfo box;
    ASSERT_TRUE(waitForMessageBox(program, &box));
    ASSERT_TRUE(answerMessageBox(box, IDABORT));
    EXPECT_TRUE(waitForEnd("Installation failed. Previous version restored.")) << status();
    EXPECT_FALSE(isEnabled(action));
    EXPECT_FALSE(pathIsDir(installation + "\\docs"));
    expectTempClean();
    // The run is over: Exit now closes the program.
    click(exitButton);
    DWORD exitCode = 99;
    EXPECT_TRUE(program.waitForExit(10000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(RealInstall, AbortButtonDuringTheCopyAborts)
{
    writeFile(installation + "\\docs", "obstacle");
    ASSERT_NO_FATAL_FAILURE(reachDownloaded());
    click(action);
    MessageBoxInfo box;
    ASSERT_TRUE(waitForMessageBox(program, &box));
    pressExitBehindTheBox();
    DeleteFileA((installation + "\\docs").c_str());
    ASSERT_TRUE(answerMessageBox(box, IDRETRY));
    EXPECT_TRUE(waitForEnd("Installation aborted. Previous version restored.")) << status();
    EXPECT_TRUE(program.running());
    EXPECT_FALSE(pathIsFile(installation + "\\docs\\manual.txt"));
    expectTempClean();
}

TEST_F(RealInstall, AbortWhileTheExtractorRunsWaitsForItsEnd)
{
    ASSERT_TRUE(placeInBin(installation, "gatedextractor.exe", "7zG.exe"));
    ASSERT_TRUE(placeInBin(installation, nullptr, "7za.exe"));
    std::string bin = installation + "\\bin\\32";
    ASSERT_NO_FATAL_FAILURE(reachDownloaded());
    click(action);
    ASSERT_TRUE(waitUntil([&] { return pathIsFile(bin + "\\extractor-commandline.txt"); }));
    EXPECT_TRUE(waitForText(control(window, StatusLabelId), "Unpacking file... please wait"));
    click(exitButton);
    // The press only asks; the window stays while the extractor works.
    EXPECT_TRUE(waitUntil([&] { return !isEnabled(action); }));
    EXPECT_TRUE(program.running());
    EXPECT_EQ(status(), "Unpacking file... please wait");
    writeFile(bin + "\\release", "");
    EXPECT_TRUE(waitForEnd("Installation aborted.")) << status();
    EXPECT_EQ(contentOf(installation + "\\readme.txt"), "old readme");
    expectTempClean();
}

// Killed at a question once the copy has changed the installation, the updater's next start
// puts the previous installation back before anything else and says so; nothing of the attempt
// stays, in the installation or in the temporary directory.
TEST_F(RealInstall, UpdaterKilledDuringTheCopyIsUndoneAtTheNextStart)
{
    writeFile(stage + "\\Renderer\\notes.txt", "new notes");
    writeFile(installation + "\\notes.txt", "old notes");
    writeFile(stage + "\\Renderer\\licence.txt", "new licence");
    writeFile(installation + "\\licence.txt", "old licence, read-only");
    SetFileAttributesA((installation + "\\licence.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_NO_FATAL_FAILURE(reachDownloaded());
    EXPECT_EQ(queryEndSession(), 1) << "nothing to protect yet";
    TreeImage before = treeImage(installation);
    const char *heldNames[] = {"readme.txt", "notes.txt"};
    HANDLE held[2];
    for (int i = 0; i < 2; ++i) {
        held[i] = holdExclusively(installation + "\\" + heldNames[i]);
        ASSERT_NE(held[i], INVALID_HANDLE_VALUE);
    }
    click(action);
    // Whatever the order of the copy, the first held file asked about is let through when
    // nothing has changed yet, so the second question finds the installation changed.
    for (int round = 0;; ++round) {
        MessageBoxInfo box;
        ASSERT_TRUE(waitForMessageBox(program, &box)) << round;
        ASSERT_TRUE(pathIsFile(installation + "\\QIMUpdate.journal"));
        TreeImage now = treeImage(installation);
        now.erase("\\QIMUpdate.journal");
        if (now != before)
            break;
        ASSERT_EQ(round, 0);
        int which = box.text.find(heldNames[0]) != std::string::npos ? 0 : 1;
        CloseHandle(held[which]);
        held[which] = INVALID_HANDLE_VALUE;
        ASSERT_TRUE(answerMessageBox(box, IDRETRY));
    }
    // Half-copied, the installation is neither version: a shutdown is refused.
    EXPECT_EQ(queryEndSession(), 0);
    program.kill();
    for (HANDLE handle : held)
        CloseHandle(handle);

    Program again;
    ASSERT_TRUE(again.start(loopbackUpdaterExe()));
    HWND restarted = again.waitForWindow("qim_update", 10000, true);
    ASSERT_NE(restarted, nullptr);
    EXPECT_TRUE(waitForText(control(restarted, StatusLabelId),
                            "Previous version restored (update interrupted)."));
    EXPECT_EQ(controlText(restarted, 204), "Current QIM version: 1.0.0");
    EXPECT_EQ(treeImage(installation), before);
    DWORD type = 0;
    std::string value;
    EXPECT_TRUE(readRendererValue("directory", &type, &value));
    EXPECT_EQ(std::string(value.c_str()), installation);
    expectTempClean();
}

// The picker lives in the updater's process, so the path it is to select is written there.
TEST_F(RealInstall, DifferentDirectoryChosenInThePicker)
{
    setRendererDword("differentdirs", 1);
    std::string chosen = freshDir("real-newdir");
    ASSERT_TRUE(placeInBin(chosen, "pluginsstandin.exe", "QIM_InstallPlugins.exe"));
    ASSERT_NO_FATAL_FAILURE(reachDownloaded());
    click(action);
    MessageBoxInfo picker;
    ASSERT_TRUE(waitForMessageBox(program, &picker));
    EXPECT_EQ(picker.owner, window);
    ASSERT_TRUE(selectInPicker(program, picker.window, chosen));
    ASSERT_TRUE(answerMessageBox(picker, IDOK));

    expectDoneAndRecorded(chosen);
    EXPECT_EQ(contentOf(chosen + "\\readme.txt"), "new readme");
    EXPECT_EQ(contentOf(installation + "\\readme.txt"), "old readme");
    EXPECT_FALSE(pathIsFile(installation + "\\bin\\32\\plugins-ran.txt"));
    expectTempClean();
}

// A copy into a newly chosen directory that does not succeed leaves nothing of the update there,
// and the recorded directory stays the old one.
TEST_F(RealInstall, FailedCopyIntoAChosenDirectoryLeavesItAsItWas)
{
    setRendererDword("differentdirs", 1);
    std::string chosen = freshDir("real-newdir-failed");
    writeFile(chosen + "\\docs", "a file where the update has a directory");
    TreeImage before = treeImage(chosen);
    MessageBoxInfo question;
    ASSERT_NO_FATAL_FAILURE(installIntoChosenUntilTheObstacle(chosen, &question));
    ASSERT_TRUE(answerMessageBox(question, IDABORT));

    EXPECT_TRUE(waitForEnd("Installation failed. Previous version restored.")) << status();
    EXPECT_EQ(treeImage(chosen), before);
    DWORD type = 0;
    std::string value;
    EXPECT_TRUE(readRendererValue("directory", &type, &value));
    EXPECT_EQ(std::string(value.c_str()), installation);
    EXPECT_FALSE(pathIsFile(installation + "\\QIMUpdate.journal"));
    expectTempClean();
}

// A file whose kept name would pass the path limit stops the copy before its folder is touched,
// and the status names it.
TEST_F(RealInstall, FileWhoseKeptNameWouldNotFitStopsTheCopyAndIsNamed)
{
    const std::string target = installation + "\\" + std::string(245 - installation.size(), 'n');
    writeFile(stage + "\\Renderer\\" + target.substr(installation.size() + 1), "long");
    TreeImage before = treeImage(installation);
    ASSERT_NO_FATAL_FAILURE(reachDownloaded());
    click(action);
    EXPECT_TRUE(waitForEnd("Installation failed: path too long (" + target +
                           "). Previous version restored."))
        << status();
    EXPECT_EQ(treeImage(installation), before);
    expectTempClean();
}

// Yes installs into the renderer directory after all; No leaves the installation alone.
TEST_F(RealInstall, CancelledPickerAsksWhetherToUseTheOldDirectory)
{
    for (int answer : {IDYES, IDNO}) {
        SCOPED_TRACE(answer == IDYES ? "Yes" : "No");
        writeFile(installation + "\\readme.txt", "old readme");
        setRendererDword("differentdirs", 1);
        ASSERT_NO_FATAL_FAILURE(reachDownloaded());
        click(action);
        MessageBoxInfo picker;
        ASSERT_TRUE(waitForMessageBox(program, &picker));
        ASSERT_TRUE(answerMessageBox(picker, IDCANCEL));
        MessageBoxInfo question;
        ASSERT_TRUE(waitForMessageBox(program, &question));
        EXPECT_EQ(question.caption, "What now?");
        EXPECT_EQ(question.text,
                  "You have not chosen new directory.\nDo you want to update to old directory?");
        EXPECT_EQ(question.buttons, (std::vector<int>{IDYES, IDNO}));
        EXPECT_EQ(question.owner, window);
        ASSERT_TRUE(answerMessageBox(question, answer));
        if (answer == IDYES) {
            expectDoneAndRecorded(installation);
            EXPECT_EQ(contentOf(installation + "\\readme.txt"), "new readme");
        } else {
            EXPECT_TRUE(waitForEnd("Installation failed.")) << status();
            EXPECT_TRUE(program.running());
            EXPECT_EQ(contentOf(installation + "\\readme.txt"), "old readme");
        }
        expectTempClean();
        program.kill();
    }
}

// A whole release over an installation whose path has blanks: the engine the updater asked for
// its version, the extractor that has just unpacked, the plug-in installer and plug-in builds.
TEST_F(RealInstall, WholeReleaseReplacesEveryFileOfTheInstallation)
{
    installation = makeInstallation("real installation with blanks");
    ASSERT_TRUE(placeInBin(installation, "pluginsstandin.exe", "QIM_InstallPlugins.exe"));
    std::string release = stage + "\\Renderer";
    ASSERT_TRUE(makeDirs(release + "\\dll\\32"));
    ASSERT_TRUE(makeDirs(release + "\\bin\\32"));
    CopyFileA((fixtureDir() + "\\PlenaraDLL32.dll").c_str(),
              (release + "\\dll\\32\\PlenaraDLL32.dll").c_str(), FALSE);
    writeFile(release + "\\dll\\32\\PlenaraVersion.txt", "1 2 3\n");
    CopyFileA((fixtureDir() + "\\7zG.exe").c_str(), (release + "\\bin\\32\\7zG.exe").c_str(),
              FALSE);
    CopyFileA(standIn("pluginsstandin.exe").c_str(),
              (release + "\\bin\\32\\QIM_InstallPlugins.exe").c_str(), FALSE);
    writeFile(release + "\\max2010 plugin\\32\\QIMplugin.dlr", "plug-in 1.2.3");
    // A read-only file installs wherever each placed file is flushed on its own (as under Wine).
    writeFile(release + "\\licenses\\notice.txt", "read-only notice");
    SetFileAttributesA((release + "\\licenses\\notice.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_NO_FATAL_FAILURE(reachDownloaded());
    installWithoutAQuestion();
    expectDoneAndRecorded(installation);
    EXPECT_EQ(contentOf(installation + "\\dll\\32\\PlenaraVersion.txt"), "1 2 3\n");
    EXPECT_EQ(contentOf(installation + "\\max2010 plugin\\32\\QIMplugin.dlr"), "plug-in 1.2.3");
    EXPECT_EQ(contentOf(installation + "\\licenses\\notice.txt"), "read-only notice");
    EXPECT_TRUE(GetFileAttributesA((installation + "\\licenses\\notice.txt").c_str()) &
                FILE_ATTRIBUTE_READONLY);
    expectTempClean();
}

// A copy into a newly chosen directory keeps its journal there; killed halfway, it is found
// and undone at the next start, a silent one too, which then shows its window with the news.
TEST_F(RealInstall, KilledCopyIntoAChosenDirectoryIsUndoneAtASilentStart)
{
    setRendererDword("differentdirs", 1);
    std::string chosen = freshDir("real-newdir-killed");
    writeFile(chosen + "\\readme.txt", "the chosen directory's own readme");
    writeFile(chosen + "\\docs", "a file where the update has a directory");
    TreeImage before = treeImage(chosen);
    MessageBoxInfo question;
    ASSERT_NO_FATAL_FAILURE(installIntoChosenUntilTheObstacle(chosen, &question));
    EXPECT_TRUE(pathIsFile(chosen + "\\QIMUpdate.journal"));
    EXPECT_FALSE(pathIsFile(installation + "\\QIMUpdate.journal"));
    program.kill();

    Program again;
    ASSERT_TRUE(again.start(loopbackUpdaterExe(), "-silent"));
    HWND restarted = again.waitForWindow("qim_update", 10000, true);
    ASSERT_NE(restarted, nullptr);
    EXPECT_TRUE(waitForText(control(restarted, StatusLabelId),
                            "Previous version restored (update interrupted)."));
    EXPECT_EQ(treeImage(chosen), before);
    DWORD type = 0;
    std::string value;
    EXPECT_FALSE(readRendererValue("copyroot", &type, &value));
    EXPECT_TRUE(readRendererValue("directory", &type, &value));
    EXPECT_EQ(std::string(value.c_str()), installation);
    expectTempClean();
}

// Two updaters started together on an installation that an interrupted update left: one of them
// undoes it, the other finds the installation busy or already settled, and the original file
// comes back exactly once, never deleted by the second undo.
TEST_F(RealInstall, TwoUpdatersStartedTogetherUndoAnInterruptedUpdateOnce)
{
    TreeImage before = treeImage(installation);
    ASSERT_TRUE(MoveFileA((installation + "\\readme.txt").c_str(),
                          (installation + "\\readme.txt.~0a0b0c0d").c_str()));
    writeFile(installation + "\\readme.txt", "new readme");
    WIN32_FILE_ATTRIBUTE_DATA placed;
    ASSERT_TRUE(GetFileAttributesExA((installation + "\\readme.txt").c_str(), GetFileExInfoStandard,
                                     &placed));
    char record[64];
    snprintf(record, sizeof record, "R %08lx%08lx %08lx%08lx 00000000 ", placed.nFileSizeHigh,
             placed.nFileSizeLow, placed.ftLastWriteTime.dwHighDateTime,
             placed.ftLastWriteTime.dwLowDateTime);
    ASSERT_TRUE(
        writeFile(installation + "\\QIMUpdate.journal",
                  "T 0a0b0c0d " + installation + "\n" + record + installation + "\\readme.txt\n"));
    Program second;
    ASSERT_TRUE(program.start(loopbackUpdaterExe()));
    ASSERT_TRUE(second.start(loopbackUpdaterExe()));
    HWND windows[2] = {program.waitForWindow("qim_update", 10000, true),
                       second.waitForWindow("qim_update", 10000, true)};
    ASSERT_NE(windows[0], nullptr);
    ASSERT_NE(windows[1], nullptr);
    const std::string restored = "Previous version restored (update interrupted).";
    const std::string busy = "Another updater is working on this installation.";
    std::string statuses[2];
    EXPECT_TRUE(waitUntil([&] {
        for (int i = 0; i < 2; ++i)
            statuses[i] = controlText(windows[i], StatusLabelId);
        return statuses[0] == restored || statuses[1] == restored;
    })) << statuses[0]
        << " / " << statuses[1];
    for (const std::string &text : statuses)
        EXPECT_TRUE(text == restored || text == busy || text == "Click Check update...") << text;
    EXPECT_EQ(treeImage(installation), before);
    second.kill();
}

// The updater started from the installation it updates, with a release that carries a new
// updater: its own running file is renamed aside without a question, the new one is placed, and
// the old one is gone after the next start.
TEST_F(RealInstall, ReleaseCarryingTheRunningUpdaterReplacesItWithoutAQuestion)
{
    updater = installation + "\\bin\\32\\QIMUpdate.exe";
    ASSERT_TRUE(CopyFileA(loopbackUpdaterExe().c_str(), updater.c_str(), FALSE));
    // The same program with bytes appended, so that it still starts.
    std::string newUpdater;
    ASSERT_TRUE(readFile(loopbackUpdaterExe(), &newUpdater));
    newUpdater += "the new updater";
    ASSERT_TRUE(writeFile(stage + "\\Renderer\\bin\\32\\QIMUpdate.exe", newUpdater));
    ASSERT_NO_FATAL_FAILURE(reachDownloaded());
    installWithoutAQuestion();
    expectDoneAndRecorded(installation);
    EXPECT_TRUE(contentOf(updater) == newUpdater);
    program.kill();
    ASSERT_TRUE(program.start(updater));
    ASSERT_NE(program.waitForWindow("qim_update", 10000, true), nullptr);
    std::vector<std::string> left;
    for (const auto &entry : treeImage(installation))
        if (entry.first.find(".~") != std::string::npos || entry.first == "\\QIMUpdate.journal")
            left.push_back(entry.first);
    EXPECT_EQ(joined(left), "");
}
