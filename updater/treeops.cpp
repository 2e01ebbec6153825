#include "treeops.h"

// Not built yet.
bool countTree(const char *, uint32_t *, uint32_t *)
{
    return false;
}

bool copyTree(const char *, const char *, uint32_t *, uint32_t *, uint32_t *, uint32_t *)
{
    return false;
}

bool deleteTree(const char *, uint32_t *, uint32_t *)
{
    return false;
}

bool queryFileSize(const char *, uint32_t *size)
{
    *size = 0;
    return false;
}
