// What the application sees beyond the bytes: whole frames with timestamps and flags (the frame
// assembler fed as the depacketizers feed it, and RtspClient's frame callback against the test
// camera), and the statistics of sequence numbers, loss, jitter and rates.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "platform/frame_meta.h"
#include "rtsp_client.h"
#include "testkit/annexb.h"
#include "testkit/clip_streamer.h"
#include "testkit/rtp_packetizer.h"
#include "tests/client_test_support.h"
#include "tests/thread_wait.h"
#include "tests/unpack_test_support.h"
#include "units/frame_assembler.h"
#include "utils/rtp_statistics.h"

namespace {

using testkit::Bytes;
using testkit::VideoCodec;

// A frame as the test keeps it: the callback's bytes copied.
struct Got {
    Bytes bytes;
    RtspFrame frame;
};

using unpack_test::isKeyframe;

std::vector<Bytes> vclOf(const std::vector<Bytes>& nals) {
    std::vector<Bytes> out;
    for (const Bytes& nal : nals)
        if (testkit::isVcl(VideoCodec::H264, nal)) out.push_back(nal);
    return out;
}

std::vector<std::vector<Bytes>> accessUnits(const std::string& clip, VideoCodec codec) {
    return testkit::groupAccessUnits(codec, testkit::splitAnnexB(testkit::readClip(clip)));
}

// How the depacketizers mark their pieces.
enum class Marking {
    AccessUnitEnd,    // FrameMeta with the access unit's end marked (marker bit)
    TimestampChange,  // FrameMeta without end marks: a frame ends when the next timestamp begins
    None,             // no FrameMeta at all
};

// Feeds the access units to an assembler piece by piece as the depacketizers hand them on: every
// H.264 parameter set and SEI on its own and a picture's slices together, every H.265 NAL unit on
// its own. Access unit i has the extended timestamp firstTs + 3600 i; the units in `dropped` never
// arrive, and the piece after them carries `lostPackets` and is itself lossy (not complete).
std::vector<Got> assemble(VideoCodec codec, const std::vector<std::vector<Bytes>>& aus, Marking marking,
                          uint64_t firstTs, const std::set<size_t>& dropped = {}, uint32_t lostPackets = 0) {
    std::vector<Got> got;
    const RtspVideoCodec rtspCodec = codec == VideoCodec::H264 ? RtspVideoCodec::H264 : RtspVideoCodec::H265;
    FrameAssembler assembler([&](const RtspFrame& f) {
        got.push_back(Got{Bytes(f.data, f.data + f.size), f});
    });
    uint32_t lost = 0;
    for (size_t i = 0; i < aus.size(); ++i) {
        if (dropped.count(i) != 0) {
            lost = lostPackets;
            continue;
        }
        std::vector<Bytes> pieces;
        Bytes slices;
        for (const Bytes& nal : aus[i]) {
            Bytes piece = testkit::joinAnnexB({nal});
            if (codec == VideoCodec::H264 && testkit::isVcl(codec, nal))
                slices.insert(slices.end(), piece.begin(), piece.end());
            else
                pieces.push_back(piece);
        }
        if (!slices.empty()) pieces.push_back(slices);
        for (size_t p = 0; p < pieces.size(); ++p) {
            BufferInfo info{};
            if (marking != Marking::None) {
                FrameMeta meta;
                meta.rtpTimestamp = firstTs + 3600 * i;
                meta.flags =
                    FrameMeta::kValid | (lost > 0 ? 0u : static_cast<uint32_t>(FrameMeta::kComplete));
                if (marking == Marking::AccessUnitEnd && p + 1 == pieces.size())
                    meta.flags |= FrameMeta::kAccessUnitEnd;
                meta.lostBefore = lost;
                FrameMeta::store(info, meta);
            }
            lost = 0;
            assembler.push(rtspCodec, pieces[p].data(), pieces[p].size(), info,
                           1000 + static_cast<int64_t>(i));
        }
    }
    assembler.flush();
    return got;
}

TEST(FrameAssembler, EveryAccessUnitOfTheClipsArrivesOnceWholeWithItsKeyframeFlagAndTimestamp) {
    // Starting 3 pictures before the 32-bit wrap, so the timestamps run across it.
    const uint64_t firstTs = (uint64_t(1) << 32) - 3 * 3600;
    struct Clip {
        const char* name;
        VideoCodec codec;
    };
    for (const Clip& clip :
         {Clip{"h264_single_slice.264", VideoCodec::H264}, Clip{"h264_multi_slice.264", VideoCodec::H264},
          Clip{"h265.265", VideoCodec::H265}, Clip{"testcam_640x360.264", VideoCodec::H264}}) {
        std::vector<std::vector<Bytes>> aus = accessUnits(clip.name, clip.codec);
        ASSERT_GE(aus.size(), 30u);
        for (Marking marking : {Marking::AccessUnitEnd, Marking::TimestampChange, Marking::None}) {
            SCOPED_TRACE(std::string(clip.name) + " marking " + std::to_string(static_cast<int>(marking)));
            std::vector<Got> got = assemble(clip.codec, aus, marking, firstTs);
            ASSERT_EQ(got.size(), aus.size());
            for (size_t i = 0; i < aus.size(); ++i) {
                SCOPED_TRACE(i);
                EXPECT_EQ(got[i].bytes, testkit::joinAnnexB(aus[i]));
                EXPECT_EQ(got[i].frame.keyframe, isKeyframe(clip.codec, aus[i]));
                bool parameterSets = false;
                for (const Bytes& nal : aus[i]) {
                    int type = testkit::nalUnitType(clip.codec, nal);
                    parameterSets |= clip.codec == VideoCodec::H264 ? type == 7 : type == 32;
                }
                EXPECT_EQ(got[i].frame.parameterSets, parameterSets);
                EXPECT_EQ(got[i].frame.lostBefore, 0u);
                // Without FrameMeta nothing is known about timestamps or completeness.
                EXPECT_EQ(got[i].frame.hasRtpTimestamp, marking != Marking::None);
                EXPECT_EQ(got[i].frame.rtpTimestamp, marking == Marking::None ? 0 : firstTs + 3600 * i);
                EXPECT_EQ(got[i].frame.complete, marking != Marking::None);
                EXPECT_FALSE(got[i].frame.presentationFromSenderReport);
            }
        }
    }
}

// A frame callback set while a frame is gathered: that frame's first pieces were not kept, so it
// goes without data rather than with part of it (or a length past its bytes); the next is whole.
TEST(FrameAssembler, BytesKeptFromMidFrameOnAreNotHandedOverAsThatFrame) {
    std::vector<std::vector<Bytes>> aus = accessUnits("h265.265", VideoCodec::H265);
    ASSERT_GE(aus[0].size(), 2u);
    std::vector<RtspFrame> frames;
    std::vector<Bytes> bytes;
    FrameAssembler assembler([&](const RtspFrame& f) {
        frames.push_back(f);
        bytes.push_back(f.data != nullptr ? Bytes(f.data, f.data + f.size) : Bytes());
    });
    assembler.setKeepBytes(false);
    for (size_t i = 0; i < 3; ++i) {
        for (size_t p = 0; p < aus[i].size(); ++p) {
            if (i == 0 && p == 1) assembler.setKeepBytes(true);
            Bytes piece = testkit::joinAnnexB({aus[i][p]});
            BufferInfo info{};
            FrameMeta meta;
            meta.rtpTimestamp = 3600 * i;
            meta.flags = FrameMeta::kValid | FrameMeta::kComplete |
                         (p + 1 == aus[i].size() ? static_cast<uint32_t>(FrameMeta::kAccessUnitEnd) : 0u);
            FrameMeta::store(info, meta);
            assembler.push(RtspVideoCodec::H265, piece.data(), piece.size(), info, 0);
        }
    }
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].data, nullptr);
    EXPECT_EQ(frames[0].size, testkit::joinAnnexB(aus[0]).size());
    EXPECT_EQ(bytes[1], testkit::joinAnnexB(aus[1]));
    EXPECT_EQ(bytes[2], testkit::joinAnnexB(aus[2]));
}

