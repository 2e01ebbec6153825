// The probes, the renderer directory lookup and the DLL search path, in-process on real
// files and the real registry of the test prefix.
#include "fixtures.h"
#include "installsupport.h"
#include <gtest/gtest.h>
#include <stdlib.h>

namespace
{
struct ProbeCase {
    const char *name;
    std::string path;
    bool isDirectory;
    bool isFile;
};

void PrintTo(const ProbeCase &value, std::ostream *out)
{
    *out << value.name;
}

const std::string probeRoot = "C:\\qimtests\\probes";

class Probes : public ::testing::TestWithParam<ProbeCase>
{
  protected:
    static void SetUpTestSuite()
    {
        freshDir("probes");
        makeDirs(probeRoot + "\\folder");
        writeFile(probeRoot + "\\file.txt", "x");
    }
};
} // namespace

TEST_P(Probes, TellFilesFromDirectories)
{
    const ProbeCase &probe = GetParam();
    EXPECT_EQ(directoryExists(probe.path.c_str()), probe.isDirectory);
    EXPECT_EQ(fileExists(probe.path.c_str()), probe.isFile);
}

// The path is a search pattern: a trailing separator never matches, wildcards take the first match.
INSTANTIATE_TEST_SUITE_P(
    Paths, Probes,
    ::testing::Values(ProbeCase{"Directory", probeRoot + "\\folder", true, false},
                      ProbeCase{"File", probeRoot + "\\file.txt", false, true},
                      ProbeCase{"DirectoryWithSeparator", probeRoot + "\\folder\\", false, false},
                      ProbeCase{"FileWithSeparator", probeRoot + "\\file.txt\\", false, false},
                      ProbeCase{"Missing", probeRoot + "\\nothing", false, false},
                      ProbeCase{"DriveRoot", "C:\\", false, false},
                      ProbeCase{"WildcardFile", probeRoot + "\\fil*", false, true},
                      ProbeCase{"WildcardDirectory", probeRoot + "\\fold?r", true, false},
                      ProbeCase{"Empty", "", false, false}),
    [](const ::testing::TestParamInfo<ProbeCase> &info) { return std::string(info.param.name); });

TEST(ProbesWithoutPath, FileExistsIsFalse)
{
    EXPECT_FALSE(fileExists(nullptr));
}

namespace
{
struct DirectoryCase {
    const char *name;
    DWORD type;
    std::string stored;
    bool found;
    std::string expected;
};

void PrintTo(const DirectoryCase &value, std::ostream *out)
{
    *out << value.name;
}

class RendererDirectoryValue : public ::testing::TestWithParam<DirectoryCase>
{
  protected:
    void SetUp() override
    {
        deleteValdormineKey();
    }
    void TearDown() override
    {
        deleteValdormineKey();
    }
};

std::string withZero(const std::string &text)
{
    return text + std::string(1, '\0');
}
} // namespace

TEST_P(RendererDirectoryValue, IsTrimmedOfTrailingSeparators)
{
    const DirectoryCase &value = GetParam();
    setRendererValue("directory", value.type, value.stored.data(),
                     static_cast<DWORD>(value.stored.size()));
    char *directory = rendererDirectory();
    ASSERT_EQ(directory != nullptr, value.found);
    if (directory) {
        EXPECT_EQ(std::string(directory), value.expected);
    }
    free(directory);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RendererDirectoryValue,
    ::testing::Values(
        DirectoryCase{"Plain", REG_SZ, withZero("D:\\Render"), true, "D:\\Render"},
        DirectoryCase{"TrailingBackslash", REG_SZ, withZero("D:\\Render\\"), true, "D:\\Render"},
        DirectoryCase{"TrailingSlashes", REG_SZ, withZero("D:/Render//"), true, "D:/Render"},
        DirectoryCase{"MixedSeparators", REG_SZ, withZero("D:\\Render/\\/"), true, "D:\\Render"},
        DirectoryCase{"DriveRoot", REG_SZ, withZero("C:\\"), true, "C:\\"},
        DirectoryCase{"DriveRootTwice", REG_SZ, withZero("C:\\\\"), true, "C:\\"},
        DirectoryCase{"Empty", REG_SZ, withZero(""), true, ""},
        DirectoryCase{"NoData", REG_SZ, "", true, ""},
        DirectoryCase{"WithoutTerminator", REG_SZ, "D:\\Render\\", true, "D:\\Render"},
        DirectoryCase{"BinaryUpToFirstZero", REG_BINARY, std::string("E:\\Bin\\\0junk", 12), true,
                      "E:\\Bin"},
        DirectoryCase{"ExpandStringUnexpanded", REG_EXPAND_SZ, withZero("%TEMP%\\r"), true,
                      "%TEMP%\\r"},
        DirectoryCase{"FullBufferWithoutTerminator", REG_BINARY, "C:\\" + std::string(2045, 'a'),
                      true, "C:\\" + std::string(2045, 'a')},
        DirectoryCase{"FullBufferWithTerminator", REG_SZ, withZero("C:\\" + std::string(2044, 'a')),
                      true, "C:\\" + std::string(2044, 'a')},
        DirectoryCase{"OverBuffer", REG_SZ, withZero("C:\\" + std::string(2045, 'a')), false, ""}),
    [](const ::testing::TestParamInfo<DirectoryCase> &info) {
        return std::string(info.param.name);
    });

