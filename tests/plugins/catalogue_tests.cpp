// The twelve 3ds Max targets, reading Installdir, and detection in both prefix kinds.
#include "catalogue.h"
#include "copyrun.h"
#include "pluginstest.h"
#include "session.h"
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

namespace
{

struct ExpectedRow {
    const char *label;
    const char *pathHint;
    const char *displayName;
    bool is64BitBuild;
    const char *nativeKey;
    const char *redirectedKey;
    const char *pluginSubpath;
};

const ExpectedRow expectedRows[rowCount] = {
    {"3ds Max 9 32 bit", "3ds Max 9 32 bit path...", "3ds max 9 32 bit", false,
     "SOFTWARE\\Autodesk\\3dsmax\\9.0\\MAX-1:409",
     "SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\9.0\\MAX-1:409", "max9 plugin\\32\\QIMplugin.dlr"},
    {"3ds Max 9 64 bit", "3ds Max 9 64 bit path...", "3ds max 9 64 bit", true,
     "SOFTWARE\\Autodesk\\3dsmax\\9.0\\MAX-1:409",
     "SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\9.0\\MAX-1:409", "max9 plugin\\64\\QIMplugin.dlr"},
    {"3ds Max 2008 32 bit", "3ds Max 2008 32 bit path...", "3ds max 2008 32 bit", false,
     "SOFTWARE\\Autodesk\\3dsmax\\10.0\\MAX-1:409",
     "SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\10.0\\MAX-1:409",
     "max2008 plugin\\32\\QIMplugin.dlr"},
    {"3ds Max 2008 64 bit", "3ds Max 2008 64 bit path...", "3ds max 2008 64 bit", true,
     "SOFTWARE\\Autodesk\\3dsmax\\10.0\\MAX-1:409",
     "SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\10.0\\MAX-1:409",
     "max2008 plugin\\64\\QIMplugin.dlr"},
    {"3ds Max 2009 32 bit", "3ds Max 2009 32 bit path...", "3ds max 2009 32 bit", false,
     "SOFTWARE\\Autodesk\\3dsmax\\11.0\\MAX-1:409",
     "SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\11.0\\MAX-1:409",
     "max2009 plugin\\32\\QIMplugin.dlr"},
    {"3ds Max 2009 64 bit", "3ds Max 2009 64 bit path...", "3ds max 2009 64 bit", true,
     "SOFTWARE\\Autodesk\\3dsmax\\11.0\\MAX-1:409",
     "SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\11.0\\MAX-1:409",
     "max2009 plugin\\64\\QIMplugin.dlr"},
    {"3ds Max 2010 32 bit", "3ds Max 2010 32 bit path...", "3ds max 2010 32 bit", false,
     "SOFTWARE\\Autodesk\\3dsmax\\12.0\\MAX-1:409",
     "SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\12.0\\MAX-1:409",
     "max2010 plugin\\32\\QIMplugin.dlr"},
    {"3ds Max 2010 64 bit", "3ds Max 2010 64 bit path...", "3ds max 2010 64 bit", true,
     "SOFTWARE\\Autodesk\\3dsmax\\12.0\\MAX-1:409",
     "SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\12.0\\MAX-1:409",
     "max2010 plugin\\64\\QIMplugin.dlr"},
    {"3ds Max 2011 32 bit", "3ds Max 2011 32 bit path...", "3ds max 2011 32 bit", false,
     "SOFTWARE\\Autodesk\\3dsmax\\13.0\\MAX-1:409",
     "SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\13.0\\MAX-1:409",
     "max2010 plugin\\32\\QIMplugin.dlr"},
    {"3ds Max 2011 64 bit", "3ds Max 2011 64 bit path...", "3ds max 2011 64 bit", true,
     "SOFTWARE\\Autodesk\\3dsmax\\13.0\\MAX-1:409",
     "SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\13.0\\MAX-1:409",
     "max2010 plugin\\64\\QIMplugin.dlr"},
    {"3ds Max 2012 32 bit", "3ds Max 2012 32 bit path...", "3ds max 2012 32 bit", false,
     "SOFTWARE\\Autodesk\\3dsmax\\14.0\\MAX-1:409",
     "SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\14.0\\MAX-1:409",
     "max2012 plugin\\32\\QIMplugin.dlr"},
    {"3ds Max 2012 64 bit", "3ds Max 2012 64 bit path...", "3ds max 2012 64 bit", true,
     "SOFTWARE\\Autodesk\\3dsmax\\14.0\\MAX-1:409",
     "SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\14.0\\MAX-1:409",
     "max2012 plugin\\64\\QIMplugin.dlr"},
};

TEST(Catalogue, RowsCarryTheirTextsKeysAndPluginBuilds)
{
    ASSERT_EQ(hostTargetCount, rowCount);
    for (int row = 0; row < rowCount; ++row) {
        SCOPED_TRACE(row);
        const HostTarget &target = session.targets[row];
        const ExpectedRow &expected = expectedRows[row];
        EXPECT_STREQ(target.label, expected.label);
        EXPECT_STREQ(target.pathHint, expected.pathHint);
        EXPECT_STREQ(target.displayName, expected.displayName);
        EXPECT_EQ(target.is64BitBuild, expected.is64BitBuild);
        EXPECT_STREQ(target.nativeKey, expected.nativeKey);
        EXPECT_STREQ(target.redirectedKey, expected.redirectedKey);
        EXPECT_STREQ(target.pluginSubpath, expected.pluginSubpath);
    }
}

TEST(Catalogue, Max2011RowsUseThe2010Builds)
{
    EXPECT_STREQ(session.targets[8].pluginSubpath, session.targets[6].pluginSubpath);
    EXPECT_STREQ(session.targets[9].pluginSubpath, session.targets[7].pluginSubpath);
    for (const HostTarget &target : session.targets)
        EXPECT_EQ(strstr(target.pluginSubpath, "2011"), nullptr) << target.pluginSubpath;
}

//--- readMaxInstallDir

const char scratchKey[] = "SOFTWARE\\QimTests\\Max";

std::string readScratch(bool use64BitView = false)
{
    char *value = readMaxInstallDir(scratchKey, use64BitView);
    std::string text = value ? value : "<none>";
    free(value);
    return text;
}

void removeScratchKeys()
{
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS | view, &key) ==
            ERROR_SUCCESS) {
            RegDeleteTreeA(key, "QimTests");
            RegCloseKey(key);
        }
    }
}

