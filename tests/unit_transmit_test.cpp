// Synchronous push, pull, the callback sink and the notification walk. Queued transmits are in
// unit_transmit_mt_test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <tuple>

#include "testkit/unit_probes.h"
#include "units/unit.h"
#include "units/unit_callback_endpoint.h"

using ::testing::ContainsRegex;

namespace {
std::shared_ptr<QelBuffer> makeBuffer(unsigned long size) {
    return QelBuffer::createMallocBuffer(size, nullptr);
}
}  // namespace

// A source linked two ways to three enabled receivers: A and B take video RTP, C takes anything.
class TransmitTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto* unit : {&a, &b, &c}) {
            src.addOutputUnit(unit, true);
            unit->enable();
        }
    }

    ProbeLog log;
    ProbeSourceEM src{"SRC", UNIT_DATA_ANY, 3, &log};
    ProbeSinkSE a{"A", UNIT_DATA_RTP_VIDEO, 1, UNIT_DATA_ANY, 1, 11, &log};
    ProbeSinkSE b{"B", UNIT_DATA_RTP_VIDEO, 1, UNIT_DATA_ANY, 1, 22, &log};
    ProbeSinkSE c{"C", UNIT_DATA_ANY, 1, UNIT_DATA_ANY, 1, 33, &log};
};

TEST_F(TransmitTest, ByIndexReachesOnlyThatUnitWithTheSameBuffer) {
    auto buffer = makeBuffer(100);
    EXPECT_EQ(src.transmitTo(buffer, 60, 1, 9), 22u);
    ASSERT_EQ(log.received, std::vector<std::string>{"B"});
    // The receiver gets the very buffer that was sent.
    auto call = b.calls().at(0);
    EXPECT_EQ(call.buffer, buffer);
    EXPECT_EQ(call.length, 60u);
    EXPECT_EQ(call.param, 9);
}

TEST_F(TransmitTest, NullBufferOrUnknownIndexLogsAndSendsNothing) {
    const std::string null =
        "W/: \\(_transmitTo in unit\\.cpp:[0-9]+\\): transmitTo buffer is null, skip\\.\n";
    const std::string unknown = "E/: \\(_transmitTo in unit\\.cpp:[0-9]+\\): transmitTo unknown index ";
    const std::tuple<bool, int, std::string> cases[] = {
        {false, -1, null},          {false, 0, null},
        {false, 7, null},           {false, int(UNIT_DATA_ANY), null},
        {true, 3, unknown + "3\n"}, {true, -2, unknown + "-2\n"}};
    for (const auto& [withBuffer, index, message] : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(src.transmitTo(withBuffer ? makeBuffer(4) : nullptr, 4, index, 0), 0u);
        EXPECT_THAT(testing::internal::GetCapturedStderr(), ContainsRegex(message)) << index;
    }
    EXPECT_TRUE(log.received.empty());
}

TEST_F(TransmitTest, ToAllSkipsDisabledUnitsAndReturnsTheLastResult) {
    b.disable();
    EXPECT_EQ(src.transmitTo(makeBuffer(8), 8, -1, 0), 33u);
    // A disabled target of a by-index transmit gets nothing.
    EXPECT_EQ(src.transmitTo(makeBuffer(8), 8, 1, 0), 0u);
    EXPECT_EQ(log.received, (std::vector<std::string>{"A", "C"}));
}

TEST_F(TransmitTest, ByDataTypeReachesOnlyMatchingInputs) {
    EXPECT_EQ(src.transmitTo(makeBuffer(8), 8, UNIT_DATA_RTP_AUDIO, 0), 33u);
    EXPECT_EQ(log.received, std::vector<std::string>{"C"});
    log.received.clear();
    c.disable();
    EXPECT_EQ(src.transmitTo(makeBuffer(8), 8, UNIT_DATA_RTP_AUDIO, 0), 0u);
    EXPECT_TRUE(log.received.empty());
    EXPECT_EQ(src.transmitTo(makeBuffer(8), 8, UNIT_DATA_RTP_VIDEO, 5), 22u);
    EXPECT_EQ(log.received, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(a.calls().at(0).param, 5);
}

TEST(TransmitLinkTest, InputIndexIsTheSendersPositionOrMinusOne) {
    ProbeSourceEM first("FIRST", UNIT_DATA_ANY, 1), second("SECOND", UNIT_DATA_ANY, 1);
    ProbeSinkSE sink("SINK", UNIT_DATA_ANY, 2, UNIT_DATA_ANY, 1, 0);
    sink.enable();
    first.addOutputUnit(&sink, true);
    second.addOutputUnit(&sink, false);  // one way: the sink does not list it
    first.transmitTo(makeBuffer(4), 4, 0, 0);
    second.transmitTo(makeBuffer(4), 4, 0, 0);
    auto calls = sink.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].inputIndex, 0);
    EXPECT_EQ(calls[1].inputIndex, -1);
}

