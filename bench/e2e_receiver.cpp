// The library's side of the end-to-end and soak benchmarks (bench/e2e.py, bench/soak.py): one
// process, one RtspClient per stream, every callback's data counted (and written to a file per
// stream with --out). Runs until SIGINT or SIGTERM, then tears all sessions down. At the end it
// prints one line per stream:
//   "stream <i> frames <pictures> bytes <bytes> connects <session starts> first_ms <ms>"
// where first_ms is the time from enable() to the stream's first picture (-1: none). With
// --progress it prints "first <i> <first_ms>" at each stream's first picture and
// "progress <frames of stream 0> <frames of stream 1> ..." every second.
//
// --coalesce-us sets RtspClientOptions::receiveCoalescingUs over the chosen options; --multicast
// sets RtspClientOptions::multicast (RTP over UDP to the group the camera names).
//
//   quorvane-e2e-receiver [--tcp|--udp|--multicast] [--mixed-fleet] [--tls-ca PEM] [--coalesce-us US]
//   [--port-base B]
//                         [--out DIR] [--progress] URL...
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/receiver_process.h"
#include "rtsp_client.h"
#include "testkit/annexb.h"
#include "units/unit_rtp_video_unpack_ex.h"
#include "units/unit_rtsp_client.h"
#include "utils/slog.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Stream {
    std::unique_ptr<RtspClient> client;
    // Written on the stream's receive thread, read by the main thread.
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<int64_t> firstNs{-1};  // since enable()
    Clock::time_point enabled;
    FILE* out = nullptr;  // touched only by the receive thread until the client is disabled
    size_t index = 0;
    bool announceFirst = false;
};

}  // namespace

int main(int argc, char** argv) {
    bool tcp = false;
    bool mixedFleet = false;
    bool multicast = false;
    bool progress = false;
    long coalesceUs = -1;  // -1: as the options have it
    unsigned long portBase = 30000;
    std::string outDir;
    std::string tlsCa;
    std::vector<std::string> urls;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--tcp") {
            tcp = true;
        } else if (a == "--udp" || a == "--multicast") {
            tcp = false;
            multicast = a == "--multicast";
        } else if (a == "--mixed-fleet") {
            mixedFleet = true;
        } else if (a == "--coalesce-us" && i + 1 < argc) {
            coalesceUs = strtol(argv[++i], nullptr, 10);
        } else if (a == "--progress") {
            progress = true;
        } else if (a == "--port-base" && i + 1 < argc) {
            portBase = strtoul(argv[++i], nullptr, 10);
        } else if (a == "--tls-ca" && i + 1 < argc) {
            tlsCa = argv[++i];
        } else if (a == "--out" && i + 1 < argc) {
            outDir = argv[++i];
        } else if (!a.empty() && a[0] != '-') {
            urls.push_back(a);
        } else {
            fprintf(stderr,
                    "usage: %s [--tcp|--udp|--multicast] [--mixed-fleet] [--tls-ca PEM] [--coalesce-us US] "
                    "[--port-base B] [--out DIR] [--progress] URL...\n",
                    argv[0]);
            return 2;
        }
    }
    if (!bench::portBaseFits(argv[0], portBase, urls.size())) return 2;
    const sigset_t stop = bench::blockStopSignals();
    // Warnings and errors stay visible; the per-connection debug lines are not what is measured.
    SLog::setEnable(false);

    RtspClientOptions options = mixedFleet ? RtspClientOptions::mixedFleet() : RtspClientOptions();
    options.tlsCaFile = tlsCa;  // rtsps:// URLs
    options.multicast = multicast;
    if (coalesceUs >= 0) options.receiveCoalescingUs = static_cast<unsigned>(coalesceUs);
    std::vector<std::unique_ptr<Stream>> streams;
    for (size_t i = 0; i < urls.size(); ++i) {
        auto s = std::make_unique<Stream>();
        s->client = std::make_unique<RtspClient>(urls[i], "", "", tcp, options);
        // Fixed, disjoint UDP ports: many random bases in one process could collide.
        s->client->mRtspUnit->setReceivePortBase(
            static_cast<unsigned short>(portBase + bench::kPortsPerStream * i));
        if (!outDir.empty()) {
            std::string path = outDir + "/stream" + std::to_string(i) + ".bin";
            s->out = fopen(path.c_str(), "wb");
            if (s->out == nullptr) {
                perror(path.c_str());
                return 1;
            }
        }
        s->index = i;
        s->announceFirst = progress;
        Stream* raw = s.get();
        RtspClient* client = s->client.get();
        client->setDataCallback([raw, client](unsigned char* data, unsigned long len) {
            testkit::VideoCodec codec =
                client->mVideoUnit->mIsH265.load() ? testkit::VideoCodec::H265 : testkit::VideoCodec::H264;
            if (testkit::classifyPiece(codec, data, len).picture) {
                if (raw->frames.fetch_add(1, std::memory_order_relaxed) == 0) {
                    int64_t first =
                        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - raw->enabled)
                            .count();
                    raw->firstNs = first;
                    // One write, so the lines of several receive threads do not mix.
                    if (raw->announceFirst)
                        dprintf(1, "first %zu %.1f\n", raw->index, static_cast<double>(first) / 1e6);
                }
            }
            raw->bytes.fetch_add(len, std::memory_order_relaxed);
            if (raw->out != nullptr) fwrite(data, 1, len, raw->out);
        });
        streams.push_back(std::move(s));
    }
    for (auto& s : streams) {
        s->enabled = Clock::now();
        s->client->enable();
    }
    int sig = 0;
    for (;;) {
        timespec second{1, 0};
        sig = sigtimedwait(&stop, nullptr, &second);
        if (sig > 0) break;
        if (progress) {
            std::string line = "progress";
            for (auto& s : streams) line += " " + std::to_string(s->frames.load());
            printf("%s\n", line.c_str());
            fflush(stdout);
        }
    }
    // The counts are taken first: what arrives while the sessions are torn down is not part of
    // the clip the benchmark checks for.
    for (size_t i = 0; i < streams.size(); ++i) {
        RtspConnectStatus st = streams[i]->client->mRtspUnit->connectStatus();
        int64_t first = streams[i]->firstNs.load();
        printf("stream %zu frames %llu bytes %llu connects %u first_ms %.1f\n", i,
               static_cast<unsigned long long>(streams[i]->frames.load()),
               static_cast<unsigned long long>(streams[i]->bytes.load()), st.attempts,
               first < 0 ? -1.0 : static_cast<double>(first) / 1e6);
    }
    fflush(stdout);
    // TEARDOWN and destruction of each stream, all at once (each client on one thread): over TCP
    // a TEARDOWN waits for the RECEIVE in progress on its connection, and destruction waits for
    // the receive threads, which many in a row would add up.
    std::vector<std::thread> closers;
    for (auto& s : streams) {
        Stream* raw = s.get();
        closers.emplace_back([raw] {
            raw->client->disable();
            raw->client.reset();
        });
    }
    for (std::thread& t : closers) t.join();
    for (auto& s : streams) {
        if (s->out != nullptr) fclose(s->out);
    }
    streams.clear();
    return 0;
}
