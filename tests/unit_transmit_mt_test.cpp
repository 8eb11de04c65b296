// Queued transmits: the worker of a SlaveInput, its queue limit, and its teardown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "testkit/unit_probes.h"
#include "tests/thread_wait.h"
#include "units/unit.h"
#include "units/unit_callback_endpoint.h"

namespace {
using thread_wait::threadCount;
using thread_wait::waitUntil;

bool waitForThreadCount(int expected, int timeoutMs) {
    return waitUntil([&] { return threadCount() == expected; }, timeoutMs);
}

// The thread count once it has held still for 50 ms: a thread joined just before may still be
// listed for a moment, and a sanitizer may start its helper thread late.
int settledThreadCount() {
    int settled = threadCount();
    int same = 0;
    for (int i = 0; i < 200 && same < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        int now = threadCount();
        same = now == settled ? same + 1 : 0;
        settled = now;
    }
    return settled;
}

// While gtest captures stderr, fd 2 is its capture file: read what has been written so far.
bool waitForCapturedStderr(const std::string& text, int timeoutMs) {
    return waitUntil(
        [&] {
            std::ifstream in("/proc/self/fd/2");
            return std::string(std::istreambuf_iterator<char>(in), {}).find(text) != std::string::npos;
        },
        timeoutMs);
}

std::shared_ptr<QelBuffer> makeBuffer() {
    return QelBuffer::createMallocBuffer(16, nullptr);
}

std::vector<int> paramsOf(const std::vector<ProbeCall>& calls) {
    std::vector<int> params;
    for (const auto& call : calls) params.push_back(call.param);
    return params;
}

std::vector<int> upTo(int n) {
    std::vector<int> v(n);
    for (int i = 0; i < n; ++i) v[i] = i;
    return v;
}
}  // namespace

class QueuedTransmitTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Sanitizer runtimes start a helper thread with the first thread: count after it.
        std::thread([] {}).join();
        baselineThreads = settledThreadCount();
        src.addOutputUnit(sink.get(), true);
        sink->enable();
    }

    int baselineThreads = 0;
    ProbeSourceEM src{"SRC", UNIT_DATA_ANY, 1};
    std::unique_ptr<ProbeSinkSE> sink{new ProbeSinkSE("SINK", UNIT_DATA_ANY, 1, UNIT_DATA_ANY, 1, 0)};
};

TEST_F(QueuedTransmitTest, OneWorkerStartsAtTheFirstQueuedTransmitAndRunsTheTasksInOrderOneAtATime) {
    // Synchronous use starts no thread.
    src.transmitTo(makeBuffer(), 16, 0, -1);
    EXPECT_EQ(threadCount(), baselineThreads);

    const int kTasks = 500;
    auto buffer = makeBuffer();
    EXPECT_EQ(src.transmitTo_async(buffer, 16, 0, 0), 1u);
    for (int i = 1; i < kTasks; ++i) src.transmitTo_async(makeBuffer(), 16, UNIT_DATA_ANY, i);
    ASSERT_TRUE(sink->waitForCalls(kTasks + 1, 10000));
    auto calls = sink->calls();
    calls.erase(calls.begin());  // the synchronous one
    EXPECT_EQ(calls[0].buffer, buffer);
    EXPECT_EQ(paramsOf(calls), upTo(kTasks));
    EXPECT_NE(calls[0].thread, std::this_thread::get_id());
    for (const auto& call : calls) EXPECT_EQ(call.thread, calls[0].thread);
    EXPECT_EQ(sink->maxConcurrentCalls(), 1);
    EXPECT_EQ(threadCount(), baselineThreads + 1);

    sink.reset();
    EXPECT_TRUE(waitForThreadCount(baselineThreads, 2000)) << "worker still running after destruction";
}

