// Shared steps of the installation tests: real zip archives, the stand-in programs and fixture
// installations.
#include "installtest.h"
#include "guidriver.h"

bool makeZip(const std::string &stagingDir, const std::string &zipPath)
{
    DeleteFileA(zipPath.c_str());
    std::string sevenZip = fixtureDir() + "\\7zG.exe";
    std::string line = "\"" + sevenZip + "\" a -tzip \"" + zipPath + "\" * -y";
    PROCESS_INFORMATION process{};
    DWORD error = 0;
    if (!startProcess(sevenZip, &line[0], CREATE_NO_WINDOW, stagingDir, &process, &error))
        return false;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode == 0 && pathIsFile(zipPath);
}

std::string standIn(const char *name)
{
    return binDir() + "\\installfixtures\\" + name;
}

bool placeInBin(const std::string &installation, const char *name, const char *fileName)
{
    std::string from = name ? standIn(name) : fixtureDir() + "\\7zG.exe";
    makeDirs(installation + "\\bin\\32");
    std::string to = installation + "\\bin\\32\\" + fileName;
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
}

void clearQimTempEntries()
{
    for (const std::string &name : qimTempEntries()) {
        std::string path = tempDir() + "\\" + name;
        if (pathIsDir(path))
            removeTree(path);
        else
            DeleteFileA(path.c_str());
    }
}

std::string joined(const std::vector<std::string> &names)
{
    std::string text;
    for (const std::string &name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

HANDLE holdExclusively(const std::string &path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string contentOf(const std::string &path)
{
    std::string bytes;
    return readFile(path, &bytes) ? bytes : "<missing>";
}
