#ifndef QUORVANE_PLATFORM_BUFFER_H
#define QUORVANE_PLATFORM_BUFFER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "../quorvane_export.h"

// Kinds of buffer block. Only the heap kind exists today; the others are reserved for blocks that
// come from a file descriptor, a handle or a buffer object.
enum QEL_BUFFER_TYPE : uint32_t {
    QEL_BUFFER_TYPE_MALLOC = 0,
};

// Metadata that travels with a buffer's contents. Copied as a whole.
struct QUORVANE_EXPORT BufferInfo {
    uint64_t infoReserved0;
    uint64_t infoReserved1;
    uint32_t infoReserved2;
    uint32_t dataType;    // UnitDataType of the contents
    int64_t timestampNs;  // monotonic time the contents were completed, 0 when not set
    uint64_t infoReserved3;
};

// One block of bytes with its size, valid length, creation time and metadata. Always held as
// std::shared_ptr<QelBuffer>; the last holder releases it.
class QUORVANE_EXPORT QelBuffer {
public:
    using RecycleCallback = std::function<void(QelBuffer*)>;

    QelBuffer(unsigned long size, QEL_BUFFER_TYPE type, RecycleCallback recycle);
    virtual ~QelBuffer();
    QelBuffer(const QelBuffer&) = delete;
    QelBuffer& operator=(const QelBuffer&) = delete;

    virtual void* getBo() = 0;
    virtual void* getVaddr() = 0;
    virtual int getFd() = 0;
    virtual uint32_t getHandle() = 0;

    // A heap buffer of `size` bytes, or an empty pointer when `size` is 0.
    static std::shared_ptr<QelBuffer> createMallocBuffer(unsigned long size, RecycleCallback recycle);
    // A heap buffer of `size` bytes (its length) from a process-wide pool: blocks of the next
    // power-of-two size class from 2 KiB to 4 MiB are reused, so a steady stream of buffers costs
    // no heap allocation once the pool is warm. `capacity` is the class size. Larger sizes get a
    // plain heap buffer; 0 gives an empty pointer. Safe from any thread. The block is released by
    // its own address, so its producer may move `vaddr` forward within the block (lowering
    // `capacity` and `length` to match) to hand on only the tail of what it wrote.
    static std::shared_ptr<QelBuffer> createPooledBuffer(unsigned long size);
    // A second buffer over the same block as `source` (no bytes are copied). The block is shared:
    // it is released (freed, or handed to the recycle callback) once, by whichever of the buffers
    // sharing it is destroyed last, so either may outlive the other. `source` must be alive
    // during the call.
    static std::shared_ptr<QelBuffer> cloneQelBuffer(QelBuffer* source);

    // Age of the buffer in whole milliseconds.
    long getDelayTime();
    void setBufferInfo(BufferInfo& info);

    int64_t createTimeNs;
    RecycleCallback recycleCallback;
    QEL_BUFFER_TYPE bufferType;
    BufferInfo info;
    uint64_t capacity;
    uint64_t length;
    uint64_t reservedA;
    int64_t reservedB;
    void* vaddr;
};

// A buffer whose block comes from malloc. Destroying it frees the block, or hands the buffer to
// its recycle callback instead when one is set (the callback then owns the block).
class QUORVANE_EXPORT MallocBuffer : public QelBuffer {
public:
    MallocBuffer(unsigned long size, RecycleCallback recycle);
    ~MallocBuffer() override;

    void* getBo() override;
    void* getVaddr() override;
    int getFd() override;
    uint32_t getHandle() override;

private:
    friend class QelBuffer;
    struct SharedBlock;

    // Null while this buffer is the block's only owner; set once the block is shared by clones.
    std::atomic<SharedBlock*> mShared{nullptr};
};

// A bounded cache of equal heap blocks behind QelBuffer. acquire() hands out a MallocBuffer whose
// block, buffer object and shared_ptr control block come from the cache when one is free; when
// the last holder (the buffer or the last of its clones) lets go, the block goes back through the
// recycle callback and is cached again, or freed when `maxCached` blocks are already cached.
// Blocks may outlive the pool: they are then freed on release. A block goes back by its own
// address, whatever the buffer's `vaddr` points at by then. Safe from any thread.
class QUORVANE_EXPORT BufferPool {
public:
    struct Stats {
        uint64_t blocksAllocated;  // blocks taken from the heap
        uint64_t blocksReused;     // acquisitions served from the cache
        uint64_t blocksFreed;      // blocks given back to the heap (cache full or pool gone)
        size_t blocksCached;       // blocks free in the cache now
        size_t blocksOut;          // blocks held by buffers now
    };

    BufferPool(unsigned long blockSize, size_t maxCached);
    ~BufferPool();
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    // A buffer over one block with `length` valid bytes (0: the whole block), or an empty pointer
    // when `length` exceeds the block size.
    std::shared_ptr<QelBuffer> acquire(unsigned long length = 0);
    unsigned long blockSize() const { return mBlockSize; }
    size_t maxCached() const { return mMaxCached; }
    Stats stats() const;

    struct Core;

private:
    const unsigned long mBlockSize;
    const size_t mMaxCached;
    Core* mCore;  // shared with every block out; the last of them deletes it
};

#endif
