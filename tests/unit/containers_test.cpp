// The hash table, the trie and the variable store built on them. Their orders
// are visible to scripts (member listings, debug output), so the tests pin them.
#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "hash_table/hash_table.h"
#include "memory_manager/memory_manager.h"
#include "memory_manager/scope_roots.h"
#include "symbol_table/symbol_table.h"

using namespace zorvik;

namespace {

// The keys of one bucket's chain, head to tail.
std::vector<std::string> Chain(const HashTable* t, uint32_t bucket) {
    std::vector<std::string> keys;
    for (const HashEntry* e = t->buckets[bucket]; e; e = e->next) keys.emplace_back(e->Key());
    return keys;
}

// The first n keys "k0", "k1", ... that share the bucket of "k0" in a table of `size`.
std::vector<std::string> Colliding(size_t n, int32_t size) {
    HashTable* probe = HT_Create(size);
    std::vector<std::string> keys;
    for (int i = 0; keys.size() < n; ++i) {
        std::string k = "k" + std::to_string(i);
        if (HT_Hash(probe, k.c_str()) == HT_Hash(probe, "k0")) keys.push_back(k);
    }
    HT_Free(probe, nullptr);
    return keys;
}

std::vector<void*> gReleased;
void Record(void* data) { gReleased.push_back(data); }
std::vector<void*> Sorted(std::vector<void*> v) {
    std::sort(v.begin(), v.end());
    return v;
}

int gA, gB, gC, gD, gE;
std::string Printed(const SymbolTable* st) {
    testing::internal::CaptureStdout();
    ST_Print(st);
    return testing::internal::GetCapturedStdout();
}

void DeleteInt(void* data) { delete static_cast<int*>(data); }
void* CopyInt(void* data) { return new int(*static_cast<int*>(data)); }
int Value(const SymbolTable* st, const char* key) {
    auto* p = static_cast<int*>(ST_GetData(st, key));
    return p ? *p : -1;
}

class MemoryManager : public ::testing::Test {
  protected:
    void SetUp() override { MM_Init(); }
    void TearDown() override { MM_Terminate(); }
};

// The references list of `target` read forward; read backward from the
// tail (the head's prev) it must give the same aliases in reverse.
std::vector<Var*> Refs(const Var* target) {
    std::vector<Var*> out, backward;
    for (const VarRef* r = target->References(); r; r = r->next) out.push_back(r->var);
    if (const VarRef* head = target->References()) {
        for (const VarRef* r = head->prev;; r = r->prev) {
            backward.insert(backward.begin(), r->var);
            if (r == head || backward.size() > out.size()) break;
        }
    }
    EXPECT_EQ(backward, out) << "the backward links disagree with the forward ones";
    return out;
}

}  // namespace

TEST(HashTable, GrowsWhenTheLoadBeforeAnInsertExceedsThreeQuarters) {
    HashTable* t = HT_Create(0);
    std::vector<int32_t> sizes;
    for (const char* k : {"a", "b", "c", "d", "e"}) {
        HT_Add(t, k, &gA);
        sizes.push_back(t->size);
    }
    EXPECT_EQ(sizes, (std::vector<int32_t>{1, 2, 4, 4, 8}));
    for (const char* k : {"a", "b", "c", "d", "e"}) EXPECT_EQ(HT_Get(t, k), &gA) << k;
    HT_Free(t, nullptr);
}

TEST(HashTable, BytesAbove127HashAsNegative) {
    for (int32_t size : {1, 7, 16, 1000}) {
        HashTable* t = HT_Create(size);
        uint32_t expected = 177572u % static_cast<uint32_t>(size);
        EXPECT_EQ(HT_Hash(t, "\xFF"), expected) << "size " << size;
        HT_Free(t, nullptr);
    }
}

TEST(HashTable, DeleteHalvesBelowQuarterLoadTakenBeforeRemovalButNotBelowMinSize) {
    HashTable* t = HT_Create(2);
    HT_Resize(t, 16);
    EXPECT_EQ(t->minSize, 2u);
    for (int32_t expected : {8, 4, 2, 2}) {  // even for an absent key
        EXPECT_EQ(HT_Delete(t, "absent", nullptr), 0);
        EXPECT_EQ(t->size, expected);
    }
    HT_Resize(t, 8);
    HT_Add(t, "a", &gA);
    HT_Add(t, "b", &gB);
    EXPECT_EQ(HT_Delete(t, "a", nullptr), 1);  // load 2/8 is not below 0.25
    EXPECT_EQ(t->size, 8);
    EXPECT_EQ(HT_Delete(t, "b", nullptr), 1);  // load 1/8 is
    EXPECT_EQ(t->size, 4);
    HT_Resize(t, 0);  // only an explicit resize lowers the floor
    EXPECT_EQ(t->size, 1);
    EXPECT_EQ(t->minSize, 1u);
    HT_Free(t, nullptr);
}

