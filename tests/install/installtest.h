// Shared steps of the installation tests: real zip archives, the stand-in programs, and the
// temporary directory the updater must leave clean.
#pragma once
#include "fixtures.h"
#include <string>
#include <vector>

// Zips everything under stagingDir (paths relative to it) into zipPath with the real 7-Zip.
bool makeZip(const std::string &stagingDir, const std::string &zipPath);
// Stand-ins built beside the tests: pluginsstandin.exe, exitone.exe, gatedextractor.exe.
std::string standIn(const char *name);
// Puts a stand-in (or the real 7-Zip when name is null) into installation\bin\32 as fileName.
bool placeInBin(const std::string &installation, const char *name, const char *fileName);
// Removes what earlier runs left in the temporary directory under the "qim" prefix.
void clearQimTempEntries();
std::string joined(const std::vector<std::string> &names);
// Holds a file open with share mode 0, the way a running renderer or 3ds Max holds its files.
HANDLE holdExclusively(const std::string &path);
std::string contentOf(const std::string &path);
