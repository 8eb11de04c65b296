// RtspClient with RtspClientOptions::mixedFleet() against the packetizers cameras and encoders
// really use, over UDP and interleaved TCP: GStreamer's payloaders packing NAL units into STAP-A
// and aggregation packets, FFmpeg's RTP muxer (which aggregates by default), and x265's open-GOP
// (CRA, TRAIL_N, RASL/RADL) and IDR_N_LP pictures from the test camera. Every session must decode
// to exactly the clip's pictures, the last one included, and nothing more. With the default
// options, against GStreamer's one-NAL-unit-per-packet payloader: the same, except that an H.264
// picture is handed over when the next begins, so the clip's last one stays behind.
// One GStreamer session goes through its RTSP-in-HTTP tunnel (rtsph://), Digest inside; two reach
// it at rtsp://[::1]:port/, over TCP and UDP, and the test camera serves one over UDP on ::1; two
// clients receive its multicast group.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtsp_client.h"
#include "testkit/child_process.h"
#include "testkit/clip_streamer.h"
#include "testkit/gst_rtsp_server.h"
#include "testkit/netns.h"
#include "testkit/rtp_packetizer.h"
#include "testkit/test_camera.h"
#include "tests/client_test_support.h"
#include "tests/log_capture.h"
#include "utils/networking/netsocket.h"

using namespace client_test;

namespace {

constexpr const char* kFfmpeg = "/usr/bin/ffmpeg";
// Every peer sends the clip's 25-fps pictures eight times as fast: what is checked is the pictures.
constexpr int kPictureMs = 5;

enum class Peer { Gst, TestCamera, Ffmpeg };

struct InteropCase {
    const char* name;
    Peer peer;
    const char* clip;
    VideoCodec codec;
    bool tcp;
    // GStreamer: the payloader's aggregate-mode and config-interval. Test camera: "" sends one
    // NAL unit per packet, anything else aggregates the small ones.
    const char* aggregateMode;
    int configInterval;
    bool defaults = false;     // RtspClientOptions() instead of mixedFleet()
    bool digest = false;       // GStreamer demands Digest authentication
    bool tunnel = false;       // RTSP tunnelled in HTTP (rtsph://) to GStreamer's port
    const char* address = "";  // GStreamer or the test camera listens here ("::1"), else on 127.0.0.1
    const char* query = "";    // added to the URL: a query, as Dahua-style URLs carry
};

void PrintTo(const InteropCase& c, std::ostream* os) {
    *os << c.name;
}

// Pictures in an Annex-B stream: slices that begin a picture (first_mb_in_slice 0, or
// first_slice_segment_in_pic_flag set: the first bit after the NAL unit header).
size_t pictureCount(VideoCodec codec, const Bytes& stream) {
    const size_t header = codec == VideoCodec::H264 ? 1 : 2;
    size_t n = 0;
    for (const Bytes& nal : testkit::splitAnnexB(stream))
        n += testkit::isVcl(codec, nal) && nal.size() > header && (nal[header] & 0x80) != 0;
    return n;
}

bool waitForPictures(const Collector& got, VideoCodec codec, size_t count, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pictureCount(codec, got.stream()) < count) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// NAL unit type 24 (STAP-A) or 48 (AP) right after a 12-byte RTP header.
bool isAggregate(VideoCodec codec, const Bytes& packet) {
    if (packet.size() <= 12) return false;
    return codec == VideoCodec::H264 ? (packet[12] & 0x1F) == 24 : ((packet[12] >> 1) & 0x3F) == 48;
}

// FFmpeg's RTP muxer run over the clip at full speed to a local port; its packets in the order
// sent and the SDP it wrote. Bounded: ffmpeg is killed by its PID after 10 s.
bool captureFfmpegRtp(const std::string& clip, VideoCodec codec, std::vector<Bytes>* packets,
                      std::string* sdp) {
    UdpPort rtp, rtcp;
    if (rtp.port == 0 || rtcp.port == 0) return false;
    const std::string base =
        std::string(QUORVANE_BINARY_DIR) + "/tests/ffmpeg_rtp_" + std::to_string(getpid());
    testkit::ChildProcess ffmpeg;
    if (!ffmpeg.start({kFfmpeg, "-hide_banner", "-nostdin", "-loglevel", "error", "-f",
                       codec == VideoCodec::H264 ? "h264" : "hevc", "-i", clipPath(clip), "-c", "copy", "-f",
                       "rtp", "-sdp_file", base + ".sdp",
                       "rtp://127.0.0.1:" + std::to_string(rtp.port) +
                           "?rtcpport=" + std::to_string(rtcp.port) + "&pkt_size=1200"},
                      "/dev/null", base + ".err"))
        return false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    uint8_t buf[2048];
    while (std::chrono::steady_clock::now() < end) {
        pollfd pfd{rtp.fd, POLLIN, 0};
        if (poll(&pfd, 1, 200) > 0) {
            ssize_t n = recv(rtp.fd, buf, sizeof(buf), 0);
            if (n > 0) packets->emplace_back(buf, buf + n);
        } else if (!ffmpeg.running()) {
            break;  // ended, and nothing more arrived within 200 ms
        }
    }
    int exitCode = -1;
    if (!ffmpeg.wait(0, &exitCode) || exitCode != 0) {
        ADD_FAILURE() << "ffmpeg: " << testkit::readText(base + ".err");
        return false;
    }
    // As a camera describes it: the one track with a control of its own.
    *sdp = testkit::readText(base + ".sdp") + "a=control:trackID=1\r\n";
    return true;
}

// Sends captured RTP packets after PLAY, one picture (one RTP timestamp) every kPictureMs.
class ReplayStreamer : public CameraStreamer {
public:
    explicit ReplayStreamer(std::shared_ptr<const std::vector<Bytes>> packets)
        : mPackets(std::move(packets)) {}
    void run(CameraPlayContext& context) override {
        const std::vector<Bytes>& p = *mPackets;
        for (size_t i = 0; i < p.size(); ++i) {
            if (i > 0 && testkit::rtpTimestamp(p[i]) != testkit::rtpTimestamp(p[i - 1]) &&
                !context.waitFor(kPictureMs))
                return;
            if (!context.sendRtp(0, p[i].data(), p[i].size())) return;
        }
    }

private:
    std::shared_ptr<const std::vector<Bytes>> mPackets;
};

class CameraInterop : public ::testing::TestWithParam<InteropCase> {};

}  // namespace

