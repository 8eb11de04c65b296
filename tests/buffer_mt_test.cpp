// Buffers that share one block, released from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/buffer.h"
#include "testkit/unit_probes.h"

namespace {
// Runs `a` and `b` on two threads that start together.
template <class A, class B>
void together(A a, B b) {
    std::atomic<int> ready{0};
    auto gated = [&ready](auto f) {
        ++ready;
        while (ready < 2) std::this_thread::yield();
        f();
    };
    std::thread ta(gated, a), tb(gated, b);
    ta.join();
    tb.join();
}
}  // namespace

TEST(BufferMtTest, SourceAndCloneDroppedTogetherReleaseTheBlockOnce) {
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> released{0};
        auto source = makeCountedBuffer(32, 9, &released);
        auto clone = QelBuffer::cloneQelBuffer(source.get());
        together([&] { source.reset(); }, [&] { clone.reset(); });
        ASSERT_EQ(released.load(), 1) << "round " << round;
    }
}

TEST(BufferMtTest, ClonesMadeTogetherShareOneCount) {
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> released{0};
        auto source = makeCountedBuffer(32, 9, &released);
        std::shared_ptr<QelBuffer> first, second;
        together([&] { first = QelBuffer::cloneQelBuffer(source.get()); },
                 [&] { second = QelBuffer::cloneQelBuffer(source.get()); });
        source.reset();
        first.reset();
        ASSERT_EQ(released.load(), 0);
        EXPECT_EQ(static_cast<unsigned char*>(second->getVaddr())[31], 9);
        second.reset();
        ASSERT_EQ(released.load(), 1) << "round " << round;
    }
}
