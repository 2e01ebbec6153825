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
