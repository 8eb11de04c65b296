// The audio track end to end through RtspClient (receiveAudio): a camera sending a clip's video
// and G.711 sound with sender reports for both, over UDP and interleaved TCP; what the camera sees
// with the option off; refused and unknown audio tracks.
#include <gtest/gtest.h>

#include <mutex>

#include "client_test_support.h"
#include "log_capture.h"
#include "testkit/rtp_packetizer.h"
#include "thread_wait.h"
#include "units/frame_assembler.h"

using namespace client_test;

namespace {

constexpr uint32_t kAudioSsrc = 0xA0D10001;
constexpr uint32_t kVideoStart = 90000, kAudioStart = 8000;
constexpr uint64_t kNtpStart = 3900000000ull << 32;
constexpr int kPictures = 25;
constexpr int kLostAudioPacket = 5;
// The sound is sent this late: its samples were taken 200 ms before the pictures sent with them.
constexpr uint32_t kAudioLateTicks = 1600;

Bytes senderReport(uint32_t ssrc, uint64_t ntp, uint32_t rtp) {
    Bytes p = {0x80, 200, 0, 6};
    for (uint32_t v : {ssrc, uint32_t(ntp >> 32), uint32_t(ntp), rtp, 0u, 0u})
        for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<uint8_t>(v >> s));
    return p;
}

Bytes audioPayload(int k) {
    Bytes p(160);
    for (size_t j = 0; j < p.size(); ++j) p[j] = static_cast<uint8_t>(k * 7 + j);
    return p;
}

// A clip's first pictures every 40 ms with two 20-ms PCMA packets each (one of them never sent),
// and a sender report for each track first.
class AvStreamer : public CameraStreamer {
public:
    void run(CameraPlayContext& context) override {
        const bool audio = context.tracks().size() > 1;
        context.sendRtcp(0, senderReport(0x51C0FFEE, kNtpStart, kVideoStart).data(), 32);
        if (audio) context.sendRtcp(1, senderReport(kAudioSsrc, kNtpStart, kAudioStart).data(), 32);
        testkit::RtpPacketizerConfig config;
        config.firstTimestamp = kVideoStart;
        testkit::RtpPacketizer packetizer(config);
        std::vector<Bytes> packets = packetizer.packetizeStream(readClip("h264_single_slice.264"));
        size_t next = 0;
        for (int i = 0; i < kPictures && next < packets.size(); ++i) {
            for (bool last = false; !last && next < packets.size(); ++next) {
                last = testkit::rtpMarker(packets[next]);
                context.sendRtp(0, packets[next].data(), packets[next].size());
            }
            for (int k = 2 * i; audio && k < 2 * i + 2; ++k) {
                if (k == kLostAudioPacket) continue;
                Bytes p =
                    testkit::makeRtpPacket(static_cast<uint16_t>(k), kAudioStart + k * 160 - kAudioLateTicks,
                                           false, audioPayload(k), 8, kAudioSsrc);
                context.sendRtp(1, p.data(), p.size());
            }
            if (!context.waitFor(40)) return;
        }
    }
};

struct AudioGot {
    std::mutex mutex;
    std::vector<RtspAudioFrame> frames;
    Bytes bytes;
};

}  // namespace

class AudioClient : public testing::TestWithParam<bool> {};

