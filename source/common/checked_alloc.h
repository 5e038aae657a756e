// The allocator of every malloc'd block (variable strings, hash entries).
//
// A failed allocation throws std::bad_alloc, as operator new does, so that a
// run that exhausts memory unwinds to ZK_Run and ends with an "Out of
// memory" report instead of writing through a null pointer. Blocks are
// released with std::free (string payloads, which are counted, with
// MM_ReleaseText).
#pragma once

#include <cstdlib>
#include <new>

namespace zorvik {

inline void* CheckedMalloc(size_t size) {
    void* block = std::malloc(size);
    if (!block) throw std::bad_alloc();
    return block;
}

inline void* CheckedRealloc(void* block, size_t size) {
    void* grown = std::realloc(block, size);
    if (!grown) throw std::bad_alloc();  // the old block stays valid and owned
    return grown;
}

}  // namespace zorvik
