// Start-up of QIM_InstallPlugins: the machine's architecture, the renderer directory, the
// window and the message loop.
#include "catalogue.h"
#include "installsupport.h"
#include "session.h"
#include "window.h"

// The 3ds Max builds are chosen by the machine's architecture, not by this 32-bit process.
static bool readSystemArchitecture()
{
    SYSTEM_INFO system;
    GetNativeSystemInfo(&system);
    if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64)
        session.is64BitSystem = true;
    else if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL)
        session.is64BitSystem = false;
    else
        return false;
    return true;
}

static int runMessageLoop()
{
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (TranslateAcceleratorA(message.hwnd, nullptr, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    registerInstallerClass(instance);
    session.rendererDir = rendererDirectory();
    setUpDllSearchPath();
    if (!readSystemArchitecture()) {
        MessageBoxA(nullptr, "Unfortunately I can't determine your system version.", "", MB_OK);
        return 0;
    }
    detectMaxInstallations(session.is64BitSystem);
    // Without a window nobody could end the program: tell the user and stop.
    if (!createInstallerWindow(instance)) {
        MessageBoxA(nullptr, "Error!\n\nCan't create the installer window.", "Error", MB_OK);
        return 1;
    }
    createInstallerControls(instance);
    refreshRows();
    if (!session.rendererDir) {
        disableAllButQuit();
        MessageBoxA(session.installerWindow,
                    "Error!\n\nCan't determine QIM directory.\nRun VBS file from QIM directory and "
                    "then install plugins again.",
                    "Error", MB_OK);
    }
    return runMessageLoop();
}
