#include "hash_table/hash_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Chain(const HashTable* t, uint32_t bucket) {
    std::vector<std::string> keys;
    for (const HashEntry* e = t->buckets[bucket]; e; e = e->next) keys.push_back(e->key);
    return keys;
}

// n distinct keys that share one bucket of t.
std::vector<std::string> Colliding(const HashTable* t, size_t n) {
    std::vector<std::string> keys;
    for (int i = 0; i < 1000 && keys.size() < n; ++i) {
        std::string k("k");
        k += std::to_string(i);
        if (keys.empty() || HT_Hash(t, k.c_str()) == HT_Hash(t, keys[0].c_str())) keys.push_back(k);
    }
    return keys;
}

std::vector<void*> gReleased;
void Record(void* data) { gReleased.push_back(data); }

int gA, gB, gC;

}  // namespace

TEST(HashTableGrowth, DoublesOnlyWhenLoadBeforeInsertExceedsThreeQuarters) {
    HashTable* t = HT_Create(0);
    EXPECT_EQ(t->size, 1);
    EXPECT_EQ(t->minSize, 1u);
    std::vector<int32_t> sizes;
    for (const char* k : {"a", "b", "c", "d", "e"}) {
        HT_Add(t, k, &gA);
        sizes.push_back(t->size);
    }
    // Load 3/4 before the fourth insert is not above 0.75; 4/4 before the fifth is.
    EXPECT_EQ(sizes, (std::vector<int32_t>{1, 2, 4, 4, 8}));
    for (const char* k : {"a", "b", "c", "d", "e"}) EXPECT_EQ(HT_Get(t, k), &gA) << k;
    HT_Free(t, nullptr);
}

TEST(HashTableHash, BytesAbove127CountAsNegative) {
    for (int32_t size : {1, 7, 16, 1000}) {
        HashTable* t = HT_Create(size);
        uint32_t expected = 177572u % static_cast<uint32_t>(size);
        EXPECT_EQ(HT_Hash(t, "\xFF"), expected) << "size " << size;
        HT_Add(t, "\xFF", &gA);
        EXPECT_EQ(Chain(t, expected), std::vector<std::string>{"\xFF"});
        HT_Free(t, nullptr);
    }
}

TEST(HashTableShrink, DeleteHalvesSparseTableEvenForAbsentKeyButNotBelowMinSize) {
    HashTable* t = HT_Create(2);
    HT_Resize(t, 16);
    EXPECT_EQ(t->minSize, 2u);
    for (int32_t expected : {8, 4, 2, 2}) {
        EXPECT_EQ(HT_Delete(t, "absent", nullptr), 0);
        EXPECT_EQ(t->size, expected);
    }
    HT_Free(t, nullptr);

    HashTable* fixed = HT_Create(16);
    HT_Add(fixed, "a", &gA);
    EXPECT_EQ(HT_Delete(fixed, "absent", nullptr), 0);
    EXPECT_EQ(HT_Delete(fixed, "a", nullptr), 1);
    EXPECT_EQ(fixed->size, 16);
    // Only an explicit resize moves the floor.
    HT_Resize(fixed, 2);
    EXPECT_EQ(fixed->minSize, 2u);
    HT_Resize(fixed, 0);
    EXPECT_EQ(fixed->size, 1);
    EXPECT_EQ(fixed->minSize, 1u);
    HT_Free(fixed, nullptr);
}

TEST(HashTableShrink, LoadIsTakenBeforeRemovalAndMustBeBelowQuarter) {
    HashTable* t = HT_Create(1);
    HT_Resize(t, 8);
    HT_Add(t, "a", &gA);
    HT_Add(t, "b", &gB);
    EXPECT_EQ(HT_Delete(t, "a", nullptr), 1);  // load 2/8 is not below 0.25
    EXPECT_EQ(t->size, 8);
    EXPECT_EQ(HT_Delete(t, "b", nullptr), 1);  // load 1/8 is
    EXPECT_EQ(t->size, 4);
    HT_Free(t, nullptr);
}

TEST(HashTableInsert, AddRefusesPresentKeyButUnsafeAddShadowsIt) {
    HashTable* t = HT_Create(4);
    EXPECT_EQ(HT_Add(t, "k", &gA), 1);
    EXPECT_EQ(HT_Add(t, "k", &gB), 0);
    EXPECT_EQ(HT_Get(t, "k"), &gA);
    EXPECT_EQ(HT_UnsafeAdd(t, "k", &gC), 1);
    EXPECT_EQ(t->entries, 2);
    EXPECT_EQ(HT_Get(t, "k"), &gC);
    EXPECT_EQ(HT_Delete(t, "k", nullptr), 1);
    EXPECT_EQ(HT_Get(t, "k"), &gA);
    EXPECT_EQ(HT_Delete(t, "k", nullptr), 1);
    EXPECT_EQ(HT_Get(t, "k"), nullptr);
    HT_Free(t, nullptr);
}

