#include <arpa/inet.h>
#include <errno.h>
#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <poll.h>

#include <cstring>

#include "utils/slog.h"
#include "utils/tls_session_internal.h"
#include "utils/utils.h"

namespace tls_internal {

struct TlsSession::Impl {
    gnutls_certificate_credentials_t credentials = nullptr;
    gnutls_session_t session = nullptr;
    ~Impl() {
        if (session != nullptr) {
            // close_notify if the socket takes it now; the connection is closed right after.
            gnutls_bye(session, GNUTLS_SHUT_WR);
            gnutls_deinit(session);
        }
        if (credentials != nullptr) gnutls_certificate_free_credentials(credentials);
    }
};

namespace {

bool isIpLiteral(const std::string& host) {
    in6_addr a6{};
    in_addr a4{};
    return inet_pton(AF_INET, host.c_str(), &a4) == 1 || inet_pton(AF_INET6, host.c_str(), &a6) == 1;
}

// The pins of `list`, ';' or ',' between them, spaces around them ignored.
bool pinListed(const std::string& list, const std::string& pin) {
    size_t from = 0;
    while (from <= list.size()) {
        size_t end = list.find_first_of(";,", from);
        if (end == std::string::npos) end = list.size();
        size_t b = from, e = end;
        while (b < e && (list[b] == ' ' || list[b] == '\t')) ++b;
        while (e > b && (list[e - 1] == ' ' || list[e - 1] == '\t')) --e;
        if (e > b && list.compare(b, e - b, pin) == 0) return true;
        from = end + 1;
    }
    return false;
}

// Waits for the direction the handshake wants; false on time-out, stop or error.
bool waitForHandshake(gnutls_session_t session, int fd, int stopFd, int64_t deadlineNs) {
    for (;;) {
        const int64_t leftMs = (deadlineNs - Utils::getBeginTimestamp()) / 1000000;
        if (leftMs <= 0) return false;
        pollfd p[2] = {{fd, static_cast<short>(gnutls_record_get_direction(session) ? POLLOUT : POLLIN), 0},
                       {stopFd, POLLIN, 0}};
        const int ready = ::poll(p, stopFd >= 0 ? 2 : 1, static_cast<int>(leftMs));
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0 && (stopFd < 0 || p[1].revents == 0);
    }
}

}  // namespace

TlsSession::~TlsSession() = default;

std::string TlsSession::publicKeyPin(const void* der, size_t size) {
    gnutls_pubkey_t key = nullptr;
    if (gnutls_pubkey_init(&key) < 0) return std::string();
    gnutls_datum_t cert{static_cast<unsigned char*>(const_cast<void*>(der)), static_cast<unsigned>(size)};
    gnutls_datum_t spki{nullptr, 0};
    std::string pin;
    unsigned char digest[32];
    gnutls_datum_t raw{digest, sizeof(digest)};
    gnutls_datum_t text{nullptr, 0};
    if (gnutls_pubkey_import_x509_raw(key, &cert, GNUTLS_X509_FMT_DER, 0) >= 0 &&
        gnutls_pubkey_export2(key, GNUTLS_X509_FMT_DER, &spki) >= 0 &&
        gnutls_hash_fast(GNUTLS_DIG_SHA256, spki.data, spki.size, digest) >= 0 &&
        gnutls_base64_encode2(&raw, &text) >= 0)
        pin = "sha256//" + std::string(reinterpret_cast<char*>(text.data), text.size);
    gnutls_free(text.data);
    gnutls_free(spki.data);
    gnutls_pubkey_deinit(key);
    return pin;
}

std::unique_ptr<TlsSession> TlsSession::handshake(int fd, const TlsConfig& config, int timeoutMs, int stopFd,
                                                  TlsFailure* failure) {
    *failure = TlsFailure::Handshake;
    std::unique_ptr<TlsSession> tls(new TlsSession());
    tls->mImpl.reset(new Impl());
    Impl& s = *tls->mImpl;
    const bool byChain = !config.insecureNoVerify && config.pinnedKeys.empty();
    int ret = gnutls_certificate_allocate_credentials(&s.credentials);
    if (ret >= 0 && byChain) {
        ret = config.caFile.empty() ? gnutls_certificate_set_x509_system_trust(s.credentials)
                                    : gnutls_certificate_set_x509_trust_file(
                                          s.credentials, config.caFile.c_str(), GNUTLS_X509_FMT_PEM);
        if (ret <= 0) {
            SLOGE("rtsps: no trust anchors from %s (%s)\n",
                  config.caFile.empty() ? "the system's trust store" : config.caFile.c_str(),
                  ret < 0 ? gnutls_strerror(ret) : "none found");
            *failure = TlsFailure::Certificate;
            return nullptr;
        }
    }
    if (ret >= 0) ret = gnutls_init(&s.session, GNUTLS_CLIENT | GNUTLS_NONBLOCK);
    if (ret >= 0) ret = gnutls_set_default_priority(s.session);
    if (ret >= 0) ret = gnutls_credentials_set(s.session, GNUTLS_CRD_CERTIFICATE, s.credentials);
    if (ret >= 0 && !config.host.empty() && !isIpLiteral(config.host))
        ret = gnutls_server_name_set(s.session, GNUTLS_NAME_DNS, config.host.data(), config.host.size());
    if (ret < 0) {
        SLOGE("rtsps: cannot set up a TLS session: %s\n", gnutls_strerror(ret));
        return nullptr;
    }
    // Chain and host name are checked inside the handshake, which then fails with the reason.
    if (byChain) gnutls_session_set_verify_cert(s.session, config.host.c_str(), 0);
    gnutls_transport_set_int(s.session, fd);
    const int64_t deadline = Utils::getBeginTimestamp() + static_cast<int64_t>(timeoutMs) * 1000000;
    do {
        ret = gnutls_handshake(s.session);
    } while (ret < 0 && gnutls_error_is_fatal(ret) == 0 && waitForHandshake(s.session, fd, stopFd, deadline));
    if (ret == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
        gnutls_datum_t why{nullptr, 0};
        const unsigned status = gnutls_session_get_verify_cert_status(s.session);
        gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &why, 0);
        SLOGE("rtsps: the certificate of %s is not trusted: %s\n", config.host.c_str(),
              why.data != nullptr ? reinterpret_cast<const char*>(why.data) : "verification failed");
        gnutls_free(why.data);
        *failure = TlsFailure::Certificate;
        return nullptr;
    }
    if (ret < 0) {
        SLOGE("rtsps: TLS handshake with %s failed: %s\n", config.host.c_str(),
              gnutls_error_is_fatal(ret) != 0 ? gnutls_strerror(ret) : "timed out");
        return nullptr;
    }
    if (!config.pinnedKeys.empty()) {
        unsigned count = 0;
        const gnutls_datum_t* certs = gnutls_certificate_get_peers(s.session, &count);
        const std::string pin = count > 0 ? publicKeyPin(certs[0].data, certs[0].size) : std::string();
        if (pin.empty() || !pinListed(config.pinnedKeys, pin)) {
            SLOGE("rtsps: the public key of %s (%s) matches no pinned key\n", config.host.c_str(),
                  pin.empty() ? "unreadable" : pin.c_str());
            *failure = TlsFailure::Certificate;
            return nullptr;
        }
    } else if (config.insecureNoVerify) {
        SLOGW("rtsps: the certificate of %s is not checked (insecure: verification turned off)\n",
              config.host.c_str());
    }
    *failure = TlsFailure::None;
    return tls;
}

namespace {
ssize_t fromGnutls(ssize_t ret) {
    if (ret >= 0) return ret;
    if (ret == GNUTLS_E_AGAIN) {
        errno = EAGAIN;
    } else if (ret == GNUTLS_E_INTERRUPTED) {
        errno = EINTR;
    } else if (ret == GNUTLS_E_PREMATURE_TERMINATION) {
        return 0;  // the camera closed the TCP connection without close_notify
    } else {
        SLOGE("rtsps: TLS error: %s\n", gnutls_strerror(static_cast<int>(ret)));
        errno = EPROTO;
    }
    return -1;
}
}  // namespace

ssize_t TlsSession::recv(void* data, size_t size) {
    return fromGnutls(gnutls_record_recv(mImpl->session, data, size));
}

ssize_t TlsSession::send(const void* data, size_t size) {
    return fromGnutls(gnutls_record_send(mImpl->session, data, size));
}

bool TlsSession::pending() const {
    return gnutls_record_check_pending(mImpl->session) > 0;
}

}  // namespace tls_internal