struct StoredValue {
    const char *what;
    DWORD type;
    std::string bytes; // exactly as stored, terminator included where there is one
    const char *expected;
};

std::string sz(const std::string &text)
{
    return text + std::string(1, '\0');
}

class ReadMaxInstallDir : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        removeScratchKeys();
    }
    void TearDown() override
    {
        removeScratchKeys();
    }
    // The default is the view a 32-bit process sees by default.
    void store(DWORD type, const std::string &bytes, REGSAM view = KEY_WOW64_32KEY)
    {
        ASSERT_TRUE(writeHklmValue(scratchKey, view, "Installdir", type, bytes.data(),
                                   static_cast<DWORD>(bytes.size())));
    }
};

TEST_F(ReadMaxInstallDir, ReturnsTheValueAsStored)
{
    const std::string longest(2047, 'd');
    const StoredValue cases[] = {
        {"plain directory", REG_SZ, sz("C:\\Program Files\\Autodesk\\3ds Max 2010"),
         "C:\\Program Files\\Autodesk\\3ds Max 2010"},
        {"trailing backslash kept", REG_SZ, sz("C:\\3dsmax\\"), "C:\\3dsmax\\"},
        {"empty value", REG_SZ, sz(""), "<none>"},
        {"type not examined", REG_EXPAND_SZ, sz("%ProgramFiles%\\Max"), "%ProgramFiles%\\Max"},
        {"raw bytes up to the first zero", REG_BINARY, std::string("C:\\Max\0junk", 11), "C:\\Max"},
        {"2047 characters fit", REG_SZ, sz(longest), longest.c_str()},
        {"2048 characters do not", REG_SZ, sz(longest + "d"), "<none>"},
        {"2048 bytes without a terminator", REG_BINARY, std::string(2048, 'e'), "<none>"},
    };
    for (const StoredValue &value : cases) {
        SCOPED_TRACE(value.what);
        store(value.type, value.bytes);
        EXPECT_EQ(readScratch(), value.expected);
    }
}

