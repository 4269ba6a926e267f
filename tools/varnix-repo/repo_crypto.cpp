#include "repo_crypto.h"
// The PKCS #1 public-key reader is the only deprecated call used; it stays for that key form.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

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
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, ContextDeleter>;
using File = std::unique_ptr<FILE, FileCloser>;
using Bio = std::unique_ptr<BIO, BioDeleter>;

// A descriptor closed on every road out.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now, so that a failing close (a full disk on NFS) is seen.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

std::string osError(const std::string& what, const std::string& path, int code = errno) {
    return what + " " + path + ": " + std::strerror(code);
}

// What OpenSSL asked for while reading a private key; answers from the given passphrase only,
// because OpenSSL's own fallback would prompt on the terminal.
struct PassphraseRequest {
    const std::optional<std::string>* passphrase = nullptr;
    bool asked = false;
};

int answerPassphrase(char* buffer, int size, int /*writing*/, void* context) {
    auto* request = static_cast<PassphraseRequest*>(context);
    request->asked = true;
    if (!request->passphrase->has_value()) return -1;
    const std::string& text = **request->passphrase;
    if (text.size() > static_cast<size_t>(size)) return -1;
    std::memcpy(buffer, text.data(), text.size());
    return static_cast<int>(text.size());
}

Key checkedKind(Key key, const std::string& path, std::string& error) {
    if (key &&
        (EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key.get()) != kKeyBits)) {
        error = path + " is not an RSA key of 3072 bits";
        return nullptr;
    }
    return key;
}

Key readPrivateKey(const PrivateKey& source, std::string& error) {
    File file(std::fopen(source.path.c_str(), "rb"));
    if (!file) {
        error = osError("cannot open key file", source.path);
        return nullptr;
    }
    PassphraseRequest request{&source.passphrase};
    Key key(PEM_read_PrivateKey(file.get(), nullptr, answerPassphrase, &request));
    ERR_clear_error();
    if (!key && request.asked) {
        error = source.passphrase ? "the passphrase does not decrypt " + source.path
                                  : source.path +
                                        " is encrypted: give its passphrase in "
                                        "VARNIX_KEY_PASSPHRASE or with --passphrase-file";
        return nullptr;
    }
    if (!key) {
        error = source.path + " is not a PEM private key";
        return nullptr;
    }
    return checkedKind(std::move(key), source.path, error);
}

Key readPublicKey(const std::string& path, std::string& error) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = osError("cannot open key file", path);
        return nullptr;
    }
    Key key(PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr));
    if (!key) {
        // Also accept the PKCS #1 "RSA PUBLIC KEY" form.
        std::rewind(file.get());
        RSA* rsa = PEM_read_RSAPublicKey(file.get(), nullptr, nullptr, nullptr);
        if (rsa != nullptr) {
            key.reset(EVP_PKEY_new());
            EVP_PKEY_assign_RSA(key.get(), rsa);
        }
    }
    ERR_clear_error();
    if (!key) {
        error = path + " is not a PEM public key";
        return nullptr;
    }
    return checkedKind(std::move(key), path, error);
}

}  // namespace

bool readFile(const std::string& path, std::string& content, std::string& error,
              const std::string& what) {
    const std::string verb = what.empty() ? "cannot read" : "cannot read " + what;
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        error = osError(verb, path);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        error = osError(verb, path, EISDIR);
        return false;
    }
    content.clear();
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = osError(verb, path);
            return false;
        }
        if (n == 0) return true;
        content.append(buffer, static_cast<size_t>(n));
    }
}

bool writeFile(const std::string& path, const std::string& content, std::string& error,
               unsigned mode, const Progress& progress) {
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (fd.get() < 0) {
        error = osError("cannot create", path);
        return false;
    }
    size_t done = 0;
    while (done < content.size()) {
        constexpr size_t kChunk = 4u << 20;
        const ssize_t n =
            ::write(fd.get(), content.data() + done, std::min(kChunk, content.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = osError("cannot write", path);
            return false;
        }
        done += static_cast<size_t>(n);
        if (progress) progress(static_cast<double>(done) / static_cast<double>(content.size()));
    }
    if (::fsync(fd.get()) != 0 || !fd.close()) {
        error = osError("cannot write", path);
        return false;
    }
    return true;
}

bool generateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     const std::optional<std::string>& passphrase, std::string& error) {
    Key key(EVP_RSA_gen(kKeyBits));  // public exponent 65537
    Bio privatePem(BIO_new(BIO_s_mem())), publicPem(BIO_new(BIO_s_mem()));
    const EVP_CIPHER* cipher = passphrase ? EVP_aes_256_cbc() : nullptr;
    auto* secret = passphrase
                       ? reinterpret_cast<unsigned char*>(const_cast<char*>(passphrase->data()))
                       : nullptr;
    const int secretLength = passphrase ? static_cast<int>(passphrase->size()) : 0;
    if (!key || !privatePem || !publicPem ||
        !PEM_write_bio_PrivateKey(privatePem.get(), key.get(), cipher, secret, secretLength,
                                  nullptr, nullptr) ||
        !PEM_write_bio_PUBKEY(publicPem.get(), key.get())) {
        error = "RSA key generation failed";
        return false;
    }
    // The private key file is created 0600 from the start, never readable by others, and never
    // replaces a key that is there already.
    Descriptor fd(::open(privatePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        error = osError("cannot create", privatePath);
        return false;
    }
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(privatePem.get(), &bytes);
    if (::write(fd.get(), bytes, static_cast<size_t>(length)) != length || ::fsync(fd.get()) != 0 ||
        !fd.close()) {
        error = osError("cannot write", privatePath);
        return false;
    }
    const long publicLength = BIO_get_mem_data(publicPem.get(), &bytes);
    return writeFile(publicPath, std::string(bytes, static_cast<size_t>(publicLength)), error);
}

bool checkPrivateKey(const PrivateKey& key, std::string& error) {
    return readPrivateKey(key, error) != nullptr;
}

bool signBytes(const PrivateKey& source, const std::string& data, std::string& signature,
               std::string& error) {
    Key key = readPrivateKey(source, error);
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
    Key key = readPublicKey(publicKeyPath, error);
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
    Key key = readPublicKey(publicKeyPath, error);
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
