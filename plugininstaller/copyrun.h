// The "Install" run: copies each ticked row's plug-in build into the row's directory.
#pragma once

char *fileNameFromSubpath(const char *subpath);
void runPluginInstall();
