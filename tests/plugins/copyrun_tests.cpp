// The "Install" run driven through the real installer: statuses, questions and the final line.
#include "pluginstest.h"
#include <gtest/gtest.h>

namespace
{

const char finishedText[] = "Installation finished successfully.";
const char someErrorsText[] = "Installation finished but some errors happened.";
const char abortedText[] = "Installation aborted!";

std::string destMissingText(const std::string &dir)
{
    return "Error!\n\nDestination directory does not exist:\n" + dir;
}

std::string copyFailedText(const std::string &dir)
{
    return "Error!\n\nCopying file failed:\n" + dir + "\n\nProbably 3d studio is running.";
}

const char *const subpaths[rowCount] = {
    "max9 plugin\\32\\QIMplugin.dlr",    "max9 plugin\\64\\QIMplugin.dlr",
    "max2008 plugin\\32\\QIMplugin.dlr", "max2008 plugin\\64\\QIMplugin.dlr",
    "max2009 plugin\\32\\QIMplugin.dlr", "max2009 plugin\\64\\QIMplugin.dlr",
    "max2010 plugin\\32\\QIMplugin.dlr", "max2010 plugin\\64\\QIMplugin.dlr",
    "max2010 plugin\\32\\QIMplugin.dlr", "max2010 plugin\\64\\QIMplugin.dlr",
    "max2012 plugin\\32\\QIMplugin.dlr", "max2012 plugin\\64\\QIMplugin.dlr"};

// Starts the installer on a machine without 3ds Max, so every row starts unticked and empty.
class CopyRun : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        removeMaxEntries();
        renderer = makeRendererWithPlugins("plugrenderer");
        scratch = freshDir("plugdest");
    }
    void start(const std::string &workDir = "")
    {
        ASSERT_TRUE(startInstaller(program, &controls, workDir));
    }

    // Ticks a row and types its destination.
    void chooseRow(int row, const std::string &destination)
    {
        ASSERT_TRUE(toggleRow(controls, row));
        ASSERT_TRUE(setText(controls.pathEdit[row], destination));
    }
    std::string existingDir(const std::string &name)
    {
        std::string dir = scratch + "\\" + name;
        makeDirs(dir);
        return dir;
    }
    std::string status(int row)
    {
        return windowText(controls.statusText[row]);
    }
    std::string message()
    {
        return windowText(controls.messageLine);
    }
    void expectPlugin(const std::string &dir, int row)
    {
        std::string content;
        ASSERT_TRUE(readFile(dir + "\\QIMplugin.dlr", &content)) << dir;
        EXPECT_EQ(content, subpaths[row]);
    }
    // Waits for the run's question and checks what every question of the run has in common.
    MessageBoxInfo question(const std::string &text, std::vector<int> buttons)
    {
        MessageBoxInfo box;
        EXPECT_TRUE(waitForMessageBox(program, &box));
        EXPECT_EQ(box.text, text);
        EXPECT_EQ(box.caption, "Error");
        EXPECT_EQ(box.owner, controls.window);
        EXPECT_EQ(box.buttons, buttons);
        return box;
    }
    void expectExitAtOnce()
    {
        click(controls.quitButton);
        DWORD exitCode = 99;
        ASSERT_TRUE(program.waitForExit(10000, &exitCode));
        EXPECT_EQ(exitCode, 0u);
    }

    std::string renderer;
    std::string scratch;
    Program program;
    InstallerControls controls;
};

const std::vector<int> abortRetryIgnore = {IDABORT, IDRETRY, IDIGNORE};

TEST_F(CopyRun, NoRowTickedFinishesWithoutQuestions)
{
    start();
    click(controls.installButton);
    ASSERT_TRUE(waitForText(controls.messageLine, finishedText));
    EXPECT_TRUE(noMessageBox(program));
    for (int row = 0; row < rowCount; ++row)
        EXPECT_EQ(status(row), "ignored") << row;
}

TEST_F(CopyRun, CopiesEachTickedRowsBuildAndOverwrites)
{
    start();
    const int rows[] = {0, 7, 8, 9, 11};
    for (int row : rows)
        chooseRow(row, existingDir("row" + std::to_string(row)));
    ASSERT_TRUE(writeFile(scratch + "\\row7\\QIMplugin.dlr", "an older plugin"));
    // A read-only one is replaced too, not taken for a running 3ds Max.
    ASSERT_TRUE(writeFile(scratch + "\\row8\\QIMplugin.dlr", "an older read-only plugin"));
    SetFileAttributesA((scratch + "\\row8\\QIMplugin.dlr").c_str(), FILE_ATTRIBUTE_READONLY);
    // So is a hidden one, which a plain copy over it cannot replace.
    ASSERT_TRUE(writeFile(scratch + "\\row9\\QIMplugin.dlr", "an older hidden plugin"));
    SetFileAttributesA((scratch + "\\row9\\QIMplugin.dlr").c_str(), FILE_ATTRIBUTE_HIDDEN);

    click(controls.installButton);
    ASSERT_TRUE(waitForText(controls.messageLine, finishedText));
    EXPECT_TRUE(noMessageBox(program));
    for (int row : rows) {
        SCOPED_TRACE(row);
        EXPECT_EQ(status(row), "INSTALLED");
        expectPlugin(scratch + "\\row" + std::to_string(row), row);
    }
    EXPECT_EQ(status(1), "ignored");
    // The run leaves ticks, texts and enabling as they were.
    EXPECT_EQ(checkState(controls.checkBox[7]), BST_CHECKED);
    EXPECT_EQ(windowText(controls.pathEdit[7]), scratch + "\\row7");
    EXPECT_TRUE(isEnabled(controls.pathEdit[7]));
    expectExitAtOnce();
}

