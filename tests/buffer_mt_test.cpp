// Buffers that share one block, released from several threads at once, and the process-wide
// pools outliving the receive threads at exit.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/buffer.h"
#include "rtsp_client.h"
#include "testkit/unit_probes.h"
#include "tests/client_test_support.h"
#include "tests/thread_wait.h"

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

TEST(BufferMtTest, PoolSharedByThreadsNeverHandsOneBlockToTwoHolders) {
    auto pool = std::make_unique<BufferPool>(512, 16);
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::atomic<int> overwritten{0};
    std::vector<std::shared_ptr<QelBuffer>> leftover(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::shared_ptr<QelBuffer>> held;
            for (int round = 0; round < kRounds; ++round) {
                auto buffer = pool->acquire();
                auto* bytes = static_cast<unsigned char*>(buffer->getVaddr());
                memset(bytes, t, 512);
                held.push_back(round % 3 == 0 ? QelBuffer::cloneQelBuffer(buffer.get()) : buffer);
                if (held.size() > 5) held.erase(held.begin());
                std::this_thread::yield();
                if (bytes[0] != t || bytes[511] != t) ++overwritten;
            }
            leftover[t] = held.back();
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(overwritten.load(), 0);
    BufferPool::Stats stats = pool->stats();
    EXPECT_EQ(stats.blocksOut, static_cast<size_t>(kThreads));
    EXPECT_LE(stats.blocksCached, 16u);
    EXPECT_EQ(stats.blocksAllocated + stats.blocksReused, static_cast<uint64_t>(kThreads * kRounds));
    EXPECT_GT(stats.blocksReused, stats.blocksAllocated);
    // The pool goes first; the last blocks are released on other threads afterwards.
    pool.reset();
    threads.clear();
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { leftover[t].reset(); });
    for (auto& th : threads) th.join();
}

// Clients still enabled when the process exits: their receive threads go on taking blocks from
// the process-wide pools while exit() destroys static objects. Each run is a child process that
// must end with exit code 0; QUORVANE_EXIT_RUNS sets how many (50 for a thorough check).
namespace {
std::atomic<int> pieces[4];

[[noreturn]] void exitWhileFourClientsReceive() {
    // Registered before the first pooled block: runs after the pools' static lifetime would have
    // ended, and holds the exit there until the clients have delivered more.
    std::atexit([] {
        const int atExit = pieces[0] + pieces[1] + pieces[2] + pieces[3];
        thread_wait::waitUntil([&] { return pieces[0] + pieces[1] + pieces[2] + pieces[3] >= atExit + 40; },
                               2000);
    });
    // Reachable from statics to the end, as an application's globals are: not leaks.
    testkit::ClipStreamerOptions fast = client_test::CameraRig::loopOptions();
    fast.fps = 100;
    static auto* rig = new client_test::CameraRig("h264_multi_slice.264", testkit::VideoCodec::H264, fast);
    static auto* clients = new std::vector<std::unique_ptr<RtspClient>>();
    if (!rig->started) std::exit(2);
    for (int i = 0; i < 4; ++i) {
        clients->push_back(std::make_unique<RtspClient>(rig->camera.url(), "", "", i % 2 == 1));
        clients->back()->setDataCallback([i](unsigned char*, unsigned long) { ++pieces[i]; });
        clients->back()->enable();
    }
    bool flowing = thread_wait::waitUntil(
        [] {
            for (const auto& n : pieces)
                if (n < 20) return false;
            return true;
        },
        10000);
    std::exit(flowing ? 0 : 3);
}
}  // namespace

TEST(BufferPoolExitDeathTest, ProcessExitsCleanlyWhileFourClientsStillReceive) {
#ifdef QUORVANE_TARGET_EMULATED
    GTEST_SKIP()
        << "a death test runs this program again, which the host cannot execute without the emulator";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no pool made before
    const char* runs = std::getenv("QUORVANE_EXIT_RUNS");
    for (int run = 0, n = runs ? std::atoi(runs) : 3; run < n; ++run)
        EXPECT_EXIT(exitWhileFourClientsReceive(), ::testing::ExitedWithCode(0), "") << "run " << run;
}
