// downloadToFile, its progress line and fresh temporary names, and the verification of signed
// archives, run in-process against the loopback test server, with a hidden window holding the
// status line and the progress bar.
#include <winsock2.h>
#include "archivedownload.h"
#include "download.h"
#include "downloadtest.h"
#include "pendingupdate.h"
#include "session.h"
#include "versioncheck.h"
#include <commctrl.h>
#include <gtest/gtest.h>
#include <sodium.h>
#include <algorithm>
#include <memory>
#include <thread>

namespace
{
class DownloadTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        INITCOMMONCONTROLSEX classes{sizeof classes, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&classes);
        host_ = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPED, 0, 0, 320, 120, nullptr,
                                nullptr, nullptr, nullptr);
        ASSERT_NE(host_, nullptr);
        session.statusLabel =
            CreateWindowExA(0, "STATIC", "Click Check update...", WS_CHILD | WS_VISIBLE, 10, 30,
                            335, 20, host_, nullptr, nullptr, nullptr);
        session.progressBar =
            CreateWindowExA(0, PROGRESS_CLASSA, nullptr, WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 10, 50,
                            290, 17, host_, nullptr, nullptr, nullptr);
        SendMessageA(session.progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        session.abortDownload = false;
        scratch_ = freshDir("download-unit");
    }
    void TearDown() override
    {
        DestroyWindow(host_);
        session.statusLabel = session.progressBar = nullptr;
        session.abortDownload = false;
    }
    std::string statusLine() const
    {
        return windowText(session.statusLabel);
    }
    int barPosition() const
    {
        return progressPosition(session.progressBar);
    }
    std::string target(const char *name) const
    {
        return scratch_ + "\\" + name;
    }

    HWND host_ = nullptr;
    std::string scratch_;
};

std::string pattern(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return bytes;
}
} // namespace

//--- progress line

TEST_F(DownloadTest, ProgressLineAndBarFollowTheCounts)
{
    struct Case {
        double total, downloaded;
        const char *line;
        int bar; // the bar's range 0..100 bounds what it shows
    };
    const Case cases[] = {
        {0, 0, "Downloading 0 of 0 bytes... 0%", 0},
        {0, 5000, "Downloading 5000 of 0 bytes... 0%", 0}, // size not announced
        {3, 3, "Downloading 3 of 3 bytes... 100%", 100},
        {200, 50, "Downloading 50 of 200 bytes... 25%", 25},
        {3, 1, "Downloading 1 of 3 bytes... 33%", 33},
        {1000, 999.9, "Downloading 999 of 1000 bytes... 99%", 99},
        {100, 150, "Downloading 150 of 100 bytes... 0%", 100}, // more than announced: bar full
        {1000, 1005, "Downloading 1005 of 1000 bytes... 100%", 100}, // less than 1 % more
        {2147483647.0, 2147483647.0, "Downloading 2147483647 of 2147483647 bytes... 100%", 100},
        // From 2 GiB on the counts stay whole and positive.
        {3221225472.0, 2684354560.0, "Downloading 2684354560 of 3221225472 bytes... 83%", 83},
        {5e9, 5e9, "Downloading 5000000000 of 5000000000 bytes... 100%", 100},
        {1, 1e12, "Downloading 1000000000000 of 1 bytes... 0%", 100},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        SendMessageA(session.progressBar, PBM_SETPOS, 7, 0);
        EXPECT_EQ(downloadProgress(nullptr, c.total, c.downloaded, 0, 0), 0);
        EXPECT_EQ(statusLine(), c.line);
        EXPECT_EQ(barPosition(), c.bar);
    }
}

TEST_F(DownloadTest, ProgressCallbackStopsTheTransferOnlyAfterAbort)
{
    EXPECT_EQ(downloadProgress(nullptr, 10, 5, 0, 0), 0);
    session.abortDownload = true;
    EXPECT_NE(downloadProgress(nullptr, 10, 6, 0, 0), 0);
    EXPECT_EQ(statusLine(), "Downloading 6 of 10 bytes... 60%"); // the line still follows
}

//--- temporary names

namespace
{
class TempName : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        saved_ = GetEnvironmentVariableA("TMP", previous_, sizeof previous_) > 0;
        dir_ = freshDir("download-tmp");
    }
    void TearDown() override
    {
        SetEnvironmentVariableA("TMP", saved_ ? previous_ : nullptr);
    }
    char previous_[2048] = "";
    bool saved_ = false;
    std::string dir_;
};

bool isEmptyDir(const std::string &dir)
{
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &entry);
    bool empty = true;
    if (find == INVALID_HANDLE_VALUE)
        return true;
    do
        empty = empty && (strcmp(entry.cFileName, ".") == 0 || strcmp(entry.cFileName, "..") == 0);
    while (FindNextFileA(find, &entry));
    FindClose(find);
    return empty;
}
} // namespace

TEST_F(TempName, FormsANameInTheTemporaryDirectoryWithoutCreatingIt)
{
    // However the directory is reported, the name has exactly one separator after it.
    const char *const spellings[] = {"", "\\", "/"};
    for (const char *ending : spellings) {
        SCOPED_TRACE(ending);
        SetEnvironmentVariableA("TMP", (dir_ + ending).c_str());
        char *name = makeTempFileName();
        ASSERT_NE(name, nullptr);
        std::string text = name;
        free(name);
        std::string prefix = dir_ + "\\qim";
        ASSERT_GT(text.size(), prefix.size());
        EXPECT_EQ(_strnicmp(text.c_str(), prefix.c_str(), prefix.size()), 0) << text;
        std::string rest = text.substr(prefix.size());
        ASSERT_GT(rest.size(), 4u);
        EXPECT_EQ(_stricmp(rest.substr(rest.size() - 4).c_str(), ".tmp"), 0) << text;
        EXPECT_EQ(rest.find_first_not_of("0123456789abcdefABCDEF"), rest.size() - 4) << text;
        EXPECT_TRUE(isEmptyDir(dir_)) << "nothing may be created under " << text;
    }
}

