// The installer window driven through the real program: controls, refresh, row commands,
// layout and the locked state without a renderer directory.
#include "pluginstest.h"
#include <gtest/gtest.h>

namespace
{

class InstallerWindow : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        removeMaxEntries();
        renderer = makeRendererWithPlugins("plugrenderer");
    }
    void TearDown() override
    {
        removeMaxEntries();
    }
    void start()
    {
        ASSERT_TRUE(startInstaller(program, &controls));
    }

    std::string renderer;
    Program program;
    InstallerControls controls;
};

void expectRect(HWND control, int x, int y, int width, int height)
{
    RECT rect = childRect(control);
    EXPECT_EQ(rect.left, x);
    EXPECT_EQ(rect.top, y);
    EXPECT_EQ(rect.right - rect.left, width);
    EXPECT_EQ(rect.bottom - rect.top, height);
}

LONG style(HWND window)
{
    return GetWindowLongA(window, GWL_STYLE);
}

LONG exStyle(HWND window)
{
    return GetWindowLongA(window, GWL_EXSTYLE);
}

const char *const labels[rowCount] = {
    "3ds Max 9 32 bit",    "3ds Max 9 64 bit",    "3ds Max 2008 32 bit", "3ds Max 2008 64 bit",
    "3ds Max 2009 32 bit", "3ds Max 2009 64 bit", "3ds Max 2010 32 bit", "3ds Max 2010 64 bit",
    "3ds Max 2011 32 bit", "3ds Max 2011 64 bit", "3ds Max 2012 32 bit", "3ds Max 2012 64 bit"};

TEST_F(InstallerWindow, MainWindowHasItsClassTitleStyleAndPlace)
{
    start();
    EXPECT_EQ(windowText(controls.window), "QIM 3ds Max plugins installer");
    EXPECT_EQ(style(controls.window) & (WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN),
              WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN);
    RECT rect;
    GetWindowRect(controls.window, &rect);
    EXPECT_EQ(rect.left, 200);
    EXPECT_EQ(rect.top, 200);
    EXPECT_EQ(rect.right - rect.left, 600);
    EXPECT_EQ(rect.bottom - rect.top, 375);
}

TEST_F(InstallerWindow, RowsHaveTheirClassesTextsIdsAndGeometry)
{
    start();
    for (int row = 0; row < rowCount; ++row) {
        SCOPED_TRACE(row);
        HWND box = controls.checkBox[row];
        EXPECT_EQ(className(box), "Button");
        EXPECT_EQ(windowText(box), labels[row]);
        EXPECT_EQ(style(box) & BS_TYPEMASK, BS_AUTOCHECKBOX);
        EXPECT_EQ(GetDlgCtrlID(box), 201 + row);
        expectRect(box, 10, 10 + 20 * row, 125, 20);

        HWND edit = controls.pathEdit[row];
        EXPECT_EQ(className(edit), "Edit");
        EXPECT_EQ(style(edit) & ES_AUTOHSCROLL, ES_AUTOHSCROLL);
        EXPECT_EQ(GetDlgCtrlID(edit), 261 + row);
        expectRect(edit, 140, 10 + 20 * row, 315, 20);

        HWND browse = controls.browseButton[row];
        EXPECT_EQ(className(browse), "Button");
        EXPECT_EQ(windowText(browse), "...");
        EXPECT_EQ(style(browse) & BS_TYPEMASK, BS_PUSHBUTTON);
        EXPECT_EQ(GetDlgCtrlID(browse), 221 + row);
        expectRect(browse, 460, 11 + 20 * row, 30, 18);

        HWND status = controls.statusText[row];
        EXPECT_EQ(className(status), "Static");
        EXPECT_EQ(style(status) & SS_TYPEMASK, SS_LEFT);
        EXPECT_EQ(GetDlgCtrlID(status), row % 2 == 0 ? 254 : 253);
        expectRect(status, 500, 13 + 20 * row, 185, 20);

        for (HWND control : {box, edit, browse, status}) {
            EXPECT_TRUE(isVisible(control));
            EXPECT_EQ((exStyle(control) & WS_EX_CLIENTEDGE) != 0, control == edit);
        }
    }
}

TEST_F(InstallerWindow, MessageLineAndButtonsSitUnderTheRows)
{
    start();
    const struct {
        HWND control;
        const char *className;
        const char *text;
        int id, x, y, width, height;
    } expected[] = {
        {controls.messageLine, "Static", "Choose versions and set paths for plugin...", 253, 10,
         270, 580, 20},
        {controls.installButton, "Button", "Install", 251, 180, 300, 100, 30},
        {controls.quitButton, "Button", "Exit", 252, 320, 300, 100, 30},
    };
    for (const auto &entry : expected) {
        SCOPED_TRACE(entry.text);
        EXPECT_EQ(className(entry.control), entry.className);
        EXPECT_EQ(windowText(entry.control), entry.text);
        EXPECT_EQ(GetDlgCtrlID(entry.control), entry.id);
        expectRect(entry.control, entry.x, entry.y, entry.width, entry.height);
        EXPECT_TRUE(isEnabled(entry.control));
    }
}