TEST(HashTable, AddRefusesAPresentKeyButUnsafeAddShadowsIt) {
    HashTable* t = HT_Create(4);
    EXPECT_EQ(HT_Add(t, "k", &gA), 1);
    EXPECT_EQ(HT_Add(t, "k", &gB), 0);
    EXPECT_EQ(HT_UnsafeAdd(t, "k", &gC), 1);
    EXPECT_EQ(t->entries, 2);
    EXPECT_EQ(HT_Get(t, "k"), &gC);
    EXPECT_EQ(HT_Delete(t, "k", nullptr), 1);
    EXPECT_EQ(HT_Get(t, "k"), &gA);
    HT_Free(t, nullptr);
}

TEST(HashTable, AddAppendsOtherInsertionsPrependAndResizeReverses) {
    HashTable* t = HT_Create(16);
    std::vector<std::string> k = Colliding(4, 16);
    HT_Add(t, k[0].c_str(), &gA);
    HT_Add(t, k[1].c_str(), &gB);
    HT_UnsafeAdd(t, k[2].c_str(), &gC);
    HashEntry* e = HT_NewUnsafeEntry(t, k[3].c_str());
    EXPECT_EQ(Chain(t, HT_Hash(t, k[0].c_str())), (std::vector<std::string>{k[3], k[2], k[0], k[1]}));
    EXPECT_EQ(HT_GetEntry(t, k[3].c_str()), e);
    EXPECT_EQ(HT_Exists(t, k[3].c_str()), 0);  // present, but with null data
    e->data = &gA;
    HT_Resize(t, 8);  // buckets mod 8 refine buckets mod 16, so the chain stays shared
    EXPECT_EQ(Chain(t, HT_Hash(t, k[0].c_str())), (std::vector<std::string>{k[1], k[0], k[2], k[3]}));
    HT_Free(t, nullptr);
}

TEST(HashTable, GetKeyReportsTheFirstMatchInBucketOrder) {
    HashTable* t = HT_Create(16);
    std::string low = "a", high = "b";
    if (HT_Hash(t, "a") > HT_Hash(t, "b")) std::swap(low, high);
    HT_Add(t, high.c_str(), &gA);
    HT_Add(t, low.c_str(), &gA);
    std::string key;
    EXPECT_EQ(HT_GetKey(t, &gA, key), 1);
    EXPECT_EQ(key, low);
    HT_Free(t, nullptr);
}

TEST(HashTable, GetHashedLooksUpAPartOfALongerText) {
    HashTable* t = HT_Create(1);  // one chain: every lookup compares every key
    HT_Add(t, "ab", &gA);
    HT_Add(t, "abcdef", &gB);
    EXPECT_EQ(HT_GetHashed(t, "ab.x", 2, HT_RawHash("ab.x", 2)), &gA);
    EXPECT_EQ(HT_GetHashed(t, "abcdef.x", 6, HT_RawHash("abcdef.x", 6)), &gB);
    EXPECT_EQ(HT_GetHashed(t, "abc.x", 3, HT_RawHash("abc.x", 3)), nullptr);
    EXPECT_EQ(HT_GetHashed(t, "a", 1, HT_RawHash("a", 1)), nullptr);
    HT_Free(t, nullptr);
}

TEST(HashTable, KeysOfOneHashAndLengthAreToldApartByEveryByte) {
    HashTable* t = HT_Create(1);  // "aB" and "b!" hash alike, and so does anything they begin or end
    const std::vector<std::string> keys = {"aB",       "b!",       "aBcdefgh", "b!cdefgh",
                                           "cdefghaB", "cdefghb!", "cdefaB",   "cdefb!"};
    std::vector<int> data(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) HT_UnsafeAdd(t, keys[i].c_str(), &data[i]);
    for (size_t i = 0; i < keys.size(); i += 2)
        ASSERT_EQ(HT_RawHash(keys[i].data(), keys[i].size()), HT_RawHash(keys[i + 1].data(), keys[i + 1].size()));
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(HT_Get(t, keys[i].c_str()), &data[i]) << keys[i];
        std::string text = keys[i] + ".x";  // a part of a longer text
        EXPECT_EQ(HT_GetHashed(t, text.data(), keys[i].size(), HT_RawHash(text.data(), keys[i].size())), &data[i]);
    }
    HT_Free(t, nullptr);
}

