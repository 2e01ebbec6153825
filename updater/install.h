// Turning a downloaded archive into an installed renderer.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>

bool startInstallation();
DWORD WINAPI installWorker(LPVOID archivePath);
bool runInstallation(const char *archivePath, char **unpackDir, uint32_t *fileCount);
bool unpackArchive(const char *archivePath, char **unpackDir);
// The unpack of a delta during its download; unpackDir is handed over once it exists.
enum UnpackResult {
    UnpackDone,
    UnpackNoExtractor,
    UnpackNoDirectory,
    UnpackNotStarted,
    UnpackExtractorFailed,
    UnpackAborted,
};
UnpackResult unpackArchiveHidden(const char *archivePath, char **unpackDir,
                                 unsigned long *exitCode);
bool launchPluginInstaller();
// The extractor's command line; false when it does not fit.
bool formatExtractorCommandLine(char *commandLine, size_t size, const char *rendererDir,
                                const char *archivePath, const char *unpackDir);
