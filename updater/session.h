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

// Starts a worker thread that nobody waits for; false when it could not be created.
bool startWorker(LPTHREAD_START_ROUTINE routine, void *parameter);
