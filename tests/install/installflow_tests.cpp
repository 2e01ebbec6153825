// The installation worker in this process, against a window of the test's own thread whose
// status line records every text it is given: the exact status sequences, the end states and
// the clean-up, with the real 7-Zip unpacking real zip archives.
#include "download.h"
#include "guidriver.h"
#include "install.h"
#include "installsupport.h"
#include "installtest.h"
#include "pendingupdate.h"
#include "session.h"
#include "window.h"
#include <commctrl.h>
#include <shellapi.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <functional>

namespace
{
typedef std::vector<std::string> Texts;

Texts statusLog;
WNDPROC plainStatic = nullptr;
// Called on the test's thread for each status text, while the worker waits for it to be set.
std::function<void(const std::string &)> onStatus;

LRESULT CALLBACK recordStatus(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTEXT && lParam) {
        statusLog.push_back(reinterpret_cast<const char *>(lParam));
        if (onStatus)
            onStatus(statusLog.back());
    }
    return CallWindowProcA(plainStatic, window, message, wParam, lParam);
}

HWND child(const char *kind, const char *text, DWORD style, int y)
{
    return CreateWindowExA(0, kind, text, WS_CHILD | WS_VISIBLE | style, 10, y, 290, 20,
                           session.mainWindow, nullptr, nullptr, nullptr);
}

// The controls the worker drives, owned by the test's thread as the real ones are by the GUI
// thread, so every call of the worker crosses threads the same way.
class UpdaterWindow
{
  public:
    UpdaterWindow()
    {
        INITCOMMONCONTROLSEX classes{sizeof classes, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&classes);
        session.mainWindow = CreateWindowExA(0, "STATIC", "install flow", WS_OVERLAPPEDWINDOW, 0, 0,
                                             320, 200, nullptr, nullptr, nullptr, nullptr);
        session.statusLabel = child("STATIC", "", 0, 30);
        plainStatic = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
            session.statusLabel, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recordStatus)));
        session.progressBar = child(PROGRESS_CLASSA, "", PBS_SMOOTH, 50);
        SendMessageA(session.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        session.actionButton = child("BUTTON", "Install update", BS_PUSHBUTTON, 120);
        session.exitButton = child("BUTTON", "Exit", BS_PUSHBUTTON, 140);
        statusLog.clear();
    }
    ~UpdaterWindow()
    {
        onStatus = nullptr;
        DestroyWindow(session.mainWindow);
        session.mainWindow = session.statusLabel = session.progressBar = nullptr;
        session.actionButton = session.exitButton = nullptr;
    }
};

// Runs the test thread's messages until the condition holds.
bool pumpUntil(const std::function<bool()> &condition, DWORD timeoutMs = 30000)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (condition())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

BOOL CALLBACK findOwnDialog(HWND window, LPARAM param)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || className(window) != "#32770" ||
        !IsWindowVisible(window))
        return TRUE;
    *reinterpret_cast<HWND *>(param) = window;
    return FALSE;
}

HWND waitForDialog()
{
    HWND dialog = nullptr;
    pumpUntil([&] {
        dialog = nullptr;
        EnumWindows(findOwnDialog, reinterpret_cast<LPARAM>(&dialog));
        return dialog != nullptr;
    });
    return dialog;
}

std::string dialogText(HWND dialog)
{
    char text[4096] = "";
    GetDlgItemTextA(dialog, 0xFFFF, text, sizeof text);
    return text;
}

std::vector<int> dialogButtons(HWND dialog)
{
    std::vector<int> ids;
    for (HWND item = GetWindow(dialog, GW_CHILD); item; item = GetWindow(item, GW_HWNDNEXT))
        if (className(item) == "Button" && IsWindowVisible(item))
            ids.push_back(GetDlgCtrlID(item));
    return ids;
}

bool press(HWND dialog, int buttonId)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, buttonId)));
    return pumpUntil([&] { return !IsWindow(dialog); });
}

std::string text(HWND window)
{
    char buffer[512] = "";
    GetWindowTextA(window, buffer, sizeof buffer);
    return buffer;
}

