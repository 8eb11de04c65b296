// Depacketizing throughput on 1080p H.264 and H.265 streams cut into FU fragments of 1400-byte
// packets, next to plain memcpy of the same payload bytes in the same run (the physical limit).
//
// The streams are encoded once with ffmpeg (libx264 / libx265, 8 Mbit/s, 2 s of noisy test
// pattern) into the system's temporary folder and reused by later runs. Beside the CPU time per
// packet it counts the heap allocations and clock reads per packet in steady state (after the
// first pass, which warms the buffer pool and the depacketizer's queues up).
//
//   build-bench/bench/bench_depacketize [--benchmark_repetitions=N]
//   build-bench/bench/bench_depacketize --dump-rfc4571 FILE PASSES   (for bench/depay_vs_gst.py)
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <new>
#include <string>

#include "platform/buffer.h"
#include "testkit/annexb.h"
#include "testkit/rtp_packetizer.h"
#include "units/unit_callback_endpoint.h"
#include "units/unit_rtp_video_unpack_ex.h"
#include "utils/slog.h"

using testkit::Bytes;
using testkit::VideoCodec;

// Every heap allocation of the process is counted, the library's included, so that the benchmark
// can show how many one packet costs: operator new, and malloc (glibc lets a program's malloc
// stand in for the C library's everywhere in the process).
static std::atomic<uint64_t> gNewCalls{0};
static std::atomic<uint64_t> gMallocCalls{0};

