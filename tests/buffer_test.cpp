// Heap buffers: construction, age, release of the block and sharing by clones.
#include "platform/buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "testkit/unit_probes.h"

TEST(BufferTest, NewBufferIsWholeAndAges) {
    EXPECT_EQ(QelBuffer::createMallocBuffer(0, nullptr), nullptr);
    auto buffer = QelBuffer::createMallocBuffer(1600, nullptr);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->length, 1600u);
    // The whole block is writable (ASan would flag a short allocation).
    memset(buffer->getVaddr(), 0xAB, 1600);
    EXPECT_LE(buffer->getDelayTime(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GE(buffer->getDelayTime(), 50);
}

TEST(BufferTest, RecycleCallbackReceivesTheDyingBufferInsteadOfFree) {
    int calls = 0;
    QelBuffer* seen = nullptr;
    void* block = nullptr;
    QelBuffer* made = nullptr;
    {
        auto buffer = QelBuffer::createMallocBuffer(32, [&](QelBuffer* dying) {
            ++calls;
            seen = dying;
            block = dying->vaddr;  // taken over; freed below
        });
        made = buffer.get();
        auto second = buffer;  // a second holder does not release anything
    }
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, made);
    ASSERT_NE(block, nullptr);
    // The block survived the buffer: the callback owns it now. ASan reports a use after free or
    // a double free here if the buffer had freed it as well.
    memset(block, 0, 32);
    free(block);
}

TEST(BufferCloneTest, CloneSharesBlockAndMetadataAndTheLastHolderReleasesOnce) {
    std::atomic<int> released{0};
    auto source = makeCountedBuffer(100, 0x5A, &released);
    source->length = 60;
    source->info.timestampNs = 42;
    auto clone = QelBuffer::cloneQelBuffer(source.get());
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->getVaddr(), source->getVaddr());
    EXPECT_EQ(clone->length, 60u);
    EXPECT_EQ(clone->info.timestampNs, 42);
    source.reset();
    clone.reset();
    EXPECT_EQ(released, 1);
    // Either order of destruction: the survivor still reads the block, and the block goes once.
    for (bool sourceFirst : {true, false}) {
        released = 0;
        source = makeCountedBuffer(16, 0x11, &released);
        clone = QelBuffer::cloneQelBuffer(source.get());
        auto cloneOfClone = QelBuffer::cloneQelBuffer(clone.get());
        (sourceFirst ? source : clone).reset();
        EXPECT_EQ(released, 0);
        EXPECT_EQ(static_cast<unsigned char*>((sourceFirst ? clone : source)->getVaddr())[15], 0x11);
        (sourceFirst ? clone : source).reset();
        EXPECT_EQ(released, 0);
        EXPECT_EQ(static_cast<unsigned char*>(cloneOfClone->getVaddr())[0], 0x11);
        cloneOfClone.reset();
        EXPECT_EQ(released, 1);
    }
}

TEST(BufferCloneTest, CloneWithoutRecycleFreesTheBlockOnce) {
    // No counter here: ASan's leak and double-free checks are the assertion.
    auto source = QelBuffer::createMallocBuffer(16, nullptr);
    auto clone = QelBuffer::cloneQelBuffer(source.get());
    source.reset();
    memset(clone->getVaddr(), 1, 16);
    EXPECT_EQ(clone->length, 16u);
}

// A buffer kind other than the heap one, for the clone check.
class ForeignBuffer : public QelBuffer {
public:
    explicit ForeignBuffer(QEL_BUFFER_TYPE type) : QelBuffer(8, type, nullptr) {}
    void* getBo() override { return nullptr; }
    void* getVaddr() override { return nullptr; }
    int getFd() override { return -1; }
    uint32_t getHandle() override { return 0; }
};

TEST(BufferDeathTest, HeapBufferHasNoFdHandleOrBo) {
    auto buffer = QelBuffer::createMallocBuffer(8, nullptr);
    EXPECT_DEATH(buffer->getFd(), "E/: \\(getFd in buffer\\.cpp:[0-9]+\\): malloc buffer has no fd !!");
    EXPECT_DEATH(buffer->getHandle(), "malloc buffer has no handle !!");
    EXPECT_DEATH(buffer->getBo(), "malloc buffer has no bo !!");
}

TEST(BufferDeathTest, CloneOfAnotherKindAborts) {
    ForeignBuffer other(static_cast<QEL_BUFFER_TYPE>(1));
    EXPECT_DEATH(QelBuffer::cloneQelBuffer(&other),
                 "E/: \\(cloneQelBuffer in buffer\\.cpp:[0-9]+\\): unknown buffer clone type\\.");
    // A kind that claims the heap tag but is not a heap buffer cannot share its block either.
    ForeignBuffer impostor(QEL_BUFFER_TYPE_MALLOC);
    EXPECT_DEATH(QelBuffer::cloneQelBuffer(&impostor), "unknown buffer clone type\\.");
}

namespace {
std::vector<std::shared_ptr<QelBuffer>> acquireMany(BufferPool& pool, int count) {
    std::vector<std::shared_ptr<QelBuffer>> out;
    for (int i = 0; i < count; ++i) out.push_back(pool.acquire());
    return out;
}
}  // namespace

