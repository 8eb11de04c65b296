// The library's side of the end-to-end benchmark (bench/e2e.py): one process, one RtspClient per
// stream, every callback's data counted and dropped. Runs until SIGINT or SIGTERM, then tears all
// sessions down. Prints one line per stream, "stream <i> frames <pictures> bytes <bytes> connects
// <session starts>", when the signal arrives.
//
//   quorvane-e2e-receiver [--tcp|--udp] [--port-base B] URL...
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rtsp_client.h"
#include "testkit/annexb.h"
#include "units/unit_rtp_video_unpack_ex.h"
#include "units/unit_rtsp_client.h"
#include "utils/slog.h"

namespace {

struct Stream {
    std::unique_ptr<RtspClient> client;
    // Written on the stream's receive thread, read by the main thread at the end.
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> bytes{0};
};

}  // namespace

int main(int argc, char** argv) {
    bool tcp = false;
    unsigned long portBase = 30000;
    std::vector<std::string> urls;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--tcp") {
            tcp = true;
        } else if (a == "--udp") {
            tcp = false;
        } else if (a == "--port-base" && i + 1 < argc) {
            portBase = strtoul(argv[++i], nullptr, 10);
        } else if (!a.empty() && a[0] != '-') {
            urls.push_back(a);
        } else {
            fprintf(stderr, "usage: %s [--tcp|--udp] [--port-base B] URL...\n", argv[0]);
            return 2;
        }
    }
    if (urls.empty() || portBase < 1024 || portBase + 20 * urls.size() > 65000) {
        fprintf(stderr, "%s: give at least one URL and a port base that leaves 20 ports per stream\n",
                argv[0]);
        return 2;
    }

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    // Warnings and errors stay visible; the per-connection debug lines are not what is measured.
    SLog::setEnable(false);

    std::vector<std::unique_ptr<Stream>> streams;
    for (size_t i = 0; i < urls.size(); ++i) {
        auto s = std::make_unique<Stream>();
        s->client = std::make_unique<RtspClient>(urls[i], "", "", tcp);
        // Fixed, disjoint UDP ports: sixteen random bases in one process could collide.
        s->client->mRtspUnit->setReceivePortBase(static_cast<unsigned short>(portBase + 20 * i));
        Stream* raw = s.get();
        RtspClient* client = s->client.get();
        client->setDataCallback([raw, client](unsigned char* data, unsigned long len) {
            testkit::VideoCodec codec =
                client->mVideoUnit->mIsH265.load() ? testkit::VideoCodec::H265 : testkit::VideoCodec::H264;
            if (testkit::classifyPiece(codec, data, len).picture)
                raw->frames.fetch_add(1, std::memory_order_relaxed);
            raw->bytes.fetch_add(len, std::memory_order_relaxed);
        });
        streams.push_back(std::move(s));
    }
    for (auto& s : streams) s->client->enable();
    int sig = 0;
    sigwait(&stop, &sig);
    // The counts are taken first: what arrives while the sessions are torn down is not part of
    // the clip the benchmark checks for.
    for (size_t i = 0; i < streams.size(); ++i) {
        RtspConnectStatus st = streams[i]->client->mRtspUnit->connectStatus();
        printf("stream %zu frames %llu bytes %llu connects %u\n", i,
               static_cast<unsigned long long>(streams[i]->frames.load()),
               static_cast<unsigned long long>(streams[i]->bytes.load()), st.attempts);
    }
    fflush(stdout);
    // TEARDOWN of each stream, all at once: over TCP a TEARDOWN waits for the RECEIVE in progress
    // on its connection, up to 3 s when the camera is silent, which sixteen in a row would add up.
    std::vector<std::thread> closers;
    for (auto& s : streams) {
        RtspClient* client = s->client.get();
        closers.emplace_back([client] { client->disable(); });
    }
    for (std::thread& t : closers) t.join();
    streams.clear();
    return 0;
}