// The frame after the gap (access unit 10: VPS, SPS, PPS, SEI, IDR) begins with a lossy piece
// that whole ones follow: it is incomplete all the same. Without end marks the frame before the
// gap is too: what was lost may have been its end.
TEST(FrameAssembler, PacketsLostBeforeAFrameAreCountedOnThatFrameOnly) {
    std::vector<std::vector<Bytes>> aus = accessUnits("h265.265", VideoCodec::H265);
    ASSERT_EQ(aus[10].size(), 5u);
    for (Marking marking : {Marking::AccessUnitEnd, Marking::TimestampChange}) {
        std::vector<Got> got = assemble(VideoCodec::H265, aus, marking, 1000, {8, 9}, 7);
        ASSERT_EQ(got.size(), aus.size() - 2);
        for (size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(got[i].frame.lostBefore, i == 8 ? 7u : 0u);
            EXPECT_EQ(got[i].frame.complete, i != 8 && (i != 7 || marking == Marking::AccessUnitEnd));
            EXPECT_EQ(got[i].frame.rtpTimestamp, 1000 + 3600 * (i < 8 ? i : i + 2));
        }
    }
}

TEST(FrameAssembler, PresentationTimeFollowsTheSenderReportAcrossTheWrapAndIgnoresZeroOrBackwardReports) {
    RtcpSenderClock clock;
    clock.valid = true;
    // 2026-12-06 12:00:00.5 UTC in NTP form, at RTP timestamp 0xFFFFF000.
    const int64_t unixSeconds = 1796558400;
    clock.ntp = (uint64_t(unixSeconds + 2208988800LL) << 32) | 0x80000000u;
    clock.rtpTimestamp = 0xFFFFF000u;
    const int64_t reportNs = unixSeconds * 1000000000LL + 500000000LL;
    // 0x2000 ticks later, past the wrap; and one second before the report.
    EXPECT_EQ(FrameAssembler::wallClockNs(clock, (uint64_t(1) << 32) + 0x1000, 90000),
              reportNs + 0x2000 * 1000000000LL / 90000);
    EXPECT_EQ(FrameAssembler::wallClockNs(clock, 0xFFFFF000u - 90000, 90000), reportNs - 1000000000LL);

    std::vector<RtspFrame> frames;
    FrameAssembler assembler([&](const RtspFrame& f) { frames.push_back(f); });
    assembler.setSenderClock(clock);
    const Bytes idr = {0, 0, 0, 1, 0x65, 0x88, 0x84};
    BufferInfo info{};
    FrameMeta meta;
    meta.rtpTimestamp = (uint64_t(1) << 32) + 0x1000;
    meta.flags = FrameMeta::kValid | FrameMeta::kComplete | FrameMeta::kAccessUnitEnd;
    FrameMeta::store(info, meta);
    assembler.push(RtspVideoCodec::H264, idr.data(), idr.size(), info, 5);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].presentationFromSenderReport);
    EXPECT_EQ(frames[0].presentationNs, reportNs + 0x2000 * 1000000000LL / 90000);
    EXPECT_EQ(frames[0].arrivalNs, 5);
    EXPECT_TRUE(frames[0].keyframe);

    // A report with NTP time 0 or one that goes back a second is no clock: the mapping stays.
    RtcpSenderClock zero = clock, back = clock;
    zero.ntp = 0;
    back.ntp -= uint64_t(1) << 32;
    for (const RtcpSenderClock& bad : {zero, back}) {
        assembler.setSenderClock(bad);
        assembler.push(RtspVideoCodec::H264, idr.data(), idr.size(), info, 6);
        EXPECT_EQ(frames.back().presentationNs, reportNs + 0x2000 * 1000000000LL / 90000);
    }
    // Without any report the picture is timed by its arrival, never by an NTP time of 0.
    FrameAssembler fresh([&](const RtspFrame& f) { frames.push_back(f); });
    fresh.setSenderClock(zero);
    fresh.push(RtspVideoCodec::H264, idr.data(), idr.size(), info, 7);
    EXPECT_FALSE(frames.back().presentationFromSenderReport);
    EXPECT_GT(frames.back().presentationNs, reportNs - 365 * 86400 * 1000000000LL);
}