TEST(BufferPoolTest, ReleasedBlockAndBufferAreReusedAndNeverHandedOutTwice) {
    BufferPool pool(1600, 8);
    auto first = pool.acquire(1200);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->length, 1200u);
    EXPECT_EQ(first->capacity, 1600u);
    memset(first->getVaddr(), 0xAB, 1600);
    void* block = first->getVaddr();
    QelBuffer* object = first.get();
    first.reset();
    auto again = pool.acquire();
    EXPECT_EQ(again->getVaddr(), block);
    EXPECT_EQ(again.get(), object) << "the buffer object and its count are cached too";
    EXPECT_EQ(again->length, 1600u);
    EXPECT_EQ(pool.acquire(1601), nullptr);

    // Blocks held at once are distinct: each keeps what was written into it.
    auto held = acquireMany(pool, 6);
    held.push_back(again);
    for (size_t i = 0; i < held.size(); ++i) memset(held[i]->getVaddr(), static_cast<int>(i), 1600);
    for (size_t i = 0; i < held.size(); ++i) {
        auto* bytes = static_cast<unsigned char*>(held[i]->getVaddr());
        EXPECT_EQ(bytes[0], i);
        EXPECT_EQ(bytes[1599], i);
    }
    BufferPool::Stats stats = pool.stats();
    EXPECT_EQ(stats.blocksAllocated, 7u);
    EXPECT_EQ(stats.blocksReused, 1u);
    EXPECT_EQ(stats.blocksOut, 7u);
}

TEST(BufferPoolTest, CacheNeverHoldsMoreThanItsBound) {
    BufferPool pool(64, 3);
    acquireMany(pool, 10);  // all released at once
    BufferPool::Stats stats = pool.stats();
    EXPECT_EQ(stats.blocksCached, 3u);
    EXPECT_EQ(stats.blocksFreed, 7u);
    EXPECT_EQ(stats.blocksOut, 0u);
    acquireMany(pool, 10);
    stats = pool.stats();
    EXPECT_EQ(stats.blocksReused, 3u);
    EXPECT_EQ(stats.blocksAllocated, 17u);
    EXPECT_EQ(stats.blocksCached, 3u);
}

TEST(BufferPoolTest, CloneKeepsThePooledBlockUntilTheLastHolderReturnsItOnce) {
    BufferPool pool(32, 4);
    auto source = pool.acquire();
    void* block = source->getVaddr();
    memset(block, 0x5A, 32);
    // A producer handing on only the tail of what it wrote moves vaddr: the whole block still
    // goes back, once.
    source->vaddr = static_cast<unsigned char*>(block) + 8;
    source->capacity = source->length = 24;
    auto clone = QelBuffer::cloneQelBuffer(source.get());
    source.reset();
    EXPECT_EQ(pool.stats().blocksCached, 0u) << "a clone still reads the block";
    auto other = pool.acquire();
    EXPECT_NE(other->getVaddr(), clone->getVaddr());
    EXPECT_EQ(static_cast<unsigned char*>(clone->getVaddr())[23], 0x5A);
    clone.reset();
    EXPECT_EQ(pool.stats().blocksCached, 1u);
    EXPECT_EQ(pool.stats().blocksOut, 1u);
    EXPECT_EQ(pool.acquire()->getVaddr(), block);
}

TEST(BufferPoolTest, BuffersOutlivingThePoolStayValidAndAreFreed) {
    std::shared_ptr<QelBuffer> survivor, clone;
    {
        BufferPool pool(256, 4);
        acquireMany(pool, 2);  // cached blocks: freed with the pool
        survivor = pool.acquire();
        clone = QelBuffer::cloneQelBuffer(survivor.get());
    }
    // ASan reports a use after free here if the pool had freed a block still out, and a leak if
    // the blocks released after it were kept.
    memset(survivor->getVaddr(), 7, 256);
    survivor.reset();
    EXPECT_EQ(static_cast<unsigned char*>(clone->getVaddr())[255], 7);
    clone.reset();
}

TEST(BufferPoolTest, PooledBuffersComeInSizeClasses) {
    EXPECT_EQ(QelBuffer::createPooledBuffer(0), nullptr);
    auto packet = QelBuffer::createPooledBuffer(1600);
    EXPECT_EQ(packet->length, 1600u);
    EXPECT_EQ(packet->capacity, 2048u);
    void* block = packet->getVaddr();
    packet.reset();
    EXPECT_EQ(QelBuffer::createPooledBuffer(2000)->getVaddr(), block);
    auto picture = QelBuffer::createPooledBuffer(300000);
    EXPECT_EQ(picture->capacity, 512u * 1024u);
    memset(picture->getVaddr(), 1, picture->capacity);
    auto huge = QelBuffer::createPooledBuffer(5u << 20);  // beyond the classes: a plain buffer
    EXPECT_EQ(huge->capacity, 5u << 20);
    memset(huge->getVaddr(), 1, huge->length);
    // Either kind is released by its block's address when vaddr has moved within it.
    for (auto* moved : {&picture, &huge})
        (*moved)->vaddr = static_cast<unsigned char*>((*moved)->getVaddr()) + 8;
}
