#include "net/Tls.h"

#include "net/Address.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "core/Metrics.h"

namespace pv::net {

namespace {

// The library's latest error as one short phrase ("no such file", "wrong version number").
std::string LibraryReason() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) return "unknown error";
    const char* reason = ERR_reason_error_string(code);
    if (reason) return reason;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string Hex(const unsigned char* bytes, unsigned length) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (unsigned i = 0; i < length; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

std::string Fingerprint(X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (!cert || X509_digest(cert, EVP_sha256(), md, &length) != 1) return "";
    return Hex(md, length);
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char buf[16];
    return ::inet_pton(AF_INET, host.c_str(), buf) == 1 || ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// Whether the file can be opened for reading; else the reason, as the system gives it.
bool Readable(const std::string& file, std::string& why) {
    FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) {
        why = std::strerror(errno);
        return false;
    }
    std::fclose(f);
    return true;
}

// Common settings: TLS 1.2 at least, no renegotiation (a second handshake in the middle of a
// conversation is an attack surface nobody needs), partial writes so a full socket keeps the
// unsent rest in our own output buffer, which may move between calls. Idle conversations give
// their record buffers back: a server holds hundreds of them.
void Configure(SSL_CTX* ctx) {
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
}

// Writes text to `path` through a temporary file made with `mode`, flushed, then renamed in.
template <class WriteFn>
bool WriteFileAtomically(const std::string& path, mode_t mode, WriteFn write, std::string& error) {
    const std::string temp = path + ".new";
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        error = "The file " + path + " could not be created: " + std::strerror(errno) +
                ". Check that its folder exists and may be written.";
        return false;
    }
    ::fchmod(fd, mode);  // the umask may have taken bits away; a key must not gain any
    FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        ::close(fd);
        ::unlink(temp.c_str());
        error = "The file " + path + " could not be written: " + std::strerror(errno) + ".";
        return false;
    }
    const bool ok = write(f) && std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
    const int err = errno;
    std::fclose(f);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int why = ok ? errno : err;
        ::unlink(temp.c_str());
        error = "The file " + path + " could not be written: " + (why ? std::strerror(why) : "unknown error") +
                ". Check the free space and the folder's permissions.";
        return false;
    }
    return true;
}

}  // namespace

CTlsContext::~CTlsContext() { SSL_CTX_free(ctx_); }

std::shared_ptr<CTlsContext> MakeServerTlsContext(const std::string& certFile, const std::string& keyFile,
                                                  std::string& error) {
    std::string why;
    if (!Readable(certFile, why)) {
        error = "The certificate file " + certFile + " could not be read: " + why +
                ". Check AdvCon\\TlsCertificate.";
        return nullptr;
    }
    if (!Readable(keyFile, why)) {
        error = "The key file " + keyFile + " could not be read: " + why + ". Check AdvCon\\TlsKey.";
        return nullptr;
    }
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        error = "TLS could not be set up: " + LibraryReason() + ". The system is short of memory.";
        return nullptr;
    }
    Configure(ctx);
    if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
        error = "The certificate file " + certFile + " holds no usable certificate (" + LibraryReason() +
                "). Check AdvCon\\TlsCertificate: it must name a PEM certificate.";
        SSL_CTX_free(ctx);
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 &&
        ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
        ERR_clear_error();
        error = "The key in " + keyFile + " does not belong to the certificate in " + certFile +
                ". Check AdvCon\\TlsCertificate and AdvCon\\TlsKey.";
        SSL_CTX_free(ctx);
        return nullptr;
    }
    if (ERR_peek_last_error() != 0) {
        error = "The key file " + keyFile + " holds no usable private key (" + LibraryReason() +
                "). Check AdvCon\\TlsKey: it must name an unencrypted PEM key.";
        SSL_CTX_free(ctx);
        return nullptr;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        ERR_clear_error();
        error = "The key in " + keyFile + " does not belong to the certificate in " + certFile +
                ". Check AdvCon\\TlsCertificate and AdvCon\\TlsKey.";
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return std::make_shared<CTlsContext>(ctx, true);
}

std::shared_ptr<CTlsContext> MakeClientTlsContext(std::string& error) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        error = "TLS could not be set up: " + LibraryReason() + ". The system is short of memory.";
        return nullptr;
    }
    Configure(ctx);
    if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
        error = "The system's trusted certificates could not be loaded (" + LibraryReason() +
                "). Install the package ca-certificates.";
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    return std::make_shared<CTlsContext>(ctx, false);
}

std::shared_ptr<CTlsContext> MakeClientTlsContext(const std::string& caFile, std::string& error) {
    std::shared_ptr<CTlsContext> ctx = MakeClientTlsContext(error);
    if (!ctx || caFile.empty()) return ctx;
    std::string why;
    if (!Readable(caFile, why)) {
        error = "The certificate file " + caFile + " could not be read: " + why + ".";
        return nullptr;
    }
    ERR_clear_error();
    if (SSL_CTX_load_verify_locations(ctx->Native(), caFile.c_str(), nullptr) != 1) {
        error = "The file " + caFile + " holds no usable certificate (" + LibraryReason() + ").";
        return nullptr;
    }
    return ctx;
}

