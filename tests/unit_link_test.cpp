// Linking units: the checks that guard a link (and their fatal messages), unlinking, lookups.
#include <gtest/gtest.h>

#include "testkit/unit_probes.h"
#include "units/unit.h"
#include "units/unit_callback_endpoint.h"

namespace {
// What the receiver and the depacketizers declare.
ProbeSourceEM* makeRtpSource() {
    return new ProbeSourceEM("SRC", UNIT_DATA_RTP_VIDEO | UNIT_DATA_RTP_AUDIO, 1);
}
ProbeUnitSM* makeDepacketizer(const char* name) {
    return new ProbeUnitSM(name, UNIT_DATA_RTP_VIDEO, 1, UNIT_DATA_H26X, 5, 0);
}
}  // namespace

TEST(UnitLinkTest, TwoWayLinkAndUnlink) {
    std::unique_ptr<ProbeSourceEM> src(makeRtpSource());
    std::unique_ptr<ProbeUnitSM> dep(makeDepacketizer("DEP"));
    EXPECT_EQ(dep->findInputUnits(src.get()), -1);  // empty list

    src->addOutputUnit(dep.get(), true);
    EXPECT_EQ(src->MasterOutput::units, std::vector<UnitBase*>{dep.get()});
    EXPECT_EQ(dep->SlaveInput::units, std::vector<UnitBase*>{src.get()});
    EXPECT_EQ(src->findOutputUnits(dep.get()), 0);
    EXPECT_EQ(dep->findInputUnits(src.get()), 0);

    // Removing a unit that is not linked changes neither list.
    std::unique_ptr<ProbeUnitSM> stranger(makeDepacketizer("OTHER"));
    src->rmOutputUnit(stranger.get(), true);
    EXPECT_EQ(dep->SlaveInput::units.size(), 1u);
    src->rmOutputUnit(dep.get(), true);
    EXPECT_TRUE(src->MasterOutput::units.empty());
    EXPECT_TRUE(dep->SlaveInput::units.empty());

    // The mirror operation from the input side.
    dep->addInputUnit(src.get(), true);
    EXPECT_EQ(src->findOutputUnits(dep.get()), 0);
    dep->rmInputUnit(src.get(), true);
    EXPECT_TRUE(src->MasterOutput::units.empty());
    EXPECT_TRUE(dep->SlaveInput::units.empty());
}

TEST(UnitLinkTest, SamePairTwiceGivesTwoEntriesAndOneRemovalTakesTheFirst) {
    ProbeSourceEM src("SRC", UNIT_DATA_ANY, 3);
    ProbeSinkSE a("A", UNIT_DATA_ANY, 3, UNIT_DATA_ANY, 1, 0);
    ProbeSinkSE b("B", UNIT_DATA_ANY, 3, UNIT_DATA_ANY, 1, 0);
    src.addOutputUnit(&a, false);
    src.addOutputUnit(&b, false);
    src.addOutputUnit(&a, false);
    src.rmOutputUnit(&a, false);
    EXPECT_EQ(src.MasterOutput::units, (std::vector<UnitBase*>{&b, &a}));
}

TEST(UnitLinkTest, MasksThatShareABitAndUnequalIoKindsLink) {
    std::unique_ptr<ProbeSourceEM> src(makeRtpSource());        // 0x3
    std::unique_ptr<ProbeUnitSM> dep(makeDepacketizer("DEP"));  // 0x1
    src->addOutputUnit(dep.get(), true);
    // An endpoint output may be linked to a slave input: the io check only rejects equal kinds.
    CallBackEndpointUnitSE sink, sink2;  // 0xFFFF
    dep->addOutputUnit(&sink, true);
    sink.addOutputUnit(&sink2, true);
    EXPECT_EQ(sink.findInputUnits(dep.get()), 0);
    EXPECT_EQ(sink2.findInputUnits(&sink), 0);
}

// A wiring error logs its line and aborts the process: too many links, or units that cannot meet.
TEST(UnitLinkDeathTest, LinksPastTheLimitAbort) {
    // A source accepts no upstream unit.
    ProbeSourceEM src("SRC", UNIT_DATA_ANY, 1);
    ProbeSourceEM other("OTHER", UNIT_DATA_ANY, 1);
    EXPECT_DEATH(src.addInputUnit(&other, true),
                 "E/: \\(addInputUnit in unit\\.cpp:[0-9]+\\): reach max input size! 0 >= max:0\n");
    std::unique_ptr<ProbeSourceEM> rtp(makeRtpSource());
    std::unique_ptr<ProbeUnitSM> a(makeDepacketizer("A")), b(makeDepacketizer("B"));
    rtp->addOutputUnit(a.get(), true);
    EXPECT_DEATH(rtp->addOutputUnit(b.get(), true),
                 "E/: \\(addOutputUnit in unit\\.cpp:[0-9]+\\): reach max output size! 1 >= max:1\n");
    // The callback endpoint takes ten sources.
    CallBackEndpointUnitSE sink;
    std::vector<std::unique_ptr<ProbeSourceEM>> sources;
    for (int i = 0; i < 11; ++i) sources.emplace_back(new ProbeSourceEM("S", UNIT_DATA_ANY, 1));
    for (int i = 0; i < 10; ++i) sources[i]->addOutputUnit(&sink, true);
    EXPECT_DEATH(sources[10]->addOutputUnit(&sink, true),
                 "E/: \\(addInputUnit in unit\\.cpp:[0-9]+\\): reach max input size! 10 >= max:10\n");
}

TEST(UnitLinkDeathTest, UnitsWhoseDataTypesOrIoKindsCannotMeetAbort) {
    ProbeSourceEM h26x("H26X", UNIT_DATA_H26X, 1);
    std::unique_ptr<ProbeUnitSM> dep(makeDepacketizer("DEP"));
    EXPECT_DEATH(h26x.addOutputUnit(dep.get(), true),
                 "E/: \\(addOutputUnit in unit\\.cpp:[0-9]+\\): do not match data type! this:0x4 next:0x1\n");
    // The input side's message has no "0x".
    EXPECT_DEATH(dep->addInputUnit(&h26x, true),
                 "E/: \\(addInputUnit in unit\\.cpp:[0-9]+\\): do not match data type! this:1 next:4\n");
    CallBackEndpointUnitSE sink;
    ProbeSourceEM src("SRC", UNIT_DATA_ANY, 1);
    // Endpoint output to endpoint input.
    EXPECT_DEATH(
        sink.addOutputUnit(&src, true),
        "E/: \\(addOutputUnit in unit\\.cpp:[0-9]+\\): do not match io type! this:0x0 == next:0x0\n");
    // Slave output to slave input.
    class SlaveOutputUnit : public Unit<EndpointInput, SlaveOutput> {
    public:
        SlaveOutputUnit() : Unit("PULL", UNIT_DATA_ANY, 0, UNIT_DATA_ANY, 1) {}
        std::shared_ptr<QelBuffer> onTransmitOut(unsigned long*, int) override { return nullptr; }
    } pull;
    EXPECT_DEATH(sink.addInputUnit(&pull, true),
                 "E/: \\(addInputUnit in unit\\.cpp:[0-9]+\\): do not match io type! this:0x2 == next:0x2\n");
}