// RTP packets of 1000 bytes, 25 pictures a second, each picture two packets.
struct PacketFeed {
    RtpStatistics stats;
    int64_t now = 1000000000LL;
    void packet(uint16_t seq, uint32_t ts, int64_t offsetNs = 0, uint32_t ssrc = 0x51C0FFEE) {
        Bytes p = testkit::makeRtpPacket(seq, ts, false, Bytes(988, 0x41), 96, ssrc);
        stats.onPacket(p.data(), p.size(), now + offsetNs);
    }
};

TEST(RtpStatistics, LossDuplicatesAndReorderingAcrossTheSequenceWrap) {
    PacketFeed feed;
    // 65530 .. 65535, 0 .. 9: 2 is lost, 4 comes twice, 7 arrives after 8.
    for (uint16_t seq : {65530, 65531, 65532, 65533, 65534, 65535, 0, 1, 3, 4, 4, 5, 6, 8, 7, 9})
        feed.packet(seq, 3600u * (static_cast<uint16_t>(seq - 65530) / 2));
    // Received, bytes, lost, duplicate, out of order.
    auto counts = [&] {
        RtspStatistics s = feed.stats.snapshot(feed.now);
        return std::vector<uint64_t>{s.packetsReceived, s.bytesReceived, s.packetsLost, s.packetsDuplicate,
                                     s.packetsOutOfOrder};
    };
    EXPECT_EQ(counts(), (std::vector<uint64_t>{16, 16000, 1, 1, 1}));
    // A late copy of a packet already counted is a duplicate, not a second late arrival.
    feed.packet(7, 3600 * 4);
    EXPECT_EQ(counts(), (std::vector<uint64_t>{17, 17000, 1, 2, 1}));
    // A new session (new SSRC, sequence elsewhere) is no loss; a gap in it is.
    feed.stats.newSession();
    feed.packet(30000, 0, 0, 0x1234);
    feed.packet(30002, 3600, 0, 0x1234);
    EXPECT_EQ(counts(), (std::vector<uint64_t>{19, 19000, 2, 2, 1}));
}

