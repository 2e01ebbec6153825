// Settings under the renderer key and the installed engine version, called in-process.
#include "fixtures.h"
#include "session.h"
#include "settings.h"
#include <gtest/gtest.h>
#include <string.h>

namespace
{
const char rendererPath[] = "Software\\Valdormine\\Renderer";

void clearFlags()
{
    session.betaTester = session.autoUpdate = session.autoInstall = session.differentDirs = false;
}

bool rendererKeyExists()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, rendererPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

class Settings : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        deleteValdormineKey();
        createRendererKey();
        clearFlags();
    }
    void TearDown() override
    {
        deleteValdormineKey();
        clearFlags();
    }
};

struct FlagCase {
    const char *name;
    DWORD type;
    std::string data;
    bool expected;
};

void PrintTo(const FlagCase &value, std::ostream *out)
{
    *out << value.name;
}

std::string dword(DWORD value)
{
    return std::string(reinterpret_cast<const char *>(&value), 4);
}

class SettingsFlag : public Settings, public ::testing::WithParamInterface<FlagCase>
{
};
} // namespace

// Only a REG_DWORD of exactly 1 turns a flag on.
TEST_P(SettingsFlag, OnlyDwordOneTurnsTheFlagOn)
{
    const FlagCase &flag = GetParam();
    setRendererValue("betatester", flag.type, flag.data.data(),
                     static_cast<DWORD>(flag.data.size()));
    setRendererValue("autoupdate", flag.type, flag.data.data(),
                     static_cast<DWORD>(flag.data.size()));
    EXPECT_TRUE(readSettings());
    EXPECT_EQ(session.betaTester, flag.expected);
    EXPECT_EQ(session.autoUpdate, flag.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsFlag,
    ::testing::Values(FlagCase{"DwordOne", REG_DWORD, dword(1), true},
                      FlagCase{"DwordZero", REG_DWORD, dword(0), false},
                      FlagCase{"DwordTwo", REG_DWORD, dword(2), false},
                      FlagCase{"StringOne", REG_SZ, std::string("1\0", 2), false},
                      FlagCase{"BinaryOne", REG_BINARY, dword(1), false},
                      FlagCase{"Oversize", REG_DWORD, dword(1) + std::string(2996, '\0'), false}),
    [](const ::testing::TestParamInfo<FlagCase> &info) { return std::string(info.param.name); });

TEST_F(Settings, EachValueIsReadOnItsOwn)
{
    setRendererString("betatester", "1");
    setRendererDword("autoinstall", 1);
    setRendererDword("differentdirs", 1);
    EXPECT_TRUE(readSettings());
    EXPECT_FALSE(session.betaTester);
    EXPECT_FALSE(session.autoUpdate);
    EXPECT_TRUE(session.autoInstall);
    EXPECT_TRUE(session.differentDirs);
}

TEST_F(Settings, UnreadableValuesKeepWhatTheFlagsHeld)
{
    session.autoUpdate = true;
    setRendererString("autoupdate", "0");
    EXPECT_TRUE(readSettings());
    EXPECT_TRUE(session.autoUpdate);
}

TEST_F(Settings, MissingRendererSubkeyIsNeitherReadNorCreated)
{
    RegDeleteKeyA(HKEY_CURRENT_USER, rendererPath);
    session.autoInstall = true;
    EXPECT_FALSE(readSettings());
    EXPECT_TRUE(session.autoInstall);
    EXPECT_FALSE(writeAutoUpdate(true));
    EXPECT_FALSE(writeAutoInstall(false));
    EXPECT_FALSE(writeDifferentDirs(true));
    EXPECT_FALSE(writeRendererDirectory("C:\\Render"));
    EXPECT_FALSE(rendererKeyExists());
}

TEST_F(Settings, MissingMakerKeyIsNotCreated)
{
    deleteValdormineKey();
    EXPECT_FALSE(readSettings());
    EXPECT_FALSE(writeAutoUpdate(true));
    HKEY key;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Valdormine", 0, KEY_READ, &key),
              ERROR_SUCCESS);
}

