#include "platform/buffer.h"

#include <array>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

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

// What a pool shares with the blocks it handed out. One count covers the pool itself, every block
// out and every buffer-object chunk out, so the state lives until the last of them is gone.
struct BufferPool::Core {
    Core(unsigned long size, size_t max) : blockSize(size), maxCached(max) {
        // Reserved up front: caching a block or a chunk never allocates.
        freeBlocks.reserve(max);
        freeChunks.reserve(max);
    }

    const unsigned long blockSize;
    const size_t maxCached;
    std::mutex mutex;  // guards everything below
    std::vector<void*> freeBlocks;
    std::vector<void*> freeChunks;  // memory for a buffer object with its shared_ptr count
    size_t chunkSize = 0;           // the size of the chunks cached, fixed by the first request
    bool closed = false;            // the pool is gone: everything given back is freed
    size_t refs = 1;
    uint64_t allocated = 0;
    uint64_t reused = 0;
    uint64_t freed = 0;
    size_t out = 0;

    // Called with the mutex held; true when the caller must delete the core after unlocking.
    bool dropRef() { return --refs == 0 && closed; }

    void giveBlock(void* block) {
        bool last;
        {
            std::lock_guard<std::mutex> lock(mutex);
            --out;
            if (block == nullptr) {
                // nothing to give back: an acquisition that could not get its block
            } else if (!closed && freeBlocks.size() < maxCached) {
                freeBlocks.push_back(block);
                block = nullptr;
            } else {
                ++freed;
            }
            last = dropRef();
        }
        free(block);
        if (last) delete this;
    }

    void* takeChunk(size_t size) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++refs;
            if (chunkSize == 0) chunkSize = size;
            if (size == chunkSize && !freeChunks.empty()) {
                void* chunk = freeChunks.back();
                freeChunks.pop_back();
                return chunk;
            }
        }
        try {
            return ::operator new(size);
        } catch (...) {
            bool last;
            {
                std::lock_guard<std::mutex> lock(mutex);
                last = dropRef();
            }
            if (last) delete this;
            throw;
        }
    }

    void giveChunk(void* chunk, size_t size) {
        bool last;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!closed && size == chunkSize && freeChunks.size() < maxCached) {
                freeChunks.push_back(chunk);
                chunk = nullptr;
            }
            last = dropRef();
        }
        ::operator delete(chunk);
        if (last) delete this;
    }
};

namespace {
// Places a pooled buffer and its shared_ptr count in one chunk the pool caches.
template <class T>
struct ChunkAllocator {
    using value_type = T;
    explicit ChunkAllocator(BufferPool::Core* c) : core(c) {}
    template <class U>
    ChunkAllocator(const ChunkAllocator<U>& other) : core(other.core) {}
    T* allocate(size_t n) { return static_cast<T*>(core->takeChunk(n * sizeof(T))); }
    void deallocate(T* p, size_t n) { core->giveChunk(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const ChunkAllocator<U>& other) const {
        return core == other.core;
    }
    template <class U>
    bool operator!=(const ChunkAllocator<U>& other) const {
        return core != other.core;
    }
    BufferPool::Core* core;
};
}  // namespace

BufferPool::BufferPool(unsigned long blockSize, size_t maxCached)
    : mBlockSize(blockSize), mMaxCached(maxCached), mCore(new Core(blockSize, maxCached)) {}

BufferPool::~BufferPool() {
    std::vector<void*> blocks;
    std::vector<void*> chunks;
    bool last;
    {
        std::lock_guard<std::mutex> lock(mCore->mutex);
        mCore->closed = true;
        blocks.swap(mCore->freeBlocks);
        chunks.swap(mCore->freeChunks);
        mCore->freed += blocks.size();
        last = mCore->dropRef();
    }
    for (void* block : blocks) free(block);
    for (void* chunk : chunks) ::operator delete(chunk);
    if (last) delete mCore;
}

std::shared_ptr<QelBuffer> BufferPool::acquire(unsigned long length) {
    if (length > mBlockSize || mBlockSize == 0) return std::shared_ptr<QelBuffer>();
    Core* core = mCore;
    void* block = nullptr;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        if (!core->freeBlocks.empty()) {
            block = core->freeBlocks.back();
            core->freeBlocks.pop_back();
            ++core->reused;
        } else {
            ++core->allocated;
        }
        ++core->out;
        ++core->refs;
    }
    if (block == nullptr) block = malloc(mBlockSize);
    if (block == nullptr) {
        core->giveBlock(nullptr);
        return std::shared_ptr<QelBuffer>();
    }
    std::shared_ptr<MallocBuffer> buffer;
    try {
        // The callback gives back the block by its own address, not by the buffer's vaddr, which
        // a producer may have moved within the block. Two pointers: std::function keeps them
        // without allocating.
        buffer = std::allocate_shared<MallocBuffer>(ChunkAllocator<MallocBuffer>(core), 0UL,
                                                    [core, block](QelBuffer*) { core->giveBlock(block); });
    } catch (...) {
        core->giveBlock(block);
        throw;
    }
    buffer->vaddr = block;
    buffer->capacity = mBlockSize;
    buffer->length = length != 0 ? length : mBlockSize;
    return buffer;
}

BufferPool::Stats BufferPool::stats() const {
    std::lock_guard<std::mutex> lock(mCore->mutex);
    return Stats{mCore->allocated, mCore->reused, mCore->freed, mCore->freeBlocks.size(), mCore->out};
}

std::shared_ptr<QelBuffer> QelBuffer::createPooledBuffer(unsigned long size) {
    // Size classes 2 KiB << k; each caches up to 8 MiB of free blocks (at least two).
    constexpr unsigned kSmallestShift = 11;
    constexpr unsigned kClasses = 12;
    if (size == 0) return std::shared_ptr<QelBuffer>();
    unsigned k = 0;
    while (k < kClasses && (1UL << (kSmallestShift + k)) < size) ++k;
    if (k == kClasses) {
        // Freed by its block's address too, so that vaddr may move within the block here as well.
        std::shared_ptr<QelBuffer> big = createMallocBuffer(size, nullptr);
        void* block = big->getVaddr();
        if (block != nullptr) big->recycleCallback = [block](QelBuffer*) { free(block); };
        return big;
    }
    // Never destroyed: receive threads of clients still enabled when the process exits go on
    // taking blocks while static objects are destroyed. The blocks stay reachable, so leak
    // checkers do not count them.
    static BufferPool* const* const pools = [] {
        auto* made = new BufferPool*[kClasses];
        for (unsigned i = 0; i < kClasses; ++i) {
            unsigned long blockSize = 1UL << (kSmallestShift + i);
            size_t budget = (8UL << 20) / blockSize;
            made[i] = new BufferPool(blockSize, budget < 2 ? 2 : budget);
        }
        return made;
    }();
    return pools[k]->acquire(size);
}