TEST(HashTable, UnlinkEntryIsDeleteWithoutTheReleaseAndARekeyedEntryLinksAsANewOne) {
    // Two tables built alike: one loses an entry by its key, the other by its address.
    std::vector<std::string> k = Colliding(3, 16);
    HashTable* byKey = HT_Create(4);
    HashTable* byEntry = HT_Create(4);
    for (HashTable* t : {byKey, byEntry}) {
        HT_Resize(t, 16);
        for (const std::string& key : k) HT_UnsafeAdd(t, key.c_str(), &gA);
    }
    auto expectAlike = [&](const char* step) {
        ASSERT_EQ(byEntry->size, byKey->size) << step;
        EXPECT_EQ(byEntry->entries, byKey->entries) << step;
        for (int32_t b = 0; b < byKey->size; ++b)
            EXPECT_EQ(Chain(byEntry, static_cast<uint32_t>(b)), Chain(byKey, static_cast<uint32_t>(b))) << step;
    };
    HashEntry* middle = HT_GetEntry(byEntry, k[1].c_str());
    gReleased.clear();
    EXPECT_EQ(HT_Delete(byKey, k[1].c_str(), Record), 1);
    HT_UnlinkEntry(byEntry, middle);
    expectAlike("unlinked");  // the load 3/16 halved both first
    EXPECT_EQ(byKey->size, 8);
    EXPECT_STREQ(middle->Key(), k[1].c_str());
    EXPECT_EQ(middle->data, &gA);

    std::string same = "x" + k[1].substr(1);
    HashEntry* rekeyed = HT_RekeyEntry(middle, same.data(), same.size(), HT_RawHash(same.data(), same.size()));
    EXPECT_EQ(rekeyed, middle);  // in place
    std::string longer = same + "long.tail";
    size_t length = same.size() + 4;
    rekeyed = HT_RekeyEntry(rekeyed, longer.data(), length, HT_RawHash(longer.data(), length));
    longer.resize(length);
    EXPECT_STREQ(rekeyed->Key(), longer.c_str());
    EXPECT_EQ(rekeyed->length, length);
    EXPECT_EQ(rekeyed->data, &gA);
    HT_LinkEntry(byEntry, rekeyed);
    HT_UnsafeAdd(byKey, longer.c_str(), &gA);
    expectAlike("linked");
    EXPECT_EQ(HT_Get(byEntry, longer.c_str()), &gA);
    EXPECT_EQ(HT_GetEntryHashed(byEntry, longer.data(), length, HT_RawHash(longer.data(), length)), rekeyed);
    EXPECT_EQ(HT_GetEntryHashed(byEntry, same.data(), same.size(), HT_RawHash(same.data(), same.size())), nullptr);
    HT_Free(byKey, nullptr);
    HT_Free(byEntry, nullptr);
}

TEST(HashTable, ReleaseCallbacksTableCountAndNullTables) {
    int32_t before = HT_TableCount();
    HashTable* t = HT_Create(8);
    EXPECT_EQ(HT_TableCount(), before + 1);
    HT_Add(t, "a", &gA);
    HT_Add(t, "n", nullptr);
    gReleased.clear();
    EXPECT_EQ(HT_Delete(t, "n", Record), 1);  // delete releases even null data
    HT_Clear(t, Record);
    EXPECT_EQ(gReleased, (std::vector<void*>{nullptr, &gA}));
    EXPECT_EQ(t->size, 8);
    HT_Add(t, "b", &gB);
    HT_Add(t, "c", nullptr);
    gReleased.clear();
    HT_Free(t, Record);  // free releases only non-null data
    EXPECT_EQ(gReleased, std::vector<void*>{&gB});
    EXPECT_EQ(HT_TableCount(), before);

    EXPECT_EQ(HT_Add(nullptr, "k", &gA), 0);
    EXPECT_EQ(HT_Get(nullptr, "k"), nullptr);
    EXPECT_EQ(HT_Delete(nullptr, "k", Record), 0);
    HashTable* bad = HT_Create(2);
    bad->entries = 1;
    EXPECT_DEATH(HT_Clear(bad, nullptr), "ht->entries == 0");
    bad->entries = 0;
    HT_Free(bad, nullptr);
}

