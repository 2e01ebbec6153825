// The rebuild of an unpacked delta against an installation, on real files: one table over what
// the manifest, the patches and the installed files can be.
#include "deltapatch.h"
#include "fixtures.h"
#include "session.h"
#include <sodium.h>
#include <functional>
#include <gtest/gtest.h>

namespace
{
std::string fixture(const char *name)
{
    std::string bytes;
    EXPECT_TRUE(readFile(binDir() + "\\tests\\deltafixtures\\" + name, &bytes)) << name;
    return bytes;
}

std::string hashHex(const std::string &bytes)
{
    unsigned char digest[32];
    char hex[65];
    crypto_generichash(digest, sizeof digest, (const unsigned char *)bytes.data(), bytes.size(),
                       nullptr, 0);
    return sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
}

// A manifest line; source names the installed file of a renamed one.
std::string line(const char *how, const std::string &old, const std::string &fresh,
                 const std::string &path, const std::string &source = "")
{
    std::string oldField = old.empty() ? "-" : hashHex(old);
    return std::string(how) + " " + oldField + " " + hashHex(fresh) + " " +
           std::to_string(fresh.size()) + " " + path + (source.empty() ? "" : "\t" + source) + "\n";
}

// An installation of 1.0.0 and the unpacked delta to 1.1.0 beside it; each case changes them.
struct Scene {
    std::string installed, unpacked;
    std::string oldBin, newBin;
    std::string manifestHead = "qim-delta-manifest-2\nfrom 1.0.0\nversion 1.1.0\n";
    std::string entries;

    Scene() : installed(freshDir("delta-installed")), unpacked(freshDir("delta-unpacked"))
    {
        oldBin = fixture("old.bin");
        newBin = fixture("new.bin");
        writeFile(installed + "\\lib\\engine.bin", oldBin);
        writeFile(installed + "\\lib\\libfoo-1.2.dll", oldBin);
        writeFile(installed + "\\same.txt", "unchanged");
        writeFile(installed + "\\changed.txt", "old text");
        writeFile(unpacked + "\\delta\\lib\\engine.bin.zst", fixture("patch.zst"));
        writeFile(unpacked + "\\delta\\lib\\libfoo-1.3.dll.zst", fixture("patch.zst"));
        writeFile(unpacked + "\\Renderer\\changed.txt", "new text");
        writeFile(unpacked + "\\Renderer\\docs\\added.txt", "added");
        // The renamed library is patched against the one it replaces.
        entries = line("patch", oldBin, newBin, "lib/engine.bin") +
                  line("patch", oldBin, newBin, "lib/libfoo-1.3.dll", "lib/libfoo-1.2.dll") +
                  line("same", "", "unchanged", "same.txt") +
                  line("whole", "old text", "new text", "changed.txt") +
                  line("add", "", "added", "docs/added.txt") + "dir - - - empty/folder\n";
    }
    DeltaRebuild rebuild(DeltaResult *result)
    {
        writeFile(unpacked + "\\delta\\manifest.txt", manifestHead + entries);
        return rebuildDeltaTree(unpacked.c_str(), installed.c_str(), {"1.0.0", "1.1.0"}, result);
    }
};
} // namespace

