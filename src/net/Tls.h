// TLS for conversations: contexts (certificate, key, trusted roots), one session per
// connection driven without blocking by CSocketThread, and the certificate helpers the wizard
// and the admin tool use. The only place in the code that calls the TLS library.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct ssl_ctx_st;
struct ssl_st;
struct x509_store_ctx_st;

namespace pv::net {

// Owns one library context; many conversations on many threads share it.
class CTlsContext {
public:
    CTlsContext(ssl_ctx_st* ctx, bool server) : ctx_(ctx), server_(server) {}
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    bool IsServer() const { return server_; }
    ssl_ctx_st* Native() const { return ctx_; }

private:
    ssl_ctx_st* ctx_;
    bool server_;
};

// Server side: certificate chain and key files (PEM). Null with `error` set to a sentence a
// person can act on when either cannot be read or they do not belong together.
std::shared_ptr<CTlsContext> MakeServerTlsContext(const std::string& certFile, const std::string& keyFile,
                                                  std::string& error);
// Client side: verifies peers against the system's trusted certificates.
std::shared_ptr<CTlsContext> MakeClientTlsContext(std::string& error);
// The same, also trusting the certificates in a PEM file (a private authority, or a test's own
// self-signed certificate).
std::shared_ptr<CTlsContext> MakeClientTlsContext(const std::string& caFile, std::string& error);

struct TlsClientOptions {
    std::string host;          // verified against the certificate, and sent as the server name
    std::string pinnedSha256;  // hex SHA-256 of the peer's DER certificate, colons and case
                               // ignored; when set, the certificate with this fingerprint is
                               // accepted even if self-signed or for another name, and any
                               // other is refused
};

// A self-signed certificate (P-256, ten years, the host as subject and DNS name) and its key;
// the key file is written with mode 0600. Existing files are replaced.
bool MakeSelfSignedCertificate(const std::string& host, const std::string& certFile, const std::string& keyFile,
                               std::string& error);
// Lower-case hex SHA-256 of a PEM certificate file's DER form; "" with `error` set.
std::string CertificateFingerprint(const std::string& certFile, std::string& error);
// A fingerprint as typed (colons, blanks, either case) in the form CertificateFingerprint gives.
std::string NormalizeFingerprint(const std::string& text);
// Frees what the TLS library keeps for the calling thread (its random generators). A thread
// that used TLS calls it as it ends, before anyone learns that it has: otherwise the process
// may exit while the library is still releasing them.
void TlsThreadEnd();

// One connection's TLS state over a non-blocking socket the caller owns and polls.
class CTlsSession {
public:
    enum class Io { Done, WantRead, WantWrite, Closed, Failed };

    // Null with `error` set when the library cannot make the session.
    static std::unique_ptr<CTlsSession> Create(const std::shared_ptr<CTlsContext>& ctx, int fd,
                                               const TlsClientOptions* client, std::string& error);
    ~CTlsSession();
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    // One step of the handshake; on Failed, `reason` names the cause.
    Io Handshake(std::string& reason);
    // Bytes read or written (> 0), else 0 with `status` saying why: WantRead/WantWrite (try
    // again when the socket is ready), Closed (the peer ended TLS), Failed.
    int Read(void* buffer, int size, Io& status);
    int Write(const void* data, int length, Io& status);
    // Decrypted bytes waiting inside the session: the socket will not signal them.
    bool HasPending() const;
    // Sends the closing alert if the socket takes it at once; never waits.
    void Shutdown();
    std::string PeerFingerprint() const;
    // "TLSv1.3 TLS_AES_256_GCM_SHA384", for log lines.
    std::string Description() const;

private:
    CTlsSession(std::shared_ptr<CTlsContext> ctx, ssl_st* ssl) : ctx_(std::move(ctx)), ssl_(ssl) {}
    Io Status(int result, std::string* reason);
    static int VerifyPinned(int preverified, x509_store_ctx_st* store);

    std::shared_ptr<CTlsContext> ctx_;  // kept alive as long as the session uses it
    ssl_st* ssl_;
    bool server_ = false;
    std::string pin_;            // normalised; empty: verified against the trusted roots
    bool pinMismatch_ = false;   // the peer showed a certificate other than the pinned one
    bool established_ = false;
    bool failed_ = false;        // a fatal error: the session may not be used again
};

// Standard base64 (SASL responses) into bytes; false when text is not base64.
bool Base64Decode(std::string_view text, std::string& out);

}  // namespace pv::net