TEST_F(ReadMaxInstallDir, MissingKeyOrValueGivesNone)
{
    EXPECT_EQ(readScratch(), "<none>");
    ASSERT_TRUE(writeHklmValue(scratchKey, KEY_WOW64_32KEY, "Otherdir", REG_SZ, "C:\\x", 5));
    EXPECT_EQ(readScratch(), "<none>");
}

TEST_F(ReadMaxInstallDir, SixtyFourBitViewReachesOnlyNativeKeys)
{
    if (!is64BitWindows()) {
        // 32-bit Windows has one view: asking for the 64-bit one reads the same key.
        store(REG_SZ, sz("C:\\Max32"));
        EXPECT_EQ(readScratch(true), "C:\\Max32");
        return;
    }
    store(REG_SZ, sz("C:\\Max64"), KEY_WOW64_64KEY);
    EXPECT_EQ(readScratch(true), "C:\\Max64");
    EXPECT_EQ(readScratch(false), "<none>");
    store(REG_SZ, sz("C:\\Max32"));
    EXPECT_EQ(readScratch(false), "C:\\Max32");
    EXPECT_EQ(readScratch(true), "C:\\Max64");
}

//--- detectMaxInstallations

const char *const versions[] = {"9.0", "10.0", "11.0", "12.0", "13.0", "14.0"};

std::string detectedDir(int row)
{
    const HostTarget &target = session.targets[row];
    EXPECT_EQ(target.detected, target.maxInstallDir != nullptr) << row;
    return target.maxInstallDir ? target.maxInstallDir : "<none>";
}

class DetectMaxInstallations : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        removeMaxEntries();
    }
    void TearDown() override
    {
        removeMaxEntries();
    }
};

