// The plug-in installer's single global record: its window, the renderer directory and the
// twelve 3ds Max target rows.
#pragma once
#include <windows.h>

const int hostTargetCount = 12;

// One 3ds Max target: compiled-in texts and keys, what detection found, and the row's controls.
struct HostTarget {
    const char *label;
    const char *pathHint;
    const char *displayName;
    bool is64BitBuild;
    const char *nativeKey;
    const char *redirectedKey;
    const char *pluginSubpath;

    char *maxInstallDir;
    bool detected;

    HWND checkBox;
    HWND pathEdit;
    HWND browseButton;
    HWND statusText;
};

struct InstallerSession {
    HWND installerWindow;
    char *rendererDir;
    bool is64BitSystem;
    HWND messageLine;
    HWND installButton;
    HWND quitButton;
    HostTarget targets[hostTargetCount];
};

extern InstallerSession session;