TEST_F(TempName, NumbersAreDrawnAtRandom)
{
    SetEnvironmentVariableA("TMP", dir_.c_str());
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) {
        char *name = makeTempFileName();
        ASSERT_NE(name, nullptr);
        names.push_back(name);
        free(name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_GT(std::unique(names.begin(), names.end()) - names.begin(), 1);
}

TEST_F(TempName, MissingTemporaryDirectoryGivesNoName)
{
    SetEnvironmentVariableA("TMP", (dir_ + "\\absent").c_str());
    EXPECT_EQ(makeTempFileName(), nullptr);
}

//--- transfers

TEST_F(DownloadTest, TransfersEndAsTheServerAnswers)
{
    const std::string body = pattern(100000);
    struct Case {
        const char *name;
        const char *behaviour;
        bool fileExists; // the path names a file on the server
        bool ok;
        const char *kept; // nullptr: the served body; else text the file must contain
    };
    const Case cases[] = {
        {"plain", "", true, true, nullptr},
        {"empty", "", true, true, ""},
        {"missing", "", false, false, "404"},
        {"notfound", "status=404", false, false, "404"}, // error page kept, not interpreted
        {"servererror", "status=500", false, false, "500"},
        {"redirected", "redirect=/unit/plain", false, true, nullptr},
        {"chain1", "redirect=/unit/chain2", false, true, nullptr},
        {"chain2", "redirect=/unit/chain3", false, true, nullptr},
        {"chain3", "redirect=/unit/plain", false, true, nullptr},
        {"redirect404", "redirect=/unit/missing", false, false, "404"},
        {"nolength", "nolength=1", true, true, nullptr},
        {"chunked", "chunked=1", true, true, nullptr},
        {"slow", "rate=200000", true, true, nullptr},
        {"short", "announce=200000", true, false, nullptr}, // ends before the announced size
    };
    for (const Case &c : cases) {
        std::string urlPath = std::string("/unit/") + c.name;
        std::string served = strcmp(c.name, "empty") == 0 ? "" : body;
        if (c.fileExists)
            serve(urlPath, served, c.behaviour);
        else if (*c.behaviour)
            serveBehaviour(urlPath, c.behaviour);
        else
            DeleteFileA(webPath(urlPath).c_str());
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = target(c.name);
        EXPECT_EQ(downloadToFile(serverUrl(std::string("/unit/") + c.name).c_str(), path.c_str()),
                  c.ok);
        std::string stored;
        ASSERT_TRUE(readFile(path, &stored)) << "the file stays whatever the outcome";
        if (!c.kept)
            EXPECT_EQ(stored, body);
        else if (!*c.kept)
            EXPECT_EQ(stored, "");
        else
            EXPECT_NE(stored.find(c.kept), std::string::npos) << stored;
    }
}

TEST_F(DownloadTest, DestinationIsTruncated)
{
    std::string path = target("old");
    ASSERT_TRUE(writeFile(path, pattern(5000)));
    ASSERT_TRUE(downloadToFile(serve("/unit/small", "abc").c_str(), path.c_str()));
    std::string stored;
    ASSERT_TRUE(readFile(path, &stored));
    EXPECT_EQ(stored, "abc");
}

TEST_F(DownloadTest, ProgressLineEndsWithTheWholeFile)
{
    ASSERT_TRUE(
        downloadToFile(serve("/unit/three", "\x01\x02\x03").c_str(), target("three").c_str()));
    EXPECT_EQ(statusLine(), "Downloading 3 of 3 bytes... 100%");
    EXPECT_EQ(barPosition(), 100);

    ASSERT_TRUE(downloadToFile(serve("/unit/unsized", pattern(4321), "nolength=1").c_str(),
                               target("unsized").c_str()));
    EXPECT_EQ(statusLine(), "Downloading 4321 of 0 bytes... 0%");
    EXPECT_EQ(barPosition(), 0);
}

TEST_F(DownloadTest, MissingArgumentsTouchNothing)
{
    std::string url = serve("/unit/args", "abc");
    std::string path = target("args");
    clearRequests();
    EXPECT_FALSE(downloadToFile(nullptr, path.c_str()));
    EXPECT_FALSE(downloadToFile(url.c_str(), nullptr));
    EXPECT_FALSE(pathIsFile(path));
    EXPECT_EQ(requestCount("/unit/args"), 0);
}

TEST_F(DownloadTest, UnwritableDestinationFailsBeforeAnyRequest)
{
    std::string url = serve("/unit/nowhere", "abc");
    clearRequests();
    EXPECT_FALSE(downloadToFile(url.c_str(), target("absent\\file").c_str()));
    EXPECT_FALSE(downloadToFile(url.c_str(), scratch_.c_str())); // a directory
    EXPECT_EQ(requestCount("/unit/nowhere"), 0);
}

TEST_F(DownloadTest, UnreachableServerFails)
{
    // Nothing listens on port 1 of the loopback address: the connection is refused.
    EXPECT_FALSE(downloadToFile("http://127.0.0.1:1/x", target("refused").c_str()));
}

TEST_F(DownloadTest, RedirectLoopEndsAtTheRedirectLimit)
{
    serveBehaviour("/unit/loopA", "redirect=/unit/loopB");
    std::string url = serveBehaviour("/unit/loopB", "redirect=/unit/loopA");
    clearRequests();
    EXPECT_FALSE(downloadToFile(url.c_str(), target("loop").c_str()));
    int asked = requestCount("/unit/loopA") + requestCount("/unit/loopB");
    EXPECT_EQ(asked, downloadLimits.maxRedirects + 1);
}

TEST_F(DownloadTest, StalledServerIsGivenUpOn)
{
    const DownloadLimits shortStall = {30, 2, 20, 0, 0};
    std::string body = pattern(50000);
    // Headers and 1000 bytes, then silence.
    std::string url = serve("/unit/stall", body, "stall=1000");
    std::string path = target("stall");
    EXPECT_FALSE(downloadToFileWithin(url.c_str(), path.c_str(), &shortStall));
    std::string stored;
    ASSERT_TRUE(readFile(path, &stored));
    EXPECT_EQ(stored, body.substr(0, 1000)) << "the file holds what arrived";
    EXPECT_EQ(statusLine(), "Downloading 1000 of 50000 bytes... 2%");

    // Connection accepted, request read, never a byte of answer.
    url = serve("/unit/mute", body, "mute=1");
    EXPECT_FALSE(downloadToFileWithin(url.c_str(), target("mute").c_str(), &shortStall));
}

// An archive nobody signed (a build without a key, on purpose) still has a size cap and a
// deadline: an endless answer and a trickle both end (the loopback build lowers both).
TEST_F(DownloadTest, UnsignedArchiveHasASizeCapAndADeadline)
{
    bool tooLarge = false;
    std::string url = serve("/unit/unsignedendless", pattern(100000), "endless=1");
    EXPECT_FALSE(downloadToFileWithin(url.c_str(), target("endless").c_str(),
                                      &unsignedArchiveLimits, &tooLarge));
    EXPECT_TRUE(tooLarge);
    url = serve("/unit/unsignedtrickle", pattern(100000), "rate=5000");
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(downloadToFileWithin(url.c_str(), target("trickle").c_str(),
                                      &unsignedArchiveLimits, &tooLarge));
    EXPECT_FALSE(tooLarge);
    EXPECT_LT(GetTickCount64() - start, 15000u) << "ended by the deadline, not the whole file";
}

TEST_F(DownloadTest, SlowButLiveServerIsNotCutOff)
{
    // About 2 KB/s for 5 s: well beyond the stall period, yet always delivering.
    const DownloadLimits shortStall = {30, 2, 20, 0, 0};
    std::string body = pattern(10000);
    std::string url = serve("/unit/trickle", body, "rate=2000");
    std::string path = target("trickle");
    EXPECT_TRUE(downloadToFileWithin(url.c_str(), path.c_str(), &shortStall));
    std::string stored;
    ASSERT_TRUE(readFile(path, &stored));
    EXPECT_EQ(stored, body);
}

TEST_F(DownloadTest, AbortStopsAStalledTransfer)
{
    // Without the abort this transfer would only end when the server's hold runs out and
    // then succeed, since the stall limit here is longer than the hold.
    const DownloadLimits longStall = {30, 600, 20, 0, 0};
    std::string url = serve("/unit/abort", pattern(50000), "stall=1000");
    clearRequests();
    std::thread user([] {
        if (waitForRequest("/unit/abort"))
            Sleep(300);
        session.abortDownload = true;
    });
    EXPECT_FALSE(downloadToFileWithin(url.c_str(), target("abort").c_str(), &longStall));
    user.join();
    releaseServer("/unit/abort");
}

namespace
{
// A loopback listener whose queue of pending connections is full and never served: further
// connection attempts get no answer at all, as from a host that has vanished.
class FullListener
{
  public:
    FullListener()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(listener_, 1) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        // Fill the queue: each attempt that does not complete within a moment shows it is full.
        for (int i = 0; i < 16 && !full_; ++i) {
            SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            u_long nonBlocking = 1;
            ioctlsocket(client, FIONBIO, &nonBlocking);
            connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address);
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(client, &writable);
            timeval wait{0, 500000};
            full_ = select(0, nullptr, &writable, nullptr, &wait) == 0;
            clients_.push_back(client);
        }
    }
    ~FullListener()
    {
        for (SOCKET client : clients_)
            closesocket(client);
        closesocket(listener_);
        WSACleanup();
    }
    bool full() const
    {
        return full_;
    }
    int port() const
    {
        return port_;
    }

  private:
    SOCKET listener_ = INVALID_SOCKET;
    std::vector<SOCKET> clients_;
    int port_ = 0;
    bool full_ = false;
};
} // namespace