TEST(RtpStatistics, JitterAndRatesOverTheLastSeconds) {
    PacketFeed feed;
    // Pictures 40 ms apart, arriving alternately 10 ms early and on time: |D| is 900 ticks
    // (10 ms at 90 kHz) for every picture's first packet and 0 for the second.
    for (int i = 0; i < 150; ++i) {
        int64_t offset = (i % 2) * 10000000LL;
        feed.now = 1000000000LL + i * 40000000LL;
        feed.packet(static_cast<uint16_t>(2 * i), 3600u * i, offset);
        feed.packet(static_cast<uint16_t>(2 * i + 1), 3600u * i, offset);
        if (i % 10 != 0) feed.stats.onFrame(feed.now);  // every tenth picture is dropped
    }
    RtspStatistics s = feed.stats.snapshot(feed.now);
    // RFC 3550 A.8 settles where |D| - J averages 0: J = 900 / 2 ticks per packet pair.
    EXPECT_NEAR(s.jitterMs, 5.0, 0.5);
    EXPECT_NEAR(s.bitRate, 50 * 1000 * 8, 50 * 1000 * 8 * 0.1);
    EXPECT_NEAR(s.frameRate, 22.5, 2.5);
    EXPECT_EQ(s.framesDelivered, 135u);
    EXPECT_EQ(s.packetsLost, 0u);
    // The camera restarts its stream within the session: a new SSRC, timestamps far off, sequence
    // numbers close by. A new run, so neither loss nor a transit jump in the jitter.
    feed.now += 40000000LL;
    feed.packet(310, 0x70000000u, 0, 0xBEEF);
    feed.packet(311, 0x70000000u, 0, 0xBEEF);
    RtspStatistics after = feed.stats.snapshot(feed.now);
    EXPECT_NEAR(after.jitterMs, s.jitterMs * 15 / 16, 0.01);
    EXPECT_EQ(after.packetsLost, 0u);
}

// One pass of a clip from the test camera through RtspClient: the frame callback beside the data
// callback, over TCP and UDP.
struct Transport {
    bool tcp;
    double dropShare;  // of the camera's packets
};
class FrameCallbackTest : public ::testing::TestWithParam<Transport> {};

