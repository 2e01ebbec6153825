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
// The same files over HTTPS, on the port after the test server's: with a certificate the test
// prefix trusts (Good), one for another host name (WrongHost), one from an unknown authority;
// one issued by an intermediate the server sends along, an expired one, and one for client
// authentication only.
enum TlsServer {
    Good = 1,
    WrongHost = 2,
    UnknownAuthority = 3,
    Chained = 4,
    Expired = 5,
    OtherPurpose = 6
};
std::string tlsServerUrl(TlsServer server, const std::string &urlPath);
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

//--- the proxy Windows is set to use
// "127.0.0.1:<port>" of the test server, which also serves as an HTTP proxy (requests that
// come through it are logged with the whole URL).
std::string testProxy();

// Internet Options flags as Windows stores them in its connection record.
enum InternetOptionFlags : DWORD {
    DirectConnection = 1,
    FixedProxy = 2,
    ConfigurationScript = 4,
    AutomaticDetection = 8,
};

// Writes the user's Internet Options record the way Windows stores it; the record found at
// construction is put back at destruction.
class InternetOptions
{
  public:
    InternetOptions();
    ~InternetOptions();
    InternetOptions(const InternetOptions &) = delete;
    InternetOptions &operator=(const InternetOptions &) = delete;
    void set(DWORD flags, const std::string &proxy, const std::string &bypass = "",
             const std::string &script = "");

  private:
    bool saved_ = false;
    std::string previous_;
};

// Sets an environment variable of this process (and the programs it starts) for a scope.
class ScopedVariable
{
  public:
    ScopedVariable(const char *name, const char *value);
    ~ScopedVariable();
    ScopedVariable(const ScopedVariable &) = delete;
    ScopedVariable &operator=(const ScopedVariable &) = delete;

  private:
    std::string name_;
    bool saved_ = false;
    std::string previous_;
};