TEST_F(DownloadTest, UnansweredConnectionIsGivenUpOn)
{
    FullListener listener;
    ASSERT_TRUE(listener.full()) << "the listener's queue could not be filled";
    // Without a connect limit of its own, libcurl would wait five minutes here.
    const DownloadLimits shortConnect = {2, 600, 20, 0, 0};
    std::string url = "http://127.0.0.1:" + std::to_string(listener.port()) + "/qim.ver";
    EXPECT_FALSE(downloadToFileWithin(url.c_str(), target("vanished").c_str(), &shortConnect));
}

//--- the proxy Windows is set to use

namespace
{
enum Route { ThroughProxy, Direct, NotMade };

// A configuration script as network administrators write them.
std::string configurationScript(const std::string &proxy)
{
    return "function FindProxyForURL(url, host) {\n"
           "    if (shExpMatch(url, \"*/inside/*\"))\n"
           "        return \"DIRECT\";\n"
           "    return \"PROXY " +
           proxy + "; DIRECT\";\n}\n";
}
} // namespace

TEST_F(DownloadTest, TransfersTakeTheRouteOfTheInternetOptions)
{
    const std::string proxy = testProxy();
    const std::string dead = "127.0.0.1:1"; // nothing listens there
    const std::string proxyUrl = "http://" + proxy;
    const std::string port = std::to_string(testServerPort());
    const DWORD fixed = DirectConnection | FixedProxy;
    const DWORD scripted = DirectConnection | ConfigurationScript;
    serve("/pac/route.pac", configurationScript(proxy));
    serve("/pac/broken.pac", "function FindProxyForURL(url, host) { return \"PROXY ");
    // Company lists run to many kilobytes; the entry that counts comes last.
    std::string longBypass, longProxy;
    for (int i = 0; i < 400; ++i) {
        longBypass += "host" + std::to_string(i) + ".intranet.example.com;";
        longProxy += "scheme" + std::to_string(i) + "=" + dead + ";";
    }
    longBypass += "127.0.0.1";
    longProxy += "http=" + proxy;
    struct Case {
        const char *name;
        DWORD flags;
        std::string proxy, bypass, script;
        const char *variable, *value; // an environment variable set for the case
        const char *urlPath;
        Route route;
    };
    const Case cases[] = {
        {"fixed", fixed, proxy, "", "", nullptr, nullptr, "/route/fixed", ThroughProxy},
        {"per scheme", fixed, "ftp=" + dead + ";http=" + proxy, "", "", nullptr, nullptr,
         "/route/scheme", ThroughProxy},
        {"bypassed", fixed, dead, "*.example.com; 127.0.0.1", "", nullptr, nullptr,
         "/route/bypassed", Direct},
        {"bypassed with port", fixed, dead, "127.0.0.*:" + port, "", nullptr, nullptr,
         "/route/bypassport", Direct},
        {"local names only", fixed, proxy, "<local>", "", nullptr, nullptr, "/route/local",
         ThroughProxy},
        {"bypass not matching", fixed, proxy, "127.0.0.1?;*.0.0.2;127.0.0.1:1", "", nullptr,
         nullptr, "/route/nomatch", ThroughProxy},
        {"long bypass list", fixed, dead, longBypass, "", nullptr, nullptr, "/route/longbypass",
         Direct},
        {"long proxy list", fixed, longProxy, "*.example.com", "", nullptr, nullptr,
         "/route/longproxy", ThroughProxy},
        {"dead proxy", fixed, dead, "", "", nullptr, nullptr, "/route/dead", NotMade},
        {"http_proxy wins", fixed, dead, "", "", "http_proxy", proxyUrl.c_str(), "/route/variable",
         ThroughProxy},
        {"no_proxy wins", fixed, dead, "", "", "no_proxy", "127.0.0.1", "/route/noproxy", Direct},
        {"script", scripted, "", "", serverUrl("/pac/route.pac"), nullptr, nullptr, "/route/script",
         ThroughProxy},
        {"script says direct", scripted, "", "", serverUrl("/pac/route.pac"), nullptr, nullptr,
         "/route/inside/script", Direct},
        {"script missing", scripted, "", "", serverUrl("/pac/missing.pac"), nullptr, nullptr,
         "/route/nopac", NotMade},
        {"script broken", scripted, "", "", serverUrl("/pac/broken.pac"), nullptr, nullptr,
         "/route/badpac", NotMade},
    };
    InternetOptions options;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        options.set(c.flags, c.proxy, c.bypass, c.script);
        std::unique_ptr<ScopedVariable> variable;
        if (c.variable)
            variable.reset(new ScopedVariable(c.variable, c.value));
        std::string body = std::string("served for ") + c.name;
        std::string url = serve(c.urlPath, body);
        std::string path = target("route");
        clearRequests();
        EXPECT_EQ(downloadToFile(url.c_str(), path.c_str()), c.route != NotMade);
        EXPECT_EQ(requestCount(url), c.route == ThroughProxy ? 1 : 0);
        EXPECT_EQ(requestCount(c.urlPath), c.route == Direct ? 1 : 0);
        std::string stored;
        EXPECT_TRUE(readFile(path, &stored));
        EXPECT_EQ(stored, c.route == NotMade ? "" : body);
    }
}

