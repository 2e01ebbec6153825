// Test fixtures shared by every test program: scratch folders, the renderer registry key,
// fixture installations, and where the products and the test server live.
#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>

//--- where things are
std::string binDir();             // build\bin: QIMUpdate.exe, QIM_InstallPlugins.exe
std::string fixtureDir();         // build\bin\fixtures: engine DLLs, 7zG, idle and pickerhost
std::string updaterExe();         // the shipped build (real server host)
std::string loopbackUpdaterExe(); // the same sources, asking the loopback test server
std::string pluginInstallerExe();
// The shipped 32-bit programs, which checks that need not run them read in every build mode.
std::string shippedUpdaterExe();
std::string shippedPluginInstallerExe();
std::string tempDir(); // GetTempPathA without the trailing backslash

//--- scratch folders: a fresh, empty folder per use, under C:\qimtests
std::string freshDir(const std::string &name);
void removeTree(const std::string &path);
bool writeFile(const std::string &path, const std::string &bytes);
bool readFile(const std::string &path, std::string *bytes);
bool makeDirs(const std::string &path);
bool pathIsFile(const std::string &path);
bool pathIsDir(const std::string &path);
// Every entry under root by its path below it ("\\a\\b"): attributes, and the last-write time and bytes of files.
typedef std::map<std::string, std::string> TreeImage;
TreeImage treeImage(const std::string &root);
// Names in the temporary directory that start with "qim" (left-overs of the updater).
std::vector<std::string> qimTempEntries();

//--- HKCU\Software\Valdormine\Renderer
void deleteValdormineKey(); // removes HKCU\Software\Valdormine and all below
void createRendererKey();   // creates it empty
void setRendererString(const char *name, const std::string &value);
void setRendererDword(const char *name, DWORD value);
void setRendererValue(const char *name, DWORD type, const void *data, DWORD size);
bool readRendererValue(const char *name, DWORD *type, std::string *data);

//--- fixture installations
struct InstallOptions {
    int major = 1, minor = 0, build = 0;
    bool engine = true;           // dll\32\PlenaraDLL32.dll present
    bool twoExportsOnly = false;  // the engine lacks getVersionBuild
    bool extractor = true;        // bin\32\7zG.exe (real 7-Zip)
    bool recordInRegistry = true; // value directory = the installation
};
// A renderer installation under C:\qimtests\<name>; returns its directory.
std::string makeInstallation(const std::string &name, const InstallOptions &options = {});
// Writes the version the engine library reports.
void setEngineVersion(const std::string &installation, int major, int minor, int build);

//--- the loopback update server (tests/server/testserver.py)
int testServerPort();
std::string webRoot(); // Windows path of the folder the server serves
// Removes every file and scenario that earlier tests left in the web root.
void clearWebRoot();
// Signed releases as tools/publish-release writes them. The text of a signature file for an
// archive's bytes, signed with the test release key or with another key (64 hex digits of its
// seed). With from, the statement of a delta from that version, bound to the full archive
// whose bytes are full.
std::string releaseSignatureFile(const std::string &channel, const std::string &version,
                                 const std::string &fileName, const std::string &archive,
                                 const std::string &seedHex = "", const std::string &from = "",
                                 const std::string &full = "");
// Writes <archive>.sig beside an archive in the web root (Renderer_M.m.b.zip; beta under alpha),
// and announces the channel's version file again.
bool signServedArchive(const std::string &archivePath);
// The signed announcement of a release (its full archive's bytes), times in seconds since 1970.
std::string announcementFile(const std::string &channel, const std::string &version,
                             const std::string &archive, long long issued, long long expires,
                             const std::string &seedHex = "");
long long unixTimeNow();
// Writes update\qim.ver.sig (alpha.ver.sig) for the channel's version file in the web root,
// naming the archive as it lies there now (none: empty bytes), issued now, valid for a day.
bool announceServedVersion(bool beta);
