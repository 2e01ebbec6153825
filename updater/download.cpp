#include "download.h"

// Not built yet.
char *makeTempFileName()
{
    return nullptr;
}

bool downloadToFile(const char *, const char *)
{
    return false;
}

int downloadProgress(void *, double, double, double, double)
{
    return 0;
}