TEST_F(DownloadTest, UnansweredConfigurationScriptEndsTheTransfer)
{
    InternetOptions options;
    std::string script = serve("/pac/mute.pac", configurationScript(testProxy()), "mute=1");
    options.set(DirectConnection | ConfigurationScript, "", "", script);
    const DownloadLimits shortConnect = {2, 600, 20, 0, 0};
    std::string url = serve("/route/mutepac", "abc");
    ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(downloadToFileWithin(url.c_str(), target("mutepac").c_str(), &shortConnect));
    // Well before WinHTTP's own limits would end the wait for the script.
    EXPECT_LT(GetTickCount64() - start, 10000u);
    EXPECT_EQ(requestCount(url) + requestCount("/route/mutepac"), 0) << "not sent around it";
    releaseServer("/pac/mute.pac");
}

//--- HTTPS

// Certificate and host name are checked with the prefix's trusted roots, directly and through
// the proxy (a CONNECT tunnel); a failed check is a failed transfer that sends no request.
TEST_F(DownloadTest, HttpsTransfersCheckTheCertificateAndTheHostName)
{
    const std::string port = std::to_string(testServerPort());
    serveBehaviour("/tls/tohttp", "redirect=" + serverUrl("/tls/plain"));
    serve("/tls/plain", "plain");
    serve("/tls/large", std::string(70000, 'x')); // beyond the small files' cap
    struct Case {
        const char *name;
        TlsServer server;
        bool proxied;
        const char *urlPath;
        bool made;
        const DownloadLimits *limits;
    };
    const Case cases[] = {
        {"good", Good, false, "/tls/good", true, &downloadLimits},
        {"wrong host name", WrongHost, false, "/tls/wronghost", false, &downloadLimits},
        {"unknown authority", UnknownAuthority, false, "/tls/unknown", false, &downloadLimits},
        {"good through the proxy", Good, true, "/tls/proxied", true, &downloadLimits},
        {"wrong host name through the proxy", WrongHost, true, "/tls/proxiedwrong", false,
         &downloadLimits},
        {"unknown authority through the proxy", UnknownAuthority, true, "/tls/proxiedunknown",
         false, &downloadLimits},
        {"redirect to plain http", Good, false, "/tls/tohttp", false, &downloadLimits},
        {"capped", Good, false, "/tls/large", false, &smallFileLimits},
        // The session's own certificate is checked, its chain built through the intermediate
        // the server sent beside it.
        {"through an intermediate", Chained, false, "/tls/chained", true, &downloadLimits},
        {"expired", Expired, false, "/tls/expired", false, &downloadLimits},
        {"for client authentication only", OtherPurpose, false, "/tls/otherpurpose", false,
         &downloadLimits},
    };
    InternetOptions options;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        options.set(c.proxied ? DirectConnection | FixedProxy : DirectConnection,
                    c.proxied ? testProxy() : "");
        std::string body = std::string("served for ") + c.name;
        if (strcmp(c.urlPath, "/tls/tohttp") != 0 && strcmp(c.urlPath, "/tls/large") != 0)
            serve(c.urlPath, body);
        std::string path = target("tls");
        clearRequests();
        EXPECT_EQ(
            downloadToFileWithin(tlsServerUrl(c.server, c.urlPath).c_str(), path.c_str(), c.limits),
            c.made);
        std::string tunnel = "CONNECT 127.0.0.1:" + std::to_string(testServerPort() + c.server);
        EXPECT_EQ(requestCount(tunnel), c.proxied ? 1 : 0);
        EXPECT_EQ(requestCount("/tls/plain"), 0) << "never followed out of https";
        bool reached =
            c.made || c.limits == &smallFileLimits || strcmp(c.urlPath, "/tls/tohttp") == 0;
        EXPECT_EQ(requestCount(c.urlPath), reached ? 1 : 0) << "no request before the check";
        std::string stored;
        EXPECT_TRUE(readFile(path, &stored));
        if (c.made) {
            EXPECT_EQ(stored, body);
        }
    }
}