void TlsThreadEnd() { OPENSSL_thread_stop(); }

std::string NormalizeFingerprint(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == ':' || c == ' ' || c == '\t') continue;
        out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
    }
    return out;
}

std::string CertificateFingerprint(const std::string& certFile, std::string& error) {
    std::string why;
    if (!Readable(certFile, why)) {
        error = "The certificate file " + certFile + " could not be read: " + why + ".";
        return "";
    }
    FILE* f = std::fopen(certFile.c_str(), "rb");
    if (!f) {
        error = "The certificate file " + certFile + " could not be read: " + std::strerror(errno) + ".";
        return "";
    }
    ERR_clear_error();
    X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!cert) {
        error = "The file " + certFile + " holds no PEM certificate (" + LibraryReason() + ").";
        return "";
    }
    std::string fp = Fingerprint(cert);
    X509_free(cert);
    return fp;
}

bool MakeSelfSignedCertificate(const std::string& host, const std::string& certFile, const std::string& keyFile,
                               std::string& error) {
    ERR_clear_error();
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    auto done = [&](bool ok) {
        X509_free(cert);
        EVP_PKEY_free(key);
        return ok;
    };
    if (!key || !cert) {
        error = "A key for the certificate could not be made: " + LibraryReason() + ".";
        return done(false);
    }
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) {
        error = "The system's random source failed: " + LibraryReason() + ".";
        return done(false);
    }
    serial[0] &= 0x7F;  // a positive serial number
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serialOk = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
    BN_free(bn);

    X509_NAME* name = X509_get_subject_name(cert);
    bool ok = serialOk && X509_set_version(cert, 2) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(cert), -3600) &&
              X509_gmtime_adj(X509_getm_notAfter(cert), 10L * 365 * 24 * 3600) &&
              X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1, 0) == 1 &&
              X509_set_issuer_name(cert, name) == 1 && X509_set_pubkey(cert, key) == 1;
    if (ok) {
        X509V3_CTX v3;
        X509V3_set_ctx_nodb(&v3);
        X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
        const std::string san = (IsAddressLiteral(host) ? "IP:" : "DNS:") + host;
        // Clients that are told to trust this certificate take it as its own authority.
        const std::pair<int, std::string> extensions[] = {
            {NID_subject_alt_name, san},
            {NID_basic_constraints, "critical,CA:TRUE"},
            {NID_subject_key_identifier, "hash"},
        };
        for (const auto& [nid, value] : extensions) {
            X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value.c_str());
            ok = ext && X509_add_ext(cert, ext, -1) == 1;
            X509_EXTENSION_free(ext);
            if (!ok) break;
        }
    }
    if (!ok || X509_sign(cert, key, EVP_sha256()) == 0) {
        error = "The certificate for " + host + " could not be made: " + LibraryReason() + ".";
        return done(false);
    }
    if (!WriteFileAtomically(keyFile, 0600,
                             [&](FILE* f) {
                                 return PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
                             },
                             error)) {
        return done(false);
    }
    if (!WriteFileAtomically(certFile, 0644, [&](FILE* f) { return PEM_write_X509(f, cert) == 1; }, error)) {
        return done(false);
    }
    return done(true);
}

// --- sessions ------------------------------------------------------------------------------

std::unique_ptr<CTlsSession> CTlsSession::Create(const std::shared_ptr<CTlsContext>& ctx, int fd,
                                                 const TlsClientOptions* client, std::string& error) {
    ERR_clear_error();
    if (!ctx) {
        error = "no TLS context";
        return nullptr;
    }
    SSL* ssl = SSL_new(ctx->Native());
    if (!ssl) {
        error = "TLS session could not be made: " + LibraryReason();
        return nullptr;
    }
    std::unique_ptr<CTlsSession> session(new CTlsSession(ctx, ssl));
    session->server_ = ctx->IsServer();
    // The socket is the caller's: freeing the session leaves it open.
    if (SSL_set_fd(ssl, fd) != 1) {
        error = "TLS session could not use the socket: " + LibraryReason();
        return nullptr;
    }
    SSL_set_app_data(ssl, session.get());
    if (session->server_) {
        SSL_set_accept_state(ssl);
        return session;
    }
    SSL_set_connect_state(ssl);
    // "[2001:db8::1]" as configured is checked as the address it names.
    const std::string host = client ? HostWithoutBrackets(client->host) : std::string();
    if (!host.empty() && !IsAddressLiteral(host)) SSL_set_tlsext_host_name(ssl, host.c_str());
    if (client && !client->pinnedSha256.empty()) {
        // The pin replaces the trusted roots and the name: exactly this certificate, no other.
        session->pin_ = NormalizeFingerprint(client->pinnedSha256);
        SSL_set_verify(ssl, SSL_VERIFY_PEER, &CTlsSession::VerifyPinned);
    } else if (!host.empty()) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        const int set = IsAddressLiteral(host) ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                                               : X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
        if (set != 1) {
            error = "the host name " + host + " cannot be checked against a certificate";
            return nullptr;
        }
    }
    return session;
}