TEST_P(CameraInterop, ClientDecodesEveryPictureOfTheClip) {
    const InteropCase c = GetParam();
    if (!testkit::ffmpegAvailable() || access(kFfmpeg, X_OK) != 0)
        GTEST_SKIP() << "ffmpeg is not installed (scripts/setup.sh installs it)";
    std::vector<std::string> pictures = decodeClip(c.clip, c.codec);
    ASSERT_FALSE(pictures.empty());
    if (c.defaults && c.codec == VideoCodec::H264) pictures.pop_back();

    // One peer serves the clip once, from its first picture on at PLAY.
    GstRtspServer gst;
    const std::string gstStats = std::string(QUORVANE_BINARY_DIR) + "/tests/gst_stats_" + c.name;
    std::unique_ptr<testkit::ClipStreamer> clip;
    std::shared_ptr<std::vector<Bytes>> captured = std::make_shared<std::vector<Bytes>>();
    CameraScript script;
    std::unique_ptr<TestCamera> camera;
    std::string url;
    if (c.peer == Peer::Gst) {
        GstRtspServer::Options options;
        options.clip = clipPath(c.clip);
        options.codec = c.codec == VideoCodec::H264 ? "h264" : "h265";
        options.aggregateMode = c.aggregateMode;
        options.configInterval = c.configInterval;
        options.statsPath = gstStats;
        options.address = c.address;
        options.speed = 1000.0 / kPictureMs / 25;
        if (c.digest) {
            options.user = "viewer";
            options.password = "pa55word";
        }
        unlink(gstStats.c_str());
        // What is missing is asked only when the server does not start: the check costs a start.
        if (!gst.start(options)) {
            const std::string missing = GstRtspServer::missingDependency();
            if (!missing.empty()) GTEST_SKIP() << "GStreamer interoperability skipped: " << missing;
            FAIL() << "GStreamer RTSP server did not start";
        }
        url = gst.url() + c.query;
        if (c.tunnel) url.replace(0, 4, "rtsph");
    } else {
        if (c.peer == Peer::TestCamera) {
            testkit::ClipStreamerOptions options;
            options.aggregate = *c.aggregateMode != '\0';
            options.fps = 1000.0 / kPictureMs;
            clip = std::make_unique<testkit::ClipStreamer>(c.codec, readClip(c.clip), options);
            script.sdp = clip->sdp();
        } else {
            ASSERT_TRUE(captureFfmpegRtp(c.clip, c.codec, captured.get(), &script.sdp));
            // Every packet arrived, and FFmpeg aggregated some: what this case is about.
            ASSERT_FALSE(captured->empty());
            size_t aggregates = 0;
            for (size_t i = 0; i < captured->size(); ++i) {
                aggregates += isAggregate(c.codec, (*captured)[i]);
                ASSERT_EQ(testkit::rtpSeq((*captured)[i]),
                          static_cast<uint16_t>(testkit::rtpSeq((*captured)[0]) + i));
            }
            EXPECT_GT(aggregates, 0u) << "FFmpeg sent no aggregation packet";
        }
        camera = std::make_unique<TestCamera>(script);
        if (clip) {
            camera->setStreamerFactory(clip->factory());
        } else {
            camera->setStreamerFactory([captured] { return std::make_unique<ReplayStreamer>(captured); });
        }
        ASSERT_TRUE(*c.address == '\0' ? camera->start() : camera->start(c.address, 0));
        url = camera->url();
    }

    Collector got;
    RtspClient client(url, c.digest ? "viewer" : "", c.digest ? "pa55word" : "", c.tcp,
                      c.defaults ? RtspClientOptions() : RtspClientOptions::mixedFleet());
    got.attach(client);
    client.enable();
    // With marker completion the clip's last picture comes with its own last packet, not with a
    // next picture that never follows.
    EXPECT_TRUE(waitForPictures(got, c.codec, pictures.size(), 10000))
        << pictureCount(c.codec, got.stream()) << " of " << pictures.size() << " pictures";
    // Nothing more comes: a picture past the clip would be a duplicate or a stray (five
    // pictures' time).
    std::this_thread::sleep_for(std::chrono::milliseconds(5 * kPictureMs));
    client.disable();
    gst.stop();

    EXPECT_EQ(got.malformed(), 0u);
    EXPECT_EQ(pictureCount(c.codec, got.stream()), pictures.size());
    // Parameter sets and SEI come one per callback, neither lost nor repeated.
    if (c.defaults) {
        EXPECT_EQ(got.count(), callbacksPerPass(c.codec, readClip(c.clip)) - (c.codec == VideoCodec::H264));
    }
    EXPECT_EQ(decode(got.stream(), c.codec, std::string("interop_") + c.name), pictures);
    if (c.peer == Peer::Gst) {
        unsigned packets = 0, aggregates = 0, tunnelled = 0, plain = 0;
        const std::string stats = testkit::readText(gstStats);
        ASSERT_EQ(sscanf(stats.c_str(), "packets=%u aggregates=%u tunnelled_plays=%u plain_plays=%u",
                         &packets, &aggregates, &tunnelled, &plain),
                  4)
            << stats;
        if (std::string(c.aggregateMode) != "none") {
            EXPECT_GT(aggregates, 0u) << "GStreamer sent no aggregation packet";
        }
        // Every PLAY came the way the URL asked for, and there was one (no reconnect).
        EXPECT_EQ(tunnelled, c.tunnel ? 1u : 0u);
        EXPECT_EQ(plain, c.tunnel ? 0u : 1u);
    }
}