TEST(HashTableOrder, AddAppendsOtherInsertionsPrependAndResizeReverses) {
    HashTable* t = HT_Create(16);
    std::vector<std::string> k = Colliding(t, 4);
    ASSERT_EQ(k.size(), 4u);
    HT_Add(t, k[0].c_str(), &gA);
    HT_Add(t, k[1].c_str(), &gB);
    HT_UnsafeAdd(t, k[2].c_str(), &gC);
    HashEntry* e = HT_NewUnsafeEntry(t, k[3].c_str());
    EXPECT_EQ(Chain(t, HT_Hash(t, k[0].c_str())), (std::vector<std::string>{k[3], k[2], k[0], k[1]}));
    EXPECT_EQ(HT_GetEntry(t, k[3].c_str()), e);
    EXPECT_EQ(HT_Exists(t, k[3].c_str()), 0);  // present, but with null data
    e->data = &gA;
    EXPECT_EQ(HT_Exists(t, k[3].c_str()), 1);
    HT_Resize(t, 8);  // buckets mod 8 refine buckets mod 16, so the chain stays shared
    EXPECT_EQ(Chain(t, HT_Hash(t, k[0].c_str())), (std::vector<std::string>{k[1], k[0], k[2], k[3]}));
    HT_Free(t, nullptr);
}

TEST(HashTableOrder, GetKeyReportsFirstMatchInBucketOrderNotInsertionOrder) {
    HashTable* t = HT_Create(16);
    std::string low = "a", high = "b";
    if (HT_Hash(t, "a") > HT_Hash(t, "b")) std::swap(low, high);
    HT_Add(t, high.c_str(), &gA);
    HT_Add(t, low.c_str(), &gA);
    std::string key;
    EXPECT_EQ(HT_GetKey(t, &gA, key), 1);
    EXPECT_EQ(key, low);
    EXPECT_EQ(HT_GetKey(t, &gB, key), 0);
    EXPECT_EQ(HT_GetKey(t, nullptr, key), 0);
    HT_Free(t, nullptr);
}

TEST(HashTableRelease, FreeReleasesEachNonNullDataOnceAndCountsTheTable) {
    int32_t before = HT_TableCount();
    HashTable* t = HT_Create(0);
    EXPECT_EQ(HT_TableCount(), before + 1);
    HT_Add(t, "a", &gA);
    HT_Add(t, "b", &gB);
    HT_Add(t, "c", nullptr);
    gReleased.clear();
    HT_Free(t, Record);
    std::sort(gReleased.begin(), gReleased.end());
    EXPECT_EQ(gReleased, (&gA < &gB ? std::vector<void*>{&gA, &gB} : std::vector<void*>{&gB, &gA}));
    EXPECT_EQ(HT_TableCount(), before);
}

TEST(HashTableRelease, ClearKeepsSizeAndDeleteReleasesEvenNullData) {
    HashTable* t = HT_Create(8);
    HT_Add(t, "a", &gA);
    HT_Add(t, "n", nullptr);
    gReleased.clear();
    EXPECT_EQ(HT_Delete(t, "n", Record), 1);
    EXPECT_EQ(gReleased, std::vector<void*>{nullptr});
    HT_Clear(t, Record);
    EXPECT_EQ(gReleased, (std::vector<void*>{nullptr, &gA}));
    EXPECT_EQ(t->size, 8);
    EXPECT_EQ(t->entries, 0);
    EXPECT_EQ(HT_Get(t, "a"), nullptr);
    HT_Free(t, nullptr);
}

TEST(HashTableRelease, NullTableIsIgnoredAndMiscountedClearIsFatal) {
    std::string key;
    EXPECT_EQ(HT_Add(nullptr, "k", &gA), 0);
    EXPECT_EQ(HT_Get(nullptr, "k"), nullptr);
    EXPECT_EQ(HT_Delete(nullptr, "k", Record), 0);
    EXPECT_EQ(HT_GetKey(nullptr, &gA, key), 0);
    HashTable* t = HT_Create(2);
    t->entries = 1;
    EXPECT_DEATH(HT_Clear(t, nullptr), "ht->entries == 0");
    t->entries = 0;
    HT_Free(t, nullptr);
}