TEST(RendererDirectory, MissingValueOrKeyGivesNone)
{
    deleteValdormineKey();
    EXPECT_EQ(rendererDirectory(), nullptr);
    createRendererKey();
    EXPECT_EQ(rendererDirectory(), nullptr);
    setRendererString("directory", "D:\\Render");
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Valdormine\\Renderer");
    EXPECT_EQ(rendererDirectory(), nullptr);
    deleteValdormineKey();
}

TEST(RendererKey, OpensNothingWhenALevelIsMissing)
{
    deleteValdormineKey();
    RendererKey key;
    EXPECT_FALSE(openRendererKey(&key, KEY_READ));
    EXPECT_EQ(key.software, nullptr);
    EXPECT_EQ(key.maker, nullptr);
    EXPECT_EQ(key.renderer, nullptr);
    HKEY maker;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Valdormine", 0, KEY_READ, &maker),
              ERROR_SUCCESS);

    createRendererKey();
    ASSERT_TRUE(openRendererKey(&key, KEY_WRITE));
    EXPECT_EQ(
        RegSetValueExA(key.renderer, "probe", 0, REG_SZ, reinterpret_cast<const BYTE *>("x"), 2),
        ERROR_SUCCESS);
    closeRendererKey(&key);
    EXPECT_EQ(key.renderer, nullptr);
    deleteValdormineKey();
}

namespace
{
class DllDirectories : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        SetDllDirectoryA(nullptr);
        deleteValdormineKey();
    }
};
} // namespace

TEST_F(DllDirectories, NeedBothTheDirectoryAndItsDll32)
{
    std::string dir = makeInstallation("dlldirs", {});
    EXPECT_TRUE(dllDirectoriesExist(dir.c_str()));
    removeTree(dir + "\\dll\\32");
    EXPECT_FALSE(dllDirectoriesExist(dir.c_str()));
    EXPECT_FALSE(dllDirectoriesExist((dir + "\\missing").c_str()));
}

// Texts beyond the 2560-byte buffer are refused, never cut into another path or overrun.
TEST_F(DllDirectories, TextsBeyondTheBufferAreRefused)
{
    std::string dir = makeInstallation("dlldirs", {});
    for (size_t length : {2553u, 2559u, 2560u, 4000u}) {
        std::string padded = dir + std::string(length - dir.size(), '\\');
        EXPECT_FALSE(dllDirectoriesExist(padded.c_str())) << length;
    }
}

TEST_F(DllDirectories, SearchPathGetsTheRenderersDll32)
{
    deleteValdormineKey();
    std::string dir = makeInstallation("dlldirs", {2, 0, 1});
    setRendererString("directory", dir + "\\");
    setUpDllSearchPath();
    char set[MAX_PATH] = "";
    GetDllDirectoryA(sizeof set, set);
    EXPECT_EQ(std::string(set), dir + "\\dll\\32");
    HMODULE engine = LoadLibraryA("PlenaraDLL32.dll");
    EXPECT_NE(engine, nullptr);
    if (engine)
        FreeLibrary(engine);
}