TEST_F(InstallerWindow, UndetectedRowsAreEmptyDisabledAndIgnored)
{
    start();
    for (int row = 0; row < rowCount; ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(checkState(controls.checkBox[row]), BST_UNCHECKED);
        EXPECT_TRUE(isEnabled(controls.checkBox[row]));
        EXPECT_EQ(windowText(controls.pathEdit[row]), "");
        EXPECT_FALSE(isEnabled(controls.pathEdit[row]));
        EXPECT_FALSE(isEnabled(controls.browseButton[row]));
        EXPECT_EQ(windowText(controls.statusText[row]), "ignored");
    }
}

TEST_F(InstallerWindow, TickingAnUndetectedRowEnablesItAndUntickingKeepsTheText)
{
    start();
    ASSERT_TRUE(toggleRow(controls, 3));
    EXPECT_TRUE(isEnabled(controls.pathEdit[3]));
    EXPECT_TRUE(isEnabled(controls.browseButton[3]));
    EXPECT_EQ(windowText(controls.pathEdit[3]), "");
    ASSERT_TRUE(setText(controls.pathEdit[3], "D:\\typed by hand"));

    ASSERT_TRUE(toggleRow(controls, 3));
    EXPECT_FALSE(isEnabled(controls.pathEdit[3]));
    EXPECT_FALSE(isEnabled(controls.browseButton[3]));
    EXPECT_EQ(windowText(controls.pathEdit[3]), "D:\\typed by hand");
    // The neighbours are untouched.
    EXPECT_EQ(windowText(controls.statusText[2]), "ignored");
    EXPECT_EQ(windowText(controls.statusText[4]), "ignored");
}

// A detected 3ds Max is shown with its plug-in directory; without that directory it is offered
// but not chosen. An Installdir too long to name its plug-in directory is not offered at all.
TEST_F(InstallerWindow, DetectedRowsArePrefilledAndTickedWhenPluginsExist)
{
    std::string max2010 = makeMaxInstallation("max2010", true);
    std::string max2009 = makeMaxInstallation("max2009", false);
    ASSERT_TRUE(writeMaxInstallDir("12.0", false, max2010 + "\\"));
    ASSERT_TRUE(writeMaxInstallDir("11.0", false, max2009));
    ASSERT_TRUE(writeMaxInstallDir("10.0", false, ""));
    // 2040 characters leave no room for "\plugins" in 2047; 2039 just fit.
    std::string longest = "C:\\" + std::string(2036, 'x');
    ASSERT_TRUE(writeMaxInstallDir("9.0", false, longest));
    ASSERT_TRUE(writeMaxInstallDir("14.0", false, longest + "x"));
    start();

    EXPECT_EQ(checkState(controls.checkBox[6]), BST_CHECKED);
    EXPECT_EQ(windowText(controls.pathEdit[6]), max2010 + "\\plugins");
    EXPECT_TRUE(isEnabled(controls.pathEdit[6]));
    EXPECT_TRUE(isEnabled(controls.browseButton[6]));
    EXPECT_EQ(windowText(controls.statusText[6]), "install");

    EXPECT_EQ(checkState(controls.checkBox[4]), BST_UNCHECKED);
    EXPECT_EQ(windowText(controls.pathEdit[4]), max2009 + "\\plugins");
    EXPECT_FALSE(isEnabled(controls.pathEdit[4]));
    EXPECT_TRUE(isEnabled(controls.browseButton[4]));
    EXPECT_EQ(windowText(controls.statusText[4]), "ignored");

    for (int row : {2, 10}) {
        SCOPED_TRACE(row);
        EXPECT_EQ(checkState(controls.checkBox[row]), BST_UNCHECKED);
        EXPECT_EQ(windowText(controls.pathEdit[row]), "");
        EXPECT_FALSE(isEnabled(controls.pathEdit[row]));
        EXPECT_FALSE(isEnabled(controls.browseButton[row]));
        EXPECT_EQ(windowText(controls.statusText[row]), "ignored");
    }

    EXPECT_EQ(windowText(controls.pathEdit[0]), longest + "\\plugins");
    EXPECT_EQ(windowText(controls.statusText[0]), "ignored");

    // Ticking the row without "plugins" enables its edit box with the path kept.
    ASSERT_TRUE(toggleRow(controls, 4));
    EXPECT_TRUE(isEnabled(controls.pathEdit[4]));
    EXPECT_EQ(windowText(controls.pathEdit[4]), max2009 + "\\plugins");
}