TEST_F(DetectMaxInstallations, ThirtyTwoBitWindowsFindsOnlyThirtyTwoBitRows)
{
    if (is64BitWindows())
        GTEST_SKIP() << "32-bit Windows only";
    for (const char *version : versions) {
        ASSERT_TRUE(writeMaxInstallDir(version, false, std::string("C:\\Max") + version));
        ASSERT_TRUE(writeHklmValue(std::string("SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\") +
                                       version + "\\MAX-1:409",
                                   0, "Installdir", REG_SZ, "C:\\Wow", 7));
    }
    detectMaxInstallations(false);
    for (int row = 0; row < rowCount; ++row) {
        SCOPED_TRACE(row);
        std::string expected = row % 2 == 0 ? std::string("C:\\Max") + versions[row / 2] : "<none>";
        EXPECT_EQ(detectedDir(row), expected);
    }
}

// In a 32-bit prefix both registry views are one, so the keys each row reads on 64-bit
// Windows can be told apart by writing them explicitly.
TEST_F(DetectMaxInstallations, SixtyFourBitWindowsReadsRedirectedAndNativeKeys)
{
    if (is64BitWindows())
        GTEST_SKIP() << "the keys are written explicitly, which needs a single registry view";
    ASSERT_TRUE(writeMaxInstallDir("12.0", false, "C:\\Native2010"));
    ASSERT_TRUE(writeHklmValue("SOFTWARE\\Wow6432Node\\Autodesk\\3dsmax\\12.0\\MAX-1:409", 0,
                               "Installdir", REG_SZ, "C:\\Wow2010", 11));
    detectMaxInstallations(true);
    EXPECT_EQ(detectedDir(6), "C:\\Wow2010");
    EXPECT_EQ(detectedDir(7), "C:\\Native2010");
    for (int row = 0; row < rowCount; ++row) {
        if (row == 6 || row == 7)
            continue;
        EXPECT_EQ(detectedDir(row), "<none>") << row;
    }
}

TEST_F(DetectMaxInstallations, FindsMaxAsItsSetupWritesItOnSixtyFourBitWindows)
{
    if (!is64BitWindows())
        GTEST_SKIP() << "64-bit Windows only";
    ASSERT_TRUE(writeMaxInstallDir("12.0", false, "C:\\Max2010x86"));
    ASSERT_TRUE(writeMaxInstallDir("14.0", true, "C:\\Max2012x64"));
    ASSERT_TRUE(writeMaxInstallDir("9.0", false, "C:\\Max9x86"));
    ASSERT_TRUE(writeMaxInstallDir("9.0", true, "C:\\Max9x64"));
    detectMaxInstallations(true);
    const char *expected[rowCount] = {"C:\\Max9x86", "C:\\Max9x64",    "<none>", "<none>", "<none>",
                                      "<none>",      "C:\\Max2010x86", "<none>", "<none>", "<none>",
                                      "<none>",      "C:\\Max2012x64"};
    for (int row = 0; row < rowCount; ++row)
        EXPECT_EQ(detectedDir(row), expected[row]) << row;
}

TEST_F(DetectMaxInstallations, ThirtyTwoBitMaxIsFoundOnlyUnderWow6432Node)
{
    if (!is64BitWindows())
        GTEST_SKIP() << "64-bit Windows only";
    // Only a 64-bit 3ds Max 2009: the 32-bit row must not take it for its own.
    ASSERT_TRUE(writeMaxInstallDir("11.0", true, "C:\\Max2009x64"));
    detectMaxInstallations(true);
    EXPECT_EQ(detectedDir(4), "<none>");
    EXPECT_EQ(detectedDir(5), "C:\\Max2009x64");
}

TEST_F(DetectMaxInstallations, EmptyValueIsNotDetectedAndTrailingSeparatorIsKept)
{
    bool wide = is64BitWindows();
    ASSERT_TRUE(writeMaxInstallDir("10.0", false, ""));
    ASSERT_TRUE(writeMaxInstallDir("13.0", false, "C:\\Max2011\\"));
    detectMaxInstallations(wide);
    EXPECT_EQ(detectedDir(2), "<none>");
    EXPECT_EQ(detectedDir(8), "C:\\Max2011\\");
}

TEST_F(DetectMaxInstallations, SecondRunReplacesTheFirst)
{
    bool wide = is64BitWindows();
    ASSERT_TRUE(writeMaxInstallDir("12.0", false, "C:\\Max2010"));
    detectMaxInstallations(wide);
    EXPECT_EQ(detectedDir(6), "C:\\Max2010");
    detectMaxInstallations(wide);
    EXPECT_EQ(detectedDir(6), "C:\\Max2010");
    removeMaxEntries();
    detectMaxInstallations(wide);
    for (int row = 0; row < rowCount; ++row)
        EXPECT_EQ(detectedDir(row), "<none>") << row;
}

//--- fileNameFromSubpath

TEST(FileNameFromSubpath, TakesTheTextAfterTheLastBackslash)
{
    const struct {
        const char *subpath;
        const char *expected;
    } cases[] = {
        {"max2010 plugin\\64\\QIMplugin.dlr", "QIMplugin.dlr"},
        {"QIMplugin.dlr", "QIMplugin.dlr"},
        {"plugin\\32\\", "32"},
        {"plugin\\32\\/\\", "32"},
        {"plugin/32/QIMplugin.dlr", "plugin/32/QIMplugin.dlr"},
        {"a\\b/c", "b/c"},
        {"C:\\", ""},
        {"", ""},
    };
    for (const auto &entry : cases) {
        char *name = fileNameFromSubpath(entry.subpath);
        ASSERT_NE(name, nullptr) << entry.subpath;
        EXPECT_STREQ(name, entry.expected) << entry.subpath;
        free(name);
    }
    EXPECT_EQ(fileNameFromSubpath(nullptr), nullptr);
}

} // namespace
