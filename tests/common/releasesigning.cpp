// Signature files for test releases, made with libsodium like the publishing tool's PyNaCl.
#include "fixtures.h"
#include <sodium.h>

std::string releaseSignatureFile(const std::string &channel, const std::string &version,
                                 const std::string &fileName, const std::string &archive,
                                 const std::string &seedHex, const std::string &from,
                                 const std::string &full)
{
    const std::string seedText = seedHex.empty() ? QIM_TEST_RELEASE_SEED : seedHex;
    unsigned char seed[crypto_sign_SEEDBYTES], publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES], digest[32];
    unsigned char signature[crypto_sign_BYTES];
    if (sodium_init() < 0 ||
        sodium_hex2bin(seed, sizeof seed, seedText.c_str(), seedText.size(), nullptr, nullptr,
                       nullptr) != 0 ||
        crypto_sign_seed_keypair(publicKey, secretKey, seed) != 0)
        return "";
    char digestHex[2 * sizeof digest + 1], signatureHex[2 * sizeof signature + 1];
    auto hashHex = [&](const std::string &bytes) {
        crypto_generichash(digest, sizeof digest,
                           reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                           nullptr, 0);
        return std::string(sodium_bin2hex(digestHex, sizeof digestHex, digest, sizeof digest));
    };
    std::string head = from.empty()
                           ? "qim-release-statement-2\nchannel " + channel
                           : "qim-delta-statement-3\nchannel " + channel + "\nfrom " + from;
    std::string fullLines = from.empty() ? ""
                                         : "full-size " + std::to_string(full.size()) +
                                               "\nfull-blake2b-256 " + hashHex(full) + "\n";
    std::string statement = head + "\nversion " + version + "\nfile " + fileName + "\n" +
                            fullLines + "size " + std::to_string(archive.size()) +
                            "\nblake2b-256 " + hashHex(archive) + "\n";
    crypto_sign_detached(signature, nullptr,
                         reinterpret_cast<const unsigned char *>(statement.data()),
                         statement.size(), secretKey);
    sodium_bin2hex(signatureHex, sizeof signatureHex, signature, sizeof signature);
    return statement + "signature " + signatureHex + "\n";
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
    return writeFile(archivePath + ".sig",
                     releaseSignatureFile(beta ? "beta" : "release", version, fileName, archive));
}