TEST_F(InstallerWindow, WithoutRendererDirectoryOnlyExitStaysEnabled)
{
    deleteValdormineKey();
    std::string max2010 = makeMaxInstallation("max2010", true);
    ASSERT_TRUE(writeMaxInstallDir("12.0", false, max2010));
    ASSERT_TRUE(program.start(pluginInstallerExe()));

    MessageBoxInfo warning;
    ASSERT_TRUE(waitForMessageBox(program, &warning));
    EXPECT_EQ(warning.text,
              "Directory not set in registry.\nApplication may fail to find DLLs and crash.");
    ASSERT_TRUE(answerMessageBox(warning, IDOK));

    MessageBoxInfo error;
    ASSERT_TRUE(waitForMessageBox(program, &error));
    HWND window = program.findWindow(installerClass);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(error.owner, window);
    EXPECT_EQ(error.caption, "Error");
    EXPECT_EQ(error.text, "Error!\n\nCan't determine QIM directory.\nRun VBS file from QIM "
                          "directory and then install plugins again.");
    EXPECT_EQ(error.buttons, std::vector<int>{IDOK});
    ASSERT_TRUE(mapControls(window, &controls));

    auto expectLocked = [&] {
        for (int row = 0; row < rowCount; ++row) {
            for (HWND control : {controls.checkBox[row], controls.pathEdit[row],
                                 controls.browseButton[row], controls.statusText[row]})
                EXPECT_FALSE(isEnabled(control)) << row;
        }
        EXPECT_FALSE(isEnabled(controls.installButton));
        EXPECT_FALSE(isEnabled(controls.messageLine));
        EXPECT_TRUE(isEnabled(controls.quitButton));
    };
    expectLocked();
    // The detected row is still filled and ticked.
    EXPECT_EQ(checkState(controls.checkBox[6]), BST_CHECKED);
    EXPECT_EQ(windowText(controls.pathEdit[6]), max2010 + "\\plugins");
    EXPECT_EQ(windowText(controls.statusText[6]), "install");

    ASSERT_TRUE(answerMessageBox(error, IDOK));
    expectLocked();
    click(controls.quitButton);
    DWORD exitCode = 99;
    ASSERT_TRUE(program.waitForExit(10000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(InstallerWindow, ExitAndClosingEndTheProgramWithCodeZero)
{
    for (bool byButton : {true, false}) {
        SCOPED_TRACE(byButton ? "Exit" : "close");
        Program run;
        ASSERT_TRUE(startInstaller(run, &controls));
        if (byButton)
            click(controls.quitButton);
        else
            PostMessageA(controls.window, WM_CLOSE, 0, 0);
        DWORD exitCode = 99;
        ASSERT_TRUE(run.waitForExit(10000, &exitCode));
        EXPECT_EQ(exitCode, 0u);
    }
}

// Resizes so that the client area gets the wanted width.
bool resizeClient(HWND window, int clientWidth)
{
    RECT outer;
    GetWindowRect(window, &outer);
    int frame = (outer.right - outer.left) - clientSize(window).cx;
    SetWindowPos(window, nullptr, 0, 0, clientWidth + frame, outer.bottom - outer.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return waitUntil([&] { return clientSize(window).cx == clientWidth; });
}

TEST_F(InstallerWindow, LayoutFollowsTheClientWidthDownToItsFloors)
{
    start();
    const struct {
        int clientWidth, editWidth, browseX, statusX, installX, exitX;
    } cases[] = {
        {700, 425, 570, 610, 230, 370}, {336, 61, 206, 246, 48, 188}, {335, 60, 205, 245, 47, 187},
        {262, 60, 205, 172, 11, 151},   {260, 60, 205, 170, 10, 150}, {259, 60, 205, 169, 10, 150},
        {200, 60, 205, 110, 10, 150},
    };
    for (const auto &entry : cases) {
        SCOPED_TRACE(entry.clientWidth);
        ASSERT_TRUE(resizeClient(controls.window, entry.clientWidth));
        ASSERT_TRUE(waitUntil([&] { return childRect(controls.quitButton).left == entry.exitX; }));
        for (int row = 0; row < rowCount; ++row) {
            SCOPED_TRACE(row);
            expectRect(controls.checkBox[row], 10, 10 + 20 * row, 125, 20);
            expectRect(controls.pathEdit[row], 140, 10 + 20 * row, entry.editWidth, 20);
            expectRect(controls.browseButton[row], entry.browseX, 11 + 20 * row, 30, 18);
            expectRect(controls.statusText[row], entry.statusX, 13 + 20 * row, 185, 20);
        }
        expectRect(controls.installButton, entry.installX, 300, 100, 30);
        expectRect(controls.quitButton, entry.exitX, 300, 100, 30);
        expectRect(controls.messageLine, 10, 270, 580, 20);
    }
}

TEST_F(InstallerWindow, DraggingKeepsAtLeast400WideAndExactly375High)
{
    start();
    const struct {
        RECT proposed;
        RECT limited;
    } cases[] = {
        {{100, 100, 300, 200}, {100, 100, 500, 475}},
        {{100, 100, 900, 900}, {100, 100, 900, 475}},
        {{-50, 20, 350, 21}, {-50, 20, 350, 395}},
        {{0, 0, 399, 375}, {0, 0, 400, 375}},
    };
    for (const auto &entry : cases) {
        RECT rect = entry.proposed;
        DWORD_PTR result = 0;
        ASSERT_TRUE(SendMessageTimeoutA(controls.window, WM_SIZING, WMSZ_BOTTOMRIGHT,
                                        reinterpret_cast<LPARAM>(&rect), SMTO_ABORTIFHUNG, 5000,
                                        &result));
        EXPECT_EQ(rect.left, entry.limited.left);
        EXPECT_EQ(rect.top, entry.limited.top);
        EXPECT_EQ(rect.right, entry.limited.right);
        EXPECT_EQ(rect.bottom, entry.limited.bottom);
    }
}

TEST_F(InstallerWindow, BrowsePicksADirectoryAndCancelKeepsTheText)
{
    std::string picked = freshDir("picked");
    start();
    ASSERT_TRUE(toggleRow(controls, 0));
    MessageBoxInfo picker;

    // An existing directory is preselected, so OK hands it back. Wine's picker now and then
    // ignores the initial selection altogether; such a picker is cancelled and opened again.
    ASSERT_TRUE(setText(controls.pathEdit[0], picked));
    bool preselected = false;
    for (int attempt = 0; attempt < 5 && !preselected; ++attempt) {
        click(controls.browseButton[0]);
        ASSERT_TRUE(waitForMessageBox(program, &picker));
        EXPECT_TRUE(pickerShowsTitle(picker.window, "Choose plugin directory:"));
        ASSERT_NE(pickerTree(picker.window), nullptr);
        preselected = waitUntil([&] { return pickerHasSelection(picker.window); }, 3000);
        ASSERT_TRUE(answerMessageBox(picker, preselected ? IDOK : IDCANCEL));
    }
    ASSERT_TRUE(preselected);
    EXPECT_EQ(lstrcmpiA(windowText(controls.pathEdit[0]).c_str(), picked.c_str()), 0)
        << windowText(controls.pathEdit[0]);
    EXPECT_EQ(checkState(controls.checkBox[0]), BST_CHECKED);
    EXPECT_EQ(windowText(controls.statusText[0]), "install");

    // Empty or unusable texts open the picker without a usable selection; cancelling keeps them.
    for (const char *text : {"", "not a directory"}) {
        ASSERT_TRUE(setText(controls.pathEdit[0], text));
        click(controls.browseButton[0]);
        ASSERT_TRUE(waitForMessageBox(program, &picker));
        ASSERT_TRUE(answerMessageBox(picker, IDCANCEL));
        EXPECT_EQ(windowText(controls.pathEdit[0]), text);
    }
}

TEST(InstallerProgram, CarriesTheUpdaterIconAndAsksForNoElevation)
{
    auto resource = [](HMODULE module, LPCSTR name, LPCSTR type) {
        HRSRC found = FindResourceA(module, name, type);
        if (!found)
            return std::string("<missing>");
        HGLOBAL loaded = LoadResource(module, found);
        return std::string(static_cast<const char *>(LockResource(loaded)),
                           SizeofResource(module, found));
    };
    HMODULE installer =
        LoadLibraryExA(shippedPluginInstallerExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HMODULE updater = LoadLibraryExA(shippedUpdaterExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(installer, nullptr);
    ASSERT_NE(updater, nullptr);
    std::string icon = resource(installer, MAKEINTRESOURCEA(101), RT_GROUP_ICON);
    EXPECT_NE(icon, "<missing>");
    EXPECT_EQ(icon, resource(updater, MAKEINTRESOURCEA(101), RT_GROUP_ICON));
    std::string manifest = resource(installer, MAKEINTRESOURCEA(1), RT_MANIFEST);
    EXPECT_NE(manifest, "<missing>");
    EXPECT_EQ(manifest.find("requestedExecutionLevel"), std::string::npos);
    FreeLibrary(updater);
    FreeLibrary(installer);
}

} // namespace