class InstallFlow : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        deleteValdormineKey();
        clearQimTempEntries();
        session.state = Downloaded;
        session.abortInstall = false;
        session.filesIgnored = false;
        session.differentDirs = false;
        installation = makeInstallation("flow-installation");
        ASSERT_TRUE(placeInBin(installation, "pluginsstandin.exe", "QIM_InstallPlugins.exe"));
        stage = freshDir("flow-stage");
    }
    void TearDown() override
    {
        free(session.archivePath);
        session.archivePath = nullptr;
        deleteValdormineKey();
    }

    // The downloaded archive, in the temporary directory under a name of the updater's own.
    void publishArchive()
    {
        session.archivePath = makeTempFileName();
        ASSERT_NE(session.archivePath, nullptr);
        ASSERT_TRUE(makeZip(stage, session.archivePath));
    }

    // The usual update: two files to install, an empty directory, a file beside Renderer.
    void stageUpdate()
    {
        writeFile(stage + "\\Renderer\\readme.txt", "new readme");
        writeFile(stage + "\\Renderer\\dll\\32\\PlenaraDLL32.dll", "new engine");
        makeDirs(stage + "\\Renderer\\empty");
        writeFile(stage + "\\notes.txt", "not installed");
    }

    void startWorker(const char *archive)
    {
        worker = CreateThread(nullptr, 0, installWorker, const_cast<char *>(archive), 0, nullptr);
        ASSERT_NE(worker, nullptr);
    }

    DWORD finishWorker()
    {
        DWORD exitCode = 99;
        EXPECT_TRUE(
            pumpUntil([&] { return WaitForSingleObject(worker, 0) == WAIT_OBJECT_0; }, 60000));
        GetExitCodeThread(worker, &exitCode);
        CloseHandle(worker);
        worker = nullptr;
        return exitCode;
    }

    DWORD runWorker()
    {
        startWorker(session.archivePath);
        return finishWorker();
    }

    void expectNothingLeft()
    {
        EXPECT_FALSE(pathIsFile(session.archivePath));
        EXPECT_TRUE(qimTempEntries().empty()) << joined(qimTempEntries());
    }

    std::string recordedDirectory()
    {
        DWORD type = 0;
        std::string value;
        if (!readRendererValue("directory", &type, &value))
            return "<none>";
        return value.c_str();
    }

    UpdaterWindow window;
    std::string installation, stage;
    HANDLE worker = nullptr;
};

const char *const successTail[] = {"Cleaning up...", "OK", "Installation complete.",
                                   "Done. Running plugins installer..."};
} // namespace

TEST_F(InstallFlow, UpdateIsCopiedRecordedCleanedUpAndThePluginInstallerStarted)
{
    stageUpdate();
    publishArchive();
    setRendererString("directory", installation + "\\");
    EXPECT_EQ(runWorker(), 1u);

    // Three files were unpacked; the two under Renderer are installed and counted.
    Texts expected = {"Unpacking file... please wait", "Copied 1 of 2 files.",
                      "Copied 2 of 2 files.", "File successfully copied."};
    expected.insert(expected.end(), std::begin(successTail), std::end(successTail));
    EXPECT_EQ(statusLog, expected);
    EXPECT_EQ(session.state.load(), PluginsInstaller);
    EXPECT_EQ(text(session.actionButton), "Done");
    EXPECT_FALSE(IsWindowEnabled(session.actionButton));
    EXPECT_EQ(text(session.exitButton), "Exit");
    EXPECT_EQ(progressPosition(session.progressBar), 100);

    EXPECT_EQ(contentOf(installation + "\\readme.txt"), "new readme");
    EXPECT_EQ(contentOf(installation + "\\dll\\32\\PlenaraDLL32.dll"), "new engine");
    EXPECT_TRUE(pathIsDir(installation + "\\empty"));
    EXPECT_FALSE(pathIsFile(installation + "\\notes.txt"));
    EXPECT_EQ(recordedDirectory(), installation);
    EXPECT_TRUE(waitUntil([&] { return pathIsFile(installation + "\\bin\\32\\plugins-ran.txt"); }));
    expectNothingLeft();
}