TEST_F(QueuedTransmitTest, DisabledUnitGetsNoNewTasksButFinishesQueuedOnes) {
    sink->closeGate();
    EXPECT_EQ(src.transmitTo_async(makeBuffer(), 16, 0, 0), 1u);
    ASSERT_TRUE(sink->waitUntilBlocked(5000));
    EXPECT_EQ(src.transmitTo_async(makeBuffer(), 16, 0, 1), 2u);
    sink->disable();
    EXPECT_EQ(src.transmitTo_async(makeBuffer(), 16, 0, 2), 0u);
    sink->openGate();
    ASSERT_TRUE(sink->waitForCalls(2, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(paramsOf(sink->calls()), (std::vector<int>{0, 1}));
}

TEST_F(QueuedTransmitTest, FullQueueHoldsTheProducerBackUntilTheWorkerMakesRoom) {
    sink->closeGate();
    // Task 0 is taken by the worker and stays queued while it is handled.
    EXPECT_EQ(src.transmitTo_async(makeBuffer(), 16, 0, 0), 1u);
    ASSERT_TRUE(sink->waitUntilBlocked(5000));
    for (int i = 1; i <= 100; ++i) ASSERT_EQ(src.transmitTo_async(makeBuffer(), 16, 0, i), unsigned(i) + 1);

    testing::internal::CaptureStderr();
    std::atomic<bool> returned{false};
    unsigned long result = 0;
    std::thread producer([&] {
        result = src.transmitTo_async(makeBuffer(), 16, 0, 101);
        returned = true;
    });
    bool warned = waitForCapturedStderr("async transmit task queue is full ! (SINK)\n", 5000);
    bool heldBack = !returned;
    sink->passOne();  // the worker finishes task 0 and blocks in task 1
    producer.join();
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                testing::HasSubstr("W/: (onTransmitIn_async in unit.cpp:"));
    EXPECT_TRUE(warned);
    EXPECT_TRUE(heldBack);
    EXPECT_EQ(result, 101u);

    sink->openGate();
    ASSERT_TRUE(sink->waitForCalls(102, 5000));
    EXPECT_EQ(paramsOf(sink->calls()), upTo(102));
}

TEST_F(QueuedTransmitTest, ConcurrentProducersNeverExceedTheLimitAndKeepTheirOrder) {
    const int kProducers = 3, kEach = 300;
    std::vector<std::unique_ptr<ProbeSourceEM>> sources;
    auto fanIn = std::make_unique<ProbeSinkSE>("FANIN", UNIT_DATA_ANY, kProducers, UNIT_DATA_ANY, 1, 0);
    fanIn->enable();
    for (int p = 0; p < kProducers; ++p) {
        sources.emplace_back(new ProbeSourceEM("P", UNIT_DATA_ANY, 1));
        sources.back()->addOutputUnit(fanIn.get(), true);
    }
    std::atomic<unsigned long> largest{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) {
                unsigned long n = sources[p]->transmitTo_async(makeBuffer(), 16, 0, i);
                unsigned long seen = largest.load();
                while (n > seen && !largest.compare_exchange_weak(seen, n)) {
                }
            }
        });
    }
    for (auto& t : producers) t.join();
    ASSERT_TRUE(fanIn->waitForCalls(kProducers * kEach, 20000));
    EXPECT_LE(largest.load(), ASYNC_QUEUE_LIMIT + 1);
    std::vector<int> next(kProducers, 0);
    for (const auto& call : fanIn->calls()) {
        ASSERT_GE(call.inputIndex, 0);
        EXPECT_EQ(call.param, next[call.inputIndex]++);
    }
    EXPECT_EQ(fanIn->maxConcurrentCalls(), 1);
    fanIn.reset();
    EXPECT_TRUE(waitForThreadCount(baselineThreads, 2000));
}

TEST_F(QueuedTransmitTest, RacingFirstTransmitsStartOneWorker) {
    for (int round = 0; round < 20; ++round) {
        auto* target = new ProbeSinkSE("T", UNIT_DATA_ANY, 2, UNIT_DATA_ANY, 1, 0);
        ProbeSourceEM a("A", UNIT_DATA_ANY, 1), b("B", UNIT_DATA_ANY, 1);
        a.addOutputUnit(target, true);
        b.addOutputUnit(target, true);
        target->enable();
        target->closeGate();
        std::thread ta([&] { a.transmitTo_async(makeBuffer(), 16, 0, 0); });
        std::thread tb([&] { b.transmitTo_async(makeBuffer(), 16, 0, 0); });
        ta.join();
        tb.join();
        EXPECT_TRUE(waitForThreadCount(baselineThreads + 1, 2000))
            << threadCount() - baselineThreads << " workers";
        delete target;
        ASSERT_TRUE(waitForThreadCount(baselineThreads, 2000));
    }
}

TEST_F(QueuedTransmitTest, StoppedInputQueuesNothing) {
    std::atomic<int> released{0};
    EXPECT_EQ(src.transmitTo_async(makeCountedBuffer(16, 0, &released), 16, 0, 0), 1u);
    ASSERT_TRUE(sink->waitForCalls(1, 5000));
    sink->stopAsyncTransmit();
    EXPECT_TRUE(waitForThreadCount(baselineThreads, 2000));
    EXPECT_EQ(src.transmitTo_async(makeCountedBuffer(16, 0, &released), 16, 0, 1), 0u);
    EXPECT_EQ(released, 1);                     // dropped at once
    EXPECT_EQ(threadCount(), baselineThreads);  // not restarted
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sink->calls().size(), 1u);
    sink.reset();  // its record of the handled buffer must go before `released`
    EXPECT_EQ(released, 2);
}