//--- signed archives

namespace
{
const char rejected[] = "The update could not be verified and was deleted.";
const char aborted[] = "Downloading update aborted.";

// The archive download worker run on this thread, for version 1.2.0 of a channel.
class SignedRelease : public DownloadTest
{
  protected:
    void SetUp() override
    {
        DownloadTest::SetUp();
        tempBefore_ = qimTempEntries();
    }
    void TearDown() override
    {
        free(session.archiveUrl);
        free(session.archivePath);
        session.archiveUrl = session.archivePath = nullptr;
        DownloadTest::TearDown();
    }
    // url: where the archive is asked for; empty: the test server's plain address.
    void runWorker(bool beta, const std::string &url = "")
    {
        free(session.archiveUrl);
        free(session.archivePath);
        session.serverVersion = {1, 2, 0};
        session.betaTester = beta;
        session.abortDownload = false;
        session.archiveUrl =
            _strdup(url.empty() ? serverUrl(archivePath(beta)).c_str() : url.c_str());
        session.archivePath = makeTempFileName();
        session.state = Downloading;
        archiveDownloadWorker(nullptr);
    }
    static std::string archivePath(bool beta)
    {
        return beta ? "/files/qimRenderer/alpha/Renderer_1.2.0.zip"
                    : "/files/qimRenderer/Renderer_1.2.0.zip";
    }
    // As if the check had accepted an announcement naming these bytes as the full archive.
    static void announce(const std::string &bytes)
    {
        SignedArchive archive{static_cast<long long>(bytes.size()), {}};
        crypto_generichash(archive.hash, sizeof archive.hash,
                           reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                           nullptr, 0);
        rememberAnnouncedArchive(&archive);
    }
    std::vector<std::string> tempBefore_;
};
} // namespace

