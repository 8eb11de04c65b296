#include "testkit/tls_front.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "testkit/child_process.h"

namespace testkit {

struct TlsFront::Credentials {
    gnutls_certificate_credentials_t cred = nullptr;
    ~Credentials() {
        if (cred != nullptr) gnutls_certificate_free_credentials(cred);
    }
};

namespace {

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool tlsSendAll(gnutls_session_t session, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = gnutls_record_send(session, data, size);
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

TlsFront::~TlsFront() {
    stop();
}

bool TlsFront::start(const std::string& certFile, const std::string& keyFile, uint16_t backendPort,
                     const std::string& bindAddress, uint16_t port) {
    stop();
    mStopping = false;
    mCredentials = std::make_shared<Credentials>();
    if (gnutls_certificate_allocate_credentials(&mCredentials->cred) < 0 ||
        gnutls_certificate_set_x509_key_file(mCredentials->cred, certFile.c_str(), keyFile.c_str(),
                                             GNUTLS_X509_FMT_PEM) < 0)
        return false;
    mBackendPort = backendPort;
    sockaddr_storage address{};
    socklen_t length = 0;
    auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, bindAddress.c_str(), &a4->sin_addr) == 1) {
        a4->sin_family = AF_INET;
        a4->sin_port = htons(port);
        length = sizeof(*a4);
    } else if (inet_pton(AF_INET6, bindAddress.c_str(), &a6->sin6_addr) == 1) {
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(port);
        length = sizeof(*a6);
    } else {
        return false;
    }
    mListenFd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (mListenFd < 0 || ::setsockopt(mListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        ::bind(mListenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(mListenFd, 16) != 0 ||
        ::getsockname(mListenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        (mWakeFd = ::eventfd(0, EFD_CLOEXEC)) < 0) {
        stop();
        return false;
    }
    mPort = ntohs(address.ss_family == AF_INET ? a4->sin_port : a6->sin6_port);
    mAcceptThread = std::thread(&TlsFront::acceptLoop, this);
    return true;
}

void TlsFront::stop() {
    mStopping = true;
    if (mWakeFd >= 0) {
        const uint64_t one = 1;
        if (::write(mWakeFd, &one, sizeof(one)) < 0) perror("TlsFront: eventfd");
    }
    if (mAcceptThread.joinable()) mAcceptThread.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (int fd : mOpenFds) ::shutdown(fd, SHUT_RDWR);
        threads.swap(mConnectionThreads);
        mFinished.clear();
    }
    for (std::thread& t : threads) t.join();
    for (int* fd : {&mListenFd, &mWakeFd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void TlsFront::acceptLoop() {
    while (!mStopping) {
        pollfd fds[2] = {{mListenFd, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) <= 0 || fds[1].revents != 0) continue;
        int client = ::accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        // A long-running front sees clients come and go: the threads of closed ones are joined.
        std::vector<std::thread> done;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            auto finished = std::stable_partition(
                mConnectionThreads.begin(), mConnectionThreads.end(), [this](const std::thread& t) {
                    return std::find(mFinished.begin(), mFinished.end(), t.get_id()) == mFinished.end();
                });
            for (auto t = finished; t != mConnectionThreads.end(); ++t) {
                mFinished.erase(std::find(mFinished.begin(), mFinished.end(), t->get_id()));
                done.push_back(std::move(*t));
            }
            mConnectionThreads.erase(finished, mConnectionThreads.end());
            mOpenFds.push_back(client);
            mConnectionThreads.emplace_back(&TlsFront::relay, this, client);
        }
        for (std::thread& t : done) t.join();
    }
}

void TlsFront::relay(int client) {
    std::shared_ptr<Credentials> credentials = mCredentials;
    gnutls_session_t session = nullptr;
    int backend = -1;
    bool ok = gnutls_init(&session, GNUTLS_SERVER) >= 0 && gnutls_set_default_priority(session) >= 0 &&
              gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials->cred) >= 0;
    if (ok) {
        gnutls_transport_set_int(session, client);
        gnutls_handshake_set_timeout(session, 5000);
        int ret;
        do {
            ret = gnutls_handshake(session);
        } while (ret < 0 && gnutls_error_is_fatal(ret) == 0 && !mStopping);
        ok = ret >= 0;
        if (!ok) ++mFailed;
    }
    if (ok) {
        backend = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(mBackendPort);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok = backend >= 0 && ::connect(backend, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
        std::lock_guard<std::mutex> lock(mMutex);
        if (backend >= 0) mOpenFds.push_back(backend);
        if (mStopping) ok = false;
    }
    char buffer[16384];
    while (ok) {
        pollfd fds[2] = {{client, POLLIN, 0}, {backend, POLLIN, 0}};
        if (gnutls_record_check_pending(session) == 0 && ::poll(fds, 2, -1) < 0) break;
        if (gnutls_record_check_pending(session) > 0 || fds[0].revents != 0) {
            ssize_t n = gnutls_record_recv(session, buffer, sizeof(buffer));
            if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
            if (n <= 0 || !sendAll(backend, buffer, static_cast<size_t>(n))) break;
        }
        if (fds[1].revents != 0) {
            ssize_t n = ::recv(backend, buffer, sizeof(buffer), 0);
            if (n <= 0 || !tlsSendAll(session, buffer, static_cast<size_t>(n))) break;
        }
    }
    if (session != nullptr) {
        if (ok) gnutls_bye(session, GNUTLS_SHUT_WR);
        gnutls_deinit(session);
    }
    std::lock_guard<std::mutex> lock(mMutex);
    for (int fd : {client, backend}) {
        if (fd < 0) continue;
        mOpenFds.erase(std::remove(mOpenFds.begin(), mOpenFds.end(), fd), mOpenFds.end());
        ::close(fd);
    }
    mFinished.push_back(std::this_thread::get_id());
}

bool makeSelfSignedCertificate(const std::string& dir, std::string* pin, std::string* why) {
    const std::string tool = "/usr/bin/certtool";
    if (access(tool.c_str(), X_OK) != 0) {
        *why = "certtool is not installed (gnutls-bin; scripts/setup.sh installs it)";
        return false;
    }
    const std::string templ = dir + "/cert.cfg";
    FILE* f = fopen(templ.c_str(), "w");
    if (f == nullptr) {
        *why = "cannot write " + templ;
        return false;
    }
    fputs(
        "cn = \"localhost\"\ndns_name = \"localhost\"\nip_address = \"127.0.0.1\"\nip_address = \"::1\"\n"
        "expiration_days = 2\nsigning_key\ntls_www_server\n",
        f);
    fclose(f);
    const std::string err = dir + "/certtool.err";
    const std::vector<std::vector<std::string>> steps = {
        {tool, "--generate-privkey", "--key-type=ecdsa", "--outfile", dir + "/key.pem"},
        {tool, "--generate-self-signed", "--load-privkey", dir + "/key.pem", "--template", templ, "--outfile",
         dir + "/cert.pem"},
        {tool, "--certificate-info", "--infile", dir + "/cert.pem"}};
    for (const auto& argv : steps) {
        ChildProcess certtool;
        int exitCode = -1;
        if (!certtool.start(argv, dir + "/certtool.out", err) || !certtool.wait(10000, &exitCode) ||
            exitCode != 0) {
            *why = "certtool failed: " + readText(err);
            return false;
        }
    }
    const std::string info = readText(dir + "/certtool.out");
    const size_t at = info.find("pin-sha256:");
    if (at == std::string::npos) {
        *why = "certtool printed no public-key pin";
        return false;
    }
    const size_t from = at + strlen("pin-sha256:");
    *pin = "sha256//" + info.substr(from, info.find_first_of(" \r\n", from) - from);
    return true;
}

}  // namespace testkit
