// Starts a program RUNS times and prints, for each start, the milliseconds until its first
// visible top-level window of the given class; then closes it.
// Usage: startuptimer EXE CLASS RUNS
#include "fixtures.h"
#include "guidriver.h"
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: startuptimer EXE CLASS RUNS\n");
        return 2;
    }
    // The updater needs a recorded installation, or it warns before its window appears.
    makeInstallation("bench-startup", {1, 0, 0});
    int runs = atoi(argv[3]);
    for (int run = 0; run < runs; run++) {
        LARGE_INTEGER frequency, start, end;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        Program program;
        if (!program.start(argv[1]))
            return 1;
        HWND window = program.waitForWindow(argv[2], 20000, true);
        QueryPerformanceCounter(&end);
        if (!window)
            return 1;
        printf("%.1f\n", (end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart);
        fflush(stdout);
        PostMessageA(window, WM_CLOSE, 0, 0);
        DWORD exitCode;
        program.waitForExit(10000, &exitCode);
    }
    return 0;
}