TEST_F(InstallFlow, FileInUseAskedAboutAndIgnoredStillCompletes)
{
    stageUpdate();
    publishArchive();
    std::string engine = installation + "\\dll\\32\\PlenaraDLL32.dll";
    std::string oldEngine = contentOf(engine);
    HANDLE held = holdExclusively(engine);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    startWorker(session.archivePath);
    HWND box = waitForDialog();
    ASSERT_NE(box, nullptr);
    std::string question = dialogText(box);
    EXPECT_EQ(question.rfind("Can't copy file\n" + tempDir() + "\\qim", 0), 0u) << question;
    std::string ending = "\\Renderer\\dll\\32\\PlenaraDLL32.dll\nto\n" + engine +
                         "\nProbably old one is being used (QIM/Max) or you don't have write "
                         "permissions there.";
    ASSERT_GE(question.size(), ending.size());
    EXPECT_EQ(question.substr(question.size() - ending.size()), ending);
    EXPECT_EQ(text(box), "Error");
    EXPECT_EQ(GetWindow(box, GW_OWNER), session.mainWindow);
    ASSERT_TRUE(press(box, IDIGNORE));
    EXPECT_EQ(finishWorker(), 1u);
    CloseHandle(held);

    ASSERT_GE(statusLog.size(), 5u);
    Texts tail(statusLog.end() - 5, statusLog.end());
    EXPECT_EQ(tail, (Texts{"Files copied, with some exceptions.", "Cleaning up...", "OK",
                           "Installation complete, however some files were ignored.",
                           "Done. Running plugins installer..."}));
    EXPECT_TRUE(session.filesIgnored);
    EXPECT_EQ(session.state.load(), PluginsInstaller);
    EXPECT_EQ(contentOf(engine), oldEngine);
    EXPECT_EQ(contentOf(installation + "\\readme.txt"), "new readme");
    expectNothingLeft();
}

// What goes wrong before anything is copied: the text the run leaves, then the worker's own.
struct FailureCase {
    const char *name;
    std::function<void(InstallFlow *, const std::string &installation, const std::string &stage)>
        arrange;
    Texts statuses;
    UpdaterState state;
};

static const char changedSincePrepared[] =
    "The installation changed since the patch update was prepared. Please check for updates again.";

