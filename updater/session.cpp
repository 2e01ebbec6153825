#include "session.h"

UpdaterSession session;