namespace
{
struct WriteCase {
    bool (*write)(bool);
    const char *name;
};

void PrintTo(const WriteCase &value, std::ostream *out)
{
    *out << value.name;
}
class SettingsWrite : public Settings, public ::testing::WithParamInterface<WriteCase>
{
};
} // namespace

// Each write replaces whatever was stored with a 4-byte DWORD of 0 or 1.
TEST_P(SettingsWrite, WritesFourByteDwordOverAnyType)
{
    const WriteCase &write = GetParam();
    setRendererString(write.name, "some text");
    DWORD type = REG_NONE;
    std::string data;
    ASSERT_TRUE(write.write(true));
    ASSERT_TRUE(readRendererValue(write.name, &type, &data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, dword(1));
    ASSERT_TRUE(write.write(false));
    ASSERT_TRUE(readRendererValue(write.name, &type, &data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, dword(0));
}

INSTANTIATE_TEST_SUITE_P(Flags, SettingsWrite,
                         ::testing::Values(WriteCase{writeAutoUpdate, "autoupdate"},
                                           WriteCase{writeAutoInstall, "autoinstall"},
                                           WriteCase{writeDifferentDirs, "differentdirs"}),
                         [](const ::testing::TestParamInfo<WriteCase> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(Settings, RendererDirectoryIsStoredWithItsTerminator)
{
    const char path[] = "D:\\Render\\";
    ASSERT_TRUE(writeRendererDirectory(path));
    DWORD type = REG_NONE;
    std::string data;
    ASSERT_TRUE(readRendererValue("directory", &type, &data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, std::string(path, sizeof path));
    EXPECT_FALSE(writeRendererDirectory(nullptr));
}

namespace
{
class InstalledVersion : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        SetDllDirectoryA(nullptr);
        deleteValdormineKey();
    }
    void useInstallation(const InstallOptions &options)
    {
        std::string dir = makeInstallation("spine-engine", options);
        SetDllDirectoryA((dir + "\\dll\\32").c_str());
    }
};
} // namespace

TEST_F(InstalledVersion, AsksTheEngineAfreshEachTime)
{
    useInstallation({4, 5, 6});
    session.installedVersion = {};
    ASSERT_TRUE(queryInstalledVersion());
    EXPECT_EQ(session.installedVersion.major, 4);
    EXPECT_EQ(session.installedVersion.minor, 5);
    EXPECT_EQ(session.installedVersion.build, 6);
    EXPECT_EQ(GetModuleHandleA("PlenaraDLL32.dll"), nullptr);

    setEngineVersion("C:\\qimtests\\spine-engine", 7, 0, 12);
    ASSERT_TRUE(queryInstalledVersion());
    EXPECT_EQ(session.installedVersion.major, 7);
    EXPECT_EQ(session.installedVersion.build, 12);
}

TEST_F(InstalledVersion, EngineWithTwoExportsLeavesTheVersionUnchanged)
{
    InstallOptions options;
    options.twoExportsOnly = true;
    useInstallation(options);
    session.installedVersion = {9, 8, 7};
    EXPECT_FALSE(queryInstalledVersion());
    EXPECT_EQ(session.installedVersion.major, 9);
    EXPECT_EQ(session.installedVersion.minor, 8);
    EXPECT_EQ(session.installedVersion.build, 7);
    EXPECT_EQ(GetModuleHandleA("PlenaraDLL32.dll"), nullptr);
}

TEST_F(InstalledVersion, MissingEngineIsNoInstallation)
{
    InstallOptions options;
    options.engine = false;
    useInstallation(options);
    session.installedVersion = {9, 8, 7};
    EXPECT_FALSE(queryInstalledVersion());
    EXPECT_EQ(session.installedVersion.major, 9);
}
