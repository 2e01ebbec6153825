// The installation worker: unpacks the downloaded archive with 7zG.exe, copies it over the
// installation, records the directory and starts the plug-in installer.
#include "install.h"
#include "copyjournal.h"
#include "download.h"
#include "installsupport.h"
#include "pendingupdate.h"
#include "session.h"
#include "settings.h"
#include "treeops.h"
#include <stdio.h>
#include <stdlib.h>

enum { pathBufferSize = 2048, extractorBufferSize = 1024 };

// What the copy's safety net made of a copy that did not succeed; absent until a copy ran.
static JournalOutcome copyUndone = JournalAbsent;
// The directory whose files are all placed, recorded as the installation once the copy commits.
static char *placedDir;

static void setStatus(const char *text)
{
    SetWindowTextA(session.statusLabel, text);
}

static const char *failureStatus()
{
    bool aborted = session.abortInstall;
    if (copyUndone == JournalRestored && !aborted && copyRefusedPath()) {
        static char text[pathBufferSize + 80];
        snprintf(text, sizeof text,
                 "Installation failed: path too long (%s). Previous version "
                 "restored.",
                 copyRefusedPath());
        return text;
    }
    if (copyUndone == JournalRestored)
        return aborted ? "Installation aborted. Previous version restored."
                       : "Installation failed. Previous version restored.";
    if (copyUndone == JournalChangedLeft)
        return aborted ? "Installation aborted. Previous version restored; files changed since "
                         "were left as they are."
                       : "Installation failed. Previous version restored; files changed since "
                         "were left as they are.";
    if (copyUndone == JournalBusy)
        return "Installation failed: another updater is working on this installation.";
    if (copyUndone == JournalUnreadable)
        return "Installation failed: update journal unreadable, set aside as "
               "QIMUpdate.journal.unreadable.";
    if (copyUndone == JournalIncomplete) {
        // Names the file and the way out, so the next attempt is not just another failure.
        static char text[pathBufferSize + 160];
        snprintf(text, sizeof text,
                 "%s Could not restore %s: close QIM and 3ds Max, then start QIMUpdate again.",
                 aborted ? "Installation aborted." : "Installation failed.", unrestoredFile());
        return text;
    }
    return aborted ? "Installation aborted." : "Installation failed.";
}

static void failInstallation(const char *status, UpdaterState state)
{
    setStatus(status);
    session.state = state;
}

// Whether snprintf's whole text fitted: a shortened path would name another file.
static bool fits(int length, size_t size)
{
    return length >= 0 && (size_t)length < size;
}

// Starts a program of the renderer directory from its command line alone, without waiting.
// Unseen: minimized and not activated, rather than hidden, since 7-Zip's window waits for a
// click on Close after an error, and a hidden one would wait for ever.
static bool startProgram(char *commandLine, PROCESS_INFORMATION *process, bool unseen = false)
{
    char desktop[1] = "";
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop;
    if (unseen) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_SHOWMINNOACTIVE;
    }
    // Wine fails a start now and then with ERROR_INTERNAL_ERROR (the new process ended before
    // it had initialised); Windows does not. One more start goes through.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS, NULL, NULL,
                           &startup, process))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR)
            return false;
    }
    return false;
}

// The state says the installation runs from here on, so Exit in the instant before the worker's
// first step asks it to stop; a failed start leaves the archive waiting in Downloaded. The caller
// clears abortInstall before, so that a click in that instant is not wiped out.
bool startInstallation()
{
    session.state = Installing;
    EnableWindow(session.actionButton, FALSE);
    SetWindowTextA(session.exitButton, "Abort");
    if (startWorker(installWorker, session.archivePath))
        return true;
    session.state = Downloaded;
    return false;
}

// Everything unpacked is removed, Renderer or not: the directory was created empty for this run,
// so nothing in it belongs to anyone else.
static void removeUnpackedFiles(const char *unpackDir, uint32_t fileCount)
{
    uint32_t filesDeleted = 0;
    if (directoryExists(unpackDir))
        deleteTree(unpackDir, &filesDeleted, &fileCount);
    if (directoryExists(unpackDir))
        RemoveDirectoryA(unpackDir);
}