// GStreamer: zero-latency packs the parameter sets and SEI before a picture into one packet
// (config-interval -1 repeats them before every key picture, so there are several), and the
// slices of a picture that fit; max packs every NAL unit of a picture that fits. With
// config-interval -1 and several slices per picture, rtph264pay puts SPS and PPS in front of
// every slice of a key picture, between slices of one access unit: the picture must stay whole.
INSTANTIATE_TEST_SUITE_P(
    Peers, CameraInterop,
    ::testing::Values(
        InteropCase{"GstZeroLatencyH264Udp", Peer::Gst, "h264_single_slice.264", VideoCodec::H264, false,
                    "zero-latency", -1},
        InteropCase{"GstZeroLatencyH264SlicesConfigUdp", Peer::Gst, "h264_multi_slice.264", VideoCodec::H264,
                    false, "zero-latency", -1},
        InteropCase{"GstZeroLatencyH264SlicesTcpDigest", Peer::Gst, "h264_multi_slice.264", VideoCodec::H264,
                    true, "zero-latency", 0, false, true},
        InteropCase{"GstMaxH264SlicesUdpDigest", Peer::Gst, "h264_multi_slice.264", VideoCodec::H264, false,
                    "max", 0, false, true},
        InteropCase{"GstZeroLatencyH265OpenGopUdp", Peer::Gst, "h265_open_gop.265", VideoCodec::H265, false,
                    "zero-latency", -1},
        InteropCase{"GstZeroLatencyH265Tcp", Peer::Gst, "h265_idr_n_lp.265", VideoCodec::H265, true,
                    "zero-latency", -1},
        InteropCase{"GstH264Ipv6TcpDigest", Peer::Gst, "h264_single_slice.264", VideoCodec::H264, true,
                    "zero-latency", -1, false, true, false, "::1"},
        InteropCase{"GstH264Ipv6Udp", Peer::Gst, "h264_single_slice.264", VideoCodec::H264, false,
                    "zero-latency", -1, false, false, false, "::1"},
        InteropCase{"GstH264SlicesHttpTunnelDigest", Peer::Gst, "h264_multi_slice.264", VideoCodec::H264,
                    true, "zero-latency", 0, false, true, true},
        InteropCase{"CameraH265OpenGopUdp", Peer::TestCamera, "h265_open_gop.265", VideoCodec::H265, false,
                    "", 0},
        InteropCase{"CameraH265OpenGopTcpAggregated", Peer::TestCamera, "h265_open_gop.265", VideoCodec::H265,
                    true, "ap", 0},
        InteropCase{"CameraH265IdrNLpUdpAggregated", Peer::TestCamera, "h265_idr_n_lp.265", VideoCodec::H265,
                    false, "ap", 0},
        InteropCase{"CameraH265IdrNLpIpv6Udp", Peer::TestCamera, "h265_idr_n_lp.265", VideoCodec::H265, false,
                    "", 0, false, false, false, "::1"},
        InteropCase{"CameraH265IdrNLpTcp", Peer::TestCamera, "h265_idr_n_lp.265", VideoCodec::H265, true, "",
                    0},
        InteropCase{"FfmpegH264SlicesUdp", Peer::Ffmpeg, "h264_multi_slice.264", VideoCodec::H264, false, "",
                    0},
        InteropCase{"FfmpegH264SlicesTcp", Peer::Ffmpeg, "h264_multi_slice.264", VideoCodec::H264, true, "",
                    0},
        InteropCase{"FfmpegH265IdrNLpUdp", Peer::Ffmpeg, "h265_idr_n_lp.265", VideoCodec::H265, false, "", 0},
        InteropCase{"FfmpegH265IdrNLpTcp", Peer::Ffmpeg, "h265_idr_n_lp.265", VideoCodec::H265, true, "", 0},
        InteropCase{"GstDefaultsH264SlicesUdp", Peer::Gst, "h264_multi_slice.264", VideoCodec::H264, false,
                    "none", 0, true},
        InteropCase{"GstDefaultsH265Udp", Peer::Gst, "h265.265", VideoCodec::H265, false, "none", 0, true},
        // GStreamer answers a URL with a query with the Content-Base of its path and refuses
        // PLAY on the query URL itself.
        InteropCase{"GstQueryUrlH264Udp", Peer::Gst, "h264_single_slice.264", VideoCodec::H264, false, "none",
                    0, false, false, false, "", "?channel=1&subtype=0"},
        InteropCase{"GstQueryUrlH264Tcp", Peer::Gst, "h264_single_slice.264", VideoCodec::H264, true, "none",
                    0, false, false, false, "", "?channel=1&subtype=0"}),
    [](const testing::TestParamInfo<InteropCase>& info) { return std::string(info.param.name); });

