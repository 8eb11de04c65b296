// The sink that hands buffers to a function object.
#include "units/unit_callback_endpoint.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "testkit/unit_probes.h"

class CallbackEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        first.addOutputUnit(&sink, true);
        second.addOutputUnit(&sink, true);
        sink.enable();
    }
    ProbeSourceEM first{"FIRST", UNIT_DATA_ANY, 1};
    ProbeSourceEM second{"SECOND", UNIT_DATA_ANY, 1};
    CallBackEndpointUnitSE sink;
};

TEST_F(CallbackEndpointTest, CallbackGetsBlockAddressTransmittedLengthAndIntegers) {
    auto buffer = QelBuffer::createMallocBuffer(100, nullptr);
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

TEST_F(CallbackEndpointTest, DisabledSinkIsNotCalled) {
    int calls = 0;
    sink.callback = [&calls](unsigned char*, unsigned long length, int, int) {
        ++calls;
        return length;
    };
    sink.disable();
    EXPECT_EQ(first.transmitTo(QelBuffer::createMallocBuffer(8, nullptr), 8, -1, 0), 0u);
    EXPECT_EQ(calls, 0);
    sink.enable();
    EXPECT_EQ(first.transmitTo(QelBuffer::createMallocBuffer(8, nullptr), 8, -1, 0), 8u);
    EXPECT_EQ(calls, 1);
}
