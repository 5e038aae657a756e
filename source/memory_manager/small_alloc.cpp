#include "memory_manager/small_alloc.h"

#include <cstdlib>
#include <mutex>
#include <vector>

#include "common/checked_alloc.h"
#include "common/per_thread.h"

namespace zorvik {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooled = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif
#else
constexpr bool kPooled = true;
#endif

constexpr size_t kStep = kSmallAlign;
constexpr size_t kClasses = kSmallLimit / kStep;
constexpr size_t kChunk = size_t{64} * 1024;

struct FreeBlock {
    FreeBlock* next;
};

// Every chunk begins with a link to the chunk made before it, so that all of
// them stay reachable from their pool's chunk list for as long as the
// process lives (a leak checker then reports them as reachable, not as
// possibly lost).
struct Chunk {
    Chunk* previous;
};
static_assert(sizeof(Chunk) <= kSmallAlign, "the blocks after the link stay aligned");

// Each thread allocates from a pool of its own (its interpreter's blocks
// never reach another thread), so no list is locked. The pool of a thread
// that ends is kept for the next thread that needs chunks: threads that come
// and go reuse the memory instead of leaking it.
struct Pool {
    Chunk* chunks = nullptr;
    FreeBlock* free[kClasses]{};
    // The unused rest of the chunk each size takes new blocks from.
    char* fresh[kClasses]{};
    char* freshEnd[kClasses]{};
};
thread_local constinit Pool sPool;

// The pools of the threads that ended; never destroyed, so that their
// chunks stay reachable.
struct SparePools {
    std::mutex lock;
    std::vector<Pool> pools;
};
SparePools& Spares() {
    static auto* spares = new SparePools;
    return *spares;
}

void KeepPoolAtThreadEnd() {
    DestroyAtThreadEnd(nullptr, [](void*) {
        SparePools& spares = Spares();
        std::lock_guard<std::mutex> hold(spares.lock);
        try {
            spares.pools.push_back(sPool);
        } catch (const std::bad_alloc&) {  // the chunks are lost, the thread still ends
        }
        sPool = Pool{};
    });
}

// The first chunk of a thread: takes over the pool of an ended thread when
// there is one. Returns whether it did.
bool AdoptSparePool() {
    KeepPoolAtThreadEnd();
    SparePools& spares = Spares();
    std::lock_guard<std::mutex> hold(spares.lock);
    if (spares.pools.empty()) return false;
    sPool = spares.pools.back();
    spares.pools.pop_back();
    return true;
}

size_t ClassOf(size_t size) { return (size + kStep - 1) / kStep - 1; }

// A block of class c that was never handed out: cut from the current chunk,
// or from a new one when it is used up (a chunk is cut as it is needed, so a
// short run touches little of it).
void* FreshBlock(size_t c) {
    size_t size = (c + 1) * kStep;
    if (!sPool.chunks && AdoptSparePool()) {
        if (FreeBlock* block = sPool.free[c]) {
            sPool.free[c] = block->next;
            return block;
        }
    }
    if (static_cast<size_t>(sPool.freshEnd[c] - sPool.fresh[c]) < size) {
        auto* chunk = static_cast<Chunk*>(CheckedMalloc(kChunk));
        chunk->previous = sPool.chunks;
        sPool.chunks = chunk;
        char* bytes = reinterpret_cast<char*>(chunk);
        sPool.fresh[c] = bytes + kSmallAlign;
        sPool.freshEnd[c] = bytes + kChunk;
    }
    void* block = sPool.fresh[c];
    sPool.fresh[c] += size;
    return block;
}

}  // namespace

void* ZK_SmallAlloc(size_t size) {
    if (!kPooled || size > kSmallLimit) return CheckedMalloc(size ? size : 1);
    size_t c = ClassOf(size ? size : 1);
    FreeBlock* block = sPool.free[c];
    if (!block) return FreshBlock(c);
    sPool.free[c] = block->next;
    return block;
}

void ZK_SmallFree(void* block, size_t size) {
    if (!block) return;
    if (!kPooled || size > kSmallLimit) {
        std::free(block);
        return;
    }
    size_t c = ClassOf(size ? size : 1);
    auto* node = static_cast<FreeBlock*>(block);
    node->next = sPool.free[c];
    sPool.free[c] = node;
}

}  // namespace zorvik
