// The update server's certificate, checked with Windows' own trusted roots before a request is
// sent over https.
#pragma once
#include <curl/curl.h>

// Every https request of the transfer then waits for the check of the certificate chain the
// server sent and of the host name it was asked by; a failed check ends the transfer before
// the request leaves.
bool checkServerCertificates(CURL *transfer);
