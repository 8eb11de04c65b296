// Delay a picture spends in the depacketizer: from the arrival of its last RTP packet to the
// callback that hands over its last slice, median and 99th percentile, with the mixed-fleet
// options and marker completion on or off. Also whether the clip's last picture is delivered.
//
// The test clips are packetized by the testkit packetizer (marker bit on each picture's last
// packet) and fed to the depacketizer unit chain directly, one picture every 40 ms (25 pictures/s),
// all packets of a picture back to back. After the last picture the session ends as at a
// teardown: the unit is flushed one picture interval later.
//
//   marker     marker completion on: a picture goes out with its last packet
//   next_pic   marker completion off: a picture goes out when the next one begins
//   ts_change  marker completion on, but the camera never sets the marker bit: a picture goes out
//              when a packet with the next timestamp arrives, the last one at the flush
//
// BM_CoalescingLatency/<udp|tcp>/<nic>/<us>: what receive coalescing costs in delay, end to end. The
// light sender paced as a camera on a 100 Mbit/s or 1 Gbit/s card serves the 640x360 test clip to an
// RtspClient with the mixed-fleet options and RtspClientOptions::receiveCoalescingUs = <us>; the
// delay is from the moment the picture's last packet leaves the sender to the frame callback.
//
//   build-e2e/bench/bench_latency --benchmark_filter=Coalescing
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtsp_client.h"
#include "testkit/annexb.h"
#include "testkit/collecting_sink.h"
#include "testkit/light_sender.h"
#include "testkit/rtp_packetizer.h"
#include "testkit/test_camera.h"
#include "units/unit_callback_endpoint.h"
#include "units/unit_rtp_video_unpack_ex.h"
#include "utils/slog.h"

using testkit::Bytes;
using testkit::VideoCodec;
using Clock = std::chrono::steady_clock;

