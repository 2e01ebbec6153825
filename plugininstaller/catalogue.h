// Which 3ds Max versions are installed, read from the keys 3ds Max writes under HKLM.
#pragma once

char *readMaxInstallDir(const char *subKey, bool use64BitView);
void detectMaxInstallations(bool is64BitSystem);