TEST_P(FrameCallbackTest, ClientHandsOverEveryAccessUnitOfTheClipOnceWithItsFlags) {
    const bool tcp = GetParam().tcp;
    const bool lossy = GetParam().dropShare > 0;
    std::vector<std::vector<Bytes>> aus = accessUnits("testcam_640x360.264", VideoCodec::H264);
    // At 50 pictures a second (the SPS says 25): one RTP clock step of 1800 a picture.
    constexpr uint32_t kStep = 1800;
    testkit::ClipStreamerOptions options = client_test::CameraRig::loopOptions();
    options.fps = 90000.0 / kStep;
    options.senderReportIntervalMs = 200;
    options.dropShare = GetParam().dropShare;
    client_test::CameraRig rig("testcam_640x360.264", VideoCodec::H264, options);
    ASSERT_TRUE(rig.started);

    std::mutex mutex;
    std::vector<Got> got;
    std::vector<int64_t> wallAtCallback;
    std::set<std::thread::id> threads;
    std::atomic<size_t> dataPieces{0};
    std::atomic<bool> disabled{false};
    std::atomic<int> afterDisable{0};
    const size_t wanted = lossy ? 60 : 36;  // enough pictures for some to lose a packet
    {
        RtspClient client(rig.camera.url(), "", "", tcp, RtspClientOptions::mixedFleet());
        client.setDataCallback([&](unsigned char*, unsigned long) { ++dataPieces; });
        client.setFrameCallback([&](const RtspFrame& f) {
            if (disabled) ++afterDisable;
            int64_t wall = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
            std::lock_guard<std::mutex> lock(mutex);
            got.push_back(Got{Bytes(f.data, f.data + f.size), f});
            wallAtCallback.push_back(wall);
            threads.insert(std::this_thread::get_id());
        });
        EXPECT_EQ(client.streamInfo().width, 0u);
        client.enable();
        RtspStreamInfo info;
        // Stream info polled from this thread while the receive thread updates it.
        thread_wait::waitUntil(
            [&] {
                info = client.streamInfo();
                std::lock_guard<std::mutex> lock(mutex);
                return got.size() >= wanted;
            },
            15000);
        client.disable();
        EXPECT_EQ(info.codec, RtspVideoCodec::H264);
        EXPECT_EQ(info.width * 10000 + info.height, 6400360u);
        EXPECT_EQ(info.profile, 77u);
        EXPECT_TRUE(info.fpsFromSps);
        EXPECT_NEAR(info.fps, 25, 0.01);
        EXPECT_EQ(client.streamInfo().width, 640u) << "kept after disable()";
        disabled = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(afterDisable.load(), 0);
        RtspStatistics stats = client.statistics();
        EXPECT_EQ(stats.state, RtspClientState::Stopped);
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(stats.framesDelivered, got.size());
        EXPECT_GT(dataPieces.load(), got.size());
        // Pictures that lost packets are dropped by the depacketizer and counted.
        if (lossy) {
            EXPECT_GT(stats.framesIncomplete, 0u);
        } else {
            EXPECT_EQ(stats.framesIncomplete, 0u);
        }
    }
    rig.camera.stop();

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GE(got.size(), wanted);
    // Every PLAY starts the clip at its first picture, at RTP timestamp 0; with loss some pictures
    // are missing, and the frame after them counts the packets lost.
    uint32_t lost = 0;
    for (size_t i = 0, au = 0; i < got.size(); ++i, ++au) {
        SCOPED_TRACE(i);
        if (lossy) au = static_cast<size_t>(got[i].frame.rtpTimestamp / kStep);
        const std::vector<Bytes>& source = aus[au % aus.size()];
        if (lossy && got[i].frame.lostBefore > 0) {
            // A lost parameter set or SEI packet leaves the picture whole; its slices must be the source's.
            ASSERT_EQ(vclOf(testkit::splitAnnexB(got[i].bytes)), vclOf(source)) << au;
        } else {
            ASSERT_EQ(got[i].bytes, testkit::joinAnnexB(source)) << au;
        }
        EXPECT_EQ(got[i].frame.codec, RtspVideoCodec::H264);
        EXPECT_EQ(got[i].frame.keyframe, isKeyframe(VideoCodec::H264, source));
        lost += got[i].frame.lostBefore;
        if (!lossy) {
            EXPECT_EQ(got[i].frame.lostBefore, 0u);
        } else if (i > 0 && got[i].frame.rtpTimestamp != got[i - 1].frame.rtpTimestamp + kStep) {
            EXPECT_GT(got[i].frame.lostBefore, 0u) << "right after a missing picture";
        }
        if (i > 0) {
            EXPECT_GE(got[i].frame.arrivalNs, got[i - 1].frame.arrivalNs);
        }
    }
    EXPECT_EQ(lost > 0, lossy);
    // The frames come on the library's thread, never on the one that enabled the client.
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);

    // Timestamps from the depacketizer; wall-clock time from the camera's sender reports once the
    // receiver reports its sender clock (until then every frame is on arrival time).
    ASSERT_TRUE(got[0].frame.hasRtpTimestamp);
    for (size_t i = 1; i < got.size(); ++i) {
        if (!lossy) {
            EXPECT_EQ(got[i].frame.rtpTimestamp - got[i - 1].frame.rtpTimestamp, kStep) << i;
        }
        EXPECT_TRUE(got[i].frame.complete);
        // The camera reports every 200 ms: the second half of the clip is timed by its clock.
        if (i >= got.size() / 2) {
            EXPECT_TRUE(got[i].frame.presentationFromSenderReport) << i;
        }
        // The camera's wall clock, which sent the picture a moment before it arrived. The exact
        // mapping is checked above with a known clock; here the bound only has to tell a right
        // mapping (milliseconds of transit and scheduling, more on a loaded or emulated machine)
        // from a wrong one (seconds off: another epoch, clock rate or unit).
        EXPECT_NEAR(static_cast<double>(wallAtCallback[i] - got[i].frame.presentationNs), 0, 250e6) << i;
    }
}

