// CPU the UDP receive path costs per RTP packet: a whole RtspClient (receiver unit, codec-detecting
// H.264 depacketizer, callback) receives a clip's packets on loopback at a fixed rate, and the
// CPU time of its "RtpReceive" thread is divided by the packets sent.
//
// Arguments: packets per second; 1 = the library's 10 us pause per packet (slept once per batch), 0 = no
// pause (RtspClientOptions::rtpPacketPauseUs); 1 = packets in bursts of one picture at 25 pictures per
// second as cameras send them, 0 = evenly spaced. allocs_per_packet counts the heap allocations
// (malloc, calloc, realloc; operator new goes through malloc) of the whole process during the
// run, divided by the packets sent; receive_thread_allocs_per_packet those of the "RtpReceive"
// thread alone (the receive path, depacketizer and callback).
//
//   cmake -S . -B build -DQUORVANE_BUILD_BENCH=ON && cmake --build build -j2 --target bench_udp_receive
//   build/bench/bench_udp_receive
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "rtsp_client.h"
#include "testkit/annexb.h"
#include "testkit/rtp_packetizer.h"
#include "testkit/test_camera.h"
#include "units/unit_rtsp_client.h"
#include "utils/slog.h"
#include "utils/time_constants_internal.h"

// Counts every heap allocation of the process; glibc's own entry points do the work.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
}
namespace {
std::atomic<unsigned long> gAllocations{0};
std::atomic<unsigned long> gReceiveThreadAllocations{0};

// Counts one allocation, and once more when it is made on the "RtpReceive" thread. A thread's
// name is looked up again every so often: it is set after the thread's first allocations.
void countAllocation() {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    thread_local unsigned calls = 0;
    thread_local bool receive = false;
    if (calls++ % 256 == 0) {
        char name[16] = {};
        prctl(PR_GET_NAME, name, 0, 0, 0);
        receive = strcmp(name, "RtpReceive") == 0;
    }
    if (receive) gReceiveThreadAllocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace
extern "C" void* malloc(size_t size) {
    countAllocation();
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    countAllocation();
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, size_t size) {
    countAllocation();
    return __libc_realloc(p, size);
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kRunSeconds = 3.0;
constexpr int kPicturesPerSecond = 25;

// The clip's packets, repeated with running sequence numbers and timestamps, `count` in all.
std::vector<testkit::Bytes> packets(size_t count) {
    testkit::Bytes clip;
    if (!testkit::readFile(std::string(QUORVANE_SOURCE_DIR) + "/testkit/clips/h264_single_slice.264",
                           &clip)) {
        return {};
    }
    std::vector<std::vector<testkit::Bytes>> pictures =
        testkit::groupAccessUnits(testkit::VideoCodec::H264, testkit::splitAnnexB(clip));
    testkit::RtpPacketizer packetizer{testkit::RtpPacketizerConfig()};
    std::vector<testkit::Bytes> out;
    while (out.size() < count) {
        for (const auto& picture : pictures) {
            for (auto& p : packetizer.packetizePicture(picture)) out.push_back(std::move(p));
        }
    }
    out.resize(count);
    return out;
}

double threadCpuSeconds(pthread_t thread) {
    clockid_t clock;
    timespec ts{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_UdpReceive(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const bool pause = state.range(1) != 0;
    const bool bursts = state.range(2) != 0;
    const size_t total = static_cast<size_t>(rate * kRunSeconds);
    const std::vector<testkit::Bytes> toSend = packets(total);
    if (toSend.size() != total) {
        state.SkipWithError("cannot read the clip");
        return;
    }
    SLog::setEnable(false);

    TestCamera camera;
    if (!camera.start()) {
        state.SkipWithError("test camera did not start");
        return;
    }
    std::atomic<unsigned long> delivered{0};
    RtspClientOptions options;
    options.rtpPacketPauseUs = pause ? 10 : 0;
    RtspClient client(camera.url(), "", "", false, options);
    client.setDataCallback([&](unsigned char*, unsigned long len) { delivered += len; });
    client.enable();
    if (!camera.waitForRequests("PLAY", 1, 10000) || client.mRtspUnit->mThreadVideoRtp == nullptr) {
        state.SkipWithError("no session");
        return;
    }
    const pthread_t receiver = client.mRtspUnit->mThreadVideoRtp->native_handle();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(client.mRtspUnit->mVideoPortBase.load());
    int fd = socket(AF_INET, SOCK_DGRAM, 0);

    for (auto _ : state) {
        const double cpuBefore = threadCpuSeconds(receiver);
        const unsigned long allocationsBefore = gAllocations.load();
        const unsigned long receiveAllocationsBefore = gReceiveThreadAllocations.load();
        const auto start = Clock::now();
        // Packet i leaves at i / rate (even) or with the first packet of its picture's burst.
        const size_t perBurst = bursts ? static_cast<size_t>(rate / kPicturesPerSecond) : 1;
        for (size_t i = 0; i < total; i += perBurst) {
            std::this_thread::sleep_until(start +
                                          std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(static_cast<double>(i) / rate)));
            for (size_t k = i; k < i + perBurst && k < total; ++k) {
                sendto(fd, toSend[k].data(), toSend[k].size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof(to));
            }
        }
        // Let the receiver drain what is still queued.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = threadCpuSeconds(receiver) - cpuBefore;
        const unsigned long allocations = gAllocations.load() - allocationsBefore;
        const unsigned long receiveAllocations = gReceiveThreadAllocations.load() - receiveAllocationsBefore;
        state.SetIterationTime(wall);
        state.counters["cpu_us_per_packet"] = cpu * 1e6 / static_cast<double>(total);
        state.counters["receive_thread_cpu_pct"] = 100.0 * cpu / wall;
        state.counters["packets"] = static_cast<double>(total);
        state.counters["allocs_per_packet"] = static_cast<double>(allocations) / static_cast<double>(total);
        state.counters["receive_thread_allocs_per_packet"] =
            static_cast<double>(receiveAllocations) / static_cast<double>(total);
    }
    state.counters["delivered_MB"] = static_cast<double>(delivered.load()) / 1e6;
    close(fd);
    client.disable();
}

}  // namespace

BENCHMARK(BM_UdpReceive)
    ->ArgNames({"pps", "pause", "bursts"})
    ->ArgsProduct({{320, 3200}, {1, 0}, {0, 1}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
