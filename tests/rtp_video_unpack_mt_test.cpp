// The depacketizers with more than one thread: the application reads stream information while
// packets flow, and units fed through their input queue are destroyed with work still queued.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "testkit/unit_probes.h"
#include "tests/unpack_test_support.h"
#include "units/unit_rtp_video_unpack_ex.h"

using namespace unpack_test;

namespace {

std::vector<Bytes> clipPackets() {
    testkit::RtpPacketizerConfig config;
    config.mtu = 600;
    return testkit::RtpPacketizer(config).packetizeStream(readClip("h264_single_slice.264"));
}

}  // namespace

TEST(VideoUnpackThreads, ParameterSetsReadWhilePacketsFlowAreAlwaysWhole) {
    // Two SPS versions alternate; a reader must only ever see one of them, whole.
    const Bytes spsA = {0x67, 0x42, 0x00, 0x1F, 0xAA, 0xAA, 0xAA};
    const Bytes spsB = {0x67, 0x64, 0x00, 0x28, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB};
    const Bytes pps = {0x68, 0xCE, 0x3C, 0x80};
    testkit::CollectingSink sink;
    RtpVideoUnpackExUnitSM unit;
    unit.addOutputUnit(&sink.unit(), true);
    IH264Interfaces interfaces = unit.getInterfaces();
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done.load()) {
            auto sps = interfaces.getSps();
            auto extra = interfaces.getExtra();
            if (sps) {
                Bytes got(static_cast<uint8_t*>(sps->getVaddr()),
                          static_cast<uint8_t*>(sps->getVaddr()) + sps->length);
                if (got != spsA && got != spsB) ++torn;
                ++reads;
            }
            if (extra && extra->length != 4 + spsA.size() + 4 + pps.size() &&
                extra->length != 4 + spsB.size() + 4 + pps.size() && extra->length != 4 + spsA.size() &&
                extra->length != 4 + spsB.size()) {
                ++torn;
            }
            interfaces.getSei();
            unit.getDebugInfo();
        }
    });
    Feeder feed(&unit);
    feed.payload(spsA);
    for (int i = 0; i < 20000 || reads.load() < 100; ++i) {
        feed.payload(i % 2 ? spsA : spsB);
        feed.payload(pps);
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GE(reads.load(), 100);
}

TEST(VideoUnpackThreads, QueuedPacketsAreDepacketizedOnTheWorkerAndDestructionStopsIt) {
    std::vector<Bytes> packets = clipPackets();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        testkit::CollectingSink sink;
        ProbeSourceEM source("SOURCE", UNIT_DATA_RTP_VIDEO, 1);
        auto* unit = new RtpH264UnpackUnitSM;
        source.addOutputUnit(unit, true);
        unit->addOutputUnit(&sink.unit(), true);
        unit->enable();
        uint16_t seq = 0;
        for (const Bytes& p : packets) {
            Bytes copy = p;
            copy[2] = static_cast<uint8_t>(seq >> 8);
            copy[3] = static_cast<uint8_t>(seq++);
            auto buffer = testkit::makePacketBuffer(copy);
            source.transmitTo_async(buffer, buffer->length, UNIT_DATA_RTP_VIDEO, 0);
        }
        if (round == 0) {
            // Let the worker finish: the whole clip but the pending last picture arrives.
            for (int i = 0; i < 2000 && sink.count() < 36; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(sink.count(), 36u);
        }
        // Round 1 destroys the unit while the worker may still be busy with queued packets.
        delete unit;
        source.MasterOutput::units.clear();
    }
}

TEST(VideoUnpackThreads, SessionChangesFlushesAndCountersFromOtherThreadsWhilePacketsFlow) {
    // The session thread starts new sessions and flushes, the application reads the counters and
    // disables, while the packet thread delivers: every buffer stays whole Annex-B.
    std::vector<Bytes> packets = clipPackets();
    testkit::CollectingSink sink;
    RtpVideoUnpackExUnitSM unit;
    unit.setOptions(RtspClientOptions::mixedFleet());
    unit.addOutputUnit(&sink.unit(), true);
    RtspSessionInfo session;
    session.encoding = "H264";
    session.parameterSets = {{0x67, 0x42, 0x00, 0x1F}, {0x68, 0xCE, 0x3C, 0x80}};
    unit.newSession(session);
    std::atomic<bool> done{false};
    std::atomic<int> broken{0};
    std::thread other([&] {
        uint64_t delivered = 0;
        while (!done.load()) {
            unit.newSession(session);
            unit.flush();
            if (!unit.checkInvariants()) ++broken;
            if (unit.framesDelivered() < delivered) ++broken;  // a counter never goes back
            delivered = unit.framesDelivered();
            unit.disable();
            std::this_thread::yield();
        }
    });
    Feeder feed(&unit);
    for (int round = 0; round < 20; ++round)
        for (const Bytes& p : packets) feed.packet(p);
    done = true;
    other.join();
    EXPECT_EQ(broken.load(), 0);
    EXPECT_GT(unit.framesDelivered(), 0u);
    for (const auto& d : sink.deliveries()) {
        ASSERT_GE(d.data.size(), 5u);
        EXPECT_EQ(Bytes(d.data.begin(), d.data.begin() + 4), (Bytes{0, 0, 0, 1}));
    }
}
