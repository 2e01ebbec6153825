// Schannel checks the certificate on Windows itself, but not every Schannel does (Wine's does
// not), and libcurl has no other way to ask Windows' store. So the certificate the TLS session
// authenticated is checked once more, as Windows' own HTTP clients check it: chain engine (from
// the certificates the server sent), then SSL policy with the host name.
#include "tlscheck.h"
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>
#include <schannel.h>
#include <wincrypt.h>
#include <stdlib.h>
#include <string.h>

// The certificate the TLS session itself authenticated, with the certificates the server sent
// beside it in its store (libcurl's own list of them comes in whatever order the backend gives).
static PCCERT_CONTEXT sessionCertificate(CURL *transfer)
{
    struct curl_tlssessioninfo *tls = nullptr;
    PCCERT_CONTEXT certificate = nullptr;
    if (curl_easy_getinfo(transfer, CURLINFO_TLS_SSL_PTR, &tls) != CURLE_OK || !tls ||
        tls->backend != CURLSSLBACKEND_SCHANNEL || !tls->internals)
        return nullptr;
    if (QueryContextAttributesA((CtxtHandle *)tls->internals, SECPKG_ATTR_REMOTE_CERT_CONTEXT,
                                &certificate) != SEC_E_OK)
        return nullptr;
    return certificate;
}

// The host of the request about to be sent, for free().
static WCHAR *requestedHost(CURL *transfer)
{
    char *url = nullptr, *host = nullptr;
    CURLU *parsed = curl_url();
    WCHAR *wide = nullptr;
    if (parsed && curl_easy_getinfo(transfer, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url &&
        curl_url_set(parsed, CURLUPART_URL, url, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
        int size = MultiByteToWideChar(CP_ACP, 0, host, -1, nullptr, 0);
        wide = size > 0 ? (WCHAR *)malloc((size_t)size * sizeof(WCHAR)) : nullptr;
        if (wide && MultiByteToWideChar(CP_ACP, 0, host, -1, wide, size) != size) {
            free(wide);
            wide = nullptr;
        }
    }
    curl_free(host);
    curl_url_cleanup(parsed);
    return wide;
}

// Expired, not yet valid or not for server authentication: the policy below may not say so on
// every Windows (or Wine), so the chain's own findings count as well.
static const DWORD chainFaults = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_VALID_FOR_USAGE |
                                 CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_NOT_SIGNATURE_VALID |
                                 CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_PARTIAL_CHAIN;

static bool chainIsTrusted(PCCERT_CONTEXT leaf, WCHAR *host)
{
    LPSTR serverAuth = (LPSTR)szOID_PKIX_KP_SERVER_AUTH;
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, leaf, nullptr, leaf->hCertStore, &chainPara, 0, nullptr,
                                 &chain))
        return false;
    HTTPSPolicyCallbackData server = {};
    server.cbStruct = sizeof server;
    server.dwAuthType = AUTHTYPE_SERVER;
    server.pwszServerName = host;
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &server;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    bool trusted =
        (chain->TrustStatus.dwErrorStatus & chainFaults) == 0 &&
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) &&
        status.dwError == 0;
    CertFreeCertificateChain(chain);
    return trusted;
}

static bool serverIsTrusted(CURL *transfer)
{
    PCCERT_CONTEXT leaf = sessionCertificate(transfer);
    WCHAR *host = requestedHost(transfer);
    bool trusted = leaf && host && chainIsTrusted(leaf, host);
    free(host);
    if (leaf)
        CertFreeCertificateContext(leaf);
    return trusted;
}

static int checkBeforeRequest(void *context, char *, char *, int, int)
{
    CURL *transfer = (CURL *)context;
    char *scheme = nullptr;
    if (curl_easy_getinfo(transfer, CURLINFO_SCHEME, &scheme) != CURLE_OK || !scheme)
        return CURL_PREREQFUNC_ABORT;
    if (_stricmp(scheme, "https") != 0)
        return CURL_PREREQFUNC_OK;
    return serverIsTrusted(transfer) ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
}

bool checkServerCertificates(CURL *transfer)
{
    // A fresh connection (and so a fresh handshake) for every request: the certificates seen
    // are always those of the connection the request goes out on.
    // Revocation is checked by Schannel, best effort: a revoked certificate fails, an answer
    // that cannot be had (an unreachable CRL or OCSP server, a captive network) does not. The
    // signature guards what is installed; TLS guards privacy and availability, and a strict check
    // would hand whoever blocks the revocation servers a switch that stops every update.
    return curl_easy_setopt(transfer, CURLOPT_SSL_OPTIONS, (long)CURLSSLOPT_REVOKE_BEST_EFFORT) ==
               CURLE_OK &&
           curl_easy_setopt(transfer, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK &&
           curl_easy_setopt(transfer, CURLOPT_PREREQFUNCTION, checkBeforeRequest) == CURLE_OK &&
           curl_easy_setopt(transfer, CURLOPT_PREREQDATA, transfer) == CURLE_OK;
}