TEST_F(SignedRelease, OnlyTheArchiveAsSignedIsKept)
{
    // Larger than the hashing thread's ring of pieces, so that it goes round more than once.
    const std::string archive = pattern(3000000);
    std::string flipped = archive;
    flipped[2700000] ^= 0x40;
    const std::string otherSeed(64, '7');
    enum Abort { Never, DuringSignature, DuringArchive };
    struct Case {
        const char *name;
        bool beta;
        std::string served;    // the archive's bytes on the server
        std::string behaviour; // of the archive
        std::string signature; // the signature file; empty: none (404)
        std::string sigBehaviour;
        Abort abort;
        const char *status; // nullptr: downloaded and kept
        bool archiveAsked;
        bool announced = true; // the check accepted an announcement of archive
    };
    auto signedAs = [&](const char *channel, const char *version, const std::string &seed = "",
                        const std::string &bytes = "") {
        return releaseSignatureFile(channel, version, std::string("Renderer_") + version + ".zip",
                                    bytes.empty() ? archive : bytes, seed);
    };
    const std::string good = signedAs("release", "1.2.0");
    const Case cases[] = {
        {"release", false, archive, "", good, "", Never, nullptr, true},
        {"beta", true, archive, "", signedAs("beta", "1.2.0"), "", Never, nullptr, true},
        {"onebytechanged", false, flipped, "", good, "", Never, rejected, true},
        {"truncated", false, archive.substr(0, 2000000), "", good, "", Never, rejected, true},
        {"morethansigned", false, archive + "tail", "nolength=1", good, "", Never, rejected, true},
        {"olderrelease", false, archive, "", signedAs("release", "1.1.0"), "", Never, rejected,
         false},
        {"betaonrelease", false, archive, "", signedAs("beta", "1.2.0"), "", Never, rejected,
         false},
        {"releaseonbeta", true, archive, "", good, "", Never, rejected, false},
        {"otherkey", false, archive, "", signedAs("release", "1.2.0", otherSeed), "", Never,
         rejected, false},
        {"nosignature", false, archive, "", "", "", Never, rejected, false},
        {"endlesssignature", false, archive, "", good, "endless=1", Never, rejected, false},
        {"abortsignature", false, archive, "", good, "mute=1", DuringSignature, aborted, false},
        {"abortarchive", false, archive, "stall=1000", good, "", DuringArchive, aborted, true},
        // A build published again with --force, and its own valid statement: the announcement
        // names the build it replaced, so a "repair" never takes it.
        {"replacedbyforce", false, flipped, "", signedAs("release", "1.2.0", "", flipped), "",
         Never, rejected, false},
        {"noannouncement", false, archive, "", good, "", Never, rejected, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = archivePath(c.beta);
        serve(path, c.served, c.behaviour);
        if (c.signature.empty())
            DeleteFileA((webPath(path) + ".sig").c_str());
        else
            serve(path + ".sig", c.signature, c.sigBehaviour);
        clearRequests();
        if (c.announced)
            announce(archive);
        else
            rememberAnnouncedArchive(nullptr);
        std::thread user([&] {
            const std::string asked = c.abort == DuringSignature ? path + ".sig" : path;
            if (c.abort != Never && waitForRequest(asked)) {
                Sleep(300);
                session.abortDownload = true;
            }
        });
        runWorker(c.beta);
        user.join();
        releaseServer(path);
        releaseServer(path + ".sig");
        EXPECT_EQ(requestCount(path), c.archiveAsked ? 1 : 0);
        std::string kept;
        if (!c.status) {
            EXPECT_EQ(session.state, Downloaded);
            ASSERT_TRUE(readFile(session.archivePath, &kept));
            EXPECT_TRUE(kept == archive);
            DeleteFileA(session.archivePath);
        } else {
            EXPECT_EQ(session.state, DownloadFailed);
            EXPECT_EQ(statusLine(), c.status);
        }
        EXPECT_EQ(newQimTempEntries(tempBefore_), std::vector<std::string>{})
            << "neither the archive nor the signature file stays";

        // Nothing of a failed attempt stands in the way of the next one.
        announce(archive);
        serve(path, archive);
        serve(path + ".sig", c.beta ? signedAs("beta", "1.2.0") : good);
        runWorker(c.beta);
        EXPECT_EQ(session.state, Downloaded);
        DeleteFileA(session.archivePath);
    }
}

// Over https the signature and the cap work as over http, and a server whose certificate fails
// the check ends like any failed transfer: the check and the signature file are not fetched.
TEST_F(SignedRelease, HttpsCarriesTheCheckAndTheSignedArchive)
{
    const std::string path = archivePath(false);
    const std::string archive = pattern(300000);
    serveSignedArchive(path, archive);
    serve(releaseVersionPath, std::string{1, 3, 0});
    session.installedVersion = {1, 2, 0};
    const struct {
        TlsServer server;
        const char *status; // nullptr: downloaded and kept
    } cases[] = {{Good, nullptr}, {UnknownAuthority, rejected}, {WrongHost, rejected}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.server);
        clearRequests();
        free(session.versionFileUrl);
        free(session.versionFilePath);
        session.versionFileUrl = _strdup(tlsServerUrl(c.server, releaseVersionPath).c_str());
        session.versionFilePath = makeTempFileName();
        versionCheckWorker(nullptr);
        EXPECT_EQ(session.state, c.status ? CheckFailed : UpdateAvailable);
        EXPECT_EQ(statusLine(), c.status ? "Failed to check server version."
                                         : "Server version: 1.3.0. Update recommended.");
        announce(archive); // the check's announcement names 1.3.0; the worker fetches 1.2.0
        runWorker(false, tlsServerUrl(c.server, path));
        std::string kept;
        if (!c.status) {
            EXPECT_EQ(session.state, Downloaded);
            EXPECT_TRUE(readFile(session.archivePath, &kept) && kept == archive);
            EXPECT_EQ(requestedPaths(),
                      (std::vector<std::string>{releaseVersionPath,
                                                releaseVersionPath + std::string(".sig"),
                                                path + ".sig", path}));
            DeleteFileA(session.archivePath);
        } else {
            EXPECT_EQ(session.state, DownloadFailed);
            EXPECT_EQ(statusLine(), c.status);
            EXPECT_TRUE(requestedPaths().empty());
        }
    }
    EXPECT_EQ(newQimTempEntries(tempBefore_), std::vector<std::string>{});
    free(session.versionFileUrl);
    free(session.versionFilePath);
    session.versionFileUrl = session.versionFilePath = nullptr;
}

//--- the signed announcement beside the version file