// The camera zoo: quirks of real cameras scripted on the test camera, which streams a clip in a
// loop at 50 pictures a second. With mixedFleet() each case plays without a reconnect and delivers
// the clip's pictures bit-exact. Keep-alive times run at kSecondMs per second of the camera's
// Session timeout.
namespace {

constexpr int kSecondMs = 20;
// 0.64 s: into the clip's second pass, past the first keep-alive of a 60-s session (the
// keep-alive interval is cut to 20 s here: 0.4 s), two lives of a 15-s session without keep-alive.
constexpr size_t kZooPictures = 32;
constexpr double kZooFps = 50;

struct ZooCase {
    const char* name;
    bool tcp;
    void (*script)(CameraScript&);
    const char* path = "/live";
    void (*stream)(testkit::ClipStreamerOptions&) = nullptr;
};

void PrintTo(const ZooCase& c, std::ostream* os) {
    *os << c.name;
}

class CameraZoo : public ::testing::TestWithParam<ZooCase> {};

// A session timeout shorter than the keep-alive interval (TP-Link and others).
void timeout15(CameraScript& s) {
    s.sessionTimeoutS = 15;
    s.sessionTimeoutMs = 15 * kSecondMs;
}
// GET_PARAMETER answered 501: only requests the camera knows keep the (15-s) session.
void get501(CameraScript& s) {
    timeout15(s);
    s.replies["GET_PARAMETER"].status = 501;
}
// GET_PARAMETER missing from Public (and answered 400, which is no reason to try OPTIONS).
void getNotPublic(CameraScript& s) {
    get501(s);
    s.replies["GET_PARAMETER"].status = 400;
    s.replies["OPTIONS"].headers = {{"Public", "OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY"}};
}
// No CSeq once the session plays (a new connection would lose it), and a CRLF after each answer.
void noCSeqStrayCrLf(CameraScript& s) {
    s.replies["PLAY"].headers = s.replies["GET_PARAMETER"].headers = {{"CSeq", "-"}};
    s.trailer = "\r\n";
}
void queryOnlyForDescribe(CameraScript& s) {
    s.queryOnlyForDescribe = true;
}
// A SETUP answer whose ssrc= is not the packets', on a stream of SPS, PPS, IDR and three pictures.
void shortStream(testkit::ClipStreamerOptions& o) {
    o.loop = false;
    o.pictures = 4;
}
// A previous session's stream beside the new one, which the PLAY answer's RTP-Info names.
void rtpInfo(CameraScript& s) {
    s.replies["PLAY"].headers = {{"RTP-Info", "url=trackID=1;seq=0;rtptime=0"}};
}
void ghost(testkit::ClipStreamerOptions& o) {
    o.ghostStream = true;
}
// The streams start as PLAY is handled, 100 ms before its answer: over UDP both come before the
// RTP-Info that tells them apart.
void rtpInfoLate(CameraScript& s) {
    rtpInfo(s);
    s.streamBeforePlayAnswer = true;
    s.replies["PLAY"].delayMs = 100;
}

}  // namespace