TEST(Trie, KeysSharePrefixNodesFirstDataWinsAndHighBytesAreCharacters) {
    SymbolTable* st = ST_Init(Record, nullptr);
    gReleased.clear();
    EXPECT_EQ(ST_AddData(st, "do", &gA), 1);
    EXPECT_EQ(ST_AddData(st, "delete", &gB), 1);
    EXPECT_EQ(ST_AddData(st, "do", &gC), 0);
    EXPECT_EQ(ST_AddData(st, "dx", nullptr), 0);
    EXPECT_EQ(st->refc, 7);
    EXPECT_EQ(ST_GetData(st, "do"), &gA);
    for (const char* k : {"d", "de", "dx", "deletes", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(ST_GetData(st, k), nullptr) << (k ? k : "null");
    EXPECT_EQ(ST_FindNode(st, "dx"), nullptr);
    EXPECT_EQ(ST_AddData(st, "\xC3\xA9", &gC), 1);
    EXPECT_EQ(ST_AddData(st, "\xC3\xA8", &gD), 1);
    EXPECT_EQ(st->refc, 10);
    EXPECT_EQ(ST_GetData(st, "\xC3\xA8"), &gD);
    EXPECT_TRUE(gReleased.empty());
    ST_Free(st);
}

TEST(Trie, DeleteRemovesAPrefixAndALongerKeyIndependently) {
    SymbolTable* st = ST_Init(Record, nullptr);
    gReleased.clear();
    ST_AddData(st, "ref", &gA);
    ST_AddData(st, "reference", &gB);
    ST_DeleteKey(st, "reference");
    EXPECT_EQ(ST_GetData(st, "ref"), &gA);
    EXPECT_EQ(st->refc, 3);  // pruning stopped at "ref"
    ST_AddData(st, "reference", &gB);
    ST_DeleteKey(st, "ref");
    EXPECT_EQ(ST_GetData(st, "reference"), &gB);
    EXPECT_EQ(st->refc, 9);
    for (const char* key : {"ref", "refe", "x", "references"}) ST_DeleteKey(st, key);  // no-ops
    EXPECT_EQ(st->refc, 9);
    EXPECT_EQ(gReleased, (std::vector<void*>{&gB, &gA}));
    ST_Free(st);
}

TEST(Trie, SubKeyDeletionTakesLongerKeysWithOrWithoutTheKey) {
    for (bool withKey : {true, false}) {
        SymbolTable* st = ST_Init(Record, nullptr);
        gReleased.clear();
        for (auto [key, data] : {std::pair{"re", &gA}, {"ref", &gB}, {"reference", &gC}, {"refund", &gD}, {"rex", &gE}})
            ST_AddData(st, key, data);
        if (withKey) {
            ST_DeleteKeyAndSubKeys(st, "ref");
            EXPECT_EQ(Sorted(gReleased), Sorted({&gB, &gC, &gD}));
            EXPECT_EQ(st->refc, 3);
        } else {
            ST_DeleteSubKeys(st, "ref");
            EXPECT_EQ(Sorted(gReleased), Sorted({&gC, &gD}));
            EXPECT_EQ(ST_GetData(st, "ref"), &gB);
            EXPECT_EQ(st->refc, 4);
        }
        EXPECT_EQ(ST_GetData(st, "rex"), &gE);
        ST_Free(st);
    }
}

TEST(Trie, DuplicateCopiesAKeyAndItsLongerKeysThroughTheCallback) {
    SymbolTable* st = ST_Init(DeleteInt, CopyInt);
    ST_AddData(st, "do", new int(1));
    ST_AddData(st, "dog", new int(2));
    ST_AddData(st, "dot", new int(3));
    ST_AddData(st, "delete", new int(4));
    ST_DuplicateKeyAndChildren(st, "cat", "do");
    EXPECT_EQ(Value(st, "cat"), 1);
    EXPECT_EQ(Value(st, "catg"), 2);
    EXPECT_EQ(Value(st, "catt"), 3);
    EXPECT_EQ(ST_FindNode(st, "catl"), nullptr);
    EXPECT_NE(ST_GetData(st, "cat"), ST_GetData(st, "do"));
    ST_DuplicateKeyAndChildren(st, "dogs", "do");  // inside the source: copies the originals only
    EXPECT_EQ(Value(st, "dogsg"), 2);
    EXPECT_EQ(ST_FindNode(st, "dogsgs"), nullptr);
    ST_DuplicateKeyAndChildren(st, "dot", "do");  // keys that hold data keep it
    EXPECT_EQ(Value(st, "dot"), 3);
    EXPECT_EQ(Value(st, "dotg"), 2);
    ST_Clear(st);  // the sanitizer reports any copy leaked or freed twice
    ST_Free(st);
}

TEST(Trie, ClearReleasesEveryDataOnceAndLeavesAUsableTrie) {
    SymbolTable* st = ST_Init(Record, nullptr);
    const char* keys[] = {"w", "w7x", "w14", "v"};
    std::vector<void*> stored = {&gA, &gB, &gC, &gD};
    for (size_t i = 0; i < 4; ++i) ASSERT_EQ(ST_AddData(st, keys[i], stored[i]), 1);
    gReleased.clear();
    ST_Clear(st);
    EXPECT_EQ(st->refc, 0);
    EXPECT_EQ(Sorted(gReleased), Sorted(stored));
    EXPECT_EQ(ST_AddData(st, "w", &gA), 1);
    ++st->refc;  // a node count out of step with the nodes is an internal fault
    EXPECT_DEATH(ST_Clear(st), "st->refc == 0");
    --st->refc;
    ST_Free(st);
}

TEST(Trie, PrintWritesOneIndentedLinePerNodeWithAStarWhereKeysEnd) {
    SymbolTable* st = ST_Init(nullptr, nullptr);
    ST_AddData(st, "do", &gA);
    ST_AddData(st, "delete", &gB);
    EXPECT_EQ(Printed(st), "d\n o*\n e\n  l\n   e\n    t\n     e*\n");
    ST_Free(st);

    st = ST_Init(nullptr, nullptr);
    for (const char* key : {"b", "a", "ab", "c", "aa"}) ST_AddData(st, key, &gA);
    EXPECT_EQ(Printed(st), "b*\na*\n b*\n a*\nc*\n");
    for (const char* key : {"aa", "ab", "a"}) ST_DeleteKey(st, key);  // an unlinked node gives way to its sibling
    EXPECT_EQ(Printed(st), "b*\nc*\n");
    ST_DeleteKey(st, "b");
    EXPECT_EQ(Printed(st), "c*\n");
    EXPECT_EQ(st->refc, 1);
    ST_Free(st);
}

// Random adds and removes, with numbers that crowd a few home slots and wrap
// around the end of the array, checked against a map after every step.
TEST(ScopeRoots, FindsWhatItHoldsThroughGrowthAndRemovalsThatShiftEntriesBack) {
    ScopeRoots roots;
    std::map<int64_t, Var*> model;
    std::vector<Var> vars(600);
    std::vector<Var*> spare(vars.size());
    std::transform(vars.begin(), vars.end(), spare.begin(), [](Var& var) { return &var; });
    std::mt19937 random(7);
    for (int step = 0; step < 4000; ++step) {
        int64_t number = std::uniform_int_distribution<int64_t>(0, 5)(random) * 64 +
                         std::uniform_int_distribution<int64_t>(60, 66)(random) + (step % 7 == 0 ? step * 64 : 0);
        auto found = model.find(number);
        if (found == model.end() && !spare.empty()) {
            roots.Add(number, spare.back());
            model[number] = spare.back();
            spare.pop_back();
        } else if (found != model.end()) {
            ASSERT_EQ(roots.Remove(number), found->second);
            spare.push_back(found->second);
            model.erase(found);
        }
        for (const auto& [held, var] : model) ASSERT_EQ(roots.Find(held), var) << "step " << step;
        ASSERT_EQ(roots.Find(number), model.count(number) ? model[number] : nullptr);
    }
    std::vector<int64_t> numbers = roots.Numbers();
    std::sort(numbers.begin(), numbers.end());
    ASSERT_EQ(numbers.size(), model.size());
    EXPECT_TRUE(std::equal(numbers.begin(), numbers.end(), model.begin(),
                           [](int64_t n, const auto& m) { return n == m.first; }));
    int64_t number = 0;
    if (!model.empty()) {
        EXPECT_TRUE(roots.NumberOf(model.begin()->second, number));
        EXPECT_EQ(number, model.begin()->first);
    }
    size_t released = 0;
    roots.Clear([&released](Var*) { ++released; });
    EXPECT_EQ(released, model.size());
    EXPECT_EQ(roots.Find(model.empty() ? 0 : model.begin()->first), nullptr);
    EXPECT_EQ(roots.Remove(3), nullptr);
}

TEST(ScopeRoots, OnlyCanonicalDecimalKeysNameScopes) {
    int64_t number = -1;
    EXPECT_TRUE(ScopeNumberOfKey("0", 1, number));
    EXPECT_EQ(number, 0);
    EXPECT_TRUE(ScopeNumberOfKey("9223372036854775807", 19, number));
    EXPECT_EQ(number, INT64_MAX);
    for (const char* key : {"", "07", "9223372036854775808", "99999999999999999999", "1a", "@", "a1"})
        EXPECT_FALSE(ScopeNumberOfKey(key, std::strlen(key), number)) << key;
}

TEST_F(MemoryManager, AKeptScopeComesBackUnderAnyNumberAndARemovedRootIsForgotten) {
    KeptScopes kept;
    const KeyPart p = MM_Part("p");
    const int64_t nine = 9, ten = 10, other = 9 + 64;  // 9 and 73 share a home slot of the scope roots
    CallScope first = MM_NewScope(nine, kept);
    ASSERT_NE(first.scope, nullptr);
    EXPECT_EQ(first.self, MM_GetVar("9.self"));
    EXPECT_EQ(first.thisVar, MM_GetVar("9.this"));
    MM_BindMemberParts(first.scope, &p, 1);
    EXPECT_EQ(MM_GetScoped(9, &p, 1), MM_GetVar("9.p"));
    CallScope second = MM_NewScope(other, kept);
    ASSERT_NE(second.scope, nullptr);
    EXPECT_EQ(MM_DeleteScope(nine, first, &p, 1, kept), 1);  // 73 moves up to 9's slot
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(MM_GetVar("9"), nullptr);
    EXPECT_EQ(MM_GetScoped(9, &p, 1), nullptr);

    CallScope again = MM_NewScope(ten, kept);  // its key is a digit longer
    EXPECT_EQ(again.scope, first.scope);
    EXPECT_EQ(MM_GetVar("10"), again.scope);
    EXPECT_EQ(MM_GetScoped(10, &p, 1), MM_GetVar("10.p"));  // the parameter stays, undefined
    EXPECT_EQ(MM_GetVar("10.p")->type, VAR_UNDEFINED);
    EXPECT_EQ(MM_NewScope(ten, kept).scope, nullptr);  // it exists

    // Deleted by its path, the scope is forgotten: lookups and the drop find nothing.
    ASSERT_EQ(MM_DeleteVar("10"), 1);
    EXPECT_EQ(MM_GetScoped(10, &p, 1), nullptr);
    EXPECT_EQ(MM_DeleteScope(ten, again, &p, 1, kept), 0);
    EXPECT_EQ(MM_GetVar("73"), second.scope);
    EXPECT_EQ(MM_DeleteScope(other, second, &p, 1, kept), 1);
    MM_FreeKeptScopes(kept);

    // So is the result.
    Var_SetNumber(MM_CreateResult(), 5);
    ASSERT_EQ(MM_DeleteVar("@"), 1);
    Var taken;
    Var_SetNumber(&taken, 1);
    MM_TakeResult(&taken);
    EXPECT_EQ(taken.type, VAR_UNDEFINED);
    Var_SetNumber(MM_NewResult(), 7);
    MM_TakeResult(&taken);
    EXPECT_EQ(Var_GetNumber(&taken), 7);
    EXPECT_EQ(MM_GetResult(), nullptr);
}

TEST_F(MemoryManager, SettersShareTextTakeItEvenFromTheDestinationAndLeaveMembersAlone) {
    Var *a = MM_CreateVar("a"), *b = MM_CreateVar("b");
    Var_SetString(a, "hello world");
    Var_Set(b, a);
    EXPECT_EQ(a->value.string, b->value.string);
    EXPECT_TRUE(MM_TextShared(a->value.string));
    Var_SetString(a, a->value.string + 6);
    Var_Set(a, a);
    Var_TakeString(a, a->value.string);
    EXPECT_STREQ(Var_GetString(a), "world");
    EXPECT_STREQ(Var_GetString(b), "hello world");
    EXPECT_FALSE(MM_TextShared(b->value.string));

    Var_SetNumber(MM_CreateVar("a.m"), 1);
    Var_SetNumber(MM_CreateVar("b.own"), 2);
    Var_Set(b, a);
    EXPECT_EQ(MM_GetVar("b.m"), nullptr);
    Var_Set(b, nullptr);
    EXPECT_EQ(b->type, VAR_UNDEFINED);
    EXPECT_EQ(MM_VarSubCount("b"), 1);
}

TEST_F(MemoryManager, WritersOfSharedTextTakeTheirOwnCopy) {
    Var *a = MM_CreateVar("a"), *b = MM_CreateVar("b"), *c = MM_CreateVar("c");
    Var_SetString(a, "abc");
    Var_Set(b, a);
    Var_Set(c, a);
    Var_AppendString(b, b->value.string, 3);  // the appended text lies in the shared block
    Var_MutableString(c)[0] = 'X';
    EXPECT_STREQ(Var_GetString(a), "abc");
    EXPECT_STREQ(Var_GetString(b), "abcabc");
    EXPECT_EQ(Var_StringLength(b), 6u);
    EXPECT_STREQ(Var_GetString(c), "Xbc");
    EXPECT_FALSE(MM_TextShared(a->value.string));
    // An unshared block is written in place.
    char* own = a->value.string;
    EXPECT_EQ(Var_MutableString(a), own);
    // A plain malloc'd block moves into a counted one.
    char* plain = static_cast<char*>(std::malloc(4));
    std::memcpy(plain, "xyz", 4);
    Var_TakeString(c, plain);
    Var_Set(a, c);
    MM_DeleteVar("c");
    EXPECT_STREQ(Var_GetString(a), "xyz");
}

TEST_F(MemoryManager, AliasesPointAtTheFinalTargetAndHandTheirAliasesOver) {
    Var *a = MM_CreateVar("a"), *b = MM_CreateVar("b"), *c = MM_CreateVar("c");
    Var *d = MM_CreateVar("d"), *e = MM_CreateVar("e");
    ASSERT_EQ(Var_SetAlias(b, "a"), 1);
    Var_SetAlias(d, "b");  // an alias of an alias points at the target
    Var_SetAlias(e, "c");
    EXPECT_EQ(Var_GetAlias(d), a);
    EXPECT_EQ(Refs(a), (std::vector<Var*>{b, d}));
    Var_SetAlias(a, "c");  // a's aliases follow it to c
    EXPECT_EQ(Var_GetAlias(b), c);
    EXPECT_EQ(Var_GetAlias(d), c);
    EXPECT_TRUE(Refs(a).empty());
    EXPECT_EQ(Refs(c), (std::vector<Var*>{e, a, b, d}));
    Var_Free(b);  // freeing an alias removes exactly its node
    EXPECT_EQ(Refs(c), (std::vector<Var*>{e, a, d}));
    MM_UnaliasVar("d");
    MM_UnaliasVar("c");  // not an alias: nothing happens
    MM_UnaliasVar("missing");
    EXPECT_EQ(d->type, VAR_UNDEFINED);
    EXPECT_EQ(Refs(c), (std::vector<Var*>{e, a}));
    Var_Free(e);  // the head
    EXPECT_EQ(Refs(c), (std::vector<Var*>{a}));

    // Copying an alias value into an alias holder hands over the same way.
    Var *h = MM_CreateVar("h"), *u = MM_CreateVar("u"), *x = MM_CreateVar("x"), *y = MM_CreateVar("y");
    Var_SetAlias(x, "h");
    Var_SetAlias(y, "u");
    Var_Set(h, y);
    EXPECT_EQ(Var_GetAlias(x), u);
    EXPECT_EQ(Refs(u), (std::vector<Var*>{y, h, x}));
}

TEST_F(MemoryManager, SelfAliasSucceedsAndLeavesTheVariableUndefined) {
    Var* a = MM_CreateVar("a");
    Var_SetNumber(a, 3);
    EXPECT_EQ(Var_SetAlias(a, "a"), 1);
    EXPECT_EQ(a->type, VAR_UNDEFINED);
    EXPECT_TRUE(Refs(a).empty());
    EXPECT_EQ(Var_SetAlias(a, "missing"), 0);
    EXPECT_EQ(Var_SetAlias(a, "a.x"), 0);
    Var* b = MM_CreateVar("b");  // the same through a copied alias value
    Var_SetAlias(b, "a");
    Var_Set(a, b);
    EXPECT_EQ(a->type, VAR_UNDEFINED);
    EXPECT_EQ(Refs(a), (std::vector<Var*>{b}));
}

TEST_F(MemoryManager, DeletedTargetLeavesItsAliasesUndefinedInPlace) {
    Var_SetNumber(MM_CreateVar("a"), 1);
    Var *b = MM_CreateVar("b"), *c = MM_CreateVar("c");
    Var_SetAlias(b, "a");
    Var_SetAlias(c, "a");
    ASSERT_EQ(MM_DeleteVar("b"), 1);  // deleting through an alias deletes the target
    EXPECT_EQ(MM_GetVar("a"), nullptr);
    EXPECT_EQ(MM_GetVar("b"), b);
    EXPECT_EQ(b->type, VAR_UNDEFINED);
    EXPECT_EQ(c->type, VAR_UNDEFINED);
    Var_Free(c);  // no longer linked anywhere: must not touch the freed target
}

TEST_F(MemoryManager, CopyIsDeepKeepsBucketsReversesChainsAndFloorsAtFour) {
    std::vector<std::string> shared = Colliding(2, 8);
    std::vector<std::string> keys = {shared[0], shared[1], "p", "q", "s"};
    for (const std::string& k : keys) Var_SetString(MM_CreateVar("src." + k), k.c_str());
    Var* t = MM_CreateVar("t");
    Var_SetNumber(MM_CreateVar("src.p.y"), 4);
    Var_SetAlias(MM_CreateVar("src.r"), "t");
    Var* src = MM_GetVar("src");
    ASSERT_EQ(src->Children()->size, 8);

    Var* dst = MM_CreateVar("dst");
    MM_CopyVar(dst, src);
    EXPECT_EQ(dst->Children()->size, 8);
    EXPECT_EQ(dst->Children()->minSize, 4u);
    for (int32_t i = 0; i < 8; ++i) {
        std::vector<std::string> chain = Chain(src->Children(), static_cast<uint32_t>(i));
        std::reverse(chain.begin(), chain.end());
        EXPECT_EQ(Chain(dst->Children(), static_cast<uint32_t>(i)), chain) << "bucket " << i;
    }
    ASSERT_EQ(MM_DeleteVar("src"), 1);
    for (const std::string& k : keys) EXPECT_STREQ(Var_GetString(MM_GetVar("dst." + k)), k.c_str());
    EXPECT_EQ(MM_GetVar("dst.p.y")->Parent(), MM_GetVar("dst.p"));
    EXPECT_EQ(Var_GetNumber(MM_GetVar("dst.p.y")), 4);
    EXPECT_EQ(Refs(t),
              (std::vector<Var*>{static_cast<Var*>(HT_Get(dst->Children(), "r"))}));  // aliases stay structural
    ASSERT_EQ(MM_DeleteVar("dst"), 1);
    EXPECT_TRUE(Refs(t).empty());
}

TEST_F(MemoryManager, KeysOfOneChainComeOutInInsertionOrder) {
    std::vector<std::string> keys = Colliding(3, 4);
    for (const std::string& k : keys) MM_CreateVar("r." + k);
    ASSERT_EQ(MM_GetVar("r")->Children()->size, 4);
    KeyNode* list = MM_GetKeys("r");
    std::vector<std::string> got;
    for (KeyNode* n = list; n; n = n->next) got.emplace_back(n->key);
    MM_FreeKeys(list);
    EXPECT_EQ(got, keys);
    MM_CreateVar("leaf");
    EXPECT_EQ(MM_GetKeys("leaf"), nullptr);
    EXPECT_EQ(MM_GetKeys("missing"), nullptr);
}

TEST_F(MemoryManager, AWalkGoesOnFromTheVariableItsPrefixFound) {
    Var* b = MM_CreateVar("a.b");
    Var_SetAlias(MM_CreateVar("x"), "a");
    KeyPart x = MM_Part("x"), bPart = MM_Part("b"), c = MM_Part("c");
    Var* base = MM_GetParts(nullptr, &x, 1);  // the alias resolved: a
    EXPECT_EQ(base, MM_GetVar("a"));
    EXPECT_EQ(MM_GetMemberParts(base, &bPart, 1), b);
    EXPECT_EQ(MM_GetMemberParts(b, &c, 1), nullptr);  // b has no member table
    Var* made = MM_CreateMemberParts(b, &c, 1);
    EXPECT_EQ(made, MM_GetVar("a.b.c"));
    EXPECT_EQ(made->Parent(), b);
}

TEST_F(MemoryManager, ComponentsMayBeArbitrarilyLong) {
    std::string longKey(10000, 'k');
    Var* v = MM_CreateVar("a." + longKey + ".b");
    EXPECT_EQ(MM_GetVar("a." + longKey + ".b"), v);
    EXPECT_EQ(MM_GetVar("a." + longKey.substr(1) + ".b"), nullptr);
    Var* alias = MM_CreateVar(longKey);
    Var_SetAlias(alias, ("a." + longKey).c_str());
    EXPECT_EQ(MM_DeleteVar(longKey), 1);  // deletes the target under its own long key
    EXPECT_EQ(MM_VarSubCount("a"), 0);
    EXPECT_EQ(alias->type, VAR_UNDEFINED);
}

// Copying, unlinking and deleting a variable 200000 levels deep on a 1 MiB
// stack: none of these walks may recurse per level. The thread has a memory
// manager of its own, as every thread has.
void* DeepMembers(void*) {
    MM_Init();
    std::string path = "d";
    for (int i = 1; i < 200000; ++i) path += ".d";
    Var_SetNumber(MM_CreateVar(path), 7);
    Var_SetAlias(MM_CreateVar("inside." + path), "d");  // an alias deep inside, to the top
    Var* copy = MM_CreateVar("copy");
    MM_CopyVar(copy, MM_GetVar("inside"));
    bool ok = MM_GetVar("copy." + path) == MM_GetVar("d") && MM_GetVar(path)->value.number == 7;
    ok = ok && MM_DeleteVar("inside") && MM_DeleteVar("d") && MM_DeleteVar("copy");
    ok = ok && MM_GetVar("d") == nullptr;
    MM_Terminate();
    return ok ? copy : nullptr;
}

TEST_F(MemoryManager, DeepMemberTreesNeedNoDeepStack) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, size_t{1} << 20);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, DeepMembers, nullptr), 0);
    void* result = nullptr;
    pthread_join(thread, &result);
    pthread_attr_destroy(&attr);
    EXPECT_NE(result, nullptr);
}

TEST_F(MemoryManager, EveryFreedVariableAdvancesTheEpochAndInitStartsAfresh) {
    MM_CreateVar("a.b.c");
    MM_CreateVar("keep");
    uint64_t before = sVarEpoch;
    ASSERT_EQ(MM_DeleteVar("a"), 1);
    EXPECT_EQ(sVarEpoch, before + 3);
    MM_Init();
    EXPECT_EQ(MM_GetVar("keep"), nullptr);
    EXPECT_EQ(MM_RootTable()->entries, 0);
    EXPECT_EQ(MM_RootTable()->size, 16);
}

TEST(ValidateUserKey, AcceptsOnlyNamesAndDigitRunsSeparatedBySingleDots) {
    for (const char* key : {"name", "a.b", "12", "a.12.b_2", "Z9_", "007"}) EXPECT_EQ(ValidateUserKey(key), 1) << key;
    for (const char* key : {"", ".a", "a.", "a..b", "_a", "1a", "a-b", "a b", "\xc3\xa9"})
        EXPECT_EQ(ValidateUserKey(key), 0) << key;
}
