// Test fixtures shared by every test program: scratch folders, the renderer registry key and
// fixture installations.
#include "fixtures.h"
#include <shellapi.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <vector>

namespace
{
const char scratchRoot[] = "C:\\qimtests";
const char valdormineKey[] = "Software\\Valdormine";
const char rendererKey[] = "Software\\Valdormine\\Renderer";

std::string directoryOf(const std::string &path)
{
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(0, slash);
}

std::string ownDir()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    return directoryOf(path);
}

bool copyInto(const std::string &from, const std::string &to)
{
    makeDirs(directoryOf(to));
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
}
} // namespace

std::string binDir()
{
    // Test programs live in build\bin\tests.
    return directoryOf(ownDir());
}

std::string fixtureDir()
{
    return binDir() + "\\fixtures";
}

std::string updaterExe()
{
    return binDir() + "\\QIMUpdate.exe";
}

std::string loopbackUpdaterExe()
{
    return binDir() + "\\loopback\\QIMUpdate.exe";
}

std::string pluginInstallerExe()
{
    return binDir() + "\\QIM_InstallPlugins.exe";
}

std::string shippedUpdaterExe()
{
    return std::string(QIM_SHIPPED_BIN_DIR) + "\\QIMUpdate.exe";
}

std::string shippedPluginInstallerExe()
{
    return std::string(QIM_SHIPPED_BIN_DIR) + "\\QIM_InstallPlugins.exe";
}

std::string tempDir()
{
    char path[MAX_PATH] = "";
    DWORD length = GetTempPathA(sizeof path, path);
    std::string text(path, length < sizeof path ? length : 0);
    while (!text.empty() && (text.back() == '\\' || text.back() == '/'))
        text.pop_back();
    return text;
}

bool makeDirs(const std::string &path)
{
    if (path.empty() || pathIsDir(path))
        return true;
    size_t slash = path.find_last_of('\\');
    if (slash != std::string::npos && slash > 2)
        makeDirs(path.substr(0, slash));
    return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

void removeTree(const std::string &path)
{
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string child = path + "\\" + name;
            SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(child);
            else
                DeleteFileA(child.c_str());
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}

std::string freshDir(const std::string &name)
{
    std::string path = std::string(scratchRoot) + "\\" + name;
    removeTree(path);
    makeDirs(path);
    return path;
}

bool writeFile(const std::string &path, const std::string &bytes)
{
    makeDirs(directoryOf(path));
    FILE *file = fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

bool readFile(const std::string &path, std::string *bytes)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return false;
    bytes->clear();
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes->append(chunk, got);
    fclose(file);
    return true;
}

bool pathIsFile(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool pathIsDir(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static void addToImage(const std::string &root, const std::string &below, TreeImage *image)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((root + below + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = entry.cFileName;
        if (name == "." || name == "..")
            continue;
        std::string path = below + "\\" + name;
        bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        std::string bytes = "<dir>";
        if (!directory && !readFile(root + path, &bytes))
            bytes = "<unreadable>";
        // A file's last-write time is part of it: the copy carries it over from the update.
        uint64_t written = (uint64_t)entry.ftLastWriteTime.dwHighDateTime << 32 |
                           entry.ftLastWriteTime.dwLowDateTime;
        (*image)[path] = std::to_string(entry.dwFileAttributes) + " " +
                         (directory ? "" : std::to_string(written) + " ") + bytes;
        if (directory)
            addToImage(root, path, image);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

TreeImage treeImage(const std::string &root)
{
    TreeImage image;
    addToImage(root, "", &image);
    return image;
}

std::vector<std::string> qimTempEntries()
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((tempDir() + "\\qim*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(entry.cFileName);
    while (FindNextFileA(find, &entry));
    FindClose(find);
    return names;
}

void deleteValdormineKey()
{
    RegDeleteTreeA(HKEY_CURRENT_USER, valdormineKey);
}

void createRendererKey()
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, rendererKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

void setRendererValue(const char *name, DWORD type, const void *data, DWORD size)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, rendererKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size);
    RegCloseKey(key);
}

void setRendererString(const char *name, const std::string &value)
{
    setRendererValue(name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

void setRendererDword(const char *name, DWORD value)
{
    setRendererValue(name, REG_DWORD, &value, sizeof value);
}

bool readRendererValue(const char *name, DWORD *type, std::string *data)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, rendererKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    std::vector<BYTE> buffer(65536);
    DWORD size = static_cast<DWORD>(buffer.size());
    LONG result = RegQueryValueExA(key, name, nullptr, type, buffer.data(), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return false;
    data->assign(reinterpret_cast<char *>(buffer.data()), size);
    return true;
}

void setEngineVersion(const std::string &installation, int major, int minor, int build)
{
    char text[64];
    snprintf(text, sizeof text, "%d %d %d\n", major, minor, build);
    writeFile(installation + "\\dll\\32\\PlenaraVersion.txt", text);
}

std::string makeInstallation(const std::string &name, const InstallOptions &options)
{
    std::string dir = freshDir(name);
    makeDirs(dir + "\\dll\\32");
    makeDirs(dir + "\\bin\\32");
    if (options.engine) {
        const char *engine =
            options.twoExportsOnly ? "PlenaraDLL32_twoexports.dll" : "PlenaraDLL32.dll";
        copyInto(fixtureDir() + "\\" + engine, dir + "\\dll\\32\\PlenaraDLL32.dll");
        setEngineVersion(dir, options.major, options.minor, options.build);
    }
    if (options.extractor)
        copyInto(fixtureDir() + "\\7zG.exe", dir + "\\bin\\32\\7zG.exe");
    if (options.recordInRegistry)
        setRendererString("directory", dir);
    return dir;
}

int testServerPort()
{
    return QIM_TEST_SERVER_PORT;
}

std::string webRoot()
{
    const char *root = getenv("QIM_TEST_WEBROOT");
    return root ? root : "";
}

void clearWebRoot()
{
    std::string root = webRoot();
    if (root.empty())
        return;
    removeTree(root);
    makeDirs(root);
}