TEST(CallbackEndpointTest, CallbackGetsBlockAddressTransmittedLengthAndIntegers) {
    ProbeSourceEM first("FIRST", UNIT_DATA_ANY, 1), second("SECOND", UNIT_DATA_ANY, 1);
    CallBackEndpointUnitSE sink;
    first.addOutputUnit(&sink, true);
    second.addOutputUnit(&sink, true);
    sink.enable();
    auto buffer = makeBuffer(100);
    // Without a callback nothing is taken.
    EXPECT_EQ(second.transmitTo(buffer, 8, 0, 0), 0u);
    std::vector<std::tuple<void*, unsigned long, int, int>> seen;
    sink.callback = [&seen](unsigned char* data, unsigned long length, int inputIndex, int param) {
        seen.emplace_back(data, length, inputIndex, param);
        return length * 2;
    };
    // The sender's length, not the buffer's field, reaches the callback; the input index is the
    // sender's place in the sink's input list.
    EXPECT_EQ(second.transmitTo(buffer, 40, 0, 7), 80u);
    EXPECT_EQ(first.transmitTo(buffer, 3, UNIT_DATA_H26X, -4), 6u);
    EXPECT_EQ(seen, (std::vector<std::tuple<void*, unsigned long, int, int>>{
                        {buffer->getVaddr(), 40, 1, 7}, {buffer->getVaddr(), 3, 0, -4}}));
}

TEST(TransmitDeathTest, TransmitToANonSlaveInputAborts) {
    // Master to endpoint passes linking but cannot carry data.
    ProbeSourceEM src("SRC", UNIT_DATA_ANY, 1), other("OTHER", UNIT_DATA_ANY, 1);
    src.addOutputUnit(&other, false);
    other.enable();
    EXPECT_DEATH(src.transmitTo(makeBuffer(4), 4, -1, 0),
                 "E/: \\(slaveInputOf in unit\\.cpp:[0-9]+\\): transmitTo wrong type !\n");
}

TEST(NotifyWalkTest, SinkBehindTwoSourcelessUnitsNotifiesThemInListOrder) {
    ProbeLog log;
    ProbeUnitSM h264("H264", UNIT_DATA_RTP_VIDEO, 1, UNIT_DATA_H26X, 5, 0, &log);
    ProbeUnitSM h265("H265", UNIT_DATA_RTP_VIDEO, 1, UNIT_DATA_H26X, 5, 0, &log);
    ProbeSinkSE sink("SINK", UNIT_DATA_ANY, 10, UNIT_DATA_ANY, 1, 0, &log);
    h264.addOutputUnit(&sink, true);
    h265.addOutputUnit(&sink, true);
    EXPECT_FALSE(sink.notifyLastUnits(false));
    EXPECT_FALSE(sink.notifyLastUnit(true, 1));
    EXPECT_FALSE(sink.notifyLastUnit(true, 2));
    EXPECT_FALSE(sink.notifyLastUnit(true, -1));
    EXPECT_EQ(log.notified, (std::vector<std::string>{"H264", "H265", "H265"}));
}

// An output whose onNotifyFromNext reports true, to see the results combined.
class AnsweringSourceEM : public ProbeSourceEM {
public:
    using ProbeSourceEM::ProbeSourceEM;
    bool onNotifyFromNext(bool flag) override { return flag; }
};

// The answering branch comes first: a walk that stopped once a branch answered would not reach the
// source two levels up the second branch.
TEST(NotifyWalkTest, EveryBranchIsNotifiedSourcesFirstAndTheResultIsTheirOr) {
    ProbeLog log;
    AnsweringSourceEM answering("ANSWERING", UNIT_DATA_ANY, 1, &log);
    ProbeSourceEM src("SRC", UNIT_DATA_ANY, 1, &log);
    ProbeUnitSM mid("MID", UNIT_DATA_ANY, 1, UNIT_DATA_ANY, 1, 0, &log);
    ProbeSinkSE sink("SINK", UNIT_DATA_ANY, 2, UNIT_DATA_ANY, 1, 0, &log);
    answering.addOutputUnit(&sink, true);
    src.addOutputUnit(&mid, true);
    mid.addOutputUnit(&sink, true);
    EXPECT_TRUE(sink.notifyLastUnits(true));
    EXPECT_EQ(log.notified, (std::vector<std::string>{"ANSWERING", "SRC", "MID"}));
    EXPECT_FALSE(sink.notifyLastUnits(false));
    EXPECT_TRUE(sink.notifyLastUnit(true, 0));
    EXPECT_FALSE(sink.notifyLastUnit(true, 1));
}

