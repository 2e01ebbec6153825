// Times one copy of a tree and prints "mode=... files=... bytes=... seconds=...".
//   bench_copy copytree DEST SRC  the installation's copyTree on a worker thread, its status line
//                                 and progress bar in a shown window served by the GUI thread
//   bench_copy safe DEST SRC      the same with the installation's safety net: replaced files kept
//                                 aside, the journal in DEST; "seconds" is the time until the
//                                 result (every file placed), "commit" until the commit mark is
//                                 durable, "cleanup" until the kept files are removed after it
//                                 (all three from the start); "flush" says whether the volume
//                                 was flushed as a whole or each placed file (as with
//                                 QIM_NO_VOLUME_FLUSH set, or without the right to open the volume)
//   bench_copy silent DEST SRC    the same copyTree without any window (its cost of its own)
//   bench_copy bare DEST SRC      a recursive FindFirstFileA/CopyFileA walk, no window at all
#include "copyahead.h"
#include "copyjournal.h"
#include "copynames.h"
#include "crashpoint.h"
#include "session.h"
#include "treeops.h"
#include <commctrl.h>
#include <stdio.h>
#include <string.h>
#include <string>

namespace
{
double now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return (double)counter.QuadPart / (double)frequency.QuadPart;
}

bool bareCopy(const std::string &destination, const std::string &source, uint32_t *files)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((source + "\\*.*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    do {
        if (!strcmp(entry.cFileName, ".") || !strcmp(entry.cFileName, ".."))
            continue;
        std::string from = source + "\\" + entry.cFileName;
        std::string to = destination + "\\" + entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            CreateDirectoryA(to.c_str(), nullptr);
            ok = bareCopy(to, from, files);
        } else {
            ok = CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
            *files += 1;
        }
    } while (ok && FindNextFileA(search, &entry));
    FindClose(search);
    return ok;
}

struct CopyJob {
    const char *destination, *source;
    uint32_t fileCount, totalBytes, filesCopied, bytesCopied;
    bool safetyNet;
    bool ok;
    double seconds;
    double updateSeconds;
    double commitSeconds;
    double cleanupSeconds;
};

// The cost of one status update as the copy makes it: a round trip to the GUI thread, which
// repaints the label.
double statusUpdateSeconds()
{
    const int updates = 500;
    char status[64];
    double start = now();
    for (int i = 1; i <= updates; ++i) {
        snprintf(status, sizeof status, "Copied %d of %d files.", i, updates);
        SetWindowTextA(session.statusLabel, status);
    }
    return (now() - start) / updates;
}

DWORD WINAPI copyWorker(LPVOID param)
{
    auto *job = static_cast<CopyJob *>(param);
    double start = now();
    const char *noTemporaries[] = {nullptr};
    JournalOutcome outcome = JournalAbsent;
    if (job->safetyNet)
        job->ok =
            placeTreeKeepingOld(noTemporaries, job->destination, job->source, &job->bytesCopied,
                                &job->totalBytes, &job->filesCopied, &job->fileCount, &outcome);
    else
        job->ok = copyTree(job->destination, job->source, &job->bytesCopied, &job->totalBytes,
                           &job->filesCopied, &job->fileCount);
    job->seconds = now() - start;
    // As in the installation: the result shows here, then the flush and the mark, then the
    // kept files go.
    if (job->safetyNet && job->ok) {
        job->ok = commitPlacedTree(&outcome);
        job->commitSeconds = now() - start;
        removeKeptFiles();
        job->cleanupSeconds = now() - start;
    }
    job->updateSeconds = statusUpdateSeconds();
    PostMessageA(session.mainWindow, WM_CLOSE, 0, 0);
    return 0;
}

LRESULT CALLBACK benchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The updater's window in miniature: its status label and progress bar, shown.
void createWindow()
{
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = benchWindowProc;
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = "bench_copy";
    RegisterClassA(&windowClass);
    session.mainWindow = CreateWindowExA(0, "bench_copy", "QIM Update", WS_OVERLAPPEDWINDOW, 200,
                                         200, 315, 200, nullptr, nullptr, nullptr, nullptr);
    session.statusLabel = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_LEFT, 10, 30,
                                          335, 20, session.mainWindow, nullptr, nullptr, nullptr);
    session.progressBar =
        CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 10, 50, 290, 17,
                        session.mainWindow, nullptr, nullptr, nullptr);
    SendMessageA(session.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    ShowWindow(session.mainWindow, SW_SHOW);
}

const char *flushKind(const char *destination)
{
    HANDLE volume = volumeFlushRefused() ? INVALID_HANDLE_VALUE : openVolume(destination);
    if (volume == INVALID_HANDLE_VALUE)
        return "files";
    CloseHandle(volume);
    return "volume";
}

int runCopyTree(const char *destination, const char *source, bool safetyNet)
{
    CopyJob job{destination, source, 0, 0, 0, 0, safetyNet, false, 0, 0, 0, 0};
    if (!countTree(source, &job.fileCount, &job.totalBytes))
        return 2;
    createWindow();
    HANDLE thread = CreateThread(nullptr, 0, copyWorker, &job, 0, nullptr);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    printf("mode=%s ok=%d files=%u bytes=%u seconds=%.4f update_us=%.1f commit=%.4f "
           "cleanup=%.4f flush=%s prepared=%u\n",
           safetyNet ? "safe" : "copytree", job.ok ? 1 : 0, job.filesCopied, job.bytesCopied,
           job.seconds, job.updateSeconds * 1e6, job.commitSeconds, job.cleanupSeconds,
           safetyNet ? flushKind(destination) : "-", filesTakenPrepared());
    return job.ok ? 0 : 1;
}

// copyTree with no window at all: what the walk itself costs beyond CopyFileA.
int runSilent(const char *destination, const char *source)
{
    CopyJob job{destination, source, 0, 0, 0, 0, false, false, 0, 0, 0, 0};
    if (!countTree(source, &job.fileCount, &job.totalBytes))
        return 2;
    double start = now();
    job.ok = copyTree(destination, source, &job.bytesCopied, &job.totalBytes, &job.filesCopied,
                      &job.fileCount);
    double seconds = now() - start;
    printf("mode=silent ok=%d files=%u bytes=%u seconds=%.4f\n", job.ok ? 1 : 0, job.filesCopied,
           job.bytesCopied, seconds);
    return job.ok ? 0 : 1;
}

int runBare(const char *destination, const char *source)
{
    uint32_t files = 0, bytes = 0;
    countTree(source, &files, &bytes);
    uint32_t copied = 0;
    double start = now();
    bool ok = bareCopy(destination, source, &copied);
    double seconds = now() - start;
    printf("mode=bare ok=%d files=%u bytes=%u seconds=%.4f\n", ok ? 1 : 0, copied, bytes, seconds);
    return ok ? 0 : 1;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: bench_copy copytree|safe|silent|bare DEST SRC\n");
        return 2;
    }
    CreateDirectoryA(argv[2], nullptr);
    int result;
    if (!strcmp(argv[1], "copytree") || !strcmp(argv[1], "safe"))
        result = runCopyTree(argv[2], argv[3], !strcmp(argv[1], "safe"));
    else if (!strcmp(argv[1], "silent"))
        result = runSilent(argv[2], argv[3]);
    else
        result = runBare(argv[2], argv[3]);
    fflush(stdout);
    return result;
}
