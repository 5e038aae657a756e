#include "memory_manager/small_alloc.h"

#include <cstdlib>

#include "common/checked_alloc.h"

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
// them stay reachable from sChunks for as long as the process lives (a leak
// checker then reports them as reachable, not as possibly lost).
struct Chunk {
    Chunk* previous;
};
static_assert(sizeof(Chunk) <= kSmallAlign, "the blocks after the link stay aligned");
Chunk* sChunks = nullptr;

FreeBlock* sFree[kClasses];
// The unused rest of the chunk each size takes new blocks from.
char* sFresh[kClasses];
char* sFreshEnd[kClasses];

size_t ClassOf(size_t size) { return (size + kStep - 1) / kStep - 1; }

// A block of class c that was never handed out: cut from the current chunk,
// or from a new one when it is used up (a chunk is cut as it is needed, so a
// short run touches little of it).
void* FreshBlock(size_t c) {
    size_t size = (c + 1) * kStep;
    if (static_cast<size_t>(sFreshEnd[c] - sFresh[c]) < size) {
        auto* chunk = static_cast<Chunk*>(CheckedMalloc(kChunk));
        chunk->previous = sChunks;
        sChunks = chunk;
        char* bytes = reinterpret_cast<char*>(chunk);
        sFresh[c] = bytes + kSmallAlign;
        sFreshEnd[c] = bytes + kChunk;
    }
    void* block = sFresh[c];
    sFresh[c] += size;
    return block;
}

}  // namespace

void* ZK_SmallAlloc(size_t size) {
    if (!kPooled || size > kSmallLimit) return CheckedMalloc(size ? size : 1);
    size_t c = ClassOf(size ? size : 1);
    FreeBlock* block = sFree[c];
    if (!block) return FreshBlock(c);
    sFree[c] = block->next;
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
    node->next = sFree[c];
    sFree[c] = node;
}

}  // namespace zorvik