TEST_F(InstallFlow, FailuresBeforeTheCopyEndFailedAndLeaveNothingBehind)
{
    const FailureCase cases[] = {
        {"extractor exits with 1",
         [](InstallFlow *, const std::string &dir, const std::string &) {
             placeInBin(dir, "exitone.exe", "7zG.exe");
         },
         {"Unpacking file... please wait", "Something wrong with unpacking update file.",
          "Something wrong with unpacking update file.", "Cleaning up...", "OK",
          "Installation failed."},
         InstallFailed},
        {"extractor missing",
         [](InstallFlow *, const std::string &dir, const std::string &) {
             DeleteFileA((dir + "\\bin\\32\\7zG.exe").c_str());
         },
         {"Something wrong with unpacking update file.", "Cleaning up...", "Installation failed."},
         InstallFailed},
        {"archive without Renderer",
         [](InstallFlow *, const std::string &, const std::string &stage) {
             removeTree(stage + "\\Renderer");
             writeFile(stage + "\\Other\\readme.txt", "elsewhere");
         },
         {"Unpacking file... please wait", "Error. Can't find unpacked folder.", "Cleaning up...",
          "OK", "Installation failed."},
         InstallFailed},
        {"unsizable unpacked file",
         [](InstallFlow *, const std::string &dir, const std::string &) {
             placeInBin(dir, "gatedextractor.exe", "7zG.exe");
             placeInBin(dir, nullptr, "7za.exe");
             writeFile(dir + "\\bin\\32\\release", "");
             writeFile(dir + "\\bin\\32\\addhuge", "");
         },
         {"Unpacking file... please wait", "Error checking unpacked files.", "Cleaning up...", "OK",
          "Installation failed."},
         InstallFailed},
        {"no renderer directory recorded",
         [](InstallFlow *, const std::string &, const std::string &) { deleteValdormineKey(); },
         {"Internal error. Sorry", "Cleaning up...", "Installation failed."},
         InstallFailed},
        {"renderer directory gone",
         [](InstallFlow *, const std::string &dir, const std::string &) {
             setRendererString("directory", dir + "-gone");
         },
         {"Internal error. Sorry", "Cleaning up...", "Installation failed."},
         InstallFailed},
        // A delta whose rebuild did not finish holds part of the release: never unpacked.
        {"delta waiting without its rebuilt tree",
         [](InstallFlow *, const std::string &, const std::string &) {
             setPendingKind(PendingDelta);
         },
         {"Internal error. Sorry", "Cleaning up...", "Installation failed."},
         InstallFailed},
        // A delta holds only what changed: it never goes into another directory.
        {"different directory with a delta waiting",
         [](InstallFlow *, const std::string &, const std::string &) {
             setPendingKind(PendingDelta);
             session.differentDirs = true;
         },
         {"Internal error. Sorry", "Cleaning up...", "Installation failed."},
         InstallFailed},
        // A delta goes only over the installation and version it was rebuilt from.
        {"delta rebuilt from another directory",
         [](InstallFlow *, const std::string &dir, const std::string &) {
             setPendingDeltaTree(_strdup(freshDir("flow-delta-tree").c_str()),
                                 (dir + "-elsewhere").c_str(), session.installedVersion);
         },
         {changedSincePrepared, "Cleaning up...", "Installation failed."},
         InstallFailed},
        {"delta rebuilt from another version",
         [](InstallFlow *, const std::string &dir, const std::string &) {
             SetDllDirectoryA((dir + "\\dll\\32").c_str());
             setEngineVersion(dir, 1, 0, 0);
             char *registered = rendererDirectory();
             setPendingDeltaTree(_strdup(freshDir("flow-delta-tree").c_str()), registered,
                                 {0, 9, 0});
             free(registered);
         },
         {changedSincePrepared, "Cleaning up...", "Installation failed."},
         InstallFailed},
    };
    for (const FailureCase &c : cases) {
        SCOPED_TRACE(c.name);
        installation = makeInstallation("flow-installation");
        stage = freshDir("flow-stage");
        stageUpdate();
        c.arrange(this, installation, stage);
        free(session.archivePath);
        publishArchive();
        statusLog.clear();
        EXPECT_EQ(runWorker(), 0u);
        EXPECT_EQ(statusLog, c.statuses);
        EXPECT_EQ(session.state.load(), c.state);
        EXPECT_EQ(text(session.exitButton), "Exit");
        EXPECT_FALSE(pathIsFile(installation + "\\readme.txt"));
        expectNothingLeft();
        discardPendingUpdate();
        SetDllDirectoryA(nullptr);
        session.differentDirs = false;
    }
}

TEST_F(InstallFlow, MissingArchiveOrNoArchivePath)
{
    publishArchive();
    DeleteFileA(session.archivePath);
    EXPECT_EQ(runWorker(), 0u);
    EXPECT_EQ(statusLog,
              (Texts{"Internal error. Sorry", "Cleaning up...", "Installation failed."}));
    EXPECT_EQ(session.state.load(), InstallFailed);

    statusLog.clear();
    session.state = Downloaded;
    startWorker(nullptr);
    EXPECT_EQ(finishWorker(), 0u);
    EXPECT_EQ(statusLog, Texts{"Internal error. Sorry"});
    EXPECT_EQ(session.state.load(), InstallFailed);
    EXPECT_EQ(text(session.exitButton), "Exit");
}

