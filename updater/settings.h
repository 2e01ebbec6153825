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
// Times kept under the renderer key (seconds since 1970, UTC); 0 when not set.
long long readRecordedTime(const char *name);
bool writeRecordedTime(const char *name, long long seconds);
long long currentTime();
