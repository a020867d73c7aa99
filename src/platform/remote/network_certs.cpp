// Making, writing, reading and checking a network's certificates, and the gRPC credentials
// built from them. All OpenSSL use of the program is here.
#include "platform/remote/network_certs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <grpcpp/security/credentials.h>
#include <grpcpp/security/server_credentials.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "platform/error.h"

namespace shardex::remote {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCaFile = "ca.pem";
constexpr const char* kCertFile = "computer.pem";
constexpr const char* kKeyFile = "computer.key";
constexpr long kValidDays = 20 * 365;

// ---- owning handles for OpenSSL objects ---------------------------------------------

struct EvpPkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct X509ExtensionFree {
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
struct BignumFree {
    void operator()(BIGNUM* p) const { BN_free(p); }
};
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, X509ExtensionFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using BignumPtr = std::unique_ptr<BIGNUM, BignumFree>;

// A file descriptor, closed on every path out.
struct FdCloser {
    int fd = -1;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

// OpenSSL's error queue as one line (and emptied, so that the next failure starts clean).
std::string openssl_errors() {
    std::string text;
    while (unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty()) text += "; ";
        text += buf;
    }
    return text.empty() ? "no detail from OpenSSL" : text;
}

// Throws for a failed OpenSSL call in the making of a network, which only fails when
// memory or the random source does.
void check(bool ok, const char* what) {
    if (!ok) throw Error(std::string("Could not make the network certificates (") + what + "): " + openssl_errors());
}

// ---- making --------------------------------------------------------------------------

EvpPkeyPtr new_key() {
    EvpPkeyPtr key(EVP_EC_gen("P-256"));
    check(key != nullptr, "new P-256 key");
    return key;
}

std::string random_hex(int bytes) {
    std::vector<unsigned char> raw(static_cast<std::size_t>(bytes));
    check(RAND_bytes(raw.data(), bytes) == 1, "random bytes");
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : raw) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509ExtensionPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    check(ext != nullptr, value);
    check(X509_add_ext(cert, ext.get(), -1) == 1, value);
}

// A certificate for `key` named `commonName`, to be signed by `issuer` (itself when null).
X509Ptr new_certificate(EVP_PKEY* key, const std::string& commonName, X509* issuer) {
    X509Ptr cert(X509_new());
    check(cert != nullptr, "new certificate");
    check(X509_set_version(cert.get(), X509_VERSION_3) == 1, "version");

    // A random positive serial of 127 bits: unique without keeping a record.
    BignumPtr serial(BN_new());
    check(serial != nullptr && BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1, "serial");
    check(BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) != nullptr, "serial");

    check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60 * 60) != nullptr, "validity");
    check(X509_time_adj_ex(X509_getm_notAfter(cert.get()), kValidDays, 0, nullptr) != nullptr, "validity");
    check(X509_set_pubkey(cert.get(), key) == 1, "public key");

    X509_NAME* name = X509_get_subject_name(cert.get());
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1,
          "name");
    check(X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name) == 1, "issuer");
    return cert;
}

std::string pem_of(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio && PEM_write_bio_X509(bio.get(), cert) == 1, "PEM certificate");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string pem_of(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "PEM key");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

// ---- writing -------------------------------------------------------------------------

std::string errno_text(int e) { return std::strerror(e); }

// Writes `content` to a new file next to `target` that is created with mode 0600, so the
// key is never readable by others, not even for a moment. Returns the new file's path.
fs::path write_private(const fs::path& target, const std::string& content) {
    std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    FdCloser file{::mkstemp(pattern.data())};  // mkstemp creates with mode 0600
    if (file.fd < 0)
        throw Error("Could not write '" + target.string() + "': " + errno_text(errno));
    const fs::path temp = pattern;
    const auto fail = [&](int e) {
        ::unlink(temp.c_str());
        return Error("Could not write '" + target.string() + "': " + errno_text(e));
    };
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(file.fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw fail(errno);
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(file.fd) != 0) throw fail(errno);
    const int fd = file.fd;
    file.fd = -1;
    if (::close(fd) != 0) throw fail(errno);
    return temp;
}

