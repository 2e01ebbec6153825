// Checks the test harness itself: the fixture engine library, the fixture installation and
// the loopback server's web root, so that a broken fixture is not mistaken for a product fault.
#include "fixtures.h"
#include <gtest/gtest.h>

namespace
{
typedef int (*VersionFunction)();

int callExport(HMODULE library, const char *name)
{
    auto function = reinterpret_cast<VersionFunction>(GetProcAddress(library, name));
    return function ? function() : -100;
}
} // namespace

TEST(Harness, EngineFixtureReportsTheChosenVersion)
{
    std::string dir = makeInstallation("harness-engine", {3, 14, 159});
    HMODULE engine = LoadLibraryA((dir + "\\dll\\32\\PlenaraDLL32.dll").c_str());
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(callExport(engine, "?getVersionMajor@Raytracer@@SAHXZ"), 3);
    EXPECT_EQ(callExport(engine, "?getVersionMinor@Raytracer@@SAHXZ"), 14);
    EXPECT_EQ(callExport(engine, "?getVersionBuild@Raytracer@@SAHXZ"), 159);
    FreeLibrary(engine);
}

TEST(Harness, TwoExportEngineLacksTheBuildNumber)
{
    InstallOptions options;
    options.twoExportsOnly = true;
    std::string dir = makeInstallation("harness-engine2", options);
    HMODULE engine = LoadLibraryA((dir + "\\dll\\32\\PlenaraDLL32.dll").c_str());
    ASSERT_NE(engine, nullptr);
    EXPECT_NE(GetProcAddress(engine, "?getVersionMinor@Raytracer@@SAHXZ"), nullptr);
    EXPECT_EQ(GetProcAddress(engine, "?getVersionBuild@Raytracer@@SAHXZ"), nullptr);
    FreeLibrary(engine);
}

TEST(Harness, InstallationIsRecordedInTheRendererKey)
{
    deleteValdormineKey();
    std::string dir = makeInstallation("harness-install");
    DWORD type = 0;
    std::string value;
    ASSERT_TRUE(readRendererValue("directory", &type, &value));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(value, dir + std::string(1, '\0'));
    EXPECT_TRUE(pathIsFile(dir + "\\bin\\32\\7zG.exe"));
    deleteValdormineKey();
}

TEST(Harness, WebRootIsAFolderTheTestsCanWrite)
{
    ASSERT_FALSE(webRoot().empty());
    EXPECT_TRUE(writeFile(webRoot() + "\\probe.txt", "x"));
    EXPECT_TRUE(pathIsFile(webRoot() + "\\probe.txt"));
}