TEST_P(CameraZoo, PlaysEveryPictureWithoutReconnect) {
    const ZooCase c = GetParam();
    ScopedTimeConstants times(3000, 1000, 20 * kSecondMs);
    quorvane_internal::timeConstants().sessionTimeoutSecondMs = kSecondMs;  // put back by `times`
    testkit::ClipStreamerOptions options;
    options.loop = true;
    options.fps = kZooFps;
    if (c.stream) c.stream(options);
    const size_t wanted = options.loop ? kZooPictures : options.pictures;
    testkit::ClipStreamer clip(VideoCodec::H264, readClip("h264_single_slice.264"), options);
    CameraScript script;
    script.sdp = clip.sdp();
    c.script(script);
    TestCamera camera(script);
    camera.setStreamerFactory(clip.factory());
    ASSERT_TRUE(camera.start());

    Collector got;
    RtspClient client(camera.url(c.path), "", "", c.tcp, RtspClientOptions::mixedFleet());
    got.attach(client);
    client.enable();
    EXPECT_TRUE(clip.waitForPictures(wanted, 8000));
    EXPECT_TRUE(waitForPictures(got, VideoCodec::H264, (wanted * 9 + 9) / 10, 2000));
    client.disable();

    EXPECT_EQ(methodCount(camera, "PLAY"), 1u) << "reconnected";
    EXPECT_EQ(camera.expiredSessions(), 0);
    // Bit-exact: the clip's NAL units from its first on, in a loop; the last one may be cut by the stop.
    const std::vector<Bytes> sent = testkit::splitAnnexB(readClip("h264_single_slice.264"));
    const std::vector<Bytes> nals = testkit::splitAnnexB(got.stream());
    size_t pictures = 0;  // one slice each
    for (size_t i = 0; i < nals.size(); ++i) {
        ASSERT_TRUE(i + 1 == nals.size() || nals[i] == sent[i % sent.size()]) << "NAL unit " << i;
        pictures += testkit::isVcl(VideoCodec::H264, nals[i]);
    }
    EXPECT_GE(pictures * 10, clip.picturesSent() * 9);
}