namespace
{
long long recordedTime(const char *name)
{
    DWORD type = REG_NONE;
    std::string data;
    unsigned long long value = 0;
    if (!readRendererValue(name, &type, &data) || type != REG_QWORD || data.size() != 8)
        return 0;
    memcpy(&value, data.data(), sizeof value);
    return static_cast<long long>(value);
}
} // namespace

// The check trusts the version file only together with a current announcement of the same
// version, and never one older than the newest it has taken (recorded per channel), so that
// an old announcement cannot be replayed; a renewed one is taken.
TEST_F(SignedRelease, VersionFileCountsOnlyWithACurrentAnnouncement)
{
    const std::string archive = pattern(4000);
    const std::string announcement = std::string(releaseVersionPath) + ".sig";
    const long long now = unixTimeNow(), day = 86400;
    const char accepted[] = "Server version: 1.3.0. Update recommended.";
    const char untrusted[] = "Server version not trusted: no valid signed announcement.";
    const char another[] = "Server version not trusted: its announcement names another version.";
    const char replayed[] =
        "Server version not trusted: its announcement is older than one seen before.";
    const char expired[] = "The server's announcement has expired. No update is offered until "
                           "the publisher renews it.";
    auto announced = [&](const char *channel, const char *version, long long issued,
                         long long expires, const std::string &seed = "") {
        return announcementFile(channel, version, archive, issued, expires, seed);
    };
    const std::string current = announced("release", "1.3.0", now, now + day);
    std::string extended = current; // its expiry moved on after signing
    extended[extended.find("\nexpires ") + 9] += 1;
    const struct {
        const char *name;
        std::string text;   // the announcement; empty: none
        long long recorded; // the newest issue time taken before; 0: none
        const char *status;
        long long recordedAfter;
    } cases[] = {
        {"current", current, 0, accepted, now},
        {"missing", "", 0, untrusted, 0},
        {"disagreeing", announced("release", "1.2.9", now, now + day), 0, another, 0},
        {"otherchannel", announced("beta", "1.3.0", now, now + day), 0, untrusted, 0},
        {"otherkey", announced("release", "1.3.0", now, now + day, std::string(64, '7')), 0,
         untrusted, 0},
        {"extended", extended, 0, untrusted, 0},
        {"replayedolder", announced("release", "1.3.0", now - day, now + day), now, replayed, now},
        {"sameagain", announced("release", "1.3.0", now - day, now + day), now - day, accepted,
         now - day},
        {"expired", announced("release", "1.3.0", now - 40 * day, now - 10 * day), 0, expired, 0},
        {"renewed", announced("release", "1.3.0", now, now + 30 * day), now - 40 * day, accepted,
         now},
    };
    session.installedVersion = {1, 2, 0};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        deleteValdormineKey();
        createRendererKey();
        if (c.recorded) {
            unsigned long long recorded = static_cast<unsigned long long>(c.recorded);
            setRendererValue("announcedrelease", REG_QWORD, &recorded, sizeof recorded);
        }
        unsigned long long failing = static_cast<unsigned long long>(now - 3 * day);
        setRendererValue("firstfailure", REG_QWORD, &failing, sizeof failing);
        serve(releaseVersionPath, std::string{1, 3, 0});
        if (c.text.empty())
            DeleteFileA(webPath(announcement).c_str());
        else
            writeFile(webPath(announcement), c.text);
        rememberAnnouncedArchive(nullptr);
        clearRequests();
        free(session.versionFileUrl);
        free(session.versionFilePath);
        session.versionFileUrl = _strdup(serverUrl(releaseVersionPath).c_str());
        session.versionFilePath = makeTempFileName();
        versionCheckWorker(nullptr);
        bool taken = c.status == accepted;
        EXPECT_EQ(session.state, taken ? UpdateAvailable : CheckFailed);
        EXPECT_EQ(statusLine(), c.status);
        EXPECT_EQ(requestedPaths(), (std::vector<std::string>{releaseVersionPath, announcement}));
        EXPECT_EQ(recordedTime("announcedrelease"), c.recordedAfter);
        EXPECT_EQ(recordedTime("lastcheck") >= now, taken) << "a completed check is recorded";
        EXPECT_EQ(recordedTime("firstfailure"), taken ? 0 : now - 3 * day)
            << "a completed check ends the run of failures";
        SignedArchive named = {};
        ASSERT_EQ(announcedArchive(&named), taken);
        if (taken) {
            EXPECT_EQ(named.size, 4000);
        }
        EXPECT_EQ(newQimTempEntries(tempBefore_), std::vector<std::string>{});
    }
    deleteValdormineKey();
    session.installedVersion = {0, 0, 0};
    free(session.versionFileUrl);
    free(session.versionFilePath);
    session.versionFileUrl = session.versionFilePath = nullptr;
}

