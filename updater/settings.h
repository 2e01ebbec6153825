// Persistent settings under the renderer key and the installed engine version.
#pragma once

bool readSettings();
bool writeAutoUpdate(bool on);
bool writeAutoInstall(bool on);
bool writeDifferentDirs(bool on);
bool writeRendererDirectory(const char *path);
bool writeCopyRoot(const char *path);
void clearCopyRoot();
char *readCopyRoot(); // malloc'd, or NULL
bool queryInstalledVersion();