TEST(DeltaRebuild, EveryKindOfDelta)
{
    ASSERT_GE(sodium_init(), 0);
    HANDLE held = INVALID_HANDLE_VALUE;
    const struct Case {
        const char *name;
        std::function<void(Scene &)> change;
        DeltaRebuild outcome;
    } cases[] = {
        {"valid", [](Scene &) {}, RebuildDone},
        {"edited old file",
         [](Scene &s) { writeFile(s.installed + "\\lib\\engine.bin", s.oldBin + "x"); },
         RebuildMismatch},
        {"missing old file",
         [](Scene &s) { DeleteFileA((s.installed + "\\lib\\engine.bin").c_str()); },
         RebuildMismatch},
        {"renamed source missing",
         [](Scene &s) { DeleteFileA((s.installed + "\\lib\\libfoo-1.2.dll").c_str()); },
         RebuildMismatch},
        {"unchanged file deleted",
         [](Scene &s) { DeleteFileA((s.installed + "\\same.txt").c_str()); }, RebuildMismatch},
        {"unchanged file edited, same size",
         [](Scene &s) { writeFile(s.installed + "\\same.txt", "UNCHANGED"); }, RebuildMismatch},
        {"wrong hash for a whole file",
         [](Scene &s) { writeFile(s.unpacked + "\\Renderer\\changed.txt", "new texT"); },
         RebuildFaulty},
        {"truncated patch",
         [](Scene &s) {
             writeFile(s.unpacked + "\\delta\\lib\\engine.bin.zst", fixture("truncated.zst"));
         },
         RebuildFaulty},
        {"frame needing more than the window",
         [](Scene &s) {
             writeFile(s.unpacked + "\\delta\\lib\\engine.bin.zst", fixture("widewindow.zst"));
         },
         RebuildFaulty},
        {"unlisted file", [](Scene &s) { writeFile(s.unpacked + "\\Renderer\\extra.dll", "x"); },
         RebuildFaulty},
        {"listed twice", [](Scene &s) { s.entries += line("add", "", "added", "docs/added.txt"); },
         RebuildFaulty},
        {"listed twice, an unlisted file beside it",
         [](Scene &s) {
             s.entries += line("add", "", "added", "docs/added.txt");
             writeFile(s.unpacked + "\\Renderer\\extra.dll", "x");
         },
         RebuildFaulty},
        {"listed twice in another case, an unlisted file beside it",
         [](Scene &s) {
             s.entries += line("add", "", "added", "DOCS/Added.txt");
             writeFile(s.unpacked + "\\Renderer\\extra.dll", "x");
         },
         RebuildFaulty},
        {"an unchanged file also shipped",
         [](Scene &s) { s.entries += line("add", "", "unchanged", "Same.txt"); }, RebuildFaulty},
        {"other start version",
         [](Scene &s) { s.manifestHead = "qim-delta-manifest-2\nfrom 0.9.0\nversion 1.1.0\n"; },
         RebuildFaulty},
        {"first manifest format",
         [](Scene &s) { s.manifestHead = "qim-delta-manifest-1\nfrom 1.0.0\nversion 1.1.0\n"; },
         RebuildFaulty},
        {"abort set", [](Scene &) { session.abortDownload = true; }, RebuildAborted},
        {"installed file held",
         [&](Scene &s) {
             held = CreateFileA((s.installed + "\\lib\\engine.bin").c_str(), GENERIC_READ, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
         },
         RebuildFileHeld},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scene scene;
        c.change(scene);
        DeltaResult result;
        EXPECT_EQ(scene.rebuild(&result), c.outcome);
        session.abortDownload = false;
        if (held != INVALID_HANDLE_VALUE) {
            EXPECT_NE(result.path, std::string()) << "names the file";
            CloseHandle(held);
            held = INVALID_HANDLE_VALUE;
        }
        if (c.outcome != RebuildDone)
            continue;
        EXPECT_EQ(result.rebuilt, 2u);
        EXPECT_EQ(result.whole, 2u);
        std::string rebuilt;
        EXPECT_TRUE(readFile(scene.unpacked + "\\Renderer\\lib\\engine.bin", &rebuilt));
        EXPECT_EQ(rebuilt == scene.newBin, true);
        EXPECT_TRUE(readFile(scene.unpacked + "\\Renderer\\lib\\libfoo-1.3.dll", &rebuilt));
        EXPECT_EQ(rebuilt == scene.newBin, true);
        EXPECT_TRUE(pathIsDir(scene.unpacked + "\\Renderer\\empty\\folder"));
        EXPECT_FALSE(pathIsFile(scene.unpacked + "\\Renderer\\same.txt"));
    }
}

// Paths the publisher refuses are refused here too, whatever line carries them.
TEST(DeltaRebuild, PathsOutsideTheRulesAreRefused)
{
    const char *const bad[] = {"../x.dll",  "a/../b",   "./a",       "a//b",        "/abs",
                               "C:/x",      "a\\b",     "con",       "lib/NUL.txt", "com1.dll",
                               "dot./x",    "blank /x", "tab\there", "q?.txt",      "caf\xc3\xa9",
                               "star*.dll", "pipe|x",   "",          "a/"};
    for (const char *path : bad) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(isDeltaPathAllowed(path, strlen(path)));
        Scene scene;
        scene.entries += std::string("add - ") + hashHex("x") + " 1 " + path + "\n";
        DeltaResult result;
        EXPECT_EQ(scene.rebuild(&result), RebuildFaulty);
    }
    for (const char *good : {"a.b/c d.dll", "max2010 plugin/32/QIMplugin.dlr", "console.dll"})
        EXPECT_TRUE(isDeltaPathAllowed(good, strlen(good))) << good;
}

// A faulty frame stops at the size the manifest lists, so it cannot fill the disk.
TEST(DeltaRebuild, PatchOutputStopsAtTheListedSize)
{
    Scene scene;
    std::string listed = std::to_string(scene.newBin.size()) + " lib/engine.bin\n";
    size_t at = scene.entries.find(listed);
    ASSERT_NE(at, std::string::npos);
    scene.entries.replace(at, listed.size(), "1000 lib/engine.bin\n");
    DeltaResult result;
    EXPECT_EQ(scene.rebuild(&result), RebuildFaulty);
    std::string rebuilt;
    readFile(scene.unpacked + "\\Renderer\\lib\\engine.bin", &rebuilt);
    EXPECT_LE(rebuilt.size(), 1000u);
}

// Files larger than one hashing view (64 MiB) are hashed whole, their last view too.
TEST(DeltaRebuild, LargeUnchangedFileHashedAcrossViews)
{
    std::string big((64u << 20) + 4096, 'b');
    for (const bool edited : {false, true}) {
        SCOPED_TRACE(edited ? "edited in its last view" : "as released");
        Scene scene;
        scene.entries += line("same", "", big, "big.bin");
        std::string installed = big;
        if (edited)
            installed.back() = 'B';
        writeFile(scene.installed + "\\big.bin", installed);
        DeltaResult result;
        EXPECT_EQ(scene.rebuild(&result), edited ? RebuildMismatch : RebuildDone);
    }
}
