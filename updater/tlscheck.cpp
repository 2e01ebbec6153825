// Schannel checks the certificate on Windows itself, but not every Schannel does (Wine's does
// not), and libcurl has no other way to ask Windows' store. So the chain the server sent is
// checked once more, as Windows' own HTTP clients check it: chain engine, then SSL policy with
// the host name.
#include "tlscheck.h"
#include <windows.h>
#include <wincrypt.h>
#include <stdlib.h>
#include <string.h>

// Adds one PEM certificate; added (may be null) receives its context, to be freed.
static void addPemCertificate(HCERTSTORE store, const char *pem, PCCERT_CONTEXT *added)
{
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem, 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
        return;
    BYTE *der = (BYTE *)malloc(size);
    if (der &&
        CryptStringToBinaryA(pem, 0, CRYPT_STRING_BASE64HEADER, der, &size, nullptr, nullptr))
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size, CERT_STORE_ADD_ALWAYS,
                                         added);
    free(der);
}

// The certificates of this connection's handshake in a memory store; leaf is the server's own.
static HCERTSTORE sentCertificates(CURL *transfer, PCCERT_CONTEXT *leaf)
{
    struct curl_certinfo *info = nullptr;
    if (curl_easy_getinfo(transfer, CURLINFO_CERTINFO, &info) != CURLE_OK || !info ||
        info->num_of_certs < 1)
        return nullptr;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    for (int i = 0; store && i < info->num_of_certs; ++i)
        for (struct curl_slist *field = info->certinfo[i]; field; field = field->next)
            if (strncmp(field->data, "Cert:", 5) == 0)
                addPemCertificate(store, field->data + 5, i == 0 && !*leaf ? leaf : nullptr);
    if (store && !*leaf) {
        CertCloseStore(store, 0);
        store = nullptr;
    }
    return store;
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

static bool chainIsTrusted(PCCERT_CONTEXT leaf, HCERTSTORE sent, WCHAR *host)
{
    LPSTR serverAuth = (LPSTR)szOID_PKIX_KP_SERVER_AUTH;
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, leaf, nullptr, sent, &chainPara, 0, nullptr, &chain))
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
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) &&
        status.dwError == 0;
    CertFreeCertificateChain(chain);
    return trusted;
}

static bool serverIsTrusted(CURL *transfer)
{
    PCCERT_CONTEXT leaf = nullptr;
    HCERTSTORE sent = sentCertificates(transfer, &leaf);
    WCHAR *host = requestedHost(transfer);
    bool trusted = sent && host && chainIsTrusted(leaf, sent, host);
    free(host);
    if (leaf)
        CertFreeCertificateContext(leaf);
    if (sent)
        CertCloseStore(sent, 0);
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
    return curl_easy_setopt(transfer, CURLOPT_CERTINFO, 1L) == CURLE_OK &&
           curl_easy_setopt(transfer, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK &&
           curl_easy_setopt(transfer, CURLOPT_PREREQFUNCTION, checkBeforeRequest) == CURLE_OK &&
           curl_easy_setopt(transfer, CURLOPT_PREREQDATA, transfer) == CURLE_OK;
}
