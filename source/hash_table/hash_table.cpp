#include "hash_table/hash_table.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/checked_alloc.h"

#include "common/assert.h"

namespace zorvik {

namespace {

thread_local constinit int32_t sTables = 0;

inline uint32_t BucketOf(const HashTable* ht, uint32_t hash) { return hash % static_cast<uint32_t>(ht->size); }

inline uint32_t Bucket(const HashTable* ht, const char* key) { return BucketOf(ht, HT_RawHash(key, std::strlen(key))); }

HashEntry* FindEntry(const HashTable* ht, const char* key, size_t length, uint32_t hash) {
    for (HashEntry* e = ht->buckets[BucketOf(ht, hash)]; e; e = e->next)
        if (HT_HasKey(e, key, length, hash)) return e;
    return nullptr;
}

size_t EntrySize(size_t keyLength) { return sizeof(HashEntry) + keyLength + 1; }
void FreeEntry(HashEntry* e) { ZK_SmallFree(e, EntrySize(e->length)); }

// A bucket is one chain head: a pointer to an entry.
constexpr size_t kBucketBytes = sizeof(void*);

thread_local constinit uint64_t sChanges = 0;

void Changed(HashTable* ht) { ht->version = ++sChanges; }

HashEntry** NewBuckets(int32_t size) {
    size_t bytes = static_cast<size_t>(size) * kBucketBytes;
    auto** buckets = static_cast<HashEntry**>(ZK_SmallAlloc(bytes));
    std::memset(buckets, 0, bytes);
    return buckets;
}

void FreeBuckets(HashEntry** buckets, int32_t size) { ZK_SmallFree(buckets, static_cast<size_t>(size) * kBucketBytes); }

// Halves the table when it is less than a quarter full, never below its
// minimum size.
void ShrinkIfSparse(HashTable* ht) {
    if (ht->size / 2 >= 1 && static_cast<uint32_t>(ht->size / 2) >= ht->minSize &&
        int64_t{ht->entries} * 4 < int64_t{ht->size})  // entries / size < 1/4
        HT_Resize(ht, ht->size / 2);
}

// Takes the entry of `key` out of its chain and returns it (null when
// missing), shrinking the table first.
HashEntry* Unlink(HashTable* ht, const char* key, size_t length, uint32_t hash) {
    ShrinkIfSparse(ht);
    for (HashEntry** link = &ht->buckets[BucketOf(ht, hash)]; *link; link = &(*link)->next) {
        HashEntry* e = *link;
        if (!HT_HasKey(e, key, length, hash)) continue;
        *link = e->next;
        e->next = nullptr;
        --ht->entries;
        Changed(ht);
        return e;
    }
    return nullptr;
}

void GrowIfLoaded(HashTable* ht) {
    // entries / size > 3/4, in integers (exactly the same test: no quotient
    // of two table counts lies within rounding distance of 3/4).
    if (int64_t{ht->entries} * 4 > int64_t{ht->size} * 3) HT_Resize(ht, ht->size * 2);
}

}  // namespace

HashTable* HT_Create(int32_t size) {
    if (size <= 0) size = 1;
    HashEntry** buckets = NewBuckets(size);
    HashTable* ht;
    try {
        ht = new HashTable;
    } catch (...) {
        FreeBuckets(buckets, size);
        throw;
    }
    ht->size = size;
    ht->minSize = static_cast<uint32_t>(size);
    ht->entries = 0;
    ht->ownerMarks = 0;
    ht->buckets = buckets;
    Changed(ht);
    ++sTables;
    return ht;
}

void HT_Clear(HashTable* ht, HT_ReleaseFunc release) {
    if (!ht) return;
    for (int32_t i = 0; i < ht->size; ++i) {
        HashEntry* e = ht->buckets[i];
        while (e) {
            HashEntry* next = e->next;
            if (release && e->data) release(e->data);
            FreeEntry(e);
            --ht->entries;
            e = next;
        }
        ht->buckets[i] = nullptr;
    }
    ZK_ASSERT(ht->entries == 0);
    Changed(ht);
}

void HT_Free(HashTable* ht, HT_ReleaseFunc release) {
    if (!ht) return;
    if (ht->buckets) HT_Clear(ht, release);
    FreeBuckets(ht->buckets, ht->size);
    delete ht;
    --sTables;
}

uint32_t HT_Hash(const HashTable* ht, const char* key) {
    if (!ht) return 0;
    return Bucket(ht, key);
}

uint32_t HT_RawHash(const char* key, size_t length) {
    uint32_t h = 5381;
    for (size_t i = 0; i < length; ++i)
        h = h * 33u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(key[i])));
    return h;
}

