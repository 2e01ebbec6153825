// The "Install" run: copies each ticked row's plug-in build into the row's directory.
#include "copyrun.h"
#include "installsupport.h"
#include "pathtext.h"
#include "session.h"
#include <stdlib.h>
#include <string.h>

static const size_t composedTextSize = 2048;

// What the run took from the controls when it started.
struct CopyRun {
    bool ticked[hostTargetCount];
    char *destDir[hostTargetCount];
    bool someFailed;
};

enum RowOutcome { RowInstalled, RowFailed, RowAborted };

// Every path and message a row may need, composed before anything is touched, so that a row
// whose texts do not fit fails cleanly instead of working on a cut path.
struct RowTexts {
    char sourcePath[composedTextSize];
    char destPath[composedTextSize];
    char sourceMissing[composedTextSize];
    char destMissing[composedTextSize];
    char copyFailed[composedTextSize];
};

char *fileNameFromSubpath(const char *subpath)
{
    if (!subpath)
        return nullptr;
    char *copy = copyText(subpath);
    if (!copy)
        return nullptr;
    trimTrailingSeparators(copy, 3);
    const char *lastBackslash = strrchr(copy, '\\');
    char *fileName = copyText(lastBackslash ? lastBackslash + 1 : copy);
    free(copy);
    return fileName;
}

// Keeps the first two characters, so "C:\" becomes "C:" and the file lands in "C:\<name>".
static char *readDestDir(HWND pathEdit)
{
    char text[composedTextSize] = "";
    GetWindowTextA(pathEdit, text, sizeof text);
    char *destDir = copyText(text);
    if (destDir)
        trimTrailingSeparators(destDir, 2);
    return destDir;
}