INSTANTIATE_TEST_SUITE_P(
    Quirks, CameraZoo,
    ::testing::Values(
        ZooCase{"SessionTimeout15Udp", false, timeout15}, ZooCase{"SessionTimeout15Tcp", true, timeout15},
        ZooCase{"GetParameter501Udp", false, get501}, ZooCase{"GetParameterNotPublicTcp", true, getNotPublic},
        ZooCase{"InterleavedRequiredTcp", true, [](CameraScript& s) { s.requireInterleaved = true; }},
        ZooCase{"CSeqZeroUdp", false, [](CameraScript& s) { s.answerCSeq = "0"; }},
        ZooCase{"CSeqZeroTcp", true, [](CameraScript& s) { s.answerCSeq = "0"; }},
        ZooCase{"NoCSeqUdp", false, [](CameraScript& s) { s.answerCSeq = "-"; }},
        ZooCase{"NoCSeqStrayCrLfTcp", true, noCSeqStrayCrLf},
        ZooCase{"QueryUrlUdp", false, queryOnlyForDescribe, "/live?channel=1&subtype=0"},
        ZooCase{"QueryUrlTcp", true, queryOnlyForDescribe, "/live?channel=1&subtype=0"},
        ZooCase{"SourceElsewhereUdp", false,
                [](CameraScript& s) { s.transportSuffix = ";source=127.0.0.9"; }},
        ZooCase{"SourceUnspecifiedUdp", false,
                [](CameraScript& s) { s.transportSuffix = ";source=0.0.0.0"; }},
        ZooCase{"SetupSsrcLieUdp", false, [](CameraScript& s) { s.transportSuffix = ";ssrc=DEADBEEF"; },
                "/live", shortStream},
        ZooCase{"SetupSsrcZeroTcp", true, [](CameraScript& s) { s.transportSuffix = ";ssrc=00000000"; },
                "/live", shortStream},
        ZooCase{"SsrcPerGopUdp", false, [](CameraScript&) {}, "/live",
                [](testkit::ClipStreamerOptions& o) { o.ssrcPerGop = true; }},
        ZooCase{"SsrcPerGopTcp", true, [](CameraScript&) {}, "/live",
                [](testkit::ClipStreamerOptions& o) { o.ssrcPerGop = true; }},
        ZooCase{"GhostStreamUdp", false, rtpInfoLate, "/live", ghost},
        ZooCase{"GhostStreamTcp", true, rtpInfo, "/live", ghost}),
    [](const testing::TestParamInfo<ZooCase>& info) { return std::string(info.param.name); });