// Shown as soon as every file is placed. The state stays Copying and the caption "Abort" until the
// commit mark, so neither Exit nor a shutdown ends the process before the mark is durable.
static void showResult()
{
    setStatus(session.filesIgnored ? "Installation complete, however some files were ignored."
                                   : "Installation complete.");
    setStatus("Done. Running plugins installer...");
}

// Flushes what was placed and writes the commit mark. Should that fail after the result was
// shown, the copy is undone and the status says so in place of the result.
static bool commitInstallation()
{
    bool committed = commitPlacedTree(&copyUndone);
    if (committed && placedDir)
        writeRendererDirectory(placedDir);
    free(placedDir);
    placedDir = NULL;
    if (committed) {
        session.state = Installed;
        return true;
    }
    // An Exit clicked after the result was not an abort: the copy failed on its own.
    session.abortInstall = false;
    setStatus(copyUndone == JournalRestored
                  ? "Installation failed: the new files could not be written to disk. Previous "
                    "version restored."
                  : failureStatus());
    session.state = InstallFailed;
    SetWindowTextA(session.exitButton, "Exit");
    return false;
}

// The state moves on before the button is enabled: a click on "Install plugins" in that instant
// must not start a second plug-in installer beside this one.
static void finishInstalled()
{
    session.state = PluginsInstaller;
    SetWindowTextA(session.exitButton, "Exit");
    EnableWindow(session.actionButton, TRUE);
    SetWindowTextA(session.actionButton, "Install plugins");
    launchPluginInstaller();
    EnableWindow(session.actionButton, FALSE);
    SetWindowTextA(session.actionButton, "Done");
}

DWORD WINAPI installWorker(LPVOID archivePath)
{
    const char *archive = (const char *)archivePath;
    if (!archive) {
        failInstallation("Internal error. Sorry", InstallFailed);
        SetWindowTextA(session.exitButton, "Exit");
        return 0;
    }
    char *unpackDir = NULL;
    uint32_t fileCount = 0;
    bool installed = runInstallation(archive, &unpackDir, &fileCount);
    setStatus("Cleaning up...");
    if (fileExists(archive))
        DeleteFileA(archive);
    if (unpackDir) {
        removeUnpackedFiles(unpackDir, fileCount);
        free(unpackDir);
        setStatus("OK");
    }
    if (!installed) {
        setStatus(failureStatus());
        SetWindowTextA(session.exitButton, "Exit");
        return 0;
    }
    showResult();
    if (!commitInstallation())
        return 0;
    finishInstalled();
    // With Exit already clicked the kept files are left to the next start, which removes them:
    // the user is not kept waiting for a clean-up.
    if (!session.closeWhenWorkerEnds)
        removeKeptFiles();
    return 1;
}

// The renderer directory, or the one the user picks instead; none when the user gives up.
static char *chooseInstallDir(char *rendererDir)
{
    session.state = ChoosingDirectory;
    char *chosen =
        chooseDirectory(session.mainWindow, "Choose directory for new version:", rendererDir);
    if (chosen)
        return chosen;
    int answer = MessageBoxA(session.mainWindow,
                             "You have not chosen new directory.\nDo you want to update to old "
                             "directory?",
                             "What now?", MB_YESNO);
    if (answer == IDNO)
        return NULL;
    return _strdup(rendererDir);
}

