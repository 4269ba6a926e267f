#include "repo_crypto.h"
// The PKCS #1 public-key reader is the only deprecated call used; it stays for that key form.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace varnix_repo {
namespace {

constexpr int kKeyBits = 3072;

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, ContextDeleter>;
using File = std::unique_ptr<FILE, FileCloser>;

Key readKey(const std::string& path, bool privateKey, std::string& error) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot open key file " + path;
        return nullptr;
    }
    Key key(privateKey ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr)
                       : PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr));
    if (!key && !privateKey) {
        // Also accept the PKCS #1 "RSA PUBLIC KEY" form.
        std::rewind(file.get());
        RSA* rsa = PEM_read_RSAPublicKey(file.get(), nullptr, nullptr, nullptr);
        if (rsa != nullptr) {
            key.reset(EVP_PKEY_new());
            EVP_PKEY_assign_RSA(key.get(), rsa);
        }
    }
    if (!key) {
        error = path + " is not a PEM " + (privateKey ? "private" : "public") + " key";
        return nullptr;
    }
    if (EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key.get()) != kKeyBits) {
        error = path + " is not an RSA key of 3072 bits";
        return nullptr;
    }
    return key;
}

}  // namespace

bool readFile(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    content = buffer.str();
    return !in.bad();
}

bool writeFile(const std::string& path, const std::string& content, unsigned mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return ::fsync(fd) == 0 && ::close(fd) == 0;
}

bool generateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     std::string& error) {
    Key key(EVP_RSA_gen(kKeyBits));  // public exponent 65537
    if (!key) {
        error = "RSA key generation failed";
        return false;
    }
    // The private key file is created 0600 from the start, never readable by others.
    const int fd = ::open(privatePath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        error = "cannot create " + privatePath + " (it must not exist yet)";
        return false;
    }
    File privateFile(::fdopen(fd, "wb"));
    if (!privateFile || !PEM_write_PrivateKey(privateFile.get(), key.get(), nullptr, nullptr, 0,
                                              nullptr, nullptr)) {
        error = "cannot write " + privatePath;
        return false;
    }
    File publicFile(std::fopen(publicPath.c_str(), "wb"));
    if (!publicFile || !PEM_write_PUBKEY(publicFile.get(), key.get())) {
        error = "cannot write " + publicPath;
        return false;
    }
    return true;
}

bool signBytes(const std::string& privateKeyPath, const std::string& data, std::string& signature,
               std::string& error) {
    Key key = readKey(privateKeyPath, true, error);
    if (!key) return false;
    DigestContext context(EVP_MD_CTX_new());
    EVP_PKEY_CTX* keyContext = nullptr;
    size_t length = 0;
    if (!context ||
        EVP_DigestSignInit(context.get(), &keyContext, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
        error = "signing failed";
        return false;
    }
    signature.assign(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
        error = "signing failed";
        return false;
    }
    signature.resize(length);
    return true;
}

namespace {

bool verifyWithKey(const std::string& publicKeyPath, const std::string& data,
                   const std::string& signature, bool& valid, std::string& error) {
    Key key = readKey(publicKeyPath, false, error);
    if (!key) return false;
    DigestContext context(EVP_MD_CTX_new());
    EVP_PKEY_CTX* keyContext = nullptr;
    if (!context ||
        EVP_DigestVerifyInit(context.get(), &keyContext, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) != 1) {
        error = "cannot set up the verification";
        return false;
    }
    valid =
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                         data.size()) == 1;
    return true;
}

bool fingerprintOfKey(const std::string& publicKeyPath, std::string& fingerprint,
                      std::string& error) {
    Key key = readKey(publicKeyPath, false, error);
    if (!key) return false;
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key.get(), &der);
    if (length <= 0) {
        error = "cannot encode " + publicKeyPath;
        return false;
    }
    fingerprint = sha256Hex(std::string(reinterpret_cast<const char*>(der), length));
    OPENSSL_free(der);
    return true;
}

// "current.pem;next.pem": the keys a launcher carries while the signing key is rotated.
std::vector<std::string> keyPaths(const std::string& publicKeyPaths) {
    std::vector<std::string> paths;
    std::istringstream list(publicKeyPaths);
    for (std::string path; std::getline(list, path, ';');)
        paths.push_back(path);
    if (paths.empty()) paths.push_back(publicKeyPaths);
    return paths;
}

}  // namespace

bool verifyBytes(const std::string& publicKeyPaths, const std::string& data,
                 const std::string& signature, bool& valid, std::string& error) {
    valid = false;
    for (const std::string& path : keyPaths(publicKeyPaths)) {
        bool verified = false;
        if (!verifyWithKey(path, data, signature, verified, error)) return false;
        valid = valid || verified;
    }
    return true;
}

bool publicKeyFingerprint(const std::string& publicKeyPaths, std::string& fingerprint,
                          std::string& error) {
    fingerprint.clear();
    for (const std::string& path : keyPaths(publicKeyPaths)) {
        std::string one;
        if (!fingerprintOfKey(path, one, error)) return false;
        fingerprint += (fingerprint.empty() ? "" : ";") + one;
    }
    return true;
}

std::string sha256Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

}  // namespace varnix_repo
