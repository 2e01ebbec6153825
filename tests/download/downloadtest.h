// Shared steps of the download tests: scenarios on the loopback update server and the
// updater's controls.
#pragma once
#include "fixtures.h"
#include "guidriver.h"
#include <string>
#include <vector>

enum UpdaterControl {
    ActionButtonId = 201,
    ExitButtonId = 203,
    VersionLabelId = 204,
    StatusLabelId = 205,
    AutoInstallCheckboxId = 207,
};

// The server's paths, as the updater asks for them.
const char releaseVersionPath[] = "/files/qimRenderer/update/qim.ver";
const char betaVersionPath[] = "/files/qimRenderer/update/alpha.ver";

// Puts bytes at a URL path of the test server (e.g. "/unit/a.bin"); behaviour holds the lines
// of its .behave side file (none when empty). Returns the full URL.
std::string serve(const std::string &urlPath, const std::string &bytes,
                  const std::string &behaviour = "");
// An update archive (Renderer_M.m.b.zip, beta under alpha/) and beside it its signature file,
// signed with the test release key as the publishing tool would.
std::string serveSignedArchive(const std::string &urlPath, const std::string &bytes,
                               const std::string &behaviour = "");
// Only a behaviour, no file (status and redirect scenarios).
std::string serveBehaviour(const std::string &urlPath, const std::string &behaviour);
// Lets a held (stall/mute) answer go on.
void releaseServer(const std::string &urlPath);
std::string serverUrl(const std::string &urlPath);
// Windows path of a URL path in the web root.
std::string webPath(const std::string &urlPath);

// Paths asked for since the last clearRequests().
std::vector<std::string> requestedPaths();
void clearRequests();
int requestCount(const std::string &urlPath);
// Waits until the server has seen a request for the path.
bool waitForRequest(const std::string &urlPath, DWORD timeoutMs = 10000);

// Files the updater names in the temporary directory ("qim..." entries).
std::vector<std::string> newQimTempEntries(const std::vector<std::string> &before);