static bool copyUnpackedTree(const char *installDir, const char *unpackDir, uint32_t *fileCount)
{
    char sourceDir[pathBufferSize];
    if (!fits(snprintf(sourceDir, sizeof sourceDir, "%s\\Renderer", unpackDir), sizeof sourceDir) ||
        !directoryExists(sourceDir)) {
        failInstallation("Error. Can't find unpacked folder.", InstallFailed);
        return false;
    }
    session.state = Copying;
    // Only what is installed counts: "Copied n of n files." ends at its total.
    uint32_t files = 0, totalBytes = 0;
    if (!countTree(sourceDir, &files, &totalBytes)) {
        failInstallation("Error checking unpacked files.", InstallFailed);
        return false;
    }
    *fileCount = files;
    session.filesIgnored = false;
    uint32_t bytesCopied = 0, filesCopied = 0;
    const char *temporaries[] = {unpackDir, session.archivePath, NULL};
    bool copied = placeTreeKeepingOld(temporaries, installDir, sourceDir, &bytesCopied, &totalBytes,
                                      &filesCopied, &files, &copyUndone);
    if (!copied) {
        failInstallation("File copy failed.",
                         session.abortInstall ? InstallAborted : InstallFailed);
        return false;
    }
    setStatus(session.filesIgnored ? "Files copied, with some exceptions."
                                   : "File successfully copied.");
    // Still Copying until the commit mark: the installation is not yet surely the new version.
    free(placedDir);
    placedDir = _strdup(installDir);
    return true;
}

// Unpacks into a fresh directory and copies it over the installation. The unpack directory is
// handed to the caller as soon as it exists, so the caller removes it whatever happens next.
static bool unpackAndCopy(const char *archivePath, const char *installDir, char **unpackDir,
                          uint32_t *fileCount)
{
    session.state = Unpacking;
    // A delta was unpacked, and its changed files rebuilt, when it was downloaded; a delta zip
    // without its rebuilt tree holds only part of the release and is never unpacked here.
    bool delta = pendingKind() == PendingDelta;
    *unpackDir = delta ? takePendingDeltaTree() : NULL;
    if (delta && !*unpackDir) {
        failInstallation("Internal error. Sorry", InstallFailed);
        return false;
    }
    if (!delta && !unpackArchive(archivePath, unpackDir)) {
        failInstallation("Something wrong with unpacking update file.", InstallFailed);
        return false;
    }
    if (session.abortInstall) {
        failInstallation("Installation aborted.", InstallAborted);
        return false;
    }
    return copyUnpackedTree(installDir, *unpackDir, fileCount);
}

bool runInstallation(const char *archivePath, char **unpackDir, uint32_t *fileCount)
{
    session.state = Installing;
    *fileCount = 0;
    bool installed = false;
    char *installDir = NULL;
    char *rendererDir = NULL;
    if (archivePath && fileExists(archivePath))
        rendererDir = rendererDirectory();
    if (!rendererDir || !directoryExists(rendererDir)) {
        failInstallation("Internal error. Sorry", InstallFailed);
        goto out;
    }
    // A delta holds only what changed, so it goes over the installation it was rebuilt from:
    // the box for another directory is disabled while one is chosen, and a delta is never
    // copied anywhere else.
    if (session.differentDirs && pendingKind() == PendingDelta) {
        failInstallation("Internal error. Sorry", InstallFailed);
        goto out;
    }
    // Another updater may have moved or updated the installation since the delta was rebuilt.
    if (isPendingDeltaFromElsewhere(rendererDir)) {
        discardPendingUpdate();
        DeleteFileA(archivePath);
        failInstallation("The installation changed since the patch update was prepared. "
                         "Please check for updates again.",
                         InstallFailed);
        goto out;
    }
    installDir = session.differentDirs ? chooseInstallDir(rendererDir) : _strdup(rendererDir);
    if (!installDir) {
        failInstallation(session.differentDirs ? "Update aborted by user."
                                               : "Internal error. Sorry",
                         session.differentDirs ? InstallAborted : InstallFailed);
        goto out;
    }
    installed = unpackAndCopy(archivePath, installDir, unpackDir, fileCount);
out:
    free(installDir);
    free(rendererDir);
    return installed;
}

// Runs the extractor and waits for it without a time limit: killing it halfway would leave a
// half-written tree, so an abort waits for its end.
static bool runExtractor(char *commandLine)
{
    PROCESS_INFORMATION process;
    if (!startProgram(commandLine, &process))
        return false;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    if (!GetExitCodeProcess(process.hProcess, &exitCode))
        exitCode = 1;
    SwitchToThisWindow(session.mainWindow, TRUE);
    if (exitCode != 0)
        setStatus("Something wrong with unpacking update file.");
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode == 0;
}