static void collectRows(CopyRun *run)
{
    for (int row = 0; row < hostTargetCount; ++row) {
        HostTarget *target = &session.targets[row];
        run->ticked[row] = SendMessageA(target->checkBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
        run->destDir[row] = readDestDir(target->pathEdit);
    }
}

static void releaseRows(CopyRun *run)
{
    for (int row = 0; row < hostTargetCount; ++row) {
        free(run->destDir[row]);
        run->destDir[row] = nullptr;
    }
}

static int askUser(const char *text, UINT buttons)
{
    return MessageBoxA(session.installerWindow, text, "Error", buttons);
}

// Without a renderer directory "Install" is disabled, and a missing destDir means the heap ran
// out; both fail the row like a path that does not fit.
static bool composeRowTexts(RowTexts *texts, const char *destDir, const char *subpath,
                            const char *fileName)
{
    if (!session.rendererDir || !destDir)
        return false;
    return formatText(texts->sourcePath, composedTextSize, "%s\\%s", session.rendererDir,
                      subpath) &&
           formatText(texts->destPath, composedTextSize, "%s\\%s", destDir, fileName) &&
           formatText(texts->sourceMissing, composedTextSize,
                      "Error!\n\nSource file does not exist:\n%s", texts->sourcePath) &&
           formatText(texts->destMissing, composedTextSize,
                      "Error!\n\nDestination directory does not exist:\n%s", destDir) &&
           formatText(texts->copyFailed, composedTextSize,
                      "Error!\n\nCopying file failed:\n%s\n\nProbably 3d studio is running.",
                      destDir);
}

// Abort, Retry and Ignore; a box that could not be shown stops the run rather than looping.
static RowOutcome outcomeOfAnswer(int answer)
{
    return answer == IDIGNORE ? RowFailed : RowAborted;
}

// The new plug-in is written beside the old one and then put in its place, so a copy that
// fails halfway leaves the old plug-in whole. A read-only or hidden plug-in file is replaced
// like any other; only a file that stays locked (3ds Max running) reaches the question, with
// its attributes as they were.
static bool replacePlugin(const char *sourcePath, const char *destPath)
{
    const DWORD cleared = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    char beside[composedTextSize];
    if (!formatText(beside, sizeof beside, "%s.~new", destPath) ||
        !CopyFileA(sourcePath, beside, FALSE))
        return false;
    DWORD attributes = GetFileAttributesA(destPath);
    bool clear = attributes != INVALID_FILE_ATTRIBUTES &&
                 !(attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & cleared);
    if (clear)
        SetFileAttributesA(destPath, attributes & ~cleared);
    if (MoveFileExA(beside, destPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (clear)
        SetFileAttributesA(destPath, attributes);
    DeleteFileA(beside);
    return false;
}

static RowOutcome copyPlugin(const RowTexts *texts, const char *destDir)
{
    for (;;) {
        if (fileExists(texts->sourcePath) && directoryExists(destDir) &&
            replacePlugin(texts->sourcePath, texts->destPath))
            return RowInstalled;
        int answer = askUser(texts->copyFailed, MB_ABORTRETRYIGNORE);
        if (answer != IDRETRY)
            return outcomeOfAnswer(answer);
    }
}

static RowOutcome installPaths(const RowTexts *texts, const char *destDir)
{
    if (!fileExists(texts->sourcePath)) {
        askUser(texts->sourceMissing, MB_OK);
        return RowFailed;
    }
    while (!directoryExists(destDir)) {
        int answer = askUser(texts->destMissing, MB_ABORTRETRYIGNORE);
        if (answer != IDRETRY)
            return outcomeOfAnswer(answer);
    }
    return copyPlugin(texts, destDir);
}

static RowOutcome installRow(const CopyRun *run, int row)
{
    HostTarget *target = &session.targets[row];
    char message[composedTextSize];
    formatText(message, sizeof message, "Installing plugin for %s ...", target->displayName);
    SetWindowTextA(session.messageLine, message);
    SetWindowTextA(target->statusText, "Installing...");

    char *fileName = fileNameFromSubpath(target->pluginSubpath);
    if (!fileName) {
        formatText(message, sizeof message, "Error!\n\nCan't determine filename from subdir:\n%s",
                   target->pluginSubpath);
        askUser(message, MB_OK);
        return RowFailed;
    }
    RowTexts *texts = static_cast<RowTexts *>(malloc(sizeof(RowTexts)));
    RowOutcome outcome = RowFailed;
    if (texts && composeRowTexts(texts, run->destDir[row], target->pluginSubpath, fileName)) {
        outcome = installPaths(texts, run->destDir[row]);
    } else {
        formatText(message, sizeof message, "Error!\n\nPath too long for %s.", target->displayName);
        askUser(message, MB_OK);
    }
    free(texts);
    free(fileName);
    return outcome;
}

static const char *statusOfOutcome(RowOutcome outcome)
{
    switch (outcome) {
    case RowInstalled:
        return "INSTALLED";
    case RowFailed:
        return "FAILED";
    case RowAborted:
        break;
    }
    return "ABORTED";
}

// Runs on the window's thread; only the modal questions pump messages meanwhile. Check boxes,
// texts and enabling are left as they are, so a corrected path can be installed again at once.
void runPluginInstall()
{
    CopyRun run = {};
    collectRows(&run);
    for (int row = 0; row < hostTargetCount; ++row)
        if (run.ticked[row])
            SetWindowTextA(session.targets[row].statusText, "waiting...");

    bool aborted = false;
    for (int row = 0; row < hostTargetCount && !aborted; ++row) {
        if (!run.ticked[row])
            continue;
        RowOutcome outcome = installRow(&run, row);
        SetWindowTextA(session.targets[row].statusText, statusOfOutcome(outcome));
        run.someFailed = run.someFailed || outcome == RowFailed;
        aborted = outcome == RowAborted;
    }
    if (aborted)
        SetWindowTextA(session.messageLine, "Installation aborted!");
    else if (run.someFailed)
        SetWindowTextA(session.messageLine, "Installation finished but some errors happened.");
    else
        SetWindowTextA(session.messageLine, "Installation finished successfully.");
    releaseRows(&run);
}
