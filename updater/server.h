// Where the update server is and what it serves.
#pragma once

#if !defined QIM_UPDATE_SERVER_HOST || !defined QIM_UPDATE_SERVER_SCHEME
#error "QIM_UPDATE_SERVER_SCHEME and QIM_UPDATE_SERVER_HOST must be set by the build"
#endif

// "http" or "https"; over https the certificate and host name are checked with Windows' store.
static const char updateServerScheme[] = QIM_UPDATE_SERVER_SCHEME;
static const char updateServerHost[] = QIM_UPDATE_SERVER_HOST;
static const char versionFilePathRelease[] = "/files/qimRenderer/update/qim.ver";
static const char versionFilePathBeta[] = "/files/qimRenderer/update/alpha.ver";
static const char archivePathFormatRelease[] = "/files/qimRenderer/Renderer_%d.%d.%d.zip";
static const char archivePathFormatBeta[] = "/files/qimRenderer/alpha/Renderer_%d.%d.%d.zip";
static const int versionFileSize = 3;
