// What one receive thread per camera costs before any of the library's work: for each URL an RTSP
// session (CurlRtsp, as the library sets it up) whose packets are dropped as they arrive. Over UDP
// a thread per stream waits in recvmmsg as the library's RTP thread does; over TCP the session's
// relay thread reads the interleaved stream (RtspClientOptions::directInterleavedRead) and its
// frames are dropped. Nothing is depacketized or delivered. bench/e2e.py runs it beside the
// library's receiver as "receive-floor": the difference between the two is the library's own
// work; the floor itself is the kernel's (wake-ups, copies), whatever the library does after the
// read. Runs until SIGINT or SIGTERM, then prints one line per stream:
//   "stream <i> packets <packets> bytes <bytes>"
//
//   quorvane-receive-floor [--tcp|--udp] [--port-base B] URL...
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/receiver_process.h"
#include "rtsp_client_options.h"
#include "utils/curl_rtsp.h"
#include "utils/networking/netsocket.h"
#include "utils/slog.h"

namespace {

constexpr unsigned kBatch = 16;
constexpr unsigned long kDatagramCapacity = 1600;

struct Stream {
    std::unique_ptr<UdpSocket> rtp;   // UDP only
    std::unique_ptr<UdpSocket> rtcp;  // bound so that the camera's reports are not refused
    std::unique_ptr<CurlRtsp> session;
    std::thread receiver;
    std::atomic<bool> run{true};
    std::atomic<uint64_t> packets{0};
    std::atomic<uint64_t> bytes{0};
};

void receive(Stream* s) {
    std::vector<char> storage(kBatch * kDatagramCapacity);
    NetDatagram slots[kBatch];
    for (unsigned i = 0; i < kBatch; ++i) {
        slots[i].data = &storage[i * kDatagramCapacity];
        slots[i].capacity = kDatagramCapacity;
    }
    s->rtp->setRecvTimeoutMs(1000);
    while (s->run.load(std::memory_order_acquire)) {
        int n = s->rtp->receiveBatchWaiting(slots, kBatch);
        for (int i = 0; i < n; ++i) {
            if (slots[i].length == 0) continue;
            s->packets.fetch_add(1, std::memory_order_relaxed);
            s->bytes.fetch_add(slots[i].length, std::memory_order_relaxed);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long portBase = 30000;
    bool tcp = false;
    std::vector<std::string> urls;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--tcp" || a == "--udp") {
            tcp = a == "--tcp";
        } else if (a == "--port-base" && i + 1 < argc) {
            portBase = strtoul(argv[++i], nullptr, 10);
        } else if (!a.empty() && a[0] != '-') {
            urls.push_back(a);
        } else {
            fprintf(stderr, "usage: %s [--tcp|--udp] [--port-base B] URL...\n", argv[0]);
            return 2;
        }
    }
    if (!bench::portBaseFits(argv[0], portBase, urls.size())) return 2;
    const sigset_t stop = bench::blockStopSignals();
    SLog::setEnable(false);

    std::vector<std::unique_ptr<Stream>> streams;
    bool failed = false;
    for (size_t i = 0; i < urls.size(); ++i) {
        auto s = std::make_unique<Stream>();
        Stream* raw = s.get();
        // The stream's 20 ports: the first pair that binds (another process's ephemeral port may
        // hold one, as the library's receiver would then draw a new base).
        auto port = static_cast<unsigned short>(portBase + bench::kPortsPerStream * i);
        bool open = true;
        if (!tcp) {
            for (int k = 0; k < 10; ++k, port = static_cast<unsigned short>(port + 2)) {
                s->rtp = std::make_unique<UdpSocket>(NetAddress(port), 0);
                s->rtcp = std::make_unique<UdpSocket>(NetAddress(static_cast<unsigned short>(port + 1)), 0);
                open = s->rtp->isOpen() && s->rtcp->isOpen();
                if (open) break;
            }
        }
        s->session =
            std::make_unique<CurlRtsp>(urls[i], port, static_cast<unsigned short>(port + 1), "", "", tcp);
        if (tcp) {
            RtspClientOptions options;
            options.directInterleavedRead = true;
            s->session->setOptions(options);
            s->session->mTcpRecvCallback = [raw](void*, unsigned long length) {
                raw->packets.fetch_add(1, std::memory_order_relaxed);
                raw->bytes.fetch_add(length, std::memory_order_relaxed);
            };
        }
        // A busy camera may miss a request's time-out; the library would reconnect, so retry.
        bool started = false;
        for (int attempt = 0; open && !started && attempt < 5; ++attempt) started = s->session->startCurl();
        if (!started) {
            fprintf(stderr, "%s: stream %zu did not start\n", argv[0], i);
            failed = true;
            break;
        }
        if (!tcp) s->receiver = std::thread(receive, raw);
        streams.push_back(std::move(s));
    }
    int sig = failed ? SIGTERM : 0;
    while (sig <= 0) {
        timespec second{1, 0};
        sig = sigtimedwait(&stop, nullptr, &second);
    }
    for (size_t i = 0; i < streams.size(); ++i)
        printf("stream %zu packets %llu bytes %llu\n", i,
               static_cast<unsigned long long>(streams[i]->packets.load()),
               static_cast<unsigned long long>(streams[i]->bytes.load()));
    fflush(stdout);
    for (auto& s : streams) {
        s->run.store(false, std::memory_order_release);
        if (s->rtp) s->rtp->shutdownReceive();
        if (s->receiver.joinable()) s->receiver.join();
        s->session->stopCurl();
    }
    return failed ? 1 : 0;
}
