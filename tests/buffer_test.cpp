// Heap buffers: construction, age, release of the block and sharing by clones.
#include "platform/buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

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