CTlsSession::~CTlsSession() { SSL_free(ssl_); }

int CTlsSession::VerifyPinned(int /*preverified*/, x509_store_ctx_st* store) {
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = ssl ? static_cast<CTlsSession*>(SSL_get_app_data(ssl)) : nullptr;
    if (!self) return 0;
    // Only the peer's own certificate matters; what signed it does not.
    if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
    if (Fingerprint(X509_STORE_CTX_get_current_cert(store)) == self->pin_) return 1;
    self->pinMismatch_ = true;
    return 0;
}

CTlsSession::Io CTlsSession::Status(int result, std::string* reason) {
    const int err = SSL_get_error(ssl_, result);
    const int sysErrno = errno;
    switch (err) {
        case SSL_ERROR_WANT_READ: return Io::WantRead;
        case SSL_ERROR_WANT_WRITE: return Io::WantWrite;
        case SSL_ERROR_ZERO_RETURN:
            if (reason) *reason = established_ ? "peer closed the TLS connection" : "peer closed during handshake";
            return Io::Closed;
        case SSL_ERROR_SYSCALL: {
            const unsigned long code = ERR_peek_last_error();
            ERR_clear_error();
            if (reason) {
                if (code == 0 && (result == 0 || sysErrno == 0)) {
                    *reason = established_ ? "peer closed without ending TLS" : "peer closed during handshake";
                } else {
                    *reason = std::string("socket error: ") + std::strerror(sysErrno);
                }
            }
            failed_ = true;
            return Io::Failed;
        }
        default: break;
    }
    if (reason) {
        const unsigned long code = ERR_peek_last_error();
        const long verify = SSL_get_verify_result(ssl_);
        if (pinMismatch_) {
            *reason = "the certificate's fingerprint is not the pinned one";
        } else if (!server_ && verify != X509_V_OK) {
            *reason = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
        } else if (ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            *reason = established_ ? "peer closed without ending TLS" : "peer closed during handshake";
        } else {
            *reason = (established_ ? "TLS error: " : "handshake failed: ") + LibraryReason();
        }
    }
    ERR_clear_error();
    failed_ = true;
    return Io::Failed;
}

CTlsSession::Io CTlsSession::Handshake(std::string& reason) {
    ERR_clear_error();
    errno = 0;
    const int result = SSL_do_handshake(ssl_);
    if (result == 1) {
        established_ = true;
        pv::CountMetric(pv::Metric::TlsHandshakes);
        return Io::Done;
    }
    Io io = Status(result, &reason);
    if (io == Io::Closed || io == Io::Failed) pv::CountMetric(pv::Metric::TlsHandshakeFailures);
    return io == Io::Closed ? Io::Failed : io;
}

int CTlsSession::Read(void* buffer, int size, Io& status) {
    ERR_clear_error();
    errno = 0;
    if (size <= 0) {
        status = Io::Done;
        return 0;
    }
    const int n = SSL_read(ssl_, buffer, size);
    if (n > 0) {
        status = Io::Done;
        return n;
    }
    status = Status(n, nullptr);
    return 0;
}

int CTlsSession::Write(const void* data, int length, Io& status) {
    ERR_clear_error();
    errno = 0;
    if (length <= 0) {
        status = Io::Done;
        return 0;
    }
    const int n = SSL_write(ssl_, data, length);
    if (n > 0) {
        status = Io::Done;
        return n;
    }
    status = Status(n, nullptr);
    return 0;
}

bool CTlsSession::HasPending() const { return SSL_pending(ssl_) > 0; }

void CTlsSession::Shutdown() {
    if (!established_ || failed_) return;
    ERR_clear_error();
    SSL_shutdown(ssl_);  // one try: the alert goes out if the socket takes it, else not at all
    ERR_clear_error();
}

std::string CTlsSession::PeerFingerprint() const {
    X509* cert = SSL_get1_peer_certificate(ssl_);
    std::string fp = Fingerprint(cert);
    X509_free(cert);
    return fp;
}

std::string CTlsSession::Description() const {
    return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}

bool Base64Decode(std::string_view text, std::string& out) {
    out.clear();
    if (text.size() % 4 != 0) return false;
    if (text.empty()) return true;
    std::string bytes(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return false;
    // The block decoder counts the padding as zero bytes.
    size_t size = static_cast<size_t>(n);
    if (text.back() == '=') --size;
    if (text.size() >= 2 && text[text.size() - 2] == '=') --size;
    bytes.resize(size);
    out = std::move(bytes);
    return true;
}

}  // namespace pv::net