// A delta is unpacked during the download: unseen, without taking the focus, and ended at once
// on Abort (it writes only into its own temporary directory, which goes with it).
static UnpackResult runHiddenExtractor(char *commandLine, unsigned long *exitCode)
{
    PROCESS_INFORMATION process;
    if (!startProgram(commandLine, &process, true))
        return UnpackNotStarted;
    while (WaitForSingleObject(process.hProcess, 100) == WAIT_TIMEOUT)
        if (session.abortDownload)
            TerminateProcess(process.hProcess, 255);
    DWORD code = 1;
    if (!GetExitCodeProcess(process.hProcess, &code))
        code = 1;
    *exitCode = code;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (session.abortDownload)
        return UnpackAborted;
    return code == 0 ? UnpackDone : UnpackExtractorFailed;
}

static UnpackResult extractInto(const char *rendererDir, const char *archivePath, char **unpackDir,
                                bool hidden, unsigned long *exitCode)
{
    char extractor[extractorBufferSize];
    if (!fits(snprintf(extractor, sizeof extractor, "%s\\bin\\32\\7zG.exe", rendererDir),
              sizeof extractor) ||
        !fileExists(extractor))
        return UnpackNoExtractor;
    char *directory = makeTempFileName();
    if (!directory)
        return UnpackNoDirectory;
    if (!CreateDirectoryA(directory, NULL)) {
        free(directory);
        return UnpackNoDirectory;
    }
    *unpackDir = directory;
    if (!hidden)
        setStatus("Unpacking file... please wait");
    char commandLine[pathBufferSize];
    if (!formatExtractorCommandLine(commandLine, sizeof commandLine, rendererDir, archivePath,
                                    directory))
        return UnpackNotStarted;
    if (hidden)
        return runHiddenExtractor(commandLine, exitCode);
    return runExtractor(commandLine) ? UnpackDone : UnpackExtractorFailed;
}

// The extractor's own path is quoted too: a renderer directory with blanks (C:\Program Files)
// would otherwise reach 7-Zip as several words, and Windows could start C:\Program.exe.
bool formatExtractorCommandLine(char *commandLine, size_t size, const char *rendererDir,
                                const char *archivePath, const char *unpackDir)
{
    return fits(snprintf(commandLine, size, "\"%s\\bin\\32\\7zG.exe\" x \"%s\" -o\"%s\" -y",
                         rendererDir, archivePath, unpackDir),
                size);
}

static UnpackResult unpackWith(const char *archivePath, char **unpackDir, bool hidden,
                               unsigned long *exitCode)
{
    if (!archivePath || !unpackDir || !fileExists(archivePath))
        return UnpackNotStarted;
    char *rendererDir = rendererDirectory();
    UnpackResult result = rendererDir && directoryExists(rendererDir)
                              ? extractInto(rendererDir, archivePath, unpackDir, hidden, exitCode)
                              : UnpackNotStarted;
    free(rendererDir);
    return result;
}

bool unpackArchive(const char *archivePath, char **unpackDir)
{
    unsigned long exitCode = 0;
    return unpackWith(archivePath, unpackDir, false, &exitCode) == UnpackDone;
}

UnpackResult unpackArchiveHidden(const char *archivePath, char **unpackDir, unsigned long *exitCode)
{
    *exitCode = 0;
    return unpackWith(archivePath, unpackDir, true, exitCode);
}

bool launchPluginInstaller()
{
    char *rendererDir = rendererDirectory();
    if (!rendererDir)
        return false;
    char path[pathBufferSize];
    char commandLine[pathBufferSize];
    bool started = false;
    PROCESS_INFORMATION process;
    // Quoted for the same reason as the extractor's command line.
    if (fits(snprintf(path, sizeof path, "%s\\bin\\32\\QIM_InstallPlugins.exe", rendererDir),
             sizeof path) &&
        fits(snprintf(commandLine, sizeof commandLine, "\"%s\"", path), sizeof commandLine) &&
        fileExists(path) && startProgram(commandLine, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        started = true;
    }
    free(rendererDir);
    return started;
}
