#include "installsupport.h"
// Placeholder until the library is built.
bool directoryExists(const char *)
{
    return false;
}
bool fileExists(const char *)
{
    return false;
}