TEST_F(CopyRun, HeldPluginFileAsksAndRetryInstallsOnceReleased)
{
    start();
    std::string dir = existingDir("held");
    ASSERT_TRUE(writeFile(dir + "\\QIMplugin.dlr", "loaded by 3ds Max"));
    chooseRow(6, dir);
    HANDLE held = CreateFileA((dir + "\\QIMplugin.dlr").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    click(controls.installButton);
    MessageBoxInfo box = question(copyFailedText(dir), abortRetryIgnore);
    EXPECT_EQ(status(6), "Installing...");
    EXPECT_EQ(message(), "Installing plugin for 3ds max 2010 32 bit ...");
    // Retry while still held asks again.
    ASSERT_TRUE(answerMessageBox(box, IDRETRY));
    box = question(copyFailedText(dir), abortRetryIgnore);
    CloseHandle(held);
    ASSERT_TRUE(answerMessageBox(box, IDRETRY));

    ASSERT_TRUE(waitForText(controls.messageLine, finishedText));
    EXPECT_EQ(status(6), "INSTALLED");
    expectPlugin(dir, 6);
    EXPECT_FALSE(pathIsFile(dir + "\\QIMplugin.dlr.~new"));
}

TEST_F(CopyRun, AbortOnTheSecondOfThreeRowsStopsTheRun)
{
    start();
    std::string first = existingDir("first");
    std::string missing = scratch + "\\missing";
    std::string third = existingDir("third");
    chooseRow(0, first);
    chooseRow(2, missing);
    chooseRow(4, third);

    click(controls.installButton);
    MessageBoxInfo box = question(destMissingText(missing), abortRetryIgnore);
    EXPECT_EQ(status(0), "INSTALLED");
    EXPECT_EQ(status(2), "Installing...");
    EXPECT_EQ(status(4), "waiting...");
    EXPECT_EQ(message(), "Installing plugin for 3ds max 2008 32 bit ...");
    ASSERT_TRUE(answerMessageBox(box, IDABORT));

    ASSERT_TRUE(waitForText(controls.messageLine, abortedText));
    EXPECT_EQ(status(0), "INSTALLED");
    EXPECT_EQ(status(2), "ABORTED");
    EXPECT_EQ(status(4), "waiting...");
    EXPECT_FALSE(pathIsFile(third + "\\QIMplugin.dlr"));
    expectPlugin(first, 0);
    expectExitAtOnce();
}

TEST_F(CopyRun, AbortOnACopyFailureStopsTheRun)
{
    start();
    std::string dir = existingDir("held");
    ASSERT_TRUE(writeFile(dir + "\\QIMplugin.dlr", "loaded by 3ds Max"));
    chooseRow(1, dir);
    chooseRow(3, existingDir("next"));
    HANDLE held = CreateFileA((dir + "\\QIMplugin.dlr").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    click(controls.installButton);
    MessageBoxInfo box = question(copyFailedText(dir), abortRetryIgnore);
    ASSERT_TRUE(answerMessageBox(box, IDABORT));
    ASSERT_TRUE(waitForText(controls.messageLine, abortedText));
    CloseHandle(held);
    EXPECT_EQ(status(1), "ABORTED");
    EXPECT_EQ(status(3), "waiting...");
}

TEST_F(CopyRun, IgnoreFailsTheRowAndTheRunGoesOn)
{
    start();
    std::string missing = scratch + "\\missing";
    std::string second = existingDir("second");
    chooseRow(0, missing);
    chooseRow(2, second);

    click(controls.installButton);
    MessageBoxInfo box = question(destMissingText(missing), abortRetryIgnore);
    ASSERT_TRUE(answerMessageBox(box, IDIGNORE));

    ASSERT_TRUE(waitForText(controls.messageLine, someErrorsText));
    EXPECT_EQ(status(0), "FAILED");
    EXPECT_EQ(status(2), "INSTALLED");
    expectPlugin(second, 2);
}

TEST_F(CopyRun, RetryFindsADestinationMadeMeanwhile)
{
    start();
    std::string later = scratch + "\\made later";
    chooseRow(10, later);
    click(controls.installButton);
    MessageBoxInfo box = question(destMissingText(later), abortRetryIgnore);
    ASSERT_TRUE(answerMessageBox(box, IDRETRY));
    box = question(destMissingText(later), abortRetryIgnore);
    makeDirs(later);
    ASSERT_TRUE(answerMessageBox(box, IDRETRY));
    ASSERT_TRUE(waitForText(controls.messageLine, finishedText));
    EXPECT_EQ(status(10), "INSTALLED");
    expectPlugin(later, 10);
}

TEST_F(CopyRun, TrailingSeparatorsAreDroppedFromTheTypedPath)
{
    // "C:" names the current directory on drive C: started in the root, the installer sees the
    // root there, whatever directory the test program runs in.
    start("C:\\");
    std::string dir = existingDir("typed");
    const struct {
        int row;
        std::string typed;
        std::string used;
    } cases[] = {
        {1, "", ""},
        {3, scratch + "\\nowhere\\\\", scratch + "\\nowhere"},
        {5, scratch + "\\elsewhere/\\/", scratch + "\\elsewhere"},
        // A drive root keeps its letter and colon; the root itself counts as missing.
        {7, "C:\\", "C:"},
        {9, dir + "\\\\", dir},
    };
    for (const auto &entry : cases)
        chooseRow(entry.row, entry.typed);

    click(controls.installButton);
    for (const auto &entry : cases) {
        if (entry.used == dir)
            continue;
        SCOPED_TRACE(entry.row);
        MessageBoxInfo box = question(destMissingText(entry.used), abortRetryIgnore);
        ASSERT_TRUE(answerMessageBox(box, IDIGNORE));
    }
    ASSERT_TRUE(waitForText(controls.messageLine, someErrorsText));
    EXPECT_EQ(status(9), "INSTALLED");
    expectPlugin(dir, 9);
    EXPECT_FALSE(pathIsFile("C:\\QIMplugin.dlr"));
    for (int row : {1, 3, 5, 7})
        EXPECT_EQ(status(row), "FAILED") << row;
    // The edit boxes still show what was typed.
    EXPECT_EQ(windowText(controls.pathEdit[9]), dir + "\\\\");
}

TEST_F(CopyRun, MissingSourceBuildFailsTheRowWithAnOkMessage)
{
    std::string source = renderer + "\\max2009 plugin\\64\\QIMplugin.dlr";
    std::string dirSource = renderer + "\\max2012 plugin\\32\\QIMplugin.dlr";
    ASSERT_TRUE(DeleteFileA(source.c_str()));
    ASSERT_TRUE(DeleteFileA(dirSource.c_str()));
    makeDirs(dirSource);
    start();
    chooseRow(5, existingDir("a"));
    chooseRow(10, existingDir("b"));
    chooseRow(11, existingDir("c"));

    click(controls.installButton);
    for (const std::string &missing : {source, dirSource}) {
        MessageBoxInfo box = question("Error!\n\nSource file does not exist:\n" + missing, {IDOK});
        ASSERT_TRUE(answerMessageBox(box, IDOK));
    }
    ASSERT_TRUE(waitForText(controls.messageLine, someErrorsText));
    EXPECT_EQ(status(5), "FAILED");
    EXPECT_EQ(status(10), "FAILED");
    EXPECT_EQ(status(11), "INSTALLED");
}

// Paths are limited to 2047 characters; a row whose destination or question would not fit
// fails with a message instead of working on a cut path.
TEST_F(CopyRun, OverlongPathFailsTheRowCleanly)
{
    start();
    std::string dir = existingDir("short");
    const size_t lengths[] = {2000, 2047, 3000};
    const int rows[] = {0, 2, 4};
    for (int index = 0; index < 3; ++index)
        chooseRow(rows[index], "C:\\" + std::string(lengths[index] - 3, 'p'));
    chooseRow(6, dir);

    click(controls.installButton);
    for (const char *name : {"3ds max 9 32 bit", "3ds max 2008 32 bit", "3ds max 2009 32 bit"}) {
        MessageBoxInfo box =
            question(std::string("Error!\n\nPath too long for ") + name + ".", {IDOK});
        ASSERT_TRUE(answerMessageBox(box, IDOK));
    }
    ASSERT_TRUE(waitForText(controls.messageLine, someErrorsText));
    for (int row : rows)
        EXPECT_EQ(status(row), "FAILED") << row;
    EXPECT_EQ(status(6), "INSTALLED");
}

TEST_F(CopyRun, SecondRunStartsFromTheCurrentControls)
{
    start();
    std::string missing = scratch + "\\later";
    chooseRow(8, missing);
    click(controls.installButton);
    MessageBoxInfo box = question(destMissingText(missing), abortRetryIgnore);
    ASSERT_TRUE(answerMessageBox(box, IDIGNORE));
    ASSERT_TRUE(waitForText(controls.messageLine, someErrorsText));

    std::string fixed = existingDir("fixed");
    ASSERT_TRUE(setText(controls.pathEdit[8], fixed));
    click(controls.installButton);
    ASSERT_TRUE(waitForText(controls.messageLine, finishedText));
    EXPECT_EQ(status(8), "INSTALLED");
    expectPlugin(fixed, 8);
}

} // namespace
