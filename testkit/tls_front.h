#ifndef QUORVANE_TESTKIT_TLS_FRONT_H
#define QUORVANE_TESTKIT_TLS_FRONT_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// TLS (GnuTLS) in front of a plain TCP service on this machine, as a camera serving rtsps://
// has it: each connection is given the TLS handshake with the certificate and key given, then
// relayed byte for byte to the service's port on 127.0.0.1 (the service sees the front as its
// client). Every thread and socket ends with stop() or the destructor.
namespace testkit {

class TlsFront {
public:
    TlsFront() = default;
    ~TlsFront();
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;

    // Listens on `bindAddress` (IPv4 or IPv6 literal) at `port` (0: a free one); false when it
    // cannot, or when the certificate or key cannot be read.
    bool start(const std::string& certFile, const std::string& keyFile, uint16_t backendPort,
               const std::string& bindAddress = "127.0.0.1", uint16_t port = 0);
    void stop();
    uint16_t port() const { return mPort; }
    // Connections whose handshake did not complete (a client that refused the certificate).
    int failedHandshakes() const { return mFailed.load(); }

private:
    struct Credentials;
    void acceptLoop();
    void relay(int client);

    std::shared_ptr<Credentials> mCredentials;
    uint16_t mBackendPort = 0;
    int mListenFd = -1;
    int mWakeFd = -1;
    uint16_t mPort = 0;
    std::atomic<bool> mStopping{false};
    std::atomic<int> mFailed{0};
    std::thread mAcceptThread;
    std::mutex mMutex;  // guards the three below
    std::vector<std::thread> mConnectionThreads;
    std::vector<std::thread::id> mFinished;  // threads of closed connections, to be joined
    std::vector<int> mOpenFds;               // shut down at stop() to end the threads' blocking calls
};

// Writes a self-signed certificate for "localhost", 127.0.0.1 and ::1 and its ECDSA key to
// `dir`/cert.pem and `dir`/key.pem with certtool (gnutls-bin). `pin` gets the certificate's
// public-key pin in the form "sha256//BASE64" as certtool reports it. False, with `why`, when
// certtool is missing or fails.
bool makeSelfSignedCertificate(const std::string& dir, std::string* pin, std::string* why);

}  // namespace testkit

#endif
