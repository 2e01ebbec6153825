// The main window's answers to Exit, the close box and the action button in every state,
// driven in-process on a window of the updater's own class.
#include "fixtures.h"
#include "session.h"
#include "window.h"
#include <gtest/gtest.h>
#include <string.h>

namespace
{
const UpdaterState allStates[] = {
    Starting,    Ready,       NotInstalled,     CheckingServer, UpdateAvailable, UpToDate,
    CheckFailed, Downloading, Downloaded,       DownloadFailed, Installing,      ChoosingDirectory,
    Unpacking,   Copying,     PluginsInstaller, InstallFailed,  InstallAborted,  Installed};

enum Leaving { Closes, AbortsDownload, AbortsInstall, StaysOpen };

Leaving expectedLeaving(UpdaterState state)
{
    switch (state) {
    case CheckingServer:
    case Downloading:
        return AbortsDownload;
    case Installing:
    case Unpacking:
    case Copying:
        return AbortsInstall;
    case ChoosingDirectory:
        return StaysOpen;
    default:
        return Closes;
    }
}

// A fresh main window per state; each test walks the states itself, since every test
// process costs a Wine start-up.
class StateMachine : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        closeWindow();
    }
    void openWindow(UpdaterState state)
    {
        closeWindow();
        registerMainWindowClass(GetModuleHandleA(nullptr));
        session.mainWindow =
            CreateWindowExA(0, "qim_update", "QIM Update", WS_OVERLAPPEDWINDOW, 0, 0, 315, 200,
                            nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(session.mainWindow, nullptr);
        session.actionButton = button("Check update", 201);
        session.exitButton = button("Abort", 203);
        // A worker's first status text waits for this thread, so a worker cannot get past its
        // first step before the test lets it.
        session.statusLabel = button("", 205);
        session.abortDownload = false;
        session.abortInstall = false;
        session.closeWhenWorkerEnds = false;
        session.state = state;
    }
    void closeWindow()
    {
        if (session.mainWindow && IsWindow(session.mainWindow))
            DestroyWindow(session.mainWindow);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            ;
        session.mainWindow = session.actionButton = session.exitButton = nullptr;
        session.statusLabel = nullptr;
        session.state = Starting;
    }
    HWND button(const char *text, int id)
    {
        return CreateWindowExA(0, "BUTTON", text, WS_CHILD | WS_VISIBLE, 0, 0, 10, 10,
                               session.mainWindow,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    }
    void command(int id, WORD notification = BN_CLICKED)
    {
        HWND source = id == 201 ? session.actionButton : session.exitButton;
        SendMessageA(session.mainWindow, WM_COMMAND, MAKEWPARAM(id, notification),
                     reinterpret_cast<LPARAM>(source));
    }
    static std::string caption(HWND window)
    {
        char text[64] = "";
        GetWindowTextA(window, text, sizeof text);
        return text;
    }
    // Serves the worker's calls on the controls until the condition holds.
    template <typename Condition> static bool pumpUntil(Condition done, DWORD timeoutMs = 60000)
    {
        DWORD start = GetTickCount();
        while (!done()) {
            if (GetTickCount() - start > timeoutMs)
                return false;
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageA(&message);
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        return true;
    }
    static bool pumpUntilNoWorker()
    {
        return pumpUntil([] { return session.workersRunning == 0; });
    }
    static bool quitPosted()
    {
        MSG message;
        return PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) && message.wParam == 0;
    }
    void expectLeaving(UpdaterState state)
    {
        Leaving leaving = expectedLeaving(state);
        EXPECT_EQ(IsWindow(session.mainWindow) != FALSE, leaving != Closes);
        EXPECT_EQ(quitPosted(), leaving == Closes);
        EXPECT_EQ(session.abortDownload.load(), leaving == AbortsDownload);
        EXPECT_EQ(session.abortInstall.load(), leaving == AbortsInstall);
        EXPECT_EQ(session.state.load(), state);
    }
};
} // namespace

TEST_F(StateMachine, ExitButtonClosesOnlyWithoutARunningWorker)
{
    for (UpdaterState state : allStates) {
        SCOPED_TRACE(state);
        openWindow(state);
        command(203);
        expectLeaving(state);
    }
}

// The close box acts like Exit, so a running worker is asked to stop instead of being cut off.
TEST_F(StateMachine, CloseBoxActsLikeExit)
{
    for (UpdaterState state : allStates) {
        SCOPED_TRACE(state);
        openWindow(state);
        SendMessageA(session.mainWindow, WM_CLOSE, 0, 0);
        expectLeaving(state);
    }
}