// Each task takes a while and writes the unit's own state, so a worker that outlived the unit's
// members would be caught by ASan (use after free) or TSan (race with the destructor).
class SlowUnitSE : public Unit<SlaveInput, EndpointOutput> {
public:
    SlowUnitSE(std::atomic<int>* started, std::atomic<int>* finished)
        : Unit("SLOW", UNIT_DATA_ANY, 1, UNIT_DATA_ANY, 1), mStarted(started), mFinished(finished) {}
    ~SlowUnitSE() override { stopAsyncTransmit(); }
    unsigned long onTransmitIn(std::shared_ptr<QelBuffer> buffer, unsigned long length, int, int) override {
        ++*mStarted;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        mSeen.push_back(std::move(buffer));
        mBytes += length;
        ++*mFinished;
        return length;
    }

private:
    std::atomic<int>* mStarted;
    std::atomic<int>* mFinished;
    std::vector<std::shared_ptr<QelBuffer>> mSeen;
    unsigned long mBytes = 0;
};

TEST_F(QueuedTransmitTest, DestroyingAUnitWithQueuedTasksWaitsForTheRunningOneAndDropsTheRest) {
    std::atomic<int> started{0}, finished{0}, released{0};
    auto* slow = new SlowUnitSE(&started, &finished);
    ProbeSourceEM feeder("FEED", UNIT_DATA_ANY, 1);
    feeder.addOutputUnit(slow, true);
    slow->enable();
    const int kTasks = 30;
    for (int i = 0; i < kTasks; ++i) feeder.transmitTo_async(makeCountedBuffer(64, 1, &released), 64, 0, i);
    ASSERT_TRUE(waitUntil([&] { return started > 0; }, 5000));

    delete slow;
    // The task that was running finished; no task started after the destructor returned.
    int startedAtDelete = started;
    EXPECT_EQ(finished.load(), startedAtDelete);
    EXPECT_LT(startedAtDelete, kTasks);
    EXPECT_EQ(released.load(), kTasks);  // handled and dropped buffers alike
    EXPECT_TRUE(waitForThreadCount(baselineThreads, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(started.load(), startedAtDelete);
}

TEST_F(QueuedTransmitTest, CallbackEndpointStopsItsWorkerBeforeItsCallbackGoes) {
    std::atomic<int> calls{0}, released{0};
    auto* endpoint = new CallBackEndpointUnitSE();
    ProbeSourceEM feeder("FEED", UNIT_DATA_ANY, 1);
    feeder.addOutputUnit(endpoint, true);
    endpoint->enable();
    // The callback owns state of its own, destroyed with it.
    auto counter = std::make_shared<std::vector<unsigned char>>();
    endpoint->callback = [counter, &calls](unsigned char* data, unsigned long length, int, int) {
        ++calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        counter->push_back(data[0]);
        return length;
    };
    counter.reset();
    for (int i = 0; i < 50; ++i) feeder.transmitTo_async(makeCountedBuffer(8, 3, &released), 8, 0, 0);
    ASSERT_TRUE(waitUntil([&] { return calls > 0; }, 5000));
    delete endpoint;
    EXPECT_EQ(released.load(), 50);
    EXPECT_TRUE(waitForThreadCount(baselineThreads, 2000));
}

// A unit that leaves the stop to Unit<>: with its queue drained, the fallback still joins.
class PlainUnitSE : public Unit<SlaveInput, EndpointOutput> {
public:
    explicit PlainUnitSE(std::atomic<int>* calls)
        : Unit("PLAIN", UNIT_DATA_ANY, 1, UNIT_DATA_ANY, 1), mCalls(calls) {}
    unsigned long onTransmitIn(std::shared_ptr<QelBuffer>, unsigned long length, int, int) override {
        ++*mCalls;
        return length;
    }

private:
    std::atomic<int>* mCalls;
};

TEST_F(QueuedTransmitTest, IdleWorkerCostsNoMeasurableCpuAndIsJoinedWhenTheUnitGoes) {
    std::atomic<int> calls{0};
    auto* plain = new PlainUnitSE(&calls);
    ProbeSourceEM feeder("FEED", UNIT_DATA_ANY, 1);
    feeder.addOutputUnit(plain, true);
    plain->enable();
    feeder.transmitTo_async(makeBuffer(), 16, 0, 0);
    ASSERT_TRUE(waitUntil([&] { return calls > 0; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(threadCount(), baselineThreads + 1);

    timespec before{}, after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    long long usedNs = (after.tv_sec - before.tv_sec) * 1000000000LL + (after.tv_nsec - before.tv_nsec);
    // A spinning worker burns the whole 300 ms; a waiting one next to nothing.
    EXPECT_LT(usedNs, 50 * 1000000LL) << "process used " << usedNs / 1000000 << " ms of CPU while idle";
    delete plain;
    EXPECT_TRUE(waitForThreadCount(baselineThreads, 2000));
}
