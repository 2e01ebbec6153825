// The updater's single global record and its state numbers.
#pragma once
#include <windows.h>
#include <atomic>
#include <stdint.h>

enum UpdaterState : int32_t {
    Starting = 1,
    Ready = 2,
    NotInstalled = 3,
    CheckingServer = 4,
    UpdateAvailable = 5,
    UpToDate = 6,
    CheckFailed = 7,
    Downloading = 8,
    Downloaded = 9,
    DownloadFailed = 10,
    Installing = 11,
    ChoosingDirectory = 12,
    Unpacking = 13,
    Copying = 14,
    PluginsInstaller = 16,
    InstallFailed = 17,
    InstallAborted = 18,
    Installed = 19,
};

struct RendererVersion {
    int32_t major;
    int32_t minor;
    int32_t build;
};

struct UpdaterSession {
    std::atomic<UpdaterState> state{Starting};
    bool silent;
    bool betaTester;
    bool autoUpdate;
    bool autoInstall;
    bool differentDirs;
    std::atomic<bool> abortDownload;
    std::atomic<bool> abortInstall;
    // Workers started and not yet ended: the window stays while one runs, whatever the state.
    std::atomic<int> workersRunning;
    // Set by a worker that ends the program: the close is sent once it has ended.
    std::atomic<bool> closeWhenWorkerEnds;
    bool filesIgnored;
    RendererVersion installedVersion;
    RendererVersion serverVersion;
    char *versionFileUrl;
    char *versionFilePath;
    char *archiveUrl;
    char *archivePath;
    HWND mainWindow;
    HWND actionButton;
    HWND exitButton;
    HWND versionLabel;
    HWND statusLabel;
    HWND autoUpdateCheckbox;
    HWND autoInstallCheckbox;
    HWND differentDirsCheckbox;
    HWND progressBar;
};

extern UpdaterSession session;

// Starts a worker thread that nobody waits for; false when it could not be created. The worker
// counts in workersRunning until its routine has returned.
bool startWorker(LPTHREAD_START_ROUTINE routine, void *parameter);
// The same, with the state set to the worker's running state first (and set back when the
// thread cannot be created), so that the state says a worker runs from the moment it starts.
bool startWorkerIn(UpdaterState running, LPTHREAD_START_ROUTINE routine, void *parameter);
