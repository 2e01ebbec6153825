// Shared steps of the download tests: files served by the loopback update server and what it
// was asked for.
#include "downloadtest.h"
#include <algorithm>
#include <stdio.h>

std::string webPath(const std::string &urlPath)
{
    std::string path = webRoot() + urlPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string serverUrl(const std::string &urlPath)
{
    return "http://127.0.0.1:" + std::to_string(testServerPort()) + urlPath;
}

std::string tlsServerUrl(TlsServer server, const std::string &urlPath)
{
    return "https://127.0.0.1:" + std::to_string(testServerPort() + server) + urlPath;
}

std::string serve(const std::string &urlPath, const std::string &bytes,
                  const std::string &behaviour)
{
    std::string path = webPath(urlPath);
    writeFile(path, bytes);
    DeleteFileA((path + ".release").c_str());
    if (behaviour.empty())
        DeleteFileA((path + ".behave").c_str());
    else
        writeFile(path + ".behave", behaviour + "\n");
    // A version file comes with its signed announcement, as the publisher writes them.
    bool beta = urlPath == betaVersionPath;
    if ((beta || urlPath == releaseVersionPath) && bytes.size() == 3) {
        DeleteFileA((path + ".sig.behave").c_str());
        announceServedVersion(beta);
    }
    return serverUrl(urlPath);
}

std::string serveSignedArchive(const std::string &urlPath, const std::string &bytes,
                               const std::string &behaviour)
{
    std::string url = serve(urlPath, bytes, behaviour);
    DeleteFileA((webPath(urlPath) + ".sig.behave").c_str());
    signServedArchive(webPath(urlPath));
    return url;
}

std::string serveBehaviour(const std::string &urlPath, const std::string &behaviour)
{
    std::string path = webPath(urlPath);
    DeleteFileA(path.c_str());
    DeleteFileA((path + ".release").c_str());
    writeFile(path + ".behave", behaviour + "\n");
    return serverUrl(urlPath);
}

void releaseServer(const std::string &urlPath)
{
    writeFile(webPath(urlPath) + ".release", "");
}

std::vector<std::string> requestedPaths()
{
    std::string log;
    std::vector<std::string> paths;
    if (!readFile(webRoot() + "\\requests.log", &log))
        return paths;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos)
            end = log.size();
        paths.push_back(log.substr(start, end - start));
        start = end + 1;
    }
    return paths;
}

void clearRequests()
{
    writeFile(webRoot() + "\\requests.log", "");
}

int requestCount(const std::string &urlPath)
{
    std::vector<std::string> paths = requestedPaths();
    return static_cast<int>(std::count(paths.begin(), paths.end(), urlPath));
}

bool waitForRequest(const std::string &urlPath, DWORD timeoutMs)
{
    return waitUntil([&] { return requestCount(urlPath) > 0; }, timeoutMs);
}

std::vector<std::string> newQimTempEntries(const std::vector<std::string> &before)
{
    std::vector<std::string> added;
    for (const std::string &name : qimTempEntries())
        if (std::find(before.begin(), before.end(), name) == before.end())
            added.push_back(name);
    return added;
}

std::string testProxy()
{
    return "127.0.0.1:" + std::to_string(testServerPort());
}

namespace
{
const char connectionsKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
const char connectionSettings[] = "DefaultConnectionSettings";

void appendDword(std::string *record, DWORD value)
{
    record->append(reinterpret_cast<const char *>(&value), sizeof value);
}

void appendText(std::string *record, const std::string &text)
{
    appendDword(record, static_cast<DWORD>(text.size()));
    record->append(text);
}

void writeConnectionSettings(const std::string &record)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, connectionsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, connectionSettings, 0, REG_BINARY,
                   reinterpret_cast<const BYTE *>(record.data()),
                   static_cast<DWORD>(record.size()));
    RegCloseKey(key);
}
} // namespace

InternetOptions::InternetOptions()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, connectionsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    std::vector<char> buffer(65536);
    DWORD size = static_cast<DWORD>(buffer.size());
    saved_ = RegQueryValueExA(key, connectionSettings, nullptr, nullptr,
                              reinterpret_cast<BYTE *>(buffer.data()), &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (saved_)
        previous_.assign(buffer.data(), size);
}

InternetOptions::~InternetOptions()
{
    if (saved_) {
        writeConnectionSettings(previous_);
        return;
    }
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, connectionsKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, connectionSettings);
    RegCloseKey(key);
}

void InternetOptions::set(DWORD flags, const std::string &proxy, const std::string &bypass,
                          const std::string &script)
{
    // Signature, change counter, flags, then three counted texts.
    static DWORD counter = 0x100;
    std::string record;
    appendDword(&record, 0x46);
    appendDword(&record, ++counter);
    appendDword(&record, flags);
    appendText(&record, proxy);
    appendText(&record, bypass);
    appendText(&record, script);
    writeConnectionSettings(record);
}

ScopedVariable::ScopedVariable(const char *name, const char *value) : name_(name)
{
    char previous[4096];
    DWORD length = GetEnvironmentVariableA(name, previous, sizeof previous);
    saved_ = length > 0 && length < sizeof previous;
    if (saved_)
        previous_ = previous;
    SetEnvironmentVariableA(name, value);
}

ScopedVariable::~ScopedVariable()
{
    SetEnvironmentVariableA(name_.c_str(), saved_ ? previous_.c_str() : nullptr);
}