extern "C" void* __libc_malloc(size_t size);
extern "C" void* malloc(size_t size) {
    gMallocCalls.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

void* operator new(size_t size) {
    gNewCalls.fetch_add(1, std::memory_order_relaxed);
    if (void* p = __libc_malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// GCC cannot see that the replaced operator new above takes its memory from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    free(p);
}
void operator delete(void* p, size_t) noexcept {
    free(p);
}
#pragma GCC diagnostic pop

// CPU time of the calling thread: per-packet cost comparable with other programs' CPU time, and
// not inflated when other processes share the cores.
static double threadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// Clock reads are counted the same way: the library's calls of clock_gettime land here and go on
// to the C library's.
static std::atomic<uint64_t> gClockReads{0};
extern "C" int clock_gettime(clockid_t clock, struct timespec* ts) {
    using ClockGettime = int (*)(clockid_t, struct timespec*);
    static const ClockGettime next = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
    gClockReads.fetch_add(1, std::memory_order_relaxed);
    return next(clock, ts);
}

static uint64_t heapCalls() {
    return gNewCalls.load(std::memory_order_relaxed) + gMallocCalls.load(std::memory_order_relaxed);
}

namespace {

struct Stream {
    std::vector<std::shared_ptr<QelBuffer>> packets;
    std::vector<uint32_t> timestamps;  // as packetized, for renumbering
    uint64_t payloadBytes = 0;
    uint32_t timestampSpan = 0;
    bool ok = false;
};

bool encode(VideoCodec codec, const std::string& path) {
    std::string encoder =
        codec == VideoCodec::H264
            ? "-c:v libx264 -preset ultrafast -bf 0 -g 25 -f h264"
            : "-c:v libx265 -preset ultrafast -x265-params bframes=0:keyint=25:open-gop=0:log-level=error "
              "-f hevc";
    std::string command =
        "ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 "
        "-vf noise=alls=12:allf=t -frames:v 50 -pix_fmt yuv420p -b:v 8M -maxrate 8M -bufsize 4M " +
        encoder + " '" + path + "'";
    return system(command.c_str()) == 0;
}

Stream makeStream(VideoCodec codec) {
    Stream stream;
    const char* tmp = getenv("TMPDIR");
    std::string path =
        std::string(tmp ? tmp : "/tmp") +
        (codec == VideoCodec::H264 ? "/quorvane_bench_1080p.264" : "/quorvane_bench_1080p.265");
    Bytes clip;
    if (!testkit::readFile(path, &clip) || clip.empty()) {
        if (!encode(codec, path) || !testkit::readFile(path, &clip)) return stream;
    }
    std::vector<Bytes> nals = testkit::splitAnnexB(clip);
    if (codec == VideoCodec::H265) {
        // Without B-frames x265 labels its IDR pictures IDR_N_LP (20); cameras send IDR_W_RADL (19),
        // the type the depacketizer takes. Same pictures either way.
        for (Bytes& nal : nals) {
            if (testkit::nalUnitType(codec, nal) == 20)
                nal[0] = static_cast<uint8_t>((nal[0] & 0x81) | (19 << 1));
        }
    }
    testkit::RtpPacketizerConfig config;
    config.codec = codec;
    config.mtu = 1400;
    testkit::RtpPacketizer packetizer(config);
    for (const auto& picture : testkit::groupAccessUnits(codec, nals)) {
        for (const Bytes& p : packetizer.packetizePicture(picture)) {
            std::shared_ptr<QelBuffer> buffer =
                QelBuffer::createMallocBuffer(1600, nullptr);  // as the receiver makes them
            memcpy(buffer->getVaddr(), p.data(), p.size());
            buffer->length = p.size();
            stream.payloadBytes += p.size() - 12;
            stream.timestamps.push_back(testkit::rtpTimestamp(p));
            stream.packets.push_back(buffer);
        }
    }
    stream.timestampSpan = packetizer.nextTimestamp();
    stream.ok = !stream.packets.empty();
    return stream;
}

Stream& stream(VideoCodec codec) {
    static Stream h264 = makeStream(VideoCodec::H264);
    static Stream h265 = makeStream(VideoCodec::H265);
    return codec == VideoCodec::H264 ? h264 : h265;
}

// Gives the packets of pass `pass` sequence numbers and timestamps that continue the previous
// pass, so that the depacketizer sees one endless in-order stream.
void renumber(Stream& s, uint64_t pass) {
    uint16_t seq = static_cast<uint16_t>(pass * s.packets.size());
    uint32_t base = static_cast<uint32_t>(pass * s.timestampSpan);
    for (size_t i = 0; i < s.packets.size(); ++i) {
        auto* p = static_cast<uint8_t*>(s.packets[i]->getVaddr());
        uint32_t ts = s.timestamps[i] + base;
        p[2] = static_cast<uint8_t>(seq >> 8);
        p[3] = static_cast<uint8_t>(seq++);
        for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
    }
}

void BM_Depacketize(benchmark::State& state, VideoCodec codec) {
    Stream& s = stream(codec);
    if (!s.ok) {
        state.SkipWithError("could not encode the 1080p stream with ffmpeg");
        return;
    }
    uint64_t delivered = 0;
    uint64_t deliveries = 0;
    CallBackEndpointUnitSE sink;
    sink.callback = [&](unsigned char* data, unsigned long len, int, int) -> unsigned long {
        benchmark::DoNotOptimize(data);
        delivered += len;
        ++deliveries;
        return len;
    };
    sink.enable();
    RtpVideoUnpackExUnitSM unit;
    unit.addOutputUnit(&sink, true);
    uint64_t pass = 0;
    uint64_t newCalls = 0;
    uint64_t clockReads = 0;
    double loopNs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        renumber(s, pass++);
        state.ResumeTiming();
        double start = threadCpuNs();
        // The first pass warms the pools and the queues up; steady state is what follows.
        const uint64_t allocsBefore = heapCalls();
        const uint64_t clockBefore = gClockReads.load(std::memory_order_relaxed);
        for (const auto& packet : s.packets) unit.onTransmitIn(packet, packet->length, 0, 0);
        if (pass > 1) {
            newCalls += heapCalls() - allocsBefore;
            clockReads += gClockReads.load(std::memory_order_relaxed) - clockBefore;
        }
        loopNs += threadCpuNs() - start;
    }
    const double packets = static_cast<double>(s.packets.size()) * static_cast<double>(state.iterations());
    const double steadyPackets = static_cast<double>(s.packets.size()) *
                                 static_cast<double>(state.iterations() > 1 ? state.iterations() - 1 : 1);
    state.SetBytesProcessed(static_cast<int64_t>(s.payloadBytes * state.iterations()));
    state.counters["packets_per_s"] = benchmark::Counter(packets, benchmark::Counter::kIsRate);
    state.counters["heap_allocs_per_packet"] = static_cast<double>(newCalls) / steadyPackets;
    state.counters["clock_reads_per_packet"] = static_cast<double>(clockReads) / steadyPackets;
    state.counters["cpu_ns_per_packet"] = loopNs / packets;
    state.counters["buffers_out_per_packet"] = static_cast<double>(deliveries) / packets;
    state.counters["out_bytes_per_payload_byte"] =
        static_cast<double>(delivered) /
        (static_cast<double>(s.payloadBytes) * static_cast<double>(state.iterations()));
}

void BM_Memcpy(benchmark::State& state, VideoCodec codec) {
    Stream& s = stream(codec);
    if (!s.ok) {
        state.SkipWithError("could not encode the 1080p stream with ffmpeg");
        return;
    }
    std::vector<uint8_t> out(s.payloadBytes);
    for (auto _ : state) {
        uint8_t* dst = out.data();
        for (const auto& packet : s.packets) {
            size_t n = packet->length - 12;
            memcpy(dst, static_cast<uint8_t*>(packet->getVaddr()) + 12, n);
            dst += n;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(s.payloadBytes * state.iterations()));
    state.counters["packets_per_s"] =
        benchmark::Counter(static_cast<double>(s.packets.size()) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}

// What making one 1600-byte packet buffer costs, as the receive path makes one per datagram: a
// plain heap buffer against one from a warm BufferPool, with the heap allocations each takes.
void BM_PacketBuffer(benchmark::State& state, bool pooled) {
    BufferPool pool(1600, 64);
    uint64_t before = heapCalls();
    for (auto _ : state) {
        std::shared_ptr<QelBuffer> b = pooled ? pool.acquire() : QelBuffer::createMallocBuffer(1600, nullptr);
        static_cast<uint8_t*>(b->getVaddr())[0] = 0x80;
        benchmark::DoNotOptimize(b);
    }
    // The first acquisition from the pool fills it; steady state is what follows.
    state.counters["heap_allocs_per_packet"] = static_cast<double>(heapCalls() - before - (pooled ? 2 : 0)) /
                                               static_cast<double>(state.iterations());
}

BENCHMARK_CAPTURE(BM_PacketBuffer, malloc, false);
BENCHMARK_CAPTURE(BM_PacketBuffer, pool, true);
BENCHMARK_CAPTURE(BM_Depacketize, h264_1080p, VideoCodec::H264)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Memcpy, h264_1080p, VideoCodec::H264)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Depacketize, h265_1080p, VideoCodec::H265)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Memcpy, h265_1080p, VideoCodec::H265)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Prints the console report and keeps each benchmark's payload bytes per second (the median
// when repeated) for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            bool single = run.run_type == Run::RT_Iteration;
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || !(single || median)) continue;
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end())
                rates[run.run_name.function_name + "/" + run.run_name.args] = it->second.value;
        }
    }
    // The rate of the benchmark whose name begins with `name`, or 0.
    double rate(const std::string& name) const {
        for (const auto& entry : rates) {
            if (entry.first.rfind(name, 0) == 0) return entry.second;
        }
        return 0;
    }
    std::map<std::string, double> rates;
};

}  // namespace

