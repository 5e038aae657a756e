// Free lists for the small blocks that every call and every member makes
// and drops again: Vars, hash entries, member tables, alias nodes.
//
// Blocks are grouped by size in steps of kSmallAlign bytes up to kSmallLimit
// (fine steps: every member of a table is one Var and one hash entry, and a
// coarser step rounds both up); a freed block goes to the head of its size's
// list and is handed out again first.
// Larger blocks, and every block in a sanitizer build (so that the address
// sanitizer still sees each block's life), go straight to malloc and free.
//
// Invariants:
//  - A block is freed with the size it was allocated with.
//  - A block is aligned to kSmallAlign bytes only: a record kept here asserts
//    that it needs no more.
//  - Each thread has lists of its own: a block is freed by the thread that
//    allocated it (an interpreter's values stay on its thread).
//  - Memory taken for the lists is kept until the process ends; it is reused,
//    never returned (the lists of a thread that ends go to the next thread
//    that needs memory), so the peak of small blocks bounds what is held.
//  - Allocation failure throws std::bad_alloc, like operator new.
#pragma once

#include <cstddef>

namespace zorvik {

constexpr size_t kSmallLimit = 256;
constexpr size_t kSmallAlign = 8;

void* ZK_SmallAlloc(size_t size);
void ZK_SmallFree(void* block, size_t size);

// operator new and delete for a record type kept in the free lists.
#define ZK_SMALL_BLOCKS                                                    \
    static void* operator new(size_t size) { return ZK_SmallAlloc(size); } \
    static void operator delete(void* block, size_t size) { ZK_SmallFree(block, size); }

}  // namespace zorvik
