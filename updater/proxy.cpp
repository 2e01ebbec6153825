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

// Settings and lists may be of any length: copies are made to measure, for free().
static char *narrowCopy(const WCHAR *wide)
{
    int size = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    char *text = size > 0 ? (char *)malloc((size_t)size) : nullptr;
    if (text && WideCharToMultiByte(CP_ACP, 0, wide, -1, text, size, nullptr, nullptr) != size) {
        free(text);
        return nullptr;
    }
    return text;
}

static WCHAR *wideCopy(const char *text)
{
    int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    WCHAR *wide = size > 0 ? (WCHAR *)malloc((size_t)size * sizeof(WCHAR)) : nullptr;
    if (wide && MultiByteToWideChar(CP_ACP, 0, text, -1, wide, size) != size) {
        free(wide);
        return nullptr;
    }
    return wide;
}

// prefix and text joined, for free().
static char *joined(const char *prefix, const char *text)
{
    size_t size = strlen(prefix) + strlen(text) + 1;
    char *both = (char *)malloc(size);
    if (both)
        snprintf(both, size, "%s%s", prefix, text);
    return both;
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
// Cuts the next entry out of the list in place; nullptr at the list's end.
static char *nextEntry(char **cursor)
{
    static const char separators[] = "; ,\t\r\n";
    char *start = *cursor + strspn(*cursor, separators);
    size_t length = strcspn(start, separators);
    *cursor = start + length;
    if (length == 0)
        return nullptr;
    if (start[length])
        *cursor += 1;
    start[length] = '\0';
    return start;
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

// Takes the list apart.
static bool bypassed(char *list, const UrlParts &url)
{
    for (char *cursor = list, *entry; (entry = nextEntry(&cursor));)
        if (bypassEntryMatches(entry, url))
            return true;
    return false;
}

static ProxyRoute routeTo(const char *prefix, const char *address, char **proxy)
{
    if (!*address)
        return RouteDirect;
    *proxy = joined(prefix, address);
    return *proxy ? RouteProxy : RouteUnusable;
}

// The list names one proxy for every scheme ("host:port") or one per scheme
// ("http=host:port;https=host:port;socks=host:port"); takes the list apart. RouteDirect when
// none serves this scheme.
static ProxyRoute proxyForScheme(char *list, const char *scheme, char **proxy)
{
    const char *socks = nullptr;
    for (char *cursor = list, *entry; (entry = nextEntry(&cursor));) {
        char *equals = strchr(entry, '=');
        if (!equals)
            return routeTo("", entry, proxy);
        *equals = '\0';
        if (_stricmp(entry, scheme) == 0)
            return routeTo("", equals + 1, proxy);
        if (_stricmp(entry, "socks") == 0 && !socks)
            socks = equals + 1;
    }
    return socks ? routeTo("socks4://", socks, proxy) : RouteDirect;
}

static ProxyRoute routeFromList(const WCHAR *wideList, const char *scheme, char **proxy)
{
    char *list = narrowCopy(wideList);
    if (!list)
        return RouteUnusable;
    ProxyRoute route = proxyForScheme(list, scheme, proxy);
    free(list);
    return route;
}

static ProxyRoute fixedRoute(const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG &options,
                             const UrlParts &url, char **proxy)
{
    if (!options.lpszProxy)
        return RouteDirect;
    if (options.lpszProxyBypass) {
        char *bypassList = narrowCopy(options.lpszProxyBypass);
        if (!bypassList)
            return RouteUnusable;
        bool direct = bypassed(bypassList, url);
        free(bypassList);
        if (direct)
            return RouteDirect;
    }
    return routeFromList(options.lpszProxy, url.scheme, proxy);
}

//--- automatic detection and configuration scripts

// Shared by the waiting transfer and the lookup thread; whoever lets go last frees it, so a
// lookup that outlives its limit finishes on its own.
struct AutomaticLookup {
    LONG holders;
    WCHAR *url;
    WCHAR *scriptUrl; // nullptr: detection only
    bool detect;
    long limitSeconds;
    char scheme[16];
    ProxyRoute route;
    char *proxy;
};

static void releaseLookup(AutomaticLookup *lookup)
{
    if (InterlockedDecrement(&lookup->holders) != 0)
        return;
    free(lookup->url);
    free(lookup->scriptUrl);
    free(lookup->proxy);
    free(lookup);
}

static ProxyRoute routeFromProxyInfo(const WINHTTP_PROXY_INFO &info, AutomaticLookup *lookup)
{
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || !info.lpszProxy)
        return RouteDirect;
    // A script may name several proxies; the first is the one it prefers.
    return routeFromList(info.lpszProxy, lookup->scheme, &lookup->proxy);
}

// A script that detection found but that cannot be fetched or run is not "nothing found". One
// whose server asks for a login is: whoever answers detection on the network could be asking
// for the user's Windows credentials, and is given none.
static bool detectionFoundNothing(DWORD error)
{
    return error == ERROR_WINHTTP_AUTODETECTION_FAILED ||
           error == ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR || error == ERROR_WINHTTP_LOGIN_FAILURE;
}

static ProxyRoute askWinHttp(HINTERNET winHttp, AutomaticLookup *lookup, BOOL logOn, DWORD *error)
{
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    // A script comes from whoever answers on the network: it runs in WinHTTP's own service
    // (Local Service), never inside this elevated process, even when the service fails.
    options.dwFlags = WINHTTP_AUTOPROXY_RUN_OUTPROCESS_ONLY;
    if (lookup->detect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (lookup->scriptUrl) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = lookup->scriptUrl;
    }
    options.fAutoLogonIfChallenged = logOn;
    WINHTTP_PROXY_INFO info = {};
    ProxyRoute route = RouteUnusable;
    if (WinHttpGetProxyForUrl(winHttp, lookup->url, &options, &info)) {
        route = routeFromProxyInfo(info, lookup);
    } else {
        *error = GetLastError();
        if (!lookup->scriptUrl && detectionFoundNothing(*error))
            route = RouteNotFound;
    }
    GlobalFree(info.lpszProxy);
    GlobalFree(info.lpszProxyBypass);
    return route;
}

// One lookup in a session of its own.
static ProxyRoute lookUp(AutomaticLookup *lookup, BOOL logOn, DWORD *error)
{
    HINTERNET winHttp = WinHttpOpen(L"QIMUpdate", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!winHttp)
        return RouteUnusable;
    int milliseconds = (int)lookup->limitSeconds * 1000;
    WinHttpSetTimeouts(winHttp, milliseconds, milliseconds, milliseconds, milliseconds);
    ProxyRoute route = askWinHttp(winHttp, lookup, logOn, error);
    WinHttpCloseHandle(winHttp);
    return route;
}

static DWORD WINAPI automaticLookupThread(void *argument)
{
    AutomaticLookup *lookup = (AutomaticLookup *)argument;
    DWORD error = 0;
    ProxyRoute route = lookUp(lookup, FALSE, &error);
    // The user's Windows credentials go only to the server of the script the user named, when it
    // asks for them, and in a fresh session without detection, as WinHTTP asks after a failed
    // login; never to a script that detection found.
    if (route == RouteUnusable && error == ERROR_WINHTTP_LOGIN_FAILURE && lookup->scriptUrl) {
        lookup->detect = false;
        route = lookUp(lookup, TRUE, &error);
    }
    lookup->route = route;
    releaseLookup(lookup);
    return 0;
}

// Waits for the lookup within the limit; the user's abort ends the wait too. waitFailed: the
// wait itself failed, so nothing is known of the lookup.
static bool lookupFinished(HANDLE thread, long limitSeconds, bool *waitFailed)
{
    ULONGLONG deadline = GetTickCount64() + (ULONGLONG)limitSeconds * 1000;
    DWORD waited;
    while ((waited = WaitForSingleObject(thread, 100)) == WAIT_TIMEOUT) {
        if (session.abortDownload || GetTickCount64() >= deadline)
            return false;
    }
    *waitFailed = waited != WAIT_OBJECT_0;
    return !*waitFailed;
}

static bool prepareLookup(AutomaticLookup *lookup,
                          const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG &options, const char *url,
                          const UrlParts &parts, long limitSeconds)
{
    lookup->holders = 2;
    lookup->route = RouteUnusable; // until the lookup has ended
    lookup->detect = options.fAutoDetect != FALSE;
    memcpy(lookup->scheme, parts.scheme, sizeof lookup->scheme);
    lookup->limitSeconds = limitSeconds;
    lookup->url = wideCopy(url);
    if (options.lpszAutoConfigUrl)
        lookup->scriptUrl = _wcsdup(options.lpszAutoConfigUrl);
    return lookup->url && (lookup->scriptUrl || !options.lpszAutoConfigUrl);
}

static ProxyRoute automaticRoute(const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG &options,
                                 const char *url, const UrlParts &parts, long limitSeconds,
                                 char **proxy)
{
    AutomaticLookup *lookup = (AutomaticLookup *)calloc(1, sizeof *lookup);
    if (!lookup)
        return RouteUnusable;
    bool scripted = options.lpszAutoConfigUrl != nullptr;
    long limit = scripted || limitSeconds < detectionSeconds ? limitSeconds : detectionSeconds;
    bool prepared = prepareLookup(lookup, options, url, parts, limit);
    HANDLE thread =
        prepared ? CreateThread(nullptr, 0, automaticLookupThread, lookup, 0, nullptr) : nullptr;
    if (!thread) {
        lookup->holders = 1;
        releaseLookup(lookup);
        return RouteUnusable;
    }
    ProxyRoute route = RouteUnusable;
    bool waitFailed = false;
    if (lookupFinished(thread, limit, &waitFailed))
        route = lookup->route;
    else if (!scripted && !session.abortDownload && !waitFailed)
        route = RouteNotFound; // detection that takes this long has found nothing usable
    CloseHandle(thread);
    if (route == RouteProxy) { // the thread has ended: the proxy is this transfer's now
        *proxy = lookup->proxy;
        lookup->proxy = nullptr;
    }
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
                              char **proxy)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG options = {};
    ProxyRoute route = RouteDirect; // no settings to read: nothing asks for a proxy
    if (WinHttpGetIEProxyConfigForCurrentUser(&options)) {
        route = RouteNotFound;
        if (options.fAutoDetect || options.lpszAutoConfigUrl)
            route = automaticRoute(options, url, parts, limitSeconds, proxy);
        if (route == RouteNotFound)
            route = fixedRoute(options, parts, proxy);
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
    char *proxy = nullptr;
    ProxyRoute route = systemRoute(url, parts, limitSeconds, &proxy);
    // An empty proxy is libcurl's "no proxy" (libcurl keeps its own copy). CURLOPT_NOPROXY stays
    // unset, so a no_proxy variable still names hosts to reach directly.
    bool set = route != RouteUnusable &&
               curl_easy_setopt(transfer, CURLOPT_PROXY,
                                route == RouteProxy && proxy ? proxy : "") == CURLE_OK;
    free(proxy);
    return set;
}