HashEntry* HT_GetEntry(const HashTable* ht, const char* key) {
    if (!ht) return nullptr;
    size_t length = std::strlen(key);
    return FindEntry(ht, key, length, HT_RawHash(key, length));
}

HashEntry* HT_GetEntryHashed(const HashTable* ht, const char* key, size_t length, uint32_t hash) {
    return ht ? FindEntry(ht, key, length, hash) : nullptr;
}

void* HT_Get(const HashTable* ht, const char* key) {
    HashEntry* e = HT_GetEntry(ht, key);
    return e ? e->data : nullptr;
}

int HT_Exists(const HashTable* ht, const char* key) { return HT_Get(ht, key) != nullptr; }

int HT_Function(HashTable* ht, const char* key, HT_DataFunc func) {
    HashEntry* e = HT_GetEntry(ht, key);
    if (!e) return 0;
    func(e->data);
    return 1;
}

int HT_GetKey(const HashTable* ht, const void* data, std::string& key) {
    if (!ht || !data) return 0;
    for (int32_t i = 0; i < ht->size; ++i)
        for (HashEntry* e = ht->buckets[i]; e; e = e->next)
            if (e->data == data) {
                key = e->Key();
                return 1;
            }
    return 0;
}

namespace {

HashEntry* NewEntry(const char* key, size_t length, uint32_t hash, void* data) {
    auto* e = static_cast<HashEntry*>(ZK_SmallAlloc(EntrySize(length)));
    e->data = data;
    e->next = nullptr;
    e->hash = hash;
    e->length = static_cast<uint32_t>(length);
    std::memcpy(e->Key(), key, length);
    e->Key()[length] = '\0';
    return e;
}

}  // namespace

HashEntry* HT_NewEntry(const char* key, void* data) {
    size_t length = std::strlen(key);
    return NewEntry(key, length, HT_RawHash(key, length), data);
}

int HT_UnsafeAddHashed(HashTable* ht, const char* key, size_t length, uint32_t hash, void* data) {
    if (!ht) return 0;
    GrowIfLoaded(ht);
    return HT_AddEntry(ht, NewEntry(key, length, hash, data));
}

int HT_Add(HashTable* ht, const char* key, void* data) {
    if (!ht) return 0;
    GrowIfLoaded(ht);
    size_t length = std::strlen(key);
    uint32_t hash = HT_RawHash(key, length);
    HashEntry** link = &ht->buckets[BucketOf(ht, hash)];
    for (; *link; link = &(*link)->next)
        if (HT_HasKey(*link, key, length, hash)) return 0;
    *link = HT_NewEntry(key, data);
    ++ht->entries;
    Changed(ht);
    return 1;
}

int HT_UnsafeAdd(HashTable* ht, const char* key, void* data) {
    if (!ht) return 0;
    GrowIfLoaded(ht);
    return HT_AddEntry(ht, HT_NewEntry(key, data));
}

HashEntry* HT_NewUnsafeEntry(HashTable* ht, const char* key) {
    if (!ht) return nullptr;
    HashEntry* e = HT_NewEntry(key, nullptr);
    HT_AddEntry(ht, e);
    return e;
}

int HT_AddEntry(HashTable* ht, HashEntry* entry) {
    if (!ht || !entry) return 0;
    HashEntry*& head = ht->buckets[BucketOf(ht, entry->hash)];
    entry->next = head;
    head = entry;
    ++ht->entries;
    Changed(ht);
    return 1;
}

int HT_Delete(HashTable* ht, const char* key, HT_ReleaseFunc release) {
    if (!ht) return 0;
    size_t length = std::strlen(key);
    return HT_DeleteHashed(ht, key, length, HT_RawHash(key, length), release);
}

int HT_DeleteHashed(HashTable* ht, const char* key, size_t length, uint32_t hash, HT_ReleaseFunc release) {
    HashEntry* e = ht ? Unlink(ht, key, length, hash) : nullptr;
    if (!e) return 0;
    if (release) release(e->data);
    FreeEntry(e);
    return 1;
}

