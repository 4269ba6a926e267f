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
#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

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
struct KeyInfoDeleter {
    void operator()(PKCS8_PRIV_KEY_INFO* info) const { PKCS8_PRIV_KEY_INFO_free(info); }
};
struct AlgorithmDeleter {
    void operator()(X509_ALGOR* algorithm) const { X509_ALGOR_free(algorithm); }
};
struct EncryptedKeyDeleter {
    void operator()(X509_SIG* encrypted) const { X509_SIG_free(encrypted); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, ContextDeleter>;
using File = std::unique_ptr<FILE, FileCloser>;
using Bio = std::unique_ptr<BIO, BioDeleter>;
using KeyInfo = std::unique_ptr<PKCS8_PRIV_KEY_INFO, KeyInfoDeleter>;
using Algorithm = std::unique_ptr<X509_ALGOR, AlgorithmDeleter>;
using EncryptedKey = std::unique_ptr<X509_SIG, EncryptedKeyDeleter>;

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

bool appendFileDurably(const std::string& path, const std::string& text, std::string& error) {
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 ||
        ::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        ::fsync(fd.get()) != 0 || !fd.close()) {
        error = osError("cannot append to", path);
        return false;
    }
    return info.st_size > 0 || syncParentDirectory(path, error);
}

namespace {

std::string passphraseLengthProblem(const std::optional<std::string>& passphrase) {
    if (!passphrase || passphrase->size() <= kMaxPassphraseBytes) return {};
    return "the passphrase is " + std::to_string(passphrase->size()) + " bytes long; at most " +
           std::to_string(kMaxPassphraseBytes) +
           " are allowed, so that openssl reads the key with it too";
}

// PKCS #8 encrypted by PBES2: AES-256-CBC under a PBKDF2-HMAC-SHA256 key of kKeyIterations.
// OpenSSL's PEM_write_bio_PrivateKey offers no iteration count, and its default is 2048.
bool writeEncryptedKey(BIO* bio, EVP_PKEY* key, const std::string& passphrase) {
    unsigned char salt[16];
    if (RAND_bytes(salt, sizeof salt) != 1) return false;
    const KeyInfo info(EVP_PKEY2PKCS8(key));
    Algorithm scheme(PKCS5_pbe2_set_iv(EVP_aes_256_cbc(), kKeyIterations, salt, sizeof salt,
                                       nullptr, NID_hmacWithSHA256));
    if (!info || !scheme) return false;
    const EncryptedKey encrypted(PKCS8_set0_pbe(
        passphrase.data(), static_cast<int>(passphrase.size()), info.get(), scheme.get()));
    if (!encrypted) return false;
    scheme.release();  // the encrypted key owns it now
    return PEM_write_bio_PKCS8(bio, encrypted.get()) == 1;
}

std::string memoryText(BIO* bio) {
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(bio, &bytes);
    return std::string(bytes, static_cast<size_t>(length));
}

bool encodePrivateKey(EVP_PKEY* key, const std::optional<std::string>& passphrase,
                      std::string& pem) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio) return false;
    const bool written = passphrase ? writeEncryptedKey(bio.get(), key, *passphrase)
                                    : PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0,
                                                               nullptr, nullptr) == 1;
    if (written) pem = memoryText(bio.get());
    return written;
}

bool encodePublicKey(EVP_PKEY* key, std::string& pem) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) return false;
    pem = memoryText(bio.get());
    return true;
}

// A key file counts as written only once it reads back, with its passphrase, as the same key.
bool readsBack(const std::string& path, EVP_PKEY* expected,
               const std::optional<std::string>& passphrase, std::string& error) {
    std::string problem;
    const Key read = readPrivateKey({path, passphrase}, problem);
    if (read && EVP_PKEY_eq(read.get(), expected) == 1) return true;
    error = "the key written to " + path + " does not read back" +
            (problem.empty() ? std::string() : ": " + problem);
    return false;
}

// Creates `path` (0600 from the start, never over an existing file) with `pem` and reads it
// back; on any failure the file is removed again.
bool writeNewPrivateKey(const std::string& path, const std::string& pem, EVP_PKEY* key,
                        const std::optional<std::string>& passphrase, std::string& error) {
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        error = osError("cannot create", path);
        return false;
    }
    const bool written =
        ::write(fd.get(), pem.data(), pem.size()) == static_cast<ssize_t>(pem.size()) &&
        ::fsync(fd.get()) == 0 && fd.close();
    if (!written) error = osError("cannot write", path);
    if (written && readsBack(path, key, passphrase, error)) return true;
    ::unlink(path.c_str());
    return false;
}

}  // namespace

bool generateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     const std::optional<std::string>& passphrase, std::string& error) {
    error = passphraseLengthProblem(passphrase);
    if (!error.empty()) return false;
    const Key key(EVP_RSA_gen(kKeyBits));  // public exponent 65537
    std::string privatePem, publicPem;
    if (!key || !encodePrivateKey(key.get(), passphrase, privatePem) ||
        !encodePublicKey(key.get(), publicPem)) {
        error = "RSA key generation failed";
        return false;
    }
    if (!writeNewPrivateKey(privatePath, privatePem, key.get(), passphrase, error)) return false;
    if (writeFile(publicPath, publicPem, error)) return true;
    // A private key without its public half would only make the next keygen refuse to run.
    ::unlink(privatePath.c_str());
    return false;
}

bool rekeyPrivateKey(const PrivateKey& source, const std::string& newPassphrase,
                     std::string& rewritten, std::string& error) {
    error = passphraseLengthProblem(newPassphrase);
    if (!error.empty()) return false;
    const Key key = readPrivateKey(source, error);
    std::string pem;
    if (!key) return false;
    if (!encodePrivateKey(key.get(), newPassphrase, pem)) {
        error = "cannot encrypt " + source.path;
        return false;
    }
    // Renaming over a symlink would replace the link and leave the old key where it points.
    std::error_code code;
    rewritten = std::filesystem::canonical(source.path, code).string();
    if (code) {
        error = "cannot resolve " + source.path + ": " + code.message();
        return false;
    }
    const std::string staging = rewritten + ".rekey-" + std::to_string(::getpid());
    ::unlink(staging.c_str());  // left by a killed run that had this process id
    if (!writeNewPrivateKey(staging, pem, key.get(), newPassphrase, error)) return false;
    if (::rename(staging.c_str(), rewritten.c_str()) != 0) {
        error = osError("cannot replace", rewritten);
        ::unlink(staging.c_str());
        return false;
    }
    return true;
}

bool syncParentDirectory(const std::string& path, std::string& error) {
    std::string directory = std::filesystem::path(path).parent_path().string();
    if (directory.empty()) directory = ".";
    Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0) {
        error = osError("cannot flush the directory", directory);
        return false;
    }
    return true;
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