// A delta is used only under its own statement, naming both versions and bound to the full
// archive published now. Anything else at its signature address, and a delta missing beside a
// valid statement, means no delta: the full archive is fetched. A delta that is not as its
// valid statement says is refused, and no full archive follows.
TEST_F(SignedRelease, OnlyABoundDeltaStatementOffersADelta)
{
    const std::string name = "Renderer_1.2.0.from-1.1.0.zip";
    const std::string delta = "/files/qimRenderer/" + name;
    const std::string full = archivePath(false);
    const std::string bytes = pattern(5000), fullBytes = pattern(7000);
    session.installedVersion = {1, 1, 0};
    serveSignedArchive(full, fullBytes);
    auto deltaStatement = [&](const char *channel, const char *from, const std::string &bound) {
        return releaseSignatureFile(channel, "1.2.0", name, bytes, "", from, bound);
    };
    const struct {
        const char *name;
        std::string signature;
        bool deltaServed;
        bool deltaAsked;
        const char *status;          // nullptr: the full archive is downloaded and kept
        bool announcedOther = false; // the announcement names another build than both statements
    } cases[] = {
        {"fullstatement", releaseSignatureFile("release", "1.2.0", name, bytes), true, false,
         nullptr},
        {"otherstart", deltaStatement("release", "1.0.0", fullBytes), true, false, nullptr},
        {"otherchannel", deltaStatement("beta", "1.1.0", fullBytes), true, false, nullptr},
        {"errorpage", "<html><body>Not Found</body></html>\n", true, false, nullptr},
        {"replacedbuild", deltaStatement("release", "1.1.0", pattern(7001).substr(1)), true, false,
         nullptr},
        {"deltamissing", deltaStatement("release", "1.1.0", fullBytes), false, true, nullptr},
        {"deltanotasstated", deltaStatement("release", "1.1.0", fullBytes), true, true, rejected},
        {"announcedother", deltaStatement("release", "1.1.0", fullBytes), true, false, rejected,
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileA(webPath(delta).c_str());
        if (c.deltaServed)
            serve(delta, c.status ? pattern(5001) : bytes);
        serve(delta + ".sig", c.signature);
        announce(c.announcedOther ? pattern(7002) : fullBytes);
        clearRequests();
        runWorker(false);
        EXPECT_EQ(requestCount(delta + ".sig"), 1);
        EXPECT_EQ(requestCount(delta), c.deltaAsked ? 1 : 0);
        EXPECT_EQ(requestCount(full), c.status ? 0 : 1);
        if (c.status) {
            EXPECT_EQ(session.state, DownloadFailed);
            EXPECT_EQ(statusLine(), c.status);
        } else {
            EXPECT_EQ(session.state, Downloaded);
            EXPECT_EQ(pendingKind(), PendingFullArchive);
            std::string kept;
            EXPECT_TRUE(readFile(session.archivePath, &kept) && kept == fullBytes);
            DeleteFileA(session.archivePath);
        }
        EXPECT_EQ(newQimTempEntries(tempBefore_), std::vector<std::string>{});
    }
    session.installedVersion = {0, 0, 0};
}

// Abort while the delta arrives ends the download as with the full archive: nothing is kept and
// the full archive is not asked for.
TEST_F(SignedRelease, AbortedDeltaLeavesNothing)
{
    const std::string name = "Renderer_1.2.0.from-1.1.0.zip";
    const std::string delta = "/files/qimRenderer/" + name;
    const std::string bytes = pattern(200000);
    session.installedVersion = {1, 1, 0};
    const std::string fullBytes = pattern(7000);
    serveSignedArchive(archivePath(false), fullBytes);
    announce(fullBytes);
    serve(delta, bytes, "stall=1000");
    serve(delta + ".sig",
          releaseSignatureFile("release", "1.2.0", name, bytes, "", "1.1.0", fullBytes));
    clearRequests();
    std::thread user([&] {
        if (waitForRequest(delta)) {
            Sleep(300);
            session.abortDownload = true;
        }
    });
    runWorker(false);
    user.join();
    releaseServer(delta);
    releaseServer(delta + ".sig");
    session.installedVersion = {0, 0, 0};
    EXPECT_EQ(session.state, DownloadFailed);
    EXPECT_EQ(statusLine(), aborted);
    EXPECT_EQ(requestCount(archivePath(false)), 0);
    EXPECT_EQ(newQimTempEntries(tempBefore_), std::vector<std::string>{});
}

// The delta arrived whole and is being unpacked: Abort ends 7-Zip at once (the stand-in would
// hold the unpack for two minutes), and the download ends aborted with nothing kept.
TEST_F(SignedRelease, AbortWhileTheDeltaIsUnpackedEndsTheExtractor)
{
    const std::string installation = makeInstallation("delta-unpack", {1, 1, 0});
    const std::string gate = installation + "\\bin\\32\\extractor-commandline.txt";
    ASSERT_TRUE(CopyFileA((binDir() + "\\installfixtures\\gatedextractor.exe").c_str(),
                          (installation + "\\bin\\32\\7zG.exe").c_str(), FALSE));
    const std::string name = "Renderer_1.2.0.from-1.1.0.zip";
    const std::string delta = "/files/qimRenderer/" + name;
    const std::string bytes = pattern(20000), fullBytes = pattern(7000);
    session.installedVersion = {1, 1, 0};
    serveSignedArchive(archivePath(false), fullBytes);
    announce(fullBytes);
    serve(delta, bytes);
    serve(delta + ".sig",
          releaseSignatureFile("release", "1.2.0", name, bytes, "", "1.1.0", fullBytes));
    clearRequests();
    std::thread user([&] {
        if (waitUntil([&] { return pathIsFile(gate); }, 30000))
            session.abortDownload = true;
    });
    DWORD started = GetTickCount();
    runWorker(false);
    user.join();
    session.installedVersion = {0, 0, 0};
    EXPECT_TRUE(pathIsFile(gate)) << "the extractor was started";
    EXPECT_LT(GetTickCount() - started, 60000u) << "the extractor was waited for to its end";
    EXPECT_EQ(session.state, DownloadFailed);
    EXPECT_EQ(statusLine(), aborted);
    EXPECT_EQ(requestCount(archivePath(false)), 0);
    EXPECT_EQ(newQimTempEntries(tempBefore_), std::vector<std::string>{});
    deleteValdormineKey();
}
