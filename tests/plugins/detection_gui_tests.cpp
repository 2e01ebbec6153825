// The installer on machines with 3ds Max entries written the way 3ds Max's setup writes them,
// in a 32-bit and in a 64-bit prefix.
#include "pluginstest.h"
#include <gtest/gtest.h>

namespace
{

class InstallerDetection : public ::testing::Test
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

    void expectOffered(int row, const std::string &installDir)
    {
        SCOPED_TRACE(row);
        EXPECT_EQ(checkState(controls.checkBox[row]), BST_CHECKED);
        EXPECT_EQ(windowText(controls.pathEdit[row]), installDir + "\\plugins");
        EXPECT_TRUE(isEnabled(controls.pathEdit[row]));
        EXPECT_TRUE(isEnabled(controls.browseButton[row]));
        EXPECT_EQ(windowText(controls.statusText[row]), "install");
    }
    void expectUndetected(int row)
    {
        SCOPED_TRACE(row);
        EXPECT_EQ(checkState(controls.checkBox[row]), BST_UNCHECKED);
        EXPECT_EQ(windowText(controls.pathEdit[row]), "");
        EXPECT_FALSE(isEnabled(controls.pathEdit[row]));
        EXPECT_FALSE(isEnabled(controls.browseButton[row]));
        EXPECT_EQ(windowText(controls.statusText[row]), "ignored");
    }

    std::string renderer;
    Program program;
    InstallerControls controls;
};

TEST_F(InstallerDetection, ThirtyTwoBitWindowsOffersOnlyThirtyTwoBitRows)
{
    if (is64BitWindows())
        GTEST_SKIP() << "32-bit Windows only";
    std::string max9 = makeMaxInstallation("max9", true);
    std::string max2010 = makeMaxInstallation("max2010", true);
    ASSERT_TRUE(writeMaxInstallDir("9.0", false, max9));
    ASSERT_TRUE(writeMaxInstallDir("12.0", false, max2010));
    ASSERT_TRUE(startInstaller(program, &controls));
    expectOffered(0, max9);
    expectOffered(6, max2010);
    for (int row = 0; row < rowCount; ++row) {
        if (row != 0 && row != 6)
            expectUndetected(row);
    }
}

TEST_F(InstallerDetection, SixtyFourBitWindowsOffersBothBuildsAndInstallsThem)
{
    if (!is64BitWindows())
        GTEST_SKIP() << "64-bit Windows only";
    std::string max2010x86 = makeMaxInstallation("max2010x86", true);
    std::string max2012x86 = makeMaxInstallation("max2012x86", false);
    std::string max2012x64 = makeMaxInstallation("max2012x64", true);
    std::string max9x64 = makeMaxInstallation("max9x64", true);
    ASSERT_TRUE(writeMaxInstallDir("12.0", false, max2010x86));
    ASSERT_TRUE(writeMaxInstallDir("14.0", false, max2012x86));
    ASSERT_TRUE(writeMaxInstallDir("14.0", true, max2012x64));
    ASSERT_TRUE(writeMaxInstallDir("9.0", true, max9x64));
    ASSERT_TRUE(startInstaller(program, &controls));

    expectOffered(1, max9x64);
    expectOffered(6, max2010x86);
    expectOffered(11, max2012x64);
    EXPECT_EQ(checkState(controls.checkBox[10]), BST_UNCHECKED);
    EXPECT_EQ(windowText(controls.pathEdit[10]), max2012x86 + "\\plugins");
    EXPECT_EQ(windowText(controls.statusText[10]), "ignored");
    for (int row : {0, 2, 3, 4, 5, 7, 8, 9})
        expectUndetected(row);

    click(controls.installButton);
    ASSERT_TRUE(waitForText(controls.messageLine, "Installation finished successfully."));
    const struct {
        int row;
        std::string dir;
        const char *subpath;
    } installed[] = {
        {1, max9x64, "max9 plugin\\64\\QIMplugin.dlr"},
        {6, max2010x86, "max2010 plugin\\32\\QIMplugin.dlr"},
        {11, max2012x64, "max2012 plugin\\64\\QIMplugin.dlr"},
    };
    for (const auto &entry : installed) {
        SCOPED_TRACE(entry.row);
        EXPECT_EQ(windowText(controls.statusText[entry.row]), "INSTALLED");
        std::string content;
        ASSERT_TRUE(readFile(entry.dir + "\\plugins\\QIMplugin.dlr", &content));
        EXPECT_EQ(content, entry.subpath);
    }
    EXPECT_FALSE(pathIsFile(max2012x86 + "\\plugins\\QIMplugin.dlr"));
}

} // namespace