// ---- reading -------------------------------------------------------------------------

std::string read_text(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Error("Could not read '" + file.string() + "': " + errno_text(errno));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The key is the network's one secret: a key other users of this computer can read or
// change, or a folder they can write (where its files could be swapped), is refused with the
// command that mends it.
void check_folder_private(const fs::path& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) throw Error("Could not read '" + folder.string() + "': " + errno_text(errno));
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        throw Error("The network folder '" + folder.string() + "' can be changed by other users of this computer: "
                    "make it yours alone with chmod 700 '" + folder.string() + "' and start again");
}

std::string read_private_key(const fs::path& file) {
    FdCloser fd{::open(file.c_str(), O_RDONLY | O_CLOEXEC)};
    if (fd.fd < 0) throw Error("Could not read '" + file.string() + "': " + errno_text(errno));
    struct stat st {};
    if (::fstat(fd.fd, &st) != 0) throw Error("Could not read '" + file.string() + "': " + errno_text(errno));
    if (st.st_mode & (S_IRWXG | S_IRWXO))
        throw Error("The network's key '" + file.string() + "' can be read by other users of this computer: make "
                    "it yours alone with chmod 600 '" + file.string() + "' and start again");
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Error("Could not read '" + file.string() + "': " + errno_text(errno));
        if (n == 0) return text;
        text.append(buf, static_cast<std::size_t>(n));
    }
}

X509Ptr parse_certificate(const std::string& pem, const fs::path& file) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert)
        throw Error("'" + file.string() + "' is not a PEM certificate (" + openssl_errors() +
                    "): copy the network folder again from the computer that made it");
    return cert;
}

EvpPkeyPtr parse_key(const std::string& pem, const fs::path& file) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    EvpPkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key)
        throw Error("'" + file.string() + "' is not a PEM private key (" + openssl_errors() +
                    "): copy the network folder again from the computer that made it");
    return key;
}

}  // namespace

fs::path default_network_folder() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return fs::path(xdg) / "shardex" / "network";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/") / ".config" / "shardex" / "network";
}

