// The proxy Windows' own programs would use for a URL, handed to libcurl.
#pragma once
#include <curl/curl.h>

// Sets the transfer's proxy (or none) from the user's Internet Options, unless an environment
// variable that libcurl reads itself names a proxy. False when the options ask for a proxy
// that cannot be determined within limitSeconds (an automatic configuration script that cannot
// be fetched or run): the transfer must then not be made at all.
bool useSystemProxy(CURL *transfer, const char *url, long limitSeconds);