namespace {

enum class Completion { Marker, NextPicture, TimestampChange };

constexpr auto kFrameInterval = std::chrono::milliseconds(40);

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

void BM_PictureLatency(benchmark::State& state, const char* clipName, VideoCodec codec,
                       Completion completion) {
    Bytes clip;
    if (!testkit::readFile(std::string(QUORVANE_SOURCE_DIR) + "/testkit/clips/" + clipName, &clip)) {
        state.SkipWithError("clip missing");
        return;
    }
    // Per picture: its packets, and how many slices the pictures up to it hold together.
    testkit::RtpPacketizerConfig config;
    config.codec = codec;
    testkit::RtpPacketizer packetizer(config);
    std::vector<std::vector<Bytes>> pictures;
    std::vector<size_t> slicesThrough;
    size_t slices = 0;
    for (const auto& unit : testkit::groupAccessUnits(codec, testkit::splitAnnexB(clip))) {
        for (const Bytes& nal : unit) slices += testkit::isVcl(codec, nal);
        slicesThrough.push_back(slices);
        pictures.push_back(packetizer.packetizePicture(unit));
        if (completion == Completion::TimestampChange) {
            for (Bytes& p : pictures.back()) p[1] &= 0x7F;
        }
    }

    std::vector<double> latenciesUs;
    size_t delivered = 0;
    bool lastDelivered = false;
    for (auto _ : state) {
        RtspClientOptions options = RtspClientOptions::mixedFleet();
        options.markerCompletion = completion != Completion::NextPicture;
        std::vector<Clock::time_point> lastPacketAt(pictures.size());
        size_t slicesOut = 0;
        size_t completed = 0;
        latenciesUs.clear();
        CallBackEndpointUnitSE sink;
        // Runs on the feeding thread, inside the onTransmitIn that completed the picture.
        sink.callback = [&](unsigned char* data, unsigned long len, int, int) -> unsigned long {
            const Clock::time_point now = Clock::now();
            for (const Bytes& nal : testkit::splitAnnexB(data, len)) slicesOut += testkit::isVcl(codec, nal);
            for (; completed < pictures.size() && slicesOut >= slicesThrough[completed]; ++completed) {
                latenciesUs.push_back(
                    std::chrono::duration<double, std::micro>(now - lastPacketAt[completed]).count());
            }
            return len;
        };
        sink.enable();
        RtpVideoUnpackExUnitSM unit;
        unit.setOptions(options);
        unit.addOutputUnit(&sink, true);

        Clock::time_point tick = Clock::now();
        for (size_t i = 0; i < pictures.size(); ++i) {
            std::this_thread::sleep_until(tick);
            tick += kFrameInterval;
            for (size_t k = 0; k < pictures[i].size(); ++k) {
                if (k + 1 == pictures[i].size()) lastPacketAt[i] = Clock::now();
                auto buffer = testkit::makePacketBuffer(pictures[i][k]);
                unit.onTransmitIn(buffer, buffer->length, 0, 0);
            }
        }
        // Silence, then the session ends.
        std::this_thread::sleep_until(tick);
        const size_t beforeFlush = completed;
        unit.flush();
        delivered = completed;
        lastDelivered = completed == pictures.size();
        // Pictures handed over by the flush wait for the end of the session, not for packets.
        latenciesUs.resize(beforeFlush);
    }
    state.counters["pictures"] = static_cast<double>(pictures.size());
    state.counters["delivered"] = static_cast<double>(delivered);
    state.counters["last_delivered"] = lastDelivered ? 1 : 0;
    state.counters["median_us"] = percentile(latenciesUs, 0.5);
    state.counters["p99_us"] = percentile(latenciesUs, 0.99);
}

void BM_CoalescingLatency(benchmark::State& state, bool tcp, uint64_t nicBitsPerSecond,
                          unsigned coalescingUs) {
    Bytes clip;
    if (!testkit::readFile(std::string(QUORVANE_SOURCE_DIR) + "/testkit/clips/testcam_640x360.264", &clip)) {
        state.SkipWithError("clip missing");
        return;
    }
    std::mutex mutex;
    std::map<uint32_t, int64_t> leaving;  // RTP timestamp -> when its last packet left
    std::vector<double> latenciesUs;
    testkit::LightSenderOptions paced;
    paced.loop = false;
    paced.nicBitsPerSecond = nicBitsPerSecond;
    paced.pictureLeaving = [&](uint32_t timestamp, int64_t ns) {
        std::lock_guard<std::mutex> lock(mutex);
        leaving[timestamp] = ns;
    };
    testkit::LightSender sender(VideoCodec::H264, clip, paced);
    CameraScript script;
    script.sdp = sender.sdp();
    TestCamera camera(script);
    camera.setStreamerFactory(sender.factory());
    if (!camera.start()) {
        state.SkipWithError("camera did not start");
        return;
    }
    RtspClientOptions options = RtspClientOptions::mixedFleet();
    options.receiveCoalescingUs = coalescingUs;
    RtspClient client(camera.url(), "", "", tcp, options);
    client.setFrameCallback([&](const RtspFrame& frame) {
        const int64_t now =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        std::lock_guard<std::mutex> lock(mutex);
        auto it = leaving.find(static_cast<uint32_t>(frame.rtpTimestamp));
        if (it != leaving.end()) latenciesUs.push_back(static_cast<double>(now - it->second) / 1000.0);
    });
    for (auto _ : state) {
        const uint64_t before = sender.picturesSent();
        client.enable();
        while (sender.picturesSent() - before < sender.pictureCount())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        client.disable();
    }
    std::lock_guard<std::mutex> lock(mutex);
    state.counters["pictures"] = static_cast<double>(latenciesUs.size());
    state.counters["median_us"] = percentile(latenciesUs, 0.5);
    state.counters["p99_us"] = percentile(latenciesUs, 0.99);
    state.counters["max_us"] = percentile(latenciesUs, 1.0);
}

void registerAll() {
    struct Clip {
        const char* name;
        const char* file;
        VideoCodec codec;
    };
    const Clip clips[] = {{"h264", "h264_single_slice.264", VideoCodec::H264},
                          {"h264_slices", "h264_multi_slice.264", VideoCodec::H264},
                          {"h265", "h265_idr_n_lp.265", VideoCodec::H265},
                          {"h265_open_gop", "h265_open_gop.265", VideoCodec::H265}};
    const std::pair<const char*, Completion> modes[] = {{"marker", Completion::Marker},
                                                        {"next_pic", Completion::NextPicture},
                                                        {"ts_change", Completion::TimestampChange}};
    for (const Clip& clip : clips) {
        for (const auto& mode : modes) {
            benchmark::RegisterBenchmark(
                (std::string("BM_PictureLatency/") + clip.name + "/" + mode.first).c_str(), BM_PictureLatency,
                clip.file, clip.codec, mode.second)
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
    }
    const std::pair<const char*, uint64_t> nics[] = {{"100m", testkit::LightSenderOptions::kNic100Mbit},
                                                     {"1g", testkit::LightSenderOptions::kNic1Gbit}};
    for (bool tcp : {false, true}) {
        for (const auto& nic : nics) {
            for (unsigned us : {0u, 1000u, 2000u, 5000u}) {
                benchmark::RegisterBenchmark((std::string("BM_CoalescingLatency/") + (tcp ? "tcp/" : "udp/") +
                                              nic.first + "/" + std::to_string(us))
                                                 .c_str(),
                                             BM_CoalescingLatency, tcp, nic.second, us)
                    ->Iterations(1)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    SLog::setEnable(false);  // the clients' connection lines are not what is measured
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