TEST_F(StateMachine, NotificationsOtherThanClicksAreIgnored)
{
    for (UpdaterState state : allStates) {
        SCOPED_TRACE(state);
        openWindow(state);
        command(203, BN_DOUBLECLICKED);
        command(201, BN_SETFOCUS);
        EXPECT_TRUE(IsWindow(session.mainWindow));
        EXPECT_FALSE(session.abortDownload.load());
        EXPECT_FALSE(session.abortInstall.load());
        EXPECT_EQ(session.state.load(), state);
    }
}

TEST_F(StateMachine, ActionButtonDoesNothingWhereItHasNoMeaning)
{
    const UpdaterState idleStates[] = {
        Starting,         NotInstalled,  CheckingServer,    CheckFailed, Downloading,
        DownloadFailed,   Installing,    ChoosingDirectory, Unpacking,   Copying,
        PluginsInstaller, InstallFailed, InstallAborted};
    for (UpdaterState state : idleStates) {
        SCOPED_TRACE(state);
        openWindow(state);
        command(201);
        EXPECT_EQ(session.state.load(), state);
        EXPECT_TRUE(IsWindowEnabled(session.actionButton));
        EXPECT_EQ(caption(session.actionButton), "Check update");
        EXPECT_EQ(caption(session.exitButton), "Abort");
    }
}

// Without a renderer directory the plug-in installer cannot start; the buttons change anyway.
TEST_F(StateMachine, ActionAfterInstallationStartsThePluginInstallerAndEndsWithDone)
{
    deleteValdormineKey();
    openWindow(Installed);
    command(201);
    EXPECT_EQ(session.state.load(), PluginsInstaller);
    EXPECT_FALSE(IsWindowEnabled(session.actionButton));
    EXPECT_EQ(caption(session.actionButton), "Done");
    EXPECT_EQ(caption(session.exitButton), "Exit");
}

// Leaving right after a start, before the worker has taken its first step, asks the worker to
// stop; the window stays until the worker has ended, then Exit closes it.
TEST_F(StateMachine, LeavingRightAfterAStartAsksTheWorkerToStop)
{
    const struct {
        UpdaterState from;
        Leaving leaving;
        UpdaterState end;
    } cases[] = {{Ready, AbortsDownload, CheckFailed},
                 {UpdateAvailable, AbortsDownload, DownloadFailed},
                 {Downloaded, AbortsInstall, InstallFailed}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.from);
        openWindow(c.from);
        command(201);
        SendMessageA(session.mainWindow, WM_CLOSE, 0, 0);
        EXPECT_TRUE(IsWindow(session.mainWindow));
        EXPECT_EQ(session.abortDownload.load(), c.leaving == AbortsDownload);
        EXPECT_EQ(session.abortInstall.load(), c.leaving == AbortsInstall);
        ASSERT_TRUE(pumpUntilNoWorker());
        EXPECT_EQ(session.state.load(), c.end);
        ASSERT_TRUE(IsWindow(session.mainWindow));
        command(203);
        EXPECT_FALSE(IsWindow(session.mainWindow));
    }
}

static DWORD WINAPI windDownUntilReleased(LPVOID release)
{
    WaitForSingleObject(static_cast<HANDLE>(release), 30000);
    return 0;
}

// A worker that has reached its final state may still be cleaning up. Exit then must not be
// lost: the window closes as soon as the worker has ended. While the button still reads "Abort",
// the worker is winding down what the user stopped, and the window stays for its result.
TEST_F(StateMachine, ExitWhileAWorkerWindsDownClosesOnceItHasEnded)
{
    for (UpdaterState state : allStates) {
        if (expectedLeaving(state) != Closes)
            continue;
        for (const char *caption : {"Exit", "Abort"}) {
            SCOPED_TRACE(testing::Message() << state << " " << caption);
            openWindow(state);
            SetWindowTextA(session.exitButton, caption);
            HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            ASSERT_TRUE(startWorker(windDownUntilReleased, release));
            command(203);
            EXPECT_TRUE(IsWindow(session.mainWindow)) << "not around a running worker";
            SetEvent(release);
            bool closes = strcmp(caption, "Exit") == 0;
            EXPECT_EQ(pumpUntil([] { return !IsWindow(session.mainWindow); }, closes ? 10000 : 500),
                      closes);
            ASSERT_TRUE(pumpUntilNoWorker());
            CloseHandle(release);
        }
    }
}
