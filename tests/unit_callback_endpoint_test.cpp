// The sink that hands buffers to a function object.
#include "units/unit_callback_endpoint.h"

#include <gtest/gtest.h>

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

TEST_F(CallbackEndpointTest, WithoutCallbackTheTransmitReturnsZero) {
    EXPECT_EQ(second.transmitTo(QelBuffer::createMallocBuffer(8, nullptr), 8, 0, 0), 0u);
}

TEST_F(CallbackEndpointTest, CallbackGetsBlockAddressTransmittedLengthAndIntegers) {
    struct Seen {
        unsigned char* data = nullptr;
        unsigned long length = 0;
        int inputIndex = -9;
        int param = -9;
        int calls = 0;
        unsigned char firstByte = 0;
    } seen;
    sink.callback = [&seen](unsigned char* data, unsigned long length, int inputIndex, int param) {
        seen = Seen{data, length, inputIndex, param, seen.calls + 1, data[0]};
        return length * 2;
    };
    auto buffer = QelBuffer::createMallocBuffer(100, nullptr);
    static_cast<unsigned char*>(buffer->getVaddr())[0] = 0x67;
    buffer->length = 100;
    // The sender's length, not the buffer's field, reaches the callback.
    EXPECT_EQ(second.transmitTo(buffer, 40, 0, 7), 80u);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.data, buffer->getVaddr());
    EXPECT_EQ(seen.firstByte, 0x67);
    EXPECT_EQ(seen.length, 40u);
    EXPECT_EQ(seen.inputIndex, 1);  // second in the sink's input list
    EXPECT_EQ(seen.param, 7);

    EXPECT_EQ(first.transmitTo(buffer, 3, UNIT_DATA_H26X, -4), 6u);
    EXPECT_EQ(seen.calls, 2);
    EXPECT_EQ(seen.inputIndex, 0);
    EXPECT_EQ(seen.param, -4);
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
