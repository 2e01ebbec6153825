// Users behind a proxy set it in Internet Options (or let Windows find it), never in the
// environment variables that libcurl reads. So each transfer asks WinHTTP for the user's
// settings, as Windows' own programs do, and tells libcurl the outcome.
#include "proxy.h"
#include "session.h"
#include <windows.h>
#include <winhttp.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Automatic detection that finds nothing must not hold up every transfer of a user without a
// proxy; a script the user named gets the whole connect limit.
static const long detectionSeconds = 5;

enum ProxyRoute {
    RouteDirect,
    RouteProxy,    // through the proxy named beside it
    RouteNotFound, // automatic detection found no script: the next setting decides
    RouteUnusable, // the settings ask for a proxy that cannot be determined
};

struct UrlParts {
    char scheme[16];
    char host[256];
    char hostPort[272];
};

//--- text helpers

static bool narrowCopy(const WCHAR *wide, char *text, size_t size)
{
    return WideCharToMultiByte(CP_ACP, 0, wide, -1, text, (int)size, nullptr, nullptr) > 0;
}

static bool copyUrlPart(CURLU *parsed, CURLUPart part, unsigned int flags, char *text, size_t size)
{
    char *value = nullptr;
    if (curl_url_get(parsed, part, &value, flags) != CURLUE_OK)
        return false;
    int length = snprintf(text, size, "%s", value);
    curl_free(value);
    return length >= 0 && (size_t)length < size;
}

static bool splitUrl(const char *url, UrlParts *parts)
{
    CURLU *parsed = curl_url();
    if (!parsed)
        return false;
    char port[16];
    bool split = curl_url_set(parsed, CURLUPART_URL, url, 0) == CURLUE_OK &&
                 copyUrlPart(parsed, CURLUPART_SCHEME, 0, parts->scheme, sizeof parts->scheme) &&
                 copyUrlPart(parsed, CURLUPART_HOST, 0, parts->host, sizeof parts->host) &&
                 copyUrlPart(parsed, CURLUPART_PORT, CURLU_DEFAULT_PORT, port, sizeof port);
    curl_url_cleanup(parsed);
    if (!split)
        return false;
    int length = snprintf(parts->hostPort, sizeof parts->hostPort, "%s:%s", parts->host, port);
    return length >= 0 && (size_t)length < sizeof parts->hostPort;
}

// Lists in Internet Options separate their entries with semicolons; people also use spaces.
static bool nextEntry(const char **cursor, char *entry, size_t size)
{
    const char *start = *cursor + strspn(*cursor, "; ,\t\r\n");
    size_t length = strcspn(start, "; ,\t\r\n");
    *cursor = start + length;
    if (length == 0 || length >= size)
        return false;
    memcpy(entry, start, length);
    entry[length] = '\0';
    return true;
}

//--- the fixed proxy and its bypass list