// A reconnect is a new session: its frames say so, loss is counted within it (the camera numbers
// the new session's packets from elsewhere), and an outage with a failed attempt is one reconnect.
TEST(FrameCallbackSessions, AReconnectStartsANewSessionWithoutCarriedLossAndCountsOnce) {
    client_test::ScopedTimeConstants quick(300, 1000);
    testkit::ClipStreamerOptions options = client_test::CameraRig::loopOptions();
    options.fps = 50;
    options.closeAfterMs = 300;
    client_test::CameraRig rig("testcam_640x360.264", VideoCodec::H264, options);
    ASSERT_TRUE(rig.started);
    testkit::ClipStreamerOptions elsewhere = options;
    elsewhere.closeAfterMs = 0;
    elsewhere.firstSeq = 20000;
    testkit::ClipStreamer next(VideoCodec::H264, rig.clip, elsewhere);

    std::mutex mutex;
    std::vector<RtspFrame> got;
    RtspClient client(rig.camera.url(), "", "", true, RtspClientOptions::mixedFleet());
    client.setFrameCallback([&](const RtspFrame& f) {
        std::lock_guard<std::mutex> lock(mutex);
        got.push_back(f);
    });
    client.enable();
    auto seen = [&](size_t count, uint32_t session) {
        return thread_wait::waitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(mutex);
                return got.size() >= count && got.back().session >= session;
            },
            15000);
    };
    ASSERT_TRUE(seen(1, 1));
    // The connection closes 0.3 s after PLAY (15 pictures); the first attempt after it is refused.
    rig.camera.setStreamerFactory(next.factory());
    CameraReply refused;
    refused.status = 503;
    rig.camera.queueReply("DESCRIBE", refused);
    ASSERT_TRUE(seen(30, 2));
    client.disable();
    RtspStatistics stats = client.statistics();
    EXPECT_EQ(stats.reconnects, 1u);
    EXPECT_GE(client.connectStatus().attempts, 3u);
    EXPECT_EQ(stats.packetsLost, 0u);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(got.front().session, 1u);
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].lostBefore, 0u);
        if (i > 0) {
            EXPECT_GE(got[i].session, got[i - 1].session);
        }
    }
    EXPECT_EQ(got.back().session, 2u);
}

INSTANTIATE_TEST_SUITE_P(Transports, FrameCallbackTest,
                         ::testing::Values(Transport{true, 0}, Transport{false, 0}, Transport{true, 0.05}),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return std::string(info.param.tcp ? "Tcp" : "Udp") +
                                    (info.param.dropShare > 0 ? "WithLoss" : "");
                         });

}  // namespace
