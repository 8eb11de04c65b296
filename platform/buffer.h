#ifndef QUORVANE_PLATFORM_BUFFER_H
#define QUORVANE_PLATFORM_BUFFER_H

#include <atomic>
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

#endif
