// Signature files and announcements for test releases, made with libsodium like the publishing
// tool's PyNaCl.
#include "fixtures.h"
#include <sodium.h>
#include <time.h>

// The statement followed by its signature line, signed with the test key or another seed.
static std::string signStatement(const std::string &statement, const std::string &seedHex)
{
    const std::string seedText = seedHex.empty() ? QIM_TEST_RELEASE_SEED : seedHex;
    unsigned char seed[crypto_sign_SEEDBYTES], publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES], signature[crypto_sign_BYTES];
    if (sodium_init() < 0 ||
        sodium_hex2bin(seed, sizeof seed, seedText.c_str(), seedText.size(), nullptr, nullptr,
                       nullptr) != 0 ||
        crypto_sign_seed_keypair(publicKey, secretKey, seed) != 0)
        return "";
    crypto_sign_detached(signature, nullptr,
                         reinterpret_cast<const unsigned char *>(statement.data()),
                         statement.size(), secretKey);
    char signatureHex[2 * sizeof signature + 1];
    sodium_bin2hex(signatureHex, sizeof signatureHex, signature, sizeof signature);
    return statement + "signature " + signatureHex + "\n";
}

// "size N\nblake2b-256 <hex>\n" of the bytes, each line's tag after the prefix.
static std::string sizeAndHash(const std::string &archive, const std::string &prefix = "")
{
    unsigned char digest[32];
    char digestHex[2 * sizeof digest + 1];
    if (sodium_init() < 0)
        return "";
    crypto_generichash(digest, sizeof digest,
                       reinterpret_cast<const unsigned char *>(archive.data()), archive.size(),
                       nullptr, 0);
    sodium_bin2hex(digestHex, sizeof digestHex, digest, sizeof digest);
    return prefix + "size " + std::to_string(archive.size()) + "\n" + prefix + "blake2b-256 " +
           digestHex + "\n";
}

std::string releaseSignatureFile(const std::string &channel, const std::string &version,
                                 const std::string &fileName, const std::string &archive,
                                 const std::string &seedHex, const std::string &from,
                                 const std::string &full)
{
    std::string head = from.empty()
                           ? "qim-release-statement-2\nchannel " + channel
                           : "qim-delta-statement-3\nchannel " + channel + "\nfrom " + from;
    // A delta names the full archive it reproduces.
    std::string fullLines = from.empty() ? "" : sizeAndHash(full, "full-");
    return signStatement(head + "\nversion " + version + "\nfile " + fileName + "\n" + fullLines +
                             sizeAndHash(archive),
                         seedHex);
}

std::string announcementFile(const std::string &channel, const std::string &version,
                             const std::string &archive, long long issued, long long expires,
                             const std::string &seedHex)
{
    return signStatement("qim-release-announcement-1\nchannel " + channel + "\nversion " + version +
                             "\nfile Renderer_" + version + ".zip\n" + sizeAndHash(archive) +
                             "issued " + std::to_string(issued) + "\nexpires " +
                             std::to_string(expires) + "\n",
                         seedHex);
}

long long unixTimeNow()
{
    return (long long)time(nullptr);
}

bool announceServedVersion(bool beta)
{
    const std::string files = webRoot() + "\\files\\qimRenderer";
    const std::string versionFile = files + (beta ? "\\update\\alpha.ver" : "\\update\\qim.ver");
    std::string bytes, archive;
    if (!readFile(versionFile, &bytes) || bytes.size() != 3)
        return false;
    std::string version = std::to_string((unsigned char)bytes[0]) + "." +
                          std::to_string((unsigned char)bytes[1]) + "." +
                          std::to_string((unsigned char)bytes[2]);
    readFile(files + (beta ? "\\alpha" : "") + "\\Renderer_" + version + ".zip", &archive);
    long long now = unixTimeNow();
    return writeFile(versionFile + ".sig", announcementFile(beta ? "beta" : "release", version,
                                                            archive, now, now + 86400));
}

bool signServedArchive(const std::string &archivePath)
{
    std::string archive;
    size_t name = archivePath.find_last_of("\\/") + 1;
    std::string fileName = archivePath.substr(name);
    const std::string prefix = "Renderer_", suffix = ".zip";
    if (!readFile(archivePath, &archive) || fileName.compare(0, prefix.size(), prefix) != 0 ||
        fileName.size() <= prefix.size() + suffix.size())
        return false;
    std::string version =
        fileName.substr(prefix.size(), fileName.size() - prefix.size() - suffix.size());
    bool beta = archivePath.find("\\alpha\\") != std::string::npos ||
                archivePath.find("/alpha/") != std::string::npos;
    // The channel's announcement follows the archive it names, as the publisher writes it last.
    bool written =
        writeFile(archivePath + ".sig",
                  releaseSignatureFile(beta ? "beta" : "release", version, fileName, archive));
    announceServedVersion(beta);
    return written;
}