// '*' stands for any run of characters, '?' for one; letter case does not count. A mismatch
// after a star retries from one character further, so no pattern takes exponential time.
static bool wildcardMatch(const char *pattern, const char *text)
{
    const char *star = nullptr;
    const char *resume = nullptr;
    while (*text) {
        if (*pattern == '*') {
            star = pattern++;
            resume = text;
        } else if (*pattern && (*pattern == '?' || tolower((unsigned char)*pattern) ==
                                                       tolower((unsigned char)*text))) {
            ++pattern;
            ++text;
        } else if (star) {
            pattern = star + 1;
            text = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return !*pattern;
}

// "<local>" names hosts without a dot; other entries are host patterns, optionally with a
// scheme in front ("http://") and a port behind (":8080").
static bool bypassEntryMatches(const char *entry, const UrlParts &url)
{
    if (_stricmp(entry, "<local>") == 0)
        return strchr(url.host, '.') == nullptr;
    const char *separator = strstr(entry, "://");
    if (separator) {
        size_t length = (size_t)(separator - entry);
        if (length != strlen(url.scheme) || _strnicmp(entry, url.scheme, length) != 0)
            return false;
        entry = separator + 3;
    }
    return wildcardMatch(entry, strchr(entry, ':') ? url.hostPort : url.host);
}

static bool bypassed(const char *list, const UrlParts &url)
{
    char entry[2048];
    for (const char *cursor = list; *cursor;)
        if (nextEntry(&cursor, entry, sizeof entry) && bypassEntryMatches(entry, url))
            return true;
    return false;
}

// The list names one proxy for every scheme ("host:port") or one per scheme
// ("http=host:port;https=host:port;socks=host:port"). False when none serves this scheme.
static bool proxyForScheme(const char *list, const char *scheme, char *proxy, size_t size)
{
    char entry[2048];
    char socks[2048] = "";
    for (const char *cursor = list; *cursor;) {
        if (!nextEntry(&cursor, entry, sizeof entry))
            continue;
        char *equals = strchr(entry, '=');
        const char *address = equals ? equals + 1 : entry;
        if (equals)
            *equals = '\0';
        if (!equals || _stricmp(entry, scheme) == 0) {
            int length = snprintf(proxy, size, "%s", address);
            return length > 0 && (size_t)length < size;
        }
        if (_stricmp(entry, "socks") == 0 && !*socks)
            snprintf(socks, sizeof socks, "socks4://%s", address);
    }
    int length = snprintf(proxy, size, "%s", socks);
    return length > 0 && (size_t)length < size;
}

static ProxyRoute fixedRoute(const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG &options,
                             const UrlParts &url, char *proxy, size_t size)
{
    char list[2048];
    if (!options.lpszProxy)
        return RouteDirect;
    if (!narrowCopy(options.lpszProxy, list, sizeof list))
        return RouteUnusable;
    if (options.lpszProxyBypass) {
        char bypassList[2048];
        if (!narrowCopy(options.lpszProxyBypass, bypassList, sizeof bypassList))
            return RouteUnusable;
        if (bypassed(bypassList, url))
            return RouteDirect;
    }
    return proxyForScheme(list, url.scheme, proxy, size) ? RouteProxy : RouteDirect;
}

//--- automatic detection and configuration scripts

// Shared by the waiting transfer and the lookup thread; whoever lets go last frees it, so a
// lookup that outlives its limit finishes on its own.
struct AutomaticLookup {
    LONG holders;
    WCHAR url[2048];
    WCHAR scriptUrl[2048];
    bool detect;
    long limitSeconds;
    char scheme[16];
    ProxyRoute route;
    char proxy[2048];
};

static void releaseLookup(AutomaticLookup *lookup)
{
    if (InterlockedDecrement(&lookup->holders) == 0)
        free(lookup);
}

static ProxyRoute routeFromProxyInfo(const WINHTTP_PROXY_INFO &info, AutomaticLookup *lookup)
{
    char list[2048];
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || !info.lpszProxy)
        return RouteDirect;
    if (!narrowCopy(info.lpszProxy, list, sizeof list))
        return RouteUnusable;
    // A script may name several proxies; the first is the one it prefers.
    return proxyForScheme(list, lookup->scheme, lookup->proxy, sizeof lookup->proxy) ? RouteProxy
                                                                                     : RouteDirect;
}

// A script that detection found but that cannot be fetched or run is not "nothing found".
static bool detectionFoundNothing(DWORD error)
{
    return error == ERROR_WINHTTP_AUTODETECTION_FAILED ||
           error == ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR;
}

static ProxyRoute askWinHttp(HINTERNET winHttp, AutomaticLookup *lookup)
{
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (lookup->detect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (lookup->scriptUrl[0]) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = lookup->scriptUrl;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    ProxyRoute route = RouteUnusable;
    if (WinHttpGetProxyForUrl(winHttp, lookup->url, &options, &info))
        route = routeFromProxyInfo(info, lookup);
    else if (!lookup->scriptUrl[0] && detectionFoundNothing(GetLastError()))
        route = RouteNotFound;
    GlobalFree(info.lpszProxy);
    GlobalFree(info.lpszProxyBypass);
    return route;
}

static DWORD WINAPI automaticLookupThread(void *argument)
{
    AutomaticLookup *lookup = (AutomaticLookup *)argument;
    HINTERNET winHttp = WinHttpOpen(L"QIMUpdate", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    lookup->route = RouteUnusable;
    if (winHttp) {
        int milliseconds = (int)lookup->limitSeconds * 1000;
        WinHttpSetTimeouts(winHttp, milliseconds, milliseconds, milliseconds, milliseconds);
        lookup->route = askWinHttp(winHttp, lookup);
        WinHttpCloseHandle(winHttp);
    }
    releaseLookup(lookup);
    return 0;
}

// Waits for the lookup within the limit; the user's abort ends the wait too.
static bool lookupFinished(HANDLE thread, long limitSeconds)
{
    ULONGLONG deadline = GetTickCount64() + (ULONGLONG)limitSeconds * 1000;
    while (WaitForSingleObject(thread, 100) == WAIT_TIMEOUT) {
        if (session.abortDownload || GetTickCount64() >= deadline)
            return false;
    }
    return true;
}

static bool prepareLookup(AutomaticLookup *lookup,
                          const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG &options, const char *url,
                          const UrlParts &parts, long limitSeconds)
{
    lookup->holders = 2;
    lookup->detect = options.fAutoDetect != FALSE;
    memcpy(lookup->scheme, parts.scheme, sizeof lookup->scheme);
    lookup->limitSeconds = limitSeconds;
    if (MultiByteToWideChar(CP_ACP, 0, url, -1, lookup->url, 2048) == 0)
        return false;
    if (!options.lpszAutoConfigUrl)
        return true;
    size_t length = wcslen(options.lpszAutoConfigUrl);
    if (length >= 2048)
        return false;
    memcpy(lookup->scriptUrl, options.lpszAutoConfigUrl, (length + 1) * sizeof(WCHAR));
    return true;
}

static ProxyRoute automaticRoute(const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG &options,
                                 const char *url, const UrlParts &parts, long limitSeconds,
                                 char *proxy, size_t size)
{
    AutomaticLookup *lookup = (AutomaticLookup *)calloc(1, sizeof *lookup);
    if (!lookup)
        return RouteUnusable;
    bool scripted = options.lpszAutoConfigUrl != nullptr;
    long limit = scripted || limitSeconds < detectionSeconds ? limitSeconds : detectionSeconds;
    if (!prepareLookup(lookup, options, url, parts, limit)) {
        free(lookup);
        return RouteUnusable;
    }
    HANDLE thread = CreateThread(nullptr, 0, automaticLookupThread, lookup, 0, nullptr);
    if (!thread) {
        free(lookup);
        return RouteUnusable;
    }
    ProxyRoute route = RouteUnusable;
    if (lookupFinished(thread, limit))
        route = lookup->route;
    else if (!scripted && !session.abortDownload)
        route = RouteNotFound; // detection that takes this long has found nothing usable
    CloseHandle(thread);
    if (route == RouteProxy && snprintf(proxy, size, "%s", lookup->proxy) >= (int)size)
        route = RouteUnusable;
    releaseLookup(lookup);
    return route;
}

//--- the transfer's proxy

// libcurl reads these for every connection it makes; when one names a proxy, it decides.
static bool environmentNamesProxy(const char *scheme)
{
    char name[32];
    char value[2];
    snprintf(name, sizeof name, "%s_proxy", scheme);
    // Only presence counts: a longer value reports its length, an empty one 0.
    return GetEnvironmentVariableA(name, value, sizeof value) > 0 ||
           GetEnvironmentVariableA("all_proxy", value, sizeof value) > 0;
}

// Internet Options apply in the order Windows applies them: automatic detection, the
// configuration script, the fixed proxy with its bypass list.
static ProxyRoute systemRoute(const char *url, const UrlParts &parts, long limitSeconds,
                              char *proxy, size_t size)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG options = {};
    ProxyRoute route = RouteDirect; // no settings to read: nothing asks for a proxy
    if (WinHttpGetIEProxyConfigForCurrentUser(&options)) {
        route = RouteNotFound;
        if (options.fAutoDetect || options.lpszAutoConfigUrl)
            route = automaticRoute(options, url, parts, limitSeconds, proxy, size);
        if (route == RouteNotFound)
            route = fixedRoute(options, parts, proxy, size);
    }
    GlobalFree(options.lpszAutoConfigUrl);
    GlobalFree(options.lpszProxy);
    GlobalFree(options.lpszProxyBypass);
    return route;
}

bool useSystemProxy(CURL *transfer, const char *url, long limitSeconds)
{
    UrlParts parts;
    if (!splitUrl(url, &parts))
        return false; // no way to tell whether the settings let it go direct
    if (environmentNamesProxy(parts.scheme))
        return true;
    char proxy[2048] = "";
    ProxyRoute route = systemRoute(url, parts, limitSeconds, proxy, sizeof proxy);
    if (route == RouteUnusable)
        return false;
    // An empty proxy is libcurl's "no proxy". CURLOPT_NOPROXY stays unset, so a no_proxy
    // variable still names hosts to reach directly.
    return curl_easy_setopt(transfer, CURLOPT_PROXY, route == RouteProxy ? proxy : "") == CURLE_OK;
}
