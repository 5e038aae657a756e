#include "memory_manager/small_alloc.h"

#include <cstdlib>

#include "common/checked_alloc.h"

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

constexpr size_t kStep = 16;
constexpr size_t kClasses = kSmallLimit / kStep;
constexpr size_t kChunk = size_t{64} * 1024;

struct FreeBlock {
    FreeBlock* next;
};

FreeBlock* sFree[kClasses];

size_t ClassOf(size_t size) { return (size + kStep - 1) / kStep - 1; }

// Cuts a fresh chunk into blocks of class c and puts them on its list.
void Refill(size_t c) {
    size_t size = (c + 1) * kStep;
    char* chunk = static_cast<char*>(CheckedMalloc(kChunk));
    size_t count = kChunk / size;
    for (size_t i = count; i-- > 0;) {
        auto* block = reinterpret_cast<FreeBlock*>(chunk + i * size);
        block->next = sFree[c];
        sFree[c] = block;
    }
}

}  // namespace

void* ZK_SmallAlloc(size_t size) {
    if (!kPooled || size > kSmallLimit) return CheckedMalloc(size ? size : 1);
    size_t c = ClassOf(size ? size : 1);
    if (!sFree[c]) Refill(c);
    FreeBlock* block = sFree[c];
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
