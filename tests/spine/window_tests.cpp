// The updater's window driven end to end: settings shown and written by the check boxes,
// the beta-tester layout, the command line, the start-up warnings and the state machine's
// failure paths.
#include "spinetest.h"
#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include <vector>

namespace
{
class UpdaterWindow : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        deleteValdormineKey();
        installation = makeInstallation("spine-window", {1, 2, 3});
    }
    void TearDown() override
    {
        deleteValdormineKey();
    }

    std::string installation;
};

DWORD storedDword(const char *name, DWORD *type)
{
    std::string data;
    *type = REG_NONE;
    if (!readRendererValue(name, type, &data) || data.size() != 4)
        return 0xFFFFFFFF;
    DWORD value;
    memcpy(&value, data.data(), 4);
    return value;
}

void exitAndExpectCodeZero(Program &program, HWND window)
{
    click(control(window, ExitButtonId));
    DWORD exitCode = 99;
    ASSERT_TRUE(program.waitForExit(10000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}
} // namespace

TEST_F(UpdaterWindow, MissingEngineShowsNotInstalledAndTheActionDoesNothing)
{
    InstallOptions options;
    options.engine = false;
    makeInstallation("spine-window", options);
    Program program;
    HWND window = startUpdater(program);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(controlText(window, VersionLabelId), "Error, can't find QIM installed.");
    clickAndSettle(window, ActionButtonId);
    EXPECT_EQ(controlText(window, StatusLabelId), "Click Check update...");
    EXPECT_EQ(controlText(window, ActionButtonId), "Check update");
    EXPECT_EQ(controlText(window, ExitButtonId), "Exit");
    EXPECT_TRUE(isEnabled(control(window, ActionButtonId)));
    exitAndExpectCodeZero(program, window);
}

TEST_F(UpdaterWindow, EngineWithTwoExportsCountsAsNotInstalled)
{
    InstallOptions options;
    options.twoExportsOnly = true;
    makeInstallation("spine-window", options);
    Program program;
    HWND window = startUpdater(program);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(controlText(window, VersionLabelId), "Error, can't find QIM installed.");
}

TEST_F(UpdaterWindow, BetaTesterGetsTheThirdCheckBoxAndATallerWindow)
{
    setRendererDword("betatester", 1);
    setRendererDword("differentdirs", 1);
    Program program;
    HWND window = startUpdater(program);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(windowText(window), "QIM Update [beta tester]");
    SIZE client = clientSize(window);
    EXPECT_EQ(client.cx, 310);
    EXPECT_EQ(client.cy, 180);
    EXPECT_EQ(childRect(control(window, ActionButtonId)).top, 140);
    EXPECT_EQ(childRect(control(window, ExitButtonId)).top, 140);
    EXPECT_EQ(childRect(control(window, AutoInstallCheckboxId)).top, 95);
    HWND box = control(window, DifferentDirsCheckboxId);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(windowText(box), "Install in different directory");
    RECT rect = childRect(box);
    EXPECT_EQ(rect.left, 10);
    EXPECT_EQ(rect.top, 115);
    EXPECT_EQ(rect.right - rect.left, 250);
    EXPECT_EQ(rect.bottom - rect.top, 20);
    EXPECT_EQ(checkState(box), BST_CHECKED);

    click(box);
    DWORD type;
    EXPECT_TRUE(waitUntil([&] { return storedDword("differentdirs", &type) == 0; }));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
}

TEST_F(UpdaterWindow, DifferentDirsAloneShowsNoThirdCheckBox)
{
    setRendererDword("differentdirs", 1);
    setRendererDword("betatester", 2);
    Program program;
    HWND window = startUpdater(program);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(windowText(window), "QIM Update");
    EXPECT_EQ(clientSize(window).cy, 160);
    EXPECT_EQ(childRect(control(window, ActionButtonId)).top, 120);
    EXPECT_EQ(control(window, DifferentDirsCheckboxId), nullptr);
}

TEST_F(UpdaterWindow, CheckBoxesShowTheSettingsAndWriteDwordsOnClick)
{
    setRendererDword("autoupdate", 1);
    setRendererString("autoinstall", "1");
    Program program;
    HWND window = startUpdater(program);
    ASSERT_NE(window, nullptr);
    HWND autoUpdate = control(window, AutoUpdateCheckboxId);
    HWND autoInstall = control(window, AutoInstallCheckboxId);
    EXPECT_EQ(checkState(autoUpdate), BST_CHECKED);
    EXPECT_EQ(checkState(autoInstall), BST_UNCHECKED);

    DWORD type;
    click(autoUpdate);
    EXPECT_TRUE(waitUntil([&] { return storedDword("autoupdate", &type) == 0; }));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    // A string value is replaced by a 4-byte DWORD.
    click(autoInstall);
    EXPECT_TRUE(waitUntil([&] { return storedDword("autoinstall", &type) == 1; }));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    click(autoInstall);
    EXPECT_TRUE(waitUntil([&] { return storedDword("autoinstall", &type) == 0; }));
}

TEST_F(UpdaterWindow, CheckBoxWithoutRendererKeyCreatesNothing)
{
    deleteValdormineKey();
    createRendererKey();
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Valdormine\\Renderer");
    Program program;
    ASSERT_TRUE(program.start(updaterExe()));
    MessageBoxInfo warning;
    ASSERT_TRUE(waitForMessageBox(program, &warning)) << "the updater is " << program.state();
    ASSERT_TRUE(answerMessageBox(warning, IDOK));
    HWND window = waitForStartedWindow(program);
    ASSERT_NE(window, nullptr);
    HWND box = control(window, AutoUpdateCheckboxId);
    click(box);
    ASSERT_TRUE(waitUntil([&] { return checkState(box) == BST_CHECKED; }));
    exitAndExpectCodeZero(program, window);
    HKEY key;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Valdormine\\Renderer", 0, KEY_READ, &key),
              ERROR_SUCCESS);
}