TEST_P(AudioClient, SoundArrivesWholeOnTheCamerasClockWithItsOffsetMeasured) {
    const bool tcp = GetParam();
    TestCamera camera;
    camera.setStreamerFactory([] { return std::make_unique<AvStreamer>(); });
    ASSERT_TRUE(camera.start());
    RtspClientOptions options = RtspClientOptions::mixedFleet();
    options.receiveAudio = true;
    RtspClient client(camera.url("/stream"), "", "", tcp, options);
    AudioGot got;
    client.setAudioCallback([&](const RtspAudioFrame& f) {
        std::lock_guard<std::mutex> lock(got.mutex);
        got.frames.push_back(f);
        got.bytes.insert(got.bytes.end(), f.data, f.data + f.size);
    });
    client.enable();
    const size_t expected = 2 * kPictures - 1;
    EXPECT_TRUE(thread_wait::waitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(got.mutex);
            return got.frames.size() >= expected;
        },
        10000));
    const RtspAudioStatistics stats = client.audioStatistics();
    const RtspAudioStreamInfo info = client.audioStreamInfo();
    client.disable();

    // Both tracks set up on the camera's terms: TCP on the channel pair after the video's.
    std::vector<CameraRequest> setups;
    for (const CameraRequest& r : camera.requests())
        if (r.method == "SETUP") setups.push_back(r);
    ASSERT_EQ(setups.size(), 2u);
    EXPECT_NE(setups[1].url.find("trackID=2"), std::string::npos);
    if (tcp) {
        EXPECT_NE(setups[1].header("Transport").find("interleaved=2-3"), std::string::npos);
    }
    EXPECT_EQ(info.codec, RtspAudioCodec::Pcma);
    EXPECT_EQ(info.sampleRate, 8000u);
    EXPECT_EQ(info.channels, 1u);

    std::lock_guard<std::mutex> lock(got.mutex);
    ASSERT_EQ(got.frames.size(), expected);
    Bytes sent;
    for (int k = 0; k < 2 * kPictures; ++k) {
        if (k == kLostAudioPacket) continue;
        Bytes p = audioPayload(k);
        sent.insert(sent.end(), p.begin(), p.end());
    }
    EXPECT_EQ(got.bytes, sent);
    RtcpSenderClock clock;
    clock.valid = true;
    clock.ntp = kNtpStart;
    clock.rtpTimestamp = kAudioStart;
    for (size_t i = 0; i < got.frames.size(); ++i) {
        const RtspAudioFrame& f = got.frames[i];
        const int k = static_cast<int>(i) + (static_cast<int>(i) >= kLostAudioPacket);
        EXPECT_EQ(f.lostBefore, k == kLostAudioPacket + 1 ? 1u : 0u) << i;
        EXPECT_EQ(static_cast<uint32_t>(f.rtpTimestamp), kAudioStart + k * 160 - kAudioLateTicks) << i;
        EXPECT_EQ(f.samples, 160u);
        if (f.presentationFromSenderReport) {
            EXPECT_EQ(f.presentationNs, FrameAssembler::wallClockNs(clock, f.rtpTimestamp, 8000)) << i;
        }
    }
    EXPECT_TRUE(got.frames.back().presentationFromSenderReport);
    EXPECT_EQ(stats.packetsReceived, expected);
    EXPECT_EQ(stats.packetsLost, 1u);
    EXPECT_EQ(stats.framesDelivered, expected);
    ASSERT_TRUE(stats.avOffsetKnown);
    EXPECT_NEAR(stats.avOffsetMs, 180.0, 40.0);
}

INSTANTIATE_TEST_SUITE_P(Transports, AudioClient, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "Tcp" : "Udp"; });

TEST(AudioClientSetup, OffRefusedAndUnknownTracksLeaveTheVideoAlone) {
    struct Case {
        const char* audio;  // the SDP's audio section
        bool receiveAudio;
        size_t setups;
        const char* line;  // the one warning expected
    } cases[] = {
        {"m=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=control:trackID=2\r\n", false, 1, nullptr},
        // SETUP of a path the camera does not serve is answered 404.
        {"m=audio 0 RTP/AVP 0\r\na=control:rtsp://127.0.0.1:1/elsewhere\r\n", true, 2,
         "audio SETUP answered with status 404, video only"},
        {"m=audio 0 RTP/AVP 97\r\na=rtpmap:97 L16/16000\r\na=control:trackID=2\r\n", true, 1,
         "audio track of payload type 97 ('L16') not supported, video only"},
    };
    for (const Case& c : cases) {
        CameraScript script;
        script.streamPath = "/stream";
        script.sdp =
            "v=0\r\ns=-\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
            "a=control:trackID=1\r\n" +
            std::string(c.audio);
        TestCamera camera(script);
        camera.setStreamerFactory([] { return std::make_unique<AvStreamer>(); });
        ASSERT_TRUE(camera.start());
        RtspClientOptions options;
        options.receiveAudio = c.receiveAudio;
        RtspClient client(camera.url("/stream"), "", "", false, options);
        Collector video;
        video.attach(client);
        size_t audioFrames = 0;
        client.setAudioCallback([&](const RtspAudioFrame&) { ++audioFrames; });
        LogCapture log;
        client.enable();
        EXPECT_TRUE(video.waitForCount(10, 10000)) << c.audio;
        client.disable();
        log.stop();
        EXPECT_EQ(audioFrames, 0u);
        // Today's requests exactly when the option is off.
        std::vector<std::string> methods = camera.methods();
        methods.resize(std::min<size_t>(methods.size(), 3 + c.setups));
        std::vector<std::string> expected = {"OPTIONS", "DESCRIBE", "SETUP", "PLAY"};
        if (c.setups == 2) expected.insert(expected.begin() + 3, "SETUP");
        EXPECT_EQ(methods, expected) << c.audio;
        EXPECT_EQ(client.audioStreamInfo().codec, RtspAudioCodec::Unknown);
        if (c.line != nullptr) {
            EXPECT_EQ(log.errCount(c.line), 1) << log.err;
            EXPECT_EQ(log.errCount("audio"), 1) << log.err;
        }
    }
}