void HT_ReverseChains(HashTable* ht) {
    if (!ht) return;
    for (int32_t i = 0; i < ht->size; ++i) {
        HashEntry* reversed = nullptr;
        for (HashEntry* e = ht->buckets[i]; e;) {
            HashEntry* next = e->next;
            e->next = reversed;
            reversed = e;
            e = next;
        }
        ht->buckets[i] = reversed;
    }
    Changed(ht);
}

void HT_Resize(HashTable* ht, int32_t size) {
    if (!ht) return;
    if (size <= 0) size = 1;
    if (static_cast<uint32_t>(size) < ht->minSize) ht->minSize = static_cast<uint32_t>(size);
    if (size == ht->size) return;
    HashEntry** old = ht->buckets;
    int32_t oldSize = ht->size;
    ht->buckets = NewBuckets(size);
    ht->size = size;
    Changed(ht);
    for (int32_t i = 0; i < oldSize; ++i) {
        HashEntry* e = old[i];
        while (e) {
            HashEntry* next = e->next;
            HashEntry*& head = ht->buckets[BucketOf(ht, e->hash)];
            e->next = head;
            head = e;
            e = next;
        }
    }
    FreeBuckets(old, oldSize);
}

void HT_ApplyDataFunction(HashTable* ht, HT_DataFunc func) {
    HT_ForEachEntry(ht, [func](HashEntry* e) {
        if (e->data) func(e->data);
    });
}

void HT_ApplyKeyFunction(HashTable* ht, HT_KeyFunc func) {
    HT_ForEachEntry(ht, [func](HashEntry* e) { func(e->Key(), e->data); });
}

void HT_ForEach(const HashTable* ht, HT_EntryFunc visit, void* context) {
    HT_ForEachEntry(ht, [visit, context](HashEntry* e) { visit(e, context); });
}

int32_t HT_TableCount() { return sTables; }

void HT_KeepOnly(HashTable* ht, HashEntry* const* keep, size_t count, HT_ReleaseFunc release) {
    if (!ht) return;
    // Unlink everything first: releasing may not meet a half-emptied table.
    HashEntry* doomed = nullptr;
    for (int32_t i = 0; i < ht->size; ++i) {
        for (HashEntry* e = ht->buckets[i]; e;) {
            HashEntry* next = e->next;
            bool kept = false;
            for (size_t k = 0; k < count && !kept; ++k) kept = keep[k] == e;
            if (!kept) {
                e->next = doomed;
                doomed = e;
            }
            e = next;
        }
        ht->buckets[i] = nullptr;
    }
    ht->entries = 0;
    Changed(ht);
    for (size_t k = 0; k < count; ++k) HT_AddEntry(ht, keep[k]);  // order matters: as they were added
    while (doomed) {
        HashEntry* next = doomed->next;
        if (release && doomed->data) release(doomed->data);
        FreeEntry(doomed);
        doomed = next;
    }
}

void HT_LinkEntry(HashTable* ht, HashEntry* entry) {
    GrowIfLoaded(ht);
    HT_AddEntry(ht, entry);
}

void HT_UnlinkEntry(HashTable* ht, HashEntry* entry) {
    ShrinkIfSparse(ht);  // first, as Unlink does: the chains are then the same
    HashEntry** link = &ht->buckets[BucketOf(ht, entry->hash)];
    while (*link != entry) {
        ZK_ASSERT(*link);  // the entry is linked in this table
        link = &(*link)->next;
    }
    *link = entry->next;
    entry->next = nullptr;
    --ht->entries;
    Changed(ht);
}

void HT_FreeEntry(HashEntry* entry) {
    if (entry) FreeEntry(entry);
}

HashEntry* HT_NewHashedEntry(const char* key, size_t length, uint32_t hash, void* data) {
    return NewEntry(key, length, hash, data);
}

HashEntry* HT_RekeyEntry(HashEntry* entry, const char* key, size_t length, uint32_t hash) {
    if (entry->length != length) {  // another block size
        HashEntry* fresh = NewEntry(key, length, hash, entry->data);
        FreeEntry(entry);
        return fresh;
    }
    entry->hash = hash;
    // Short: copied a word at a time, with no call into memcpy.
    char* own = entry->Key();
    for (; length >= 4; length -= 4, own += 4, key += 4) std::memcpy(own, key, 4);
    for (; length > 0; --length) *own++ = *key++;
    return entry;
}

}  // namespace zorvik