namespace
{
struct CommandLineCase {
    const char *name;
    const char *arguments;
    bool silent;
};

void PrintTo(const CommandLineCase &value, std::ostream *out)
{
    *out << value.name;
}

class UpdaterCommandLine : public UpdaterWindow,
                           public ::testing::WithParamInterface<CommandLineCase>
{
};
} // namespace

// Silent mode checks with the window hidden; the loopback server has no version file, so the
// check fails and a silent updater ends without ever showing itself.
TEST_P(UpdaterCommandLine, OnlyTheExactWordSelectsSilentMode)
{
    Program program;
    ASSERT_TRUE(program.start(loopbackUpdaterExe(), GetParam().arguments));
    if (GetParam().silent) {
        DWORD exitCode = 99;
        bool everVisible = true;
        ASSERT_TRUE(waitForExitUnseen(program, &exitCode, &everVisible));
        EXPECT_EQ(exitCode, 0u);
        EXPECT_FALSE(everVisible);
    } else {
        HWND window = waitForStartedWindow(program);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(controlText(window, StatusLabelId), "Click Check update...");
        exitAndExpectCodeZero(program, window);
    }
}

INSTANTIATE_TEST_SUITE_P(Words, UpdaterCommandLine,
                         ::testing::Values(CommandLineCase{"Exact", "-silent", true},
                                           CommandLineCase{"OtherCase", "-Silent", false},
                                           CommandLineCase{"TrailingBlank", "-silent ", false},
                                           CommandLineCase{"LongerWord", "-silentx", false},
                                           CommandLineCase{"OneCharacter", "x", false},
                                           CommandLineCase{"Empty", "", false}),
                         [](const ::testing::TestParamInfo<CommandLineCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(UpdaterWindow, FailedCheckLeavesOnlyExit)
{
    // Other tests leave files and scenarios in the shared web root: make the check a plain 404.
    clearWebRoot();
    Program program;
    HWND window = startUpdater(program, "", loopbackUpdaterExe());
    ASSERT_NE(window, nullptr);
    click(control(window, ActionButtonId));
    // Wait for the end of the check itself: just after the click the Exit button still reads
    // "Exit" for a moment, and pressing it then would only ask the check to stop.
    EXPECT_TRUE(waitUntil([&] {
        return controlText(window, StatusLabelId) == "Failed to check server version." &&
               controlText(window, ExitButtonId) == "Exit" &&
               !isEnabled(control(window, ActionButtonId));
    })) << controlText(window, StatusLabelId);
    EXPECT_EQ(controlText(window, ActionButtonId), "Check update");
    exitAndExpectCodeZero(program, window);
}

namespace
{
struct WarningCase {
    const char *name;
    const char *arguments;
    bool rendererKey;
    bool dllDirectory;
};

void PrintTo(const WarningCase &value, std::ostream *out)
{
    *out << value.name;
}

class UpdaterDllWarning : public UpdaterWindow, public ::testing::WithParamInterface<WarningCase>
{
};
} // namespace

// The warnings are shown whatever the mode, before the window exists; the start-up goes on.
TEST_P(UpdaterDllWarning, WarnsAboutTheMissingDirectoryAndGoesOn)
{
    const WarningCase &warningCase = GetParam();
    if (!warningCase.rendererKey)
        deleteValdormineKey();
    if (!warningCase.dllDirectory)
        removeTree(installation + "\\dll");
    Program program;
    ASSERT_TRUE(program.start(updaterExe(), warningCase.arguments));
    MessageBoxInfo warning;
    ASSERT_TRUE(waitForMessageBox(program, &warning)) << "the updater is " << program.state();
    EXPECT_EQ(warning.owner, nullptr);
    EXPECT_EQ(warning.caption, "Warning");
    EXPECT_TRUE(warning.hasIcon);
    EXPECT_EQ(warning.buttons, std::vector<int>{IDOK});
    std::string expected =
        warningCase.rendererKey
            ? "Directory\n" + installation +
                  "\\dll\\32\ndoes not exist.\nApplication may fail to find DLLs and crash."
            : "Directory not set in registry.\nApplication may fail to find DLLs and crash.";
    EXPECT_EQ(warning.text, expected);
    ASSERT_TRUE(answerMessageBox(warning, IDOK));
    if (warningCase.arguments[0]) {
        DWORD exitCode = 99;
        ASSERT_TRUE(program.waitForExit(10000, &exitCode));
        EXPECT_EQ(exitCode, 0u);
        return;
    }
    HWND window = waitForStartedWindow(program);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(controlText(window, VersionLabelId), "Error, can't find QIM installed.");
    EXPECT_TRUE(noMessageBox(program));
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdaterDllWarning,
                         ::testing::Values(WarningCase{"NoKey", "", false, true},
                                           WarningCase{"NoDllDir", "", true, false},
                                           WarningCase{"NoKeySilent", "-silent", false, true},
                                           WarningCase{"NoDllDirSilent", "-silent", true, false}),
                         [](const ::testing::TestParamInfo<WarningCase> &info) {
                             return std::string(info.param.name);
                         });

namespace
{
struct DataFile {
    HMODULE module;
    explicit DataFile(const std::string &path)
        : module(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE))
    {
    }
    ~DataFile()
    {
        if (module)
            FreeLibrary(module);
    }
    std::string resource(const char *type, const char *name) const
    {
        HRSRC found = FindResourceA(module, name, type);
        if (!found)
            return "";
        HGLOBAL loaded = LoadResource(module, found);
        const char *bytes = static_cast<const char *>(LockResource(loaded));
        return bytes ? std::string(bytes, SizeofResource(module, found)) : "";
    }
};

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colors, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)
} // namespace

TEST(UpdaterResources, ManifestRequiresAdministratorWithoutUiAccess)
{
    DataFile exe(shippedUpdaterExe());
    ASSERT_NE(exe.module, nullptr);
    std::string manifest = exe.resource(MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1));
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
}

TEST(UpdaterResources, IconGroup101Holds16And32And48PixelImages)
{
    DataFile exe(shippedUpdaterExe());
    ASSERT_NE(exe.module, nullptr);
    std::string group = exe.resource(MAKEINTRESOURCEA(14), MAKEINTRESOURCEA(101));
    ASSERT_GE(group.size(), 6u);
    WORD count;
    memcpy(&count, group.data() + 4, 2);
    ASSERT_EQ(group.size(), 6 + count * sizeof(IconGroupEntry));
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        IconGroupEntry entry;
        memcpy(&entry, group.data() + 6 + i * sizeof entry, sizeof entry);
        sizes.push_back(entry.width);
    }
    for (int wanted : {16, 32, 48})
        EXPECT_NE(std::find(sizes.begin(), sizes.end(), wanted), sizes.end()) << wanted;
}