TEST(NotifyWalkDeathTest, UpstreamOutputNotOfMasterKindAborts) {
    ProbeLog log;
    ProbeSinkSE upper("UPPER", UNIT_DATA_ANY, 1, UNIT_DATA_ANY, 1, 0, &log);
    ProbeSinkSE lower("LOWER", UNIT_DATA_ANY, 1, UNIT_DATA_ANY, 1, 0, &log);
    upper.addOutputUnit(&lower, true);            // endpoint output to slave input links
    EXPECT_FALSE(lower.notifyLastUnit(true, 0));  // the single-unit form refuses quietly
    EXPECT_TRUE(log.notified.empty());
    EXPECT_DEATH(lower.notifyLastUnits(true), "notifyLastUnits wrong type !\n");
}

// Pull path: a MasterInput pulls from an output of slave kind.
// Offers its queued buffers for pulling, one per call, and records who pulled.
class PullSourceES : public Unit<EndpointInput, SlaveOutput> {
public:
    PullSourceES(const char* name, UnitDataType type) : Unit(name, UNIT_DATA_ANY, 0, type, 2) {}
    std::shared_ptr<QelBuffer> onTransmitOut(unsigned long* length, int outputIndex) override {
        pulledBy.push_back(outputIndex);
        if (ready.empty()) {
            *length = 0;
            return nullptr;
        }
        auto buffer = ready.front();
        ready.pop_front();
        *length = buffer->length;
        return buffer;
    }
    std::deque<std::shared_ptr<QelBuffer>> ready;
    std::vector<int> pulledBy;
};

class PullerME : public Unit<MasterInput, EndpointOutput> {
public:
    PullerME() : Unit("PULLER", UNIT_DATA_ANY, 2, UNIT_DATA_ANY, 1) {}
};

class PullTest : public ::testing::Test {
protected:
    void SetUp() override {
        video.addOutputUnit(&puller, true);
        h26x.addOutputUnit(&puller, true);
        video.enable();
        h26x.enable();
    }
    PullSourceES video{"VIDEO", UNIT_DATA_RTP_VIDEO};
    PullSourceES h26x{"H26X", UNIT_DATA_H26X};
    PullerME puller;
};

TEST_F(PullTest, PullByIndexReturnsTheBufferAndItsLengthFromEnabledUnits) {
    auto buffer = makeBuffer(50);
    buffer->length = 20;
    h26x.ready.push_back(buffer);
    unsigned long length = 999;
    EXPECT_EQ(puller.transmitFrom(&length, 1), buffer);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(h26x.pulledBy, std::vector<int>{0});
    // Nothing left.
    EXPECT_EQ(puller.transmitFrom(&length, 1), nullptr);
    EXPECT_EQ(length, 0u);
    // A disabled unit is not asked.
    video.ready.push_back(makeBuffer(8));
    video.disable();
    length = 999;
    EXPECT_EQ(puller.transmitFrom(&length, 0), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(video.pulledBy.empty());
}

TEST_F(PullTest, PullByDataTypeAsksTheFirstMatchingUnit) {
    auto v = makeBuffer(8), h = makeBuffer(9);
    video.ready.push_back(v);
    h26x.ready.push_back(h);
    unsigned long length = 0;
    EXPECT_EQ(puller.transmitFrom(&length, UNIT_DATA_H26X), h);
    EXPECT_EQ(length, 9u);
    EXPECT_EQ(puller.transmitFrom(&length, UNIT_DATA_ANY), v);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(puller.transmitFrom(&length, UNIT_DATA_RTP_AUDIO), nullptr);
    EXPECT_EQ(length, 0u);
    // The first match decides even when it is disabled.
    video.ready.push_back(makeBuffer(8));
    video.disable();
    EXPECT_EQ(puller.transmitFrom(&length, UNIT_DATA_ANY), nullptr);
}

using PullDeathTest = PullTest;

TEST_F(PullDeathTest, WiringErrorsAbort) {
    unsigned long length = 0;
    EXPECT_DEATH(puller.transmitFrom(&length, 2),
                 "E/: \\(transmitFrom in unit\\.cpp:[0-9]+\\): index 2 out of bound 2\n");

    // An endpoint output links to a master input but cannot be pulled from.
    PullerME other;
    ProbeSinkSE sink("SINK", UNIT_DATA_ANY, 1, UNIT_DATA_ANY, 1, 0);
    sink.addOutputUnit(&other, true);
    sink.enable();
    EXPECT_DEATH(other.transmitFrom(&length, 0), "transmitFrom wrong type !\n");
}