// Abort answered in a question fails the run; the abort request arriving during the copy
// aborts it. The obstacle is a file where the update has a directory.
TEST_F(InstallFlow, AbortInAQuestionFailsWhileAnAbortRequestAborts)
{
    for (bool requestAbort : {false, true}) {
        SCOPED_TRACE(requestAbort ? "abort request" : "Abort answered");
        installation = makeInstallation("flow-installation");
        stage = freshDir("flow-stage");
        writeFile(stage + "\\Renderer\\plugins\\a.dlr", "plugin");
        writeFile(installation + "\\plugins", "obstacle");
        free(session.archivePath);
        publishArchive();
        statusLog.clear();
        startWorker(session.archivePath);
        HWND box = waitForDialog();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(dialogText(box), "Can't create directory:\n" + installation +
                                       "\\plugins\nProbably you don't have write permissions "
                                       "there.");
        EXPECT_EQ(dialogButtons(box), (std::vector<int>{IDABORT, IDRETRY, IDIGNORE}));
        if (requestAbort) {
            session.abortInstall = true;
            DeleteFileA((installation + "\\plugins").c_str());
            ASSERT_TRUE(press(box, IDRETRY));
        } else {
            ASSERT_TRUE(press(box, IDABORT));
        }
        EXPECT_EQ(finishWorker(), 0u);
        Texts tail = requestAbort
                         ? Texts{"Installation aborted.", "File copy failed.", "Cleaning up...",
                                 "OK", "Installation aborted. Previous version restored."}
                         : Texts{"File copy failed.", "Cleaning up...", "OK",
                                 "Installation failed. Previous version restored."};
        ASSERT_GE(statusLog.size(), tail.size());
        EXPECT_EQ(Texts(statusLog.end() - tail.size(), statusLog.end()), tail);
        EXPECT_EQ(session.state.load(), requestAbort ? InstallAborted : InstallFailed);
        EXPECT_EQ(session.abortInstall.load(), requestAbort);
        EXPECT_FALSE(pathIsFile(installation + "\\plugins\\a.dlr"));
        EXPECT_FALSE(pathIsDir(installation + "\\plugins"));
        EXPECT_FALSE(pathIsFile(installation + "\\QIMUpdate.journal"));
        expectNothingLeft();
    }
}

