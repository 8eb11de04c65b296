#include "platform/buffer.h"

#include <cstdlib>
#include <ctime>
#include <utility>

#include "utils/slog.h"

namespace {
int64_t monotonicNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}
}  // namespace

// Count of the buffers that share one block; the one that takes it to zero releases the block.
struct MallocBuffer::SharedBlock {
    std::atomic<long> holders;
};

QelBuffer::QelBuffer(unsigned long size, QEL_BUFFER_TYPE type, RecycleCallback recycle)
    : recycleCallback(std::move(recycle)),
      bufferType(type),
      info{},
      capacity(size),
      length(size),
      reservedA(0),
      reservedB(-1),
      vaddr(nullptr) {
    createTimeNs = monotonicNs();
}

QelBuffer::~QelBuffer() = default;

std::shared_ptr<QelBuffer> QelBuffer::createMallocBuffer(unsigned long size, RecycleCallback recycle) {
    if (size == 0) return std::shared_ptr<QelBuffer>();
    return std::shared_ptr<QelBuffer>(new MallocBuffer(size, std::move(recycle)));
}

std::shared_ptr<QelBuffer> QelBuffer::cloneQelBuffer(QelBuffer* source) {
    // Another kind that claims the heap tag cannot share its block through our holder count.
    auto* src = dynamic_cast<MallocBuffer*>(source);
    if (source == nullptr || source->bufferType != QEL_BUFFER_TYPE_MALLOC || src == nullptr) {
        SLOGE("unknown buffer clone type.\n");
        abort();
    }

    std::unique_ptr<MallocBuffer> clone(new MallocBuffer(0, src->recycleCallback));
    clone->info = src->info;
    clone->bufferType = src->bufferType;
    clone->reservedA = src->reservedA;
    clone->reservedB = src->reservedB;
    clone->vaddr = src->vaddr;
    clone->capacity = src->capacity;
    clone->length = src->length;

    // The first clone turns the source's sole ownership into a count; two threads cloning the
    // same source at once agree on one count through the exchange.
    MallocBuffer::SharedBlock* shared = src->mShared.load(std::memory_order_acquire);
    if (shared == nullptr) {
        auto* fresh = new MallocBuffer::SharedBlock{{1}};
        if (src->mShared.compare_exchange_strong(shared, fresh, std::memory_order_acq_rel,
                                                 std::memory_order_acquire)) {
            shared = fresh;
        } else {
            delete fresh;
        }
    }
    shared->holders.fetch_add(1, std::memory_order_relaxed);
    clone->mShared.store(shared, std::memory_order_release);

    clone->createTimeNs = monotonicNs();
    return std::shared_ptr<QelBuffer>(clone.release());
}

long QelBuffer::getDelayTime() {
    return static_cast<long>((monotonicNs() - createTimeNs) / 1000000);
}

void QelBuffer::setBufferInfo(BufferInfo& newInfo) {
    info = newInfo;
}

MallocBuffer::MallocBuffer(unsigned long size, RecycleCallback recycle)
    : QelBuffer(size, QEL_BUFFER_TYPE_MALLOC, std::move(recycle)) {
    vaddr = size != 0 ? malloc(size) : nullptr;
    reservedA = 0;
    reservedB = -1;
}

MallocBuffer::~MallocBuffer() {
    SharedBlock* shared = mShared.load(std::memory_order_acquire);
    if (shared != nullptr) {
        // Another buffer still refers to the block: it is released by the last of them.
        if (shared->holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        delete shared;
    }
    if (recycleCallback) {
        recycleCallback(this);
    } else if (vaddr != nullptr) {
        free(vaddr);
    }
}

void* MallocBuffer::getBo() {
    SLOGE("malloc buffer has no bo !!\n");
    abort();
}

void* MallocBuffer::getVaddr() {
    return vaddr;
}

int MallocBuffer::getFd() {
    SLOGE("malloc buffer has no fd !!\n");
    abort();
}

uint32_t MallocBuffer::getHandle() {
    SLOGE("malloc buffer has no handle !!\n");
    abort();
}