// Multicast against GStreamer's server, which sends one shared stream to a group. The server
// holds the group's ports itself (bound without address reuse), so it runs on a host of its own.
namespace {

// One family's group and the two hosts' addresses.
struct MulticastNet {
    const char* name;
    const char* group;
    const char* camera;
    const char* viewer;
};
constexpr uint16_t kGroupPort = 50000;

void PrintTo(const MulticastNet& n, std::ostream* os) {
    *os << n.name;
}

// A UDP socket bound to `address` and `port` with address reuse, joined to `group` when given.
int groupSocket(const char* address, uint16_t port, const char* group) {
    NetEndpoint local, g;
    if (!NetEndpoint::parse(address, port, &local) || (group != nullptr && !NetEndpoint::parse(group, 0, &g)))
        return -1;
    int fd = socket(local.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    // The family's own join options: user-mode emulators lack MCAST_JOIN_GROUP.
    int joined = 0;
    if (group != nullptr && local.family() == AF_INET6) {
        ipv6_mreq join{};
        join.ipv6mr_multiaddr = reinterpret_cast<const sockaddr_in6*>(g.data())->sin6_addr;
        joined = setsockopt(fd, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &join, sizeof(join));
    } else if (group != nullptr) {
        ip_mreq join{};
        join.imr_multiaddr = reinterpret_cast<const sockaddr_in*>(g.data())->sin_addr;
        joined = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof(join));
    }
    if (bind(fd, local.data(), local.length()) != 0 || joined != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The H.264 stream from its first sequence parameter set: a client that joins a group takes the
// shared stream where it is, and what comes before a key picture cannot be decoded.
Bytes fromFirstSps(const Bytes& stream) {
    const std::vector<Bytes> nals = testkit::splitAnnexB(stream);
    auto sps = std::find_if(nals.begin(), nals.end(),
                            [](const Bytes& n) { return !n.empty() && (n[0] & 0x1F) == 7; });
    return testkit::joinAnnexB(std::vector<Bytes>(sps, nals.end()));
}

// Waits until the count of pictures in `got` (from its first parameter set) has reached `least` and
// not grown for 300 ms: the clip has ended.
bool waitForClipEnd(const Collector& got, size_t least, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t last = 0;
    auto grown = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
        const size_t n = pictureCount(VideoCodec::H264, fromFirstSps(got.stream()));
        if (n != last) {
            last = n;
            grown = std::chrono::steady_clock::now();
        } else if (n >= least && std::chrono::steady_clock::now() - grown > std::chrono::milliseconds(300)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

class CameraInteropMulticast : public ::testing::TestWithParam<MulticastNet> {};

}  // namespace

// Two clients of one process on one group: each gets every picture, bit for bit, and nothing from
// a sender that is not the camera; each leaves the group when disabled.
TEST_P(CameraInteropMulticast, TwoClientsOfOneGroupGetEveryPictureFromTheCameraOnly) {
    const MulticastNet n = GetParam();
    const std::string missing = GstRtspServer::missingDependency();
    if (!missing.empty()) GTEST_SKIP() << "GStreamer interoperability skipped: " << missing;
    const std::vector<std::string> pictures = decodeClip("h264_single_slice.264", VideoCodec::H264);
    testkit::TwoHostNet net;
    if (!net.why().empty()) GTEST_SKIP() << net.why();
    GstRtspServer gst;
    GstRtspServer::Options options;
    options.clip = clipPath("h264_single_slice.264");
    const bool ipv6 = strchr(n.camera, ':') != nullptr;
    options.address = ipv6 ? "::" : "0.0.0.0";
    options.multicast = std::string(n.group) + ":" + std::to_string(kGroupPort);
    ASSERT_TRUE(gst.start(options)) << "GStreamer RTSP server did not start";
    if (!net.viewers(gst.pid())) GTEST_SKIP() << net.why();
    const std::string host = ipv6 ? "[" + std::string(n.camera) + "]" : n.camera;
    const std::string url = "rtsp://" + host + ":" + std::to_string(gst.port()) + "/test";
    RtspClientOptions multicast = RtspClientOptions::mixedFleet();
    multicast.multicast = true;
    Collector first, second;
    RtspClient a(url, "", "", false, multicast), b(url, "", "", false, multicast);
    first.attach(a);
    second.attach(b);
    a.enable();
    const int sniffer = groupSocket(n.group, kGroupPort, n.group);
    b.enable();
    EXPECT_TRUE(a.connectStatus().connected && b.connectStatus().connected);
    EXPECT_TRUE(a.connectStatus().path == RtspPath::Multicast && a.connectStatus().ipv6 == ipv6);
    // A sender on the viewers' host, not the camera: the camera's own packet with a NAL unit of its
    // own, to the group.
    Bytes forged(12);
    pollfd p{sniffer, POLLIN, 0};
    ASSERT_TRUE(sniffer >= 0 && poll(&p, 1, 3000) == 1 && recv(sniffer, forged.data(), 12, 0) == 12);
    close(sniffer);
    const unsigned char sei[] = {0x06, 'F', 'O', 'R', 'G', 'E', 'D', 0x80};
    forged.insert(forged.end(), sei, sei + sizeof(sei));
    const int stranger = groupSocket(n.viewer, 0, nullptr);
    NetEndpoint to;
    NetEndpoint::parse(n.group, kGroupPort, &to);
    for (int i = 0; i < 5; ++i, ++forged[3])
        EXPECT_EQ(sendto(stranger, forged.data(), forged.size(), 0, to.data(), to.length()),
                  static_cast<ssize_t>(forged.size()));
    close(stranger);
    EXPECT_TRUE(waitForClipEnd(second, pictures.size(), 15000));
    const int joined = testkit::groupUsers(n.group);
    a.disable();
    EXPECT_EQ(joined, 4);  // the RTP and RTCP sockets of each client
    EXPECT_EQ(testkit::groupUsers(n.group), 2);
    b.disable();
    EXPECT_EQ(testkit::groupUsers(n.group), 0);
    gst.stop();

    // GStreamer starts its shared stream over at each PLAY (npt=0-): the second client's PLAY
    // restarts it for both, so each has the whole clip from there on, after what the group carried
    // before (for the second client: from its join, which may be a key picture in the clip's middle).
    const std::vector<std::string> firstGot = decode(first.stream(), VideoCodec::H264, "multicast_first.264");
    const std::vector<std::string> secondGot =
        decode(fromFirstSps(second.stream()), VideoCodec::H264, "multicast_second.264");
    ASSERT_GE(secondGot.size(), pictures.size());
    EXPECT_TRUE(std::equal(pictures.begin(), pictures.end(), secondGot.end() - pictures.size()));
    EXPECT_NE(
        std::search(pictures.begin(), pictures.end(), secondGot.begin(), secondGot.end() - pictures.size()),
        pictures.end())
        << "pictures before the restart that are not a run of the clip's";
    const std::vector<size_t> passes = clipPasses(firstGot, pictures);
    ASSERT_FALSE(passes.empty()) << "pictures that are not the clip's";
    EXPECT_EQ(passes.back(), pictures.size());
    for (const Collector* got : {&first, &second}) {
        const Bytes stream = got->stream();
        EXPECT_EQ(std::search(stream.begin(), stream.end(), sei + 1, sei + 7), stream.end()) << "forged";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Families, CameraInteropMulticast,
    ::testing::Values(MulticastNet{"Ipv4", "239.255.42.42", testkit::TwoHostNet::kCameraHost,
                                   testkit::TwoHostNet::kViewerHost},
                      MulticastNet{"Ipv6", "ff15::4242", testkit::TwoHostNet::kCameraHost6,
                                   testkit::TwoHostNet::kViewerHost6}),
    [](const testing::TestParamInfo<MulticastNet>& info) { return std::string(info.param.name); });

// A camera that does not send the stream by multicast: the attempt ends with its reason and a
// TEARDOWN, whether it answers 461 (GStreamer without an address pool) or unicast (the test camera).
TEST(CameraInteropMulticastRefusal, EndsTheAttemptWithItsReason) {
    const std::string missing = GstRtspServer::missingDependency();
    if (!missing.empty()) GTEST_SKIP() << "GStreamer interoperability skipped: " << missing;
    GstRtspServer gst;
    GstRtspServer::Options options;
    options.clip = clipPath("h264_single_slice.264");
    ASSERT_TRUE(gst.start(options)) << "GStreamer RTSP server did not start";
    CameraRig rig("h264_single_slice.264", VideoCodec::H264);
    ASSERT_TRUE(rig.started);
    RtspClientOptions multicast;
    multicast.multicast = true;
    for (const std::string& url : {gst.url(), rig.camera.url()}) {
        std::mutex mutex;
        std::vector<RtspStateEvent> events;
        LogCapture log;
        RtspClient client(url, "", "", false, multicast);
        client.setStateCallback([&](const RtspStateEvent& e) {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(e);
        });
        client.enable();
        client.disable();
        log.stop();
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_GE(events.size(), 2u) << url;
        EXPECT_EQ(events[1].state, RtspClientState::Failed) << url;
        EXPECT_EQ(events[1].reason, RtspClientReason::MulticastRefused) << url;
        const bool gstreamer = url == gst.url();
        EXPECT_EQ(events[1].rtspStatus, gstreamer ? 461 : 200) << url;
        EXPECT_EQ(log.errCount(gstreamer ? "refused multicast for the video track (461 Unsupported Transport)"
                                         : "refused multicast for the video track (a unicast answer)"),
                  1)
            << log.err;
    }
    EXPECT_EQ(rig.count("PLAY"), 0u);
    EXPECT_EQ(rig.count("TEARDOWN"), 1u);
}
