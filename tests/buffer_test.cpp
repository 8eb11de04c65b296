// Heap buffers: construction, age, metadata, release of the block and sharing by clones.
#include "platform/buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "testkit/unit_probes.h"

TEST(BufferTest, ZeroBytesMakeNoBuffer) {
    EXPECT_EQ(QelBuffer::createMallocBuffer(0, nullptr), nullptr);
}

TEST(BufferTest, NewBufferHasItsSizeZeroInfoAndAgeZero) {
    auto buffer = QelBuffer::createMallocBuffer(1600, nullptr);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->bufferType, QEL_BUFFER_TYPE_MALLOC);
    EXPECT_EQ(buffer->capacity, 1600u);
    EXPECT_EQ(buffer->length, 1600u);
    EXPECT_EQ(buffer->reservedA, 0u);
    EXPECT_EQ(buffer->reservedB, -1);
    EXPECT_EQ(buffer->info.dataType, 0u);
    EXPECT_EQ(buffer->info.timestampNs, 0);
    EXPECT_EQ(buffer->info.infoReserved0 | buffer->info.infoReserved1 | buffer->info.infoReserved2 |
                  buffer->info.infoReserved3,
              0u);
    ASSERT_NE(buffer->getVaddr(), nullptr);
    EXPECT_EQ(buffer->getVaddr(), buffer->vaddr);
    // The whole block is writable (ASan would flag a short allocation).
    memset(buffer->getVaddr(), 0xAB, 1600);
    EXPECT_LE(buffer->getDelayTime(), 1);

    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GE(buffer->getDelayTime(), 50);
}

TEST(BufferTest, SetBufferInfoChangesOnlyTheInfo) {
    auto buffer = QelBuffer::createMallocBuffer(64, nullptr);
    buffer->length = 10;
    const int64_t created = buffer->createTimeNs;
    BufferInfo info{};
    info.dataType = 4;
    info.timestampNs = 123456789;
    buffer->setBufferInfo(info);
    EXPECT_EQ(buffer->info.dataType, 4u);
    EXPECT_EQ(buffer->info.timestampNs, 123456789);
    EXPECT_EQ(buffer->capacity, 64u);
    EXPECT_EQ(buffer->length, 10u);
    EXPECT_EQ(buffer->createTimeNs, created);
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

class BufferCloneTest : public ::testing::Test {
protected:
    std::atomic<int> released{0};
};

TEST_F(BufferCloneTest, CloneSharesBlockAndMetadata) {
    auto source = makeCountedBuffer(100, 0x5A, &released);
    source->length = 60;
    BufferInfo info{};
    info.dataType = UINT32_C(4);
    info.timestampNs = 42;
    source->setBufferInfo(info);
    source->reservedA = 7;

    auto clone = QelBuffer::cloneQelBuffer(source.get());
    ASSERT_NE(clone, nullptr);
    EXPECT_NE(clone.get(), source.get());
    EXPECT_EQ(clone->getVaddr(), source->getVaddr());
    EXPECT_EQ(clone->capacity, 100u);
    EXPECT_EQ(clone->length, 60u);
    EXPECT_EQ(clone->info.dataType, 4u);
    EXPECT_EQ(clone->info.timestampNs, 42);
    EXPECT_EQ(clone->reservedA, 7u);
    EXPECT_EQ(clone->reservedB, -1);
    EXPECT_GE(clone->createTimeNs, source->createTimeNs);
}

TEST_F(BufferCloneTest, BlockIsReleasedOnceByTheLastOfSourceAndClones) {
    // Either order of destruction: the survivor still reads the block, and the block goes once.
    for (bool sourceFirst : {true, false}) {
        released = 0;
        auto source = makeCountedBuffer(16, 0x11, &released);
        auto clone = QelBuffer::cloneQelBuffer(source.get());
        auto cloneOfClone = QelBuffer::cloneQelBuffer(clone.get());
        std::shared_ptr<QelBuffer>& first = sourceFirst ? source : clone;
        std::shared_ptr<QelBuffer>& second = sourceFirst ? clone : source;
        first.reset();
        EXPECT_EQ(released, 0);
        EXPECT_EQ(static_cast<unsigned char*>(second->getVaddr())[15], 0x11);
        second.reset();
        EXPECT_EQ(released, 0);
        EXPECT_EQ(static_cast<unsigned char*>(cloneOfClone->getVaddr())[0], 0x11);
        cloneOfClone.reset();
        EXPECT_EQ(released, 1);
    }
}

TEST_F(BufferCloneTest, CloneWithoutRecycleFreesTheBlockOnce) {
    // No counter here: ASan's leak and double-free checks are the assertion.
    auto source = QelBuffer::createMallocBuffer(16, nullptr);
    auto clone = QelBuffer::cloneQelBuffer(source.get());
    source.reset();
    memset(clone->getVaddr(), 1, 16);
    EXPECT_EQ(clone->capacity, 16u);
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
    EXPECT_DEATH(buffer->getHandle(),
                 "E/: \\(getHandle in buffer\\.cpp:[0-9]+\\): malloc buffer has no handle !!");
    EXPECT_DEATH(buffer->getBo(), "E/: \\(getBo in buffer\\.cpp:[0-9]+\\): malloc buffer has no bo !!");
}

TEST(BufferDeathTest, CloneOfAnotherKindAborts) {
    ForeignBuffer other(static_cast<QEL_BUFFER_TYPE>(1));
    EXPECT_DEATH(QelBuffer::cloneQelBuffer(&other),
                 "E/: \\(cloneQelBuffer in buffer\\.cpp:[0-9]+\\): unknown buffer clone type\\.");
    // A kind that claims the heap tag but is not a heap buffer cannot share its block either.
    ForeignBuffer impostor(QEL_BUFFER_TYPE_MALLOC);
    EXPECT_DEATH(QelBuffer::cloneQelBuffer(&impostor), "unknown buffer clone type\\.");
}
