// Separately chained hash table from NUL-terminated string keys to untyped data.
//
// Invariants:
//  - size >= 1; entries equals the number of entries reachable from buckets;
//    every entry lies in the chain of bucket HT_Hash(key).
//  - The table owns its entries and their key copies, never the data: the
//    operations that remove entries take a release callback for the data.
//  - Orders are observable by scripts (member listings, debug output), so they
//    are exact: HT_Add appends at a chain's tail, every other insertion links at
//    the head; resizing visits old buckets in index order, chains head to tail,
//    and relinks at the head of the new chain.
//  - Every operation accepts a null table and then does nothing.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "memory_manager/small_alloc.h"

namespace zorvik {

// An entry and its key share one block: the key's bytes and a NUL follow the
// record, so a member costs one allocation and no key pointer.
struct HashEntry {
    void* data;
    HashEntry* next;
    uint32_t hash;    // HT_RawHash(Key()), kept so that lookups and resizes never rehash
    uint32_t length;  // strlen(Key())
    const char* Key() const { return reinterpret_cast<const char*>(this + 1); }
    char* Key() { return reinterpret_cast<char*>(this + 1); }
};

// Whether `e` holds the key made of the first `length` bytes of `key`,
// whose HT_RawHash is `hash`.
inline bool HT_HasKey(const HashEntry* e, const char* key, size_t length, uint32_t hash) {
    if (e->hash != hash || e->length != length) return false;
    // Keys are short: compared a word at a time, with no call into memcmp.
    const char* own = e->Key();
    for (; length >= 4; length -= 4, own += 4, key += 4) {
        uint32_t a;
        uint32_t b;
        std::memcpy(&a, own, 4);
        std::memcpy(&b, key, 4);
        if (a != b) return false;
    }
    for (; length > 0; --length)
        if (*own++ != *key++) return false;
    return true;
}

struct HashTable {
    int32_t size;
    uint32_t minSize;
    int32_t entries;
    // Bits that the owner of the table keeps about what its entries hold;
    // zero in a new table, and no operation of the table reads or changes them.
    uint32_t ownerMarks;
    HashEntry** buckets;
    // Taken from a counter of all tables' changes when this one was made and
    // whenever an entry is linked or unlinked or it is resized: no two
    // changes share a version, so a table with the version it had is the
    // same table, unchanged.
    uint64_t version;
    ZK_SMALL_BLOCKS
};
// Entries, tables and bucket arrays are small blocks.
static_assert(alignof(HashEntry) <= kSmallAlign && alignof(HashTable) <= kSmallAlign);
static_assert(sizeof(HashTable) == 32, "the owner's marks fill what was padding");

using HT_ReleaseFunc = void (*)(void* data);
using HT_DataFunc = void (*)(void* data);
using HT_KeyFunc = void (*)(const char* key, void* data);

HashTable* HT_Create(int32_t size);
void HT_Clear(HashTable* ht, HT_ReleaseFunc release);
void HT_Free(HashTable* ht, HT_ReleaseFunc release);
uint32_t HT_Hash(const HashTable* ht, const char* key);
void* HT_Get(const HashTable* ht, const char* key);
// HT_Get of the key made of the first `length` bytes of `key` (a key that
// holds no NUL byte), whose HT_RawHash `hash` the caller knows: a part of a
// longer text is looked up in place.
// Inline: every name a walk meets is looked up here.
inline void* HT_GetHashed(const HashTable* ht, const char* key, size_t length, uint32_t hash) {
    if (!ht) return nullptr;
    for (const HashEntry* e = ht->buckets[hash % static_cast<uint32_t>(ht->size)]; e; e = e->next)
        if (HT_HasKey(e, key, length, hash)) return e->data;
    return nullptr;
}
// The entry that HT_GetHashed finds, or null.
HashEntry* HT_GetEntryHashed(const HashTable* ht, const char* key, size_t length, uint32_t hash);
// Removes every entry but the `count` entries `keep` (entries of `ht`),
// releasing their data, and links the kept ones in the order given, as
// adding them in that order to the emptied table would (they must be too few
// to make it grow). Allocates nothing.
void HT_KeepOnly(HashTable* ht, HashEntry* const* keep, size_t count, HT_ReleaseFunc release);
// HT_UnsafeAdd and HT_Delete of the first `length` bytes of `key`, whose
// HT_RawHash is `hash`.
int HT_UnsafeAddHashed(HashTable* ht, const char* key, size_t length, uint32_t hash, void* data);
int HT_DeleteHashed(HashTable* ht, const char* key, size_t length, uint32_t hash, HT_ReleaseFunc release);
// Links an unlinked entry in again, as HT_UnsafeAddHashed of its key and data
// would (growing the table first when it is loaded); may throw std::bad_alloc
// when it grows, with the entry still unlinked.
void HT_LinkEntry(HashTable* ht, HashEntry* entry);
// HT_DeleteHashed of the key of `entry`, an entry of `ht`, without the
// release: the entry is found by its address and unlinked (the table changes
// exactly as by HT_DeleteHashed), data and key intact, for HT_LinkEntry or
// HT_FreeEntry.
void HT_UnlinkEntry(HashTable* ht, HashEntry* entry);
// Frees an unlinked entry (not its data).
void HT_FreeEntry(HashEntry* entry);
// A new unlinked entry for `data` under the first `length` bytes of `key`,
// whose HT_RawHash is `hash`, for HT_LinkEntry; throws std::bad_alloc.
HashEntry* HT_NewHashedEntry(const char* key, size_t length, uint32_t hash, void* data);
// Gives the unlinked entry `entry` the key HT_NewHashedEntry would give it,
// keeping its data: in place when the key has the length of its own, else in
// a new entry that replaces it. Returns the entry that holds the key; throws
// std::bad_alloc (with `entry` unchanged) when a new one cannot be made.
HashEntry* HT_RekeyEntry(HashEntry* entry, const char* key, size_t length, uint32_t hash);
// The 33-multiplier string hash of the first `length` bytes, before it is
// reduced to a bucket index (bytes are taken as signed 8-bit values).
uint32_t HT_RawHash(const char* key, size_t length);
HashEntry* HT_GetEntry(const HashTable* ht, const char* key);
int HT_Exists(const HashTable* ht, const char* key);
int HT_Function(HashTable* ht, const char* key, HT_DataFunc func);
// Reverse lookup by pointer identity; the first match in traversal order.
int HT_GetKey(const HashTable* ht, const void* data, std::string& key);
int HT_Add(HashTable* ht, const char* key, void* data);
int HT_UnsafeAdd(HashTable* ht, const char* key, void* data);
HashEntry* HT_NewUnsafeEntry(HashTable* ht, const char* key);
int HT_AddEntry(HashTable* ht, HashEntry* entry);
int HT_Delete(HashTable* ht, const char* key, HT_ReleaseFunc release);
void HT_Resize(HashTable* ht, int32_t size);
// Reverses every chain in place: the order that adding each entry, in
// traversal order, at the head of its chain in a table of the same size
// gives. Allocates nothing.
void HT_ReverseChains(HashTable* ht);
void HT_ApplyDataFunction(HashTable* ht, HT_DataFunc func);
void HT_ApplyKeyFunction(HashTable* ht, HT_KeyFunc func);

// The one walk over a table's entries, in traversal order: buckets in index
// order, each chain from head to tail. visit(entry) may change the entry's
// data but must not insert or remove entries of the table being walked.
template <typename Visit>
void HT_ForEachEntry(const HashTable* ht, Visit visit) {
    if (!ht) return;
    for (int32_t i = 0; i < ht->size; ++i)
        for (HashEntry* e = ht->buckets[i]; e; e = e->next) visit(e);
}
// The same walk for a plain function, which gets `context` with each entry.
using HT_EntryFunc = void (*)(HashEntry* entry, void* context);
void HT_ForEach(const HashTable* ht, HT_EntryFunc visit, void* context);
int32_t HT_TableCount();

// Allocates an entry record with a copy of the key, for HT_AddEntry.
HashEntry* HT_NewEntry(const char* key, void* data);

}  // namespace zorvik