// The extractor is never cut short: the abort is seen when it has ended, and what it unpacked
// is removed again.
TEST_F(InstallFlow, AbortWhileUnpackingWaitsForTheExtractorThenCleansUp)
{
    stageUpdate();
    publishArchive();
    ASSERT_TRUE(placeInBin(installation, "gatedextractor.exe", "7zG.exe"));
    ASSERT_TRUE(placeInBin(installation, nullptr, "7za.exe"));
    std::string bin = installation + "\\bin\\32";
    startWorker(session.archivePath);
    ASSERT_TRUE(pumpUntil([&] { return pathIsFile(bin + "\\extractor-commandline.txt"); }));
    EXPECT_EQ(session.state.load(), Unpacking);
    session.abortInstall = true;
    pumpUntil([] { return false; }, 300);
    EXPECT_EQ(WaitForSingleObject(worker, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    std::string commandLine = contentOf(bin + "\\extractor-commandline.txt");
    std::string start =
        "\"" + bin + "\\7zG.exe\" x \"" + session.archivePath + "\" -o\"" + tempDir() + "\\qim";
    EXPECT_EQ(commandLine.rfind(start, 0), 0u) << commandLine;
    EXPECT_EQ(commandLine.substr(commandLine.size() - 4), "\" -y") << commandLine;

    writeFile(bin + "\\release", "");
    EXPECT_EQ(finishWorker(), 0u);
    EXPECT_EQ(statusLog, (Texts{"Unpacking file... please wait", "Installation aborted.",
                                "Cleaning up...", "OK", "Installation aborted."}));
    EXPECT_EQ(session.state.load(), InstallAborted);
    EXPECT_FALSE(pathIsFile(installation + "\\readme.txt"));
    expectNothingLeft();
}

TEST_F(InstallFlow, MissingPluginInstallerStillEndsDone)
{
    stageUpdate();
    publishArchive();
    DeleteFileA((installation + "\\bin\\32\\QIM_InstallPlugins.exe").c_str());
    EXPECT_EQ(runWorker(), 1u);
    ASSERT_FALSE(statusLog.empty());
    EXPECT_EQ(statusLog.back(), "Done. Running plugins installer...");
    EXPECT_EQ(session.state.load(), PluginsInstaller);
    EXPECT_EQ(text(session.actionButton), "Done");
    EXPECT_FALSE(IsWindowEnabled(session.actionButton));
    expectNothingLeft();
}

WNDPROC plainButton = nullptr;

void clickAction()
{
    mainWindowProc(session.mainWindow, WM_COMMAND, MAKEWPARAM(201, BN_CLICKED),
                   reinterpret_cast<LPARAM>(session.actionButton));
}

// Clicks "Install plugins" in the instant the worker enables it.
LRESULT CALLBACK clickWhenEnabled(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = CallWindowProcA(plainButton, window, message, wParam, lParam);
    if (message == WM_ENABLE && wParam)
        clickAction();
    return result;
}

// The journal as it stands, read beside the worker's open handle.
std::string journalLines(const std::string &installation)
{
    HANDLE file = CreateFileA((installation + "\\QIMUpdate.journal").c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<none>";
    char buffer[65536];
    DWORD got = 0;
    ReadFile(file, buffer, sizeof buffer, &got, nullptr);
    CloseHandle(file);
    return "\n" + std::string(buffer, got);
}

// The window's answers while the worker cleans up, makes the copy durable and starts the plug-in
// installer: Exit (or the close box) keeps the window until the worker has ended; the result shows
// before the commit mark, with the caption still "Abort" and no plug-in installer started, which
// a click cannot start either; and a click on "Install plugins" in the instant it is enabled
// starts no second plug-in installer.
TEST_F(InstallFlow, LeavingOrClickingAtTheEndOfARunChangesNothing)
{
    stageUpdate();
    publishArchive();
    std::string ran = installation + "\\bin\\32\\plugins-ran.txt";
    std::string dir = installation;
    onStatus = [&](const std::string &status) {
        if (status == "Cleaning up...") {
            mainWindowProc(session.mainWindow, WM_CLOSE, 0, 0);
            EXPECT_TRUE(IsWindow(session.mainWindow));
        } else if (status == "Done. Running plugins installer...") {
            std::string journal = journalLines(dir);
            EXPECT_NE(journal.find("\nT "), std::string::npos) << journal;
            EXPECT_EQ(journal.find("\nC\n"), std::string::npos) << journal;
            EXPECT_EQ(text(session.exitButton), "Abort");
            mainWindowProc(session.mainWindow, WM_CLOSE, 0, 0);
            EXPECT_TRUE(IsWindow(session.mainWindow));
            clickAction();
            EXPECT_FALSE(pathIsFile(ran));
        }
    };
    plainButton = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
        session.actionButton, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(clickWhenEnabled)));
    ASSERT_TRUE(startInstallation());
    ASSERT_TRUE(pumpUntil([] { return session.workersRunning == 0; }, 60000));
    onStatus = nullptr;
    SetWindowLongPtrA(session.actionButton, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(plainButton));
    EXPECT_TRUE(IsWindow(session.mainWindow));
    EXPECT_EQ(session.state.load(), PluginsInstaller);
    EXPECT_EQ(text(session.actionButton), "Done");

    EXPECT_TRUE(waitUntil([&] { return pathIsFile(ran); }));
    // A second plug-in installer, started with the first, would have written its line by now.
    pumpUntil([] { return false; }, 1500);
    std::string lines = contentOf(ran);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
    expectNothingLeft();
}

// The folder picker of a different installation directory is driven on the real updater
// (install_tests.cpp): opened on a second thread of this program it can deadlock Wine.

// A renderer directory with blanks (Wine would mend an unquoted program path, Windows does not).
TEST_F(InstallFlow, RendererDirectoryWithBlanksInItsPath)
{
    installation = makeInstallation("flow installation with blanks");
    ASSERT_TRUE(placeInBin(installation, "pluginsstandin.exe", "QIM_InstallPlugins.exe"));
    stageUpdate();
    publishArchive();
    EXPECT_EQ(runWorker(), 1u);
    EXPECT_EQ(contentOf(installation + "\\readme.txt"), "new readme");
    EXPECT_TRUE(waitUntil([&] { return pathIsFile(installation + "\\bin\\32\\plugins-ran.txt"); }));
    expectNothingLeft();
}

// A release ships the extractor itself: it is overwritten right after it has unpacked.
TEST_F(InstallFlow, UpdateReplacesTheExtractorThatUnpackedIt)
{
    stageUpdate();
    std::string newExtractor = stage + "\\Renderer\\bin\\32\\7zG.exe";
    ASSERT_TRUE(makeDirs(stage + "\\Renderer\\bin\\32"));
    ASSERT_TRUE(CopyFileA((fixtureDir() + "\\7zG.exe").c_str(), newExtractor.c_str(), FALSE));
    writeFile(stage + "\\Renderer\\bin\\32\\7z.sfx", "more");
    publishArchive();
    startWorker(session.archivePath);
    HWND box = nullptr;
    pumpUntil([&] {
        EnumWindows(findOwnDialog, reinterpret_cast<LPARAM>(&box));
        return box != nullptr || WaitForSingleObject(worker, 0) == WAIT_OBJECT_0;
    });
    if (box) {
        ADD_FAILURE() << dialogText(box);
        press(box, IDABORT);
    }
    EXPECT_EQ(finishWorker(), 1u);
    EXPECT_EQ(session.state.load(), PluginsInstaller);
    expectNothingLeft();
}

// The command line as Windows splits it for the extractor: its own path, then 7-Zip's words.
TEST(ExtractorCommandLine, BlanksInEveryPathStayWithinTheirArgument)
{
    char commandLine[2048];
    ASSERT_TRUE(formatExtractorCommandLine(
        commandLine, sizeof commandLine, "C:\\Program Files\\QIM Renderer",
        "C:\\users\\me\\Temp\\qim1A2B.tmp", "C:\\my temp\\qim3C.tmp"));
    std::string text = commandLine;
    std::wstring wide(text.begin(), text.end());
    int count = 0;
    LPWSTR *arguments = CommandLineToArgvW(wide.c_str(), &count);
    ASSERT_NE(arguments, nullptr);
    std::vector<std::wstring> words(arguments, arguments + count);
    LocalFree(arguments);
    EXPECT_EQ(words, (std::vector<std::wstring>{
                         L"C:\\Program Files\\QIM Renderer\\bin\\32\\7zG.exe", L"x",
                         L"C:\\users\\me\\Temp\\qim1A2B.tmp", L"-oC:\\my temp\\qim3C.tmp", L"-y"}));
}

TEST(ExtractorCommandLine, TooLongForItsBufferIsRefused)
{
    char commandLine[64];
    EXPECT_FALSE(formatExtractorCommandLine(commandLine, sizeof commandLine,
                                            "C:\\a renderer directory that is long",
                                            "C:\\archive.zip", "C:\\unpack"));
}

// A flush that fails after the result was shown: the copy is undone, the status says so in place
// of the result, and the plug-in installer is not started.
TEST_F(InstallFlow, CommitFailingAfterTheResultUndoesTheCopyAndSaysSo)
{
    stageUpdate();
    publishArchive();
    writeFile(installation + "\\readme.txt", "old readme");
    // Recorded again only once the copy commits, which would drop the trailing backslash.
    setRendererString("directory", installation + "\\");
    SetEnvironmentVariableA("QIM_REFUSE_COMMIT", "1");
    EXPECT_EQ(runWorker(), 0u);
    SetEnvironmentVariableA("QIM_REFUSE_COMMIT", nullptr);
    Texts tail = {"Installation complete.", "Done. Running plugins installer...",
                  "Installation failed: the new files could not be written to disk. Previous "
                  "version restored."};
    ASSERT_GE(statusLog.size(), tail.size());
    EXPECT_EQ(Texts(statusLog.end() - tail.size(), statusLog.end()), tail);
    EXPECT_EQ(session.state.load(), InstallFailed);
    EXPECT_EQ(text(session.exitButton), "Exit");
    EXPECT_EQ(contentOf(installation + "\\readme.txt"), "old readme");
    EXPECT_FALSE(pathIsDir(installation + "\\empty"));
    EXPECT_FALSE(pathIsFile(installation + "\\QIMUpdate.journal"));
    EXPECT_EQ(recordedDirectory(), installation + "\\");
    pumpUntil([] { return false; }, 1500);
    EXPECT_FALSE(pathIsFile(installation + "\\bin\\32\\plugins-ran.txt"));
    expectNothingLeft();
}
