#include <windows.h>

// Placeholder entry until the window is built.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return 0;
}