// Writes `passes` renumbered passes of the H.264 stream as RFC 4571 frames (a 16-bit length before
// each RTP packet), the form GStreamer's rtpstreamdepay reads, for bench/depay_vs_gst.py.
int dumpRfc4571(const char* path, int passes) {
    Stream& s = stream(VideoCodec::H264);
    FILE* out = s.ok ? fopen(path, "wb") : nullptr;
    if (out == nullptr) return 1;
    for (int pass = 0; pass < passes; ++pass) {
        renumber(s, static_cast<uint64_t>(pass));
        for (const auto& packet : s.packets) {
            uint8_t length[2] = {static_cast<uint8_t>(packet->length >> 8),
                                 static_cast<uint8_t>(packet->length)};
            fwrite(length, 1, 2, out);
            fwrite(packet->getVaddr(), 1, packet->length, out);
        }
    }
    printf("packets %zu\n", s.packets.size() * static_cast<size_t>(passes));
    return fclose(out) == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    SLog::setEnable(false);  // the 30-second statistics line would land in the report
    if (argc == 4 && strcmp(argv[1], "--dump-rfc4571") == 0) return dumpRfc4571(argv[2], atoi(argv[3]));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* codec : {"h264_1080p", "h265_1080p"}) {
        double depack = reporter.rate(std::string("BM_Depacketize/") + codec);
        double copy = reporter.rate(std::string("BM_Memcpy/") + codec);
        if (depack <= 0 || copy <= 0) continue;
        Stream& s = stream(std::string(codec).rfind("h264", 0) == 0 ? VideoCodec::H264 : VideoCodec::H265);
        printf(
            "%s: %zu packets, %.1f KiB payload per pass; depacketize %.1f MiB/s, memcpy %.1f MiB/s, "
            "ratio depacketize/memcpy = %.3f\n",
            codec, s.packets.size(), static_cast<double>(s.payloadBytes) / 1024.0, depack / 1048576.0,
            copy / 1048576.0, depack / copy);
    }
    benchmark::Shutdown();
    return 0;
}
