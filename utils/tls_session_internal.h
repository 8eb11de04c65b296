#ifndef QUORVANE_UTILS_TLS_SESSION_INTERNAL_H
#define QUORVANE_UTILS_TLS_SESSION_INTERNAL_H

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

#include "../quorvane_export.h"

// Not installed. The client side of a TLS connection to a camera (rtsps://), with GnuTLS, over a
// connected non-blocking TCP socket the caller owns.
namespace tls_internal {

struct TlsConfig {
    // The camera's host as the URL names it: checked against the certificate (a name or an IP
    // address) and sent as server name indication when it is a name.
    std::string host;
    std::string caFile;      // PEM trust anchors instead of the system's trust store
    std::string pinnedKeys;  // "sha256//BASE64[;sha256//BASE64...]": the pin alone decides
    bool insecureNoVerify = false;
};

enum class TlsFailure {
    None,
    Handshake,    // no TLS session came about (refused, closed, timed out, no common cipher)
    Certificate,  // the camera's certificate was not trusted: chain, name or pin
};

// One TLS session; closes it (close_notify, best effort) and frees it on destruction. The socket
// stays the caller's. Not thread-safe: one thread reads and writes.
class TlsSession {
public:
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Runs the handshake on `fd` within `timeoutMs` (or until `stopFd` turns readable, when it is
    // not -1) and checks the camera's certificate as `config` says. Null on failure, with
    // `failure` set and one error line logged.
    static std::unique_ptr<TlsSession> handshake(int fd, const TlsConfig& config, int timeoutMs, int stopFd,
                                                 TlsFailure* failure);

    // As recv/send on a non-blocking socket: bytes moved; 0 from recv when the camera closed the
    // session; -1 with errno EAGAIN when the socket has no data or room now, another errno on
    // an error. A send that gave EAGAIN must be repeated with the same bytes.
    ssize_t recv(void* data, size_t size);
    ssize_t send(const void* data, size_t size);
    // Decrypted bytes held inside the session that the socket no longer signals.
    bool pending() const;

    // The SHA-256 pin ("sha256//" and base64) of a DER certificate's public key; "" when the
    // certificate cannot be read.
    static std::string publicKeyPin(const void* der, size_t size);

private:
    TlsSession() = default;
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

}  // namespace tls_internal

#endif