NetworkCredentials make_network() {
    EvpPkeyPtr caKey = new_key();
    // The random part tells one network's authority from another's in any tool that shows it.
    X509Ptr ca = new_certificate(caKey.get(), "Shardex network authority " + random_hex(4), nullptr);
    add_extension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
    add_extension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    add_extension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
    check(X509_sign(ca.get(), caKey.get(), EVP_sha256()) > 0, "sign authority");

    EvpPkeyPtr key = new_key();
    X509Ptr cert = new_certificate(key.get(), kTargetName, ca.get());
    add_extension(cert.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
    add_extension(cert.get(), ca.get(), NID_key_usage, "critical,digitalSignature");
    add_extension(cert.get(), ca.get(), NID_ext_key_usage, "serverAuth,clientAuth");
    add_extension(cert.get(), ca.get(), NID_subject_alt_name, (std::string("DNS:") + kTargetName).c_str());
    add_extension(cert.get(), ca.get(), NID_subject_key_identifier, "hash");
    add_extension(cert.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
    check(X509_sign(cert.get(), caKey.get(), EVP_sha256()) > 0, "sign certificate");

    return {pem_of(ca.get()), pem_of(cert.get()), pem_of(key.get())};
}

void init_network(const fs::path& folder, bool overwrite) {
    std::error_code ec;
    if (folder.has_parent_path()) fs::create_directories(folder.parent_path(), ec);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        throw Error("Could not create the network folder '" + folder.string() + "': " + errno_text(errno));
    if (!fs::is_directory(folder, ec))
        throw Error("Could not create the network folder '" + folder.string() + "': a file of that name is in the way");
    // A folder that was there already may be open to others: the key must not be.
    if (::chmod(folder.c_str(), 0700) != 0)
        throw Error("Could not restrict the network folder '" + folder.string() + "' to its owner: " +
                    errno_text(errno));

    const fs::path files[] = {folder / kCaFile, folder / kCertFile, folder / kKeyFile};
    if (!overwrite) {
        for (const fs::path& f : files)
            if (fs::exists(fs::symlink_status(f, ec)))
                throw Error("'" + folder.string() + "' holds a network already ('" + f.filename().string() +
                            "' exists). Making a new one would shut this computer out of that network; to do it "
                            "anyway, add --force (or remove the folder) and copy the new one to every computer "
                            "afterwards");
    }

    const NetworkCredentials creds = make_network();
    const std::string* contents[] = {&creds.caPem, &creds.certPem, &creds.keyPem};
    // Every file is complete on disk before any of them replaces an old one.
    std::vector<fs::path> temps;
    try {
        for (int i = 0; i < 3; ++i) temps.push_back(write_private(files[i], *contents[i]));
        for (int i = 0; i < 3; ++i) {
            if (::rename(temps[static_cast<std::size_t>(i)].c_str(), files[i].c_str()) != 0)
                throw Error("Could not write '" + files[i].string() + "': " + errno_text(errno));
        }
    } catch (...) {
        for (const fs::path& t : temps) ::unlink(t.c_str());
        throw;
    }
}

NetworkCredentials load_network(const fs::path& folder) {
    const fs::path caFile = folder / kCaFile, certFile = folder / kCertFile, keyFile = folder / kKeyFile;
    std::error_code ec;
    const bool any = fs::exists(caFile, ec) || fs::exists(certFile, ec) || fs::exists(keyFile, ec);
    if (!any)
        throw Error("No network certificate in '" + folder.string() +
                    "': run 'shardex-agent --init' on one computer and copy the folder it writes to this computer");
    for (const fs::path& f : {caFile, certFile, keyFile})
        if (!fs::exists(f, ec))
            throw Error("The network folder '" + folder.string() + "' lacks '" + f.filename().string() +
                        "': copy the whole folder again from the computer that made it");

    check_folder_private(folder);
    NetworkCredentials creds{read_text(caFile), read_text(certFile), read_private_key(keyFile)};
    X509Ptr ca = parse_certificate(creds.caPem, caFile);
    X509Ptr cert = parse_certificate(creds.certPem, certFile);
    EvpPkeyPtr key = parse_key(creds.keyPem, keyFile);

    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        openssl_errors();
        throw Error("'" + keyFile.string() + "' is not the key of '" + certFile.string() +
                    "': the files come from different networks; copy the whole folder again from the computer "
                    "that made it");
    }
    EVP_PKEY* caPublic = X509_get0_pubkey(ca.get());
    if (caPublic == nullptr || X509_verify(cert.get(), caPublic) != 1) {
        openssl_errors();
        throw Error("'" + certFile.string() + "' was not signed by the network authority '" + caFile.string() +
                    "': the files come from different networks; copy the whole folder again from the computer "
                    "that made it");
    }
    return creds;
}

std::shared_ptr<grpc::ChannelCredentials> client_credentials(const NetworkCredentials& creds) {
    grpc::SslCredentialsOptions options;
    options.pem_root_certs = creds.caPem;
    options.pem_private_key = creds.keyPem;
    options.pem_cert_chain = creds.certPem;
    return grpc::SslCredentials(options);
}

std::shared_ptr<grpc::ServerCredentials> server_credentials(const NetworkCredentials& creds) {
    grpc::SslServerCredentialsOptions options(GRPC_SSL_REQUEST_AND_REQUIRE_CLIENT_CERTIFICATE_AND_VERIFY);
    options.pem_root_certs = creds.caPem;
    options.pem_key_cert_pairs.push_back({creds.keyPem, creds.certPem});
    return grpc::SslServerCredentials(options);
}

}  // namespace shardex::remote
