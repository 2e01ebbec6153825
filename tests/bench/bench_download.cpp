// Download benchmark helper, run under Wine by scripts/bench-download.sh.
//
//   bench_download updater URL FILE   the updater's own path: downloadToFile on a worker thread,
//                                     its progress callback driving a window's status line and
//                                     progress bar on the GUI thread, as in the program
//   bench_download verified URL FILE SIZE HASH
//                                     the updater's path for a signed release: the same, capped
//                                     at SIZE bytes and hashed (BLAKE2b-256) on a second thread
//                                     while it arrives, then size and hash compared
//   bench_download bare URL FILE      the same static libcurl into a fopen_s file, nothing else
//
// Prints one line: "mode=... bytes=N seconds=S updates=U callback_us=C
// workingset_process_start=W workingset_before=B peak_workingset=P" (seconds: the whole
// download, the check of a verified one included; updates: status line texts set during the
// transfer;
// callback_us: the cost of one progress callback from the worker thread, measured after the
// transfer; working sets in bytes: at the process's start, right before the transfer, the peak).
#include "download.h"
#include "verifieddownload.h"
#include "session.h"
#include <commctrl.h>
#include <curl/curl.h>
#include <psapi.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

namespace
{
const UINT transferDone = WM_APP + 1;

struct Transfer {
    const char *url;
    const char *path;
    bool ok;
    double seconds;
    SIZE_T workingSetAtStart; // window created, transfer about to start
    double callbackSeconds;   // one progress callback from the worker, round trip included
    const SignedArchive *signedArchive; // verified mode: what the file must be
};

double now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

SIZE_T workingSet(bool peak)
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return peak ? counters.PeakWorkingSetSize : counters.WorkingSetSize;
}

long long fileSize(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

//--- the updater's path

WNDPROC labelProc = nullptr;
long statusUpdates = 0;

// Counts the progress callback's line updates on their way to the label.
LRESULT CALLBACK countingLabelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTEXT)
        ++statusUpdates;
    return CallWindowProcA(labelProc, window, message, wParam, lParam);
}

DWORD WINAPI transferWorker(LPVOID param)
{
    auto *transfer = static_cast<Transfer *>(param);
    transfer->workingSetAtStart = workingSet(false);
    double start = now();
    if (transfer->signedArchive) {
        transfer->ok = downloadVerifiedArchive(transfer->url, transfer->path,
                                               *transfer->signedArchive) == ArchiveFetched;
    } else {
        transfer->ok = downloadToFile(transfer->url, transfer->path);
    }
    transfer->seconds = now() - start;
    // What one progress update costs the transfer: the callback as libcurl calls it, with both
    // window messages carried over to the GUI thread.
    const int calls = 1000;
    long updatesBefore = statusUpdates;
    start = now();
    for (int i = 0; i < calls; ++i)
        downloadProgress(nullptr, 268435456.0, 1048576.0 * (i % 256), 0, 0);
    transfer->callbackSeconds = (now() - start) / calls;
    statusUpdates = updatesBefore;
    PostMessageA(session.mainWindow, transferDone, 0, 0);
    return 0;
}

LRESULT CALLBACK benchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == transferDone) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool createWindow()
{
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = benchWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = "qim_bench";
    RegisterClassA(&windowClass);
    session.mainWindow = CreateWindowExA(0, "qim_bench", "QIM Update", WS_OVERLAPPEDWINDOW, 200,
                                         200, 315, 200, nullptr, nullptr, nullptr, nullptr);
    if (!session.mainWindow)
        return false;
    ShowWindow(session.mainWindow, SW_SHOW);
    session.statusLabel =
        CreateWindowExA(0, "STATIC", "Click Check update...", WS_CHILD | WS_VISIBLE, 10, 30, 335,
                        20, session.mainWindow, nullptr, nullptr, nullptr);
    session.progressBar =
        CreateWindowExA(0, PROGRESS_CLASSA, nullptr, WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 10, 50,
                        290, 17, session.mainWindow, nullptr, nullptr, nullptr);
    SendMessageA(session.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    labelProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
        session.statusLabel, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(countingLabelProc)));
    return session.statusLabel && session.progressBar;
}

bool runUpdaterPath(Transfer *transfer)
{
    if (!createWindow())
        return false;
    HANDLE worker = CreateThread(nullptr, 0, transferWorker, transfer, 0, nullptr);
    if (!worker)
        return false;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    return true;
}

//--- libcurl alone

bool runBare(Transfer *transfer)
{
    FILE *file = nullptr;
    if (fopen_s(&file, transfer->path, "wb") != 0 || !file)
        return false;
    CURL *curl = curl_easy_init();
    long code = 0;
    transfer->workingSetAtStart = workingSet(false);
    double start = now();
    if (curl) {
        curl_easy_setopt(curl, CURLOPT_URL, transfer->url);
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, file);
        transfer->ok = curl_easy_perform(curl) == CURLE_OK;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        curl_easy_cleanup(curl);
    }
    fclose(file);
    transfer->seconds = now() - start;
    transfer->ok = transfer->ok && code < 400;
    return curl != nullptr;
}
} // namespace

int main(int argc, char **argv)
{
    bool verified = argc == 6 && strcmp(argv[1], "verified") == 0;
    if (!verified &&
        (argc != 4 || (strcmp(argv[1], "updater") != 0 && strcmp(argv[1], "bare") != 0))) {
        fprintf(stderr, "usage: bench_download updater|bare URL FILE\n"
                        "       bench_download verified URL FILE SIZE HASH\n");
        return 2;
    }
    SignedArchive archive{};
    if (verified && (sscanf(argv[4], "%lld", &archive.size) != 1 ||
                     sodium_hex2bin(archive.hash, sizeof archive.hash, argv[5], strlen(argv[5]),
                                    nullptr, nullptr, nullptr) != 0)) {
        fprintf(stderr, "bench_download: SIZE and HASH (64 hex digits) expected\n");
        return 2;
    }
    Transfer transfer{argv[2], argv[3], false, 0.0, 0, 0.0, verified ? &archive : nullptr};
    curl_global_init(CURL_GLOBAL_DEFAULT);
    SIZE_T before = workingSet(false);
    bool updater = strcmp(argv[1], "bare") != 0;
    bool ran = updater ? runUpdaterPath(&transfer) : runBare(&transfer);
    SIZE_T peak = workingSet(true);
    if (!ran || !transfer.ok) {
        fprintf(stderr, "bench_download: the transfer failed\n");
        return 1;
    }
    printf("mode=%s bytes=%lld seconds=%.3f updates=%ld callback_us=%.1f "
           "workingset_process_start=%lu workingset_before=%lu peak_workingset=%lu\n",
           argv[1], fileSize(transfer.path), transfer.seconds, statusUpdates,
           transfer.callbackSeconds * 1e6, static_cast<unsigned long>(before),
           static_cast<unsigned long>(transfer.workingSetAtStart),
           static_cast<unsigned long>(peak));
    return 0;
}
