#include "symbol_table/symbol_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<void*> gReleased;
void Record(void* data) { gReleased.push_back(data); }
void DeleteInt(void* data) { delete static_cast<int*>(data); }
void* CopyInt(void* data) { return new int(*static_cast<int*>(data)); }

int gA, gB, gC, gD, gE;

std::vector<void*> Sorted(std::vector<void*> v) {
    std::sort(v.begin(), v.end());
    return v;
}

std::string Printed(const SymbolTable* st) {
    testing::internal::CaptureStdout();
    ST_Print(st);
    return testing::internal::GetCapturedStdout();
}

int Value(const SymbolTable* st, const char* key) {
    auto* p = static_cast<int*>(ST_GetData(st, key));
    return p ? *p : -1;
}

}  // namespace

TEST(TrieLookup, KeysShareNodesAndPathNodesHoldNoData) {
    SymbolTable* st = ST_Init(nullptr, nullptr);
    EXPECT_EQ(ST_AddData(st, "do", &gA), 1);
    EXPECT_EQ(ST_AddData(st, "delete", &gB), 1);
    EXPECT_EQ(st->refc, 7);
    EXPECT_EQ(ST_GetData(st, "do"), &gA);
    EXPECT_EQ(ST_GetData(st, "delete"), &gB);
    for (const char* k : {"d", "de", "dx", "deletes", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(ST_GetData(st, k), nullptr) << (k ? k : "null");
    ASSERT_NE(ST_FindNode(st, "de"), nullptr);
    EXPECT_EQ(ST_FindNode(st, "dx"), nullptr);
    // Bytes above 127 are characters like any other.
    EXPECT_EQ(ST_AddData(st, "\xC3\xA9", &gC), 1);
    EXPECT_EQ(ST_AddData(st, "\xC3\xA8", &gD), 1);
    EXPECT_EQ(st->refc, 10);
    EXPECT_EQ(ST_GetData(st, "\xC3\xA9"), &gC);
    EXPECT_EQ(ST_GetData(st, "\xC3\xA8"), &gD);
    ST_Free(st);
}

TEST(TrieInsert, FirstDataWinsAndPrefixesReuseNodes) {
    SymbolTable* st = ST_Init(Record, nullptr);
    gReleased.clear();
    EXPECT_EQ(ST_AddData(st, "if", &gA), 1);
    EXPECT_EQ(ST_AddData(st, "if", &gB), 0);
    EXPECT_EQ(ST_GetData(st, "if"), &gA);
    EXPECT_EQ(ST_AddData(st, "i", &gC), 1);
    EXPECT_EQ(ST_AddData(st, "in", nullptr), 0);
    EXPECT_EQ(st->refc, 2);
    EXPECT_TRUE(gReleased.empty());
    ST_Clear(st);
    ST_Free(st);
}

TEST(TrieDelete, PrefixAndLongerKeyAreRemovedIndependently) {
    SymbolTable* st = ST_Init(Record, nullptr);
    gReleased.clear();
    ST_AddData(st, "ref", &gA);
    ST_AddData(st, "reference", &gB);
    ST_DeleteKey(st, "reference");
    EXPECT_EQ(ST_GetData(st, "ref"), &gA);
    EXPECT_EQ(ST_FindNode(st, "refe"), nullptr);  // pruning stopped at "ref"
    EXPECT_EQ(st->refc, 3);
    ST_AddData(st, "reference", &gB);
    ST_DeleteKey(st, "ref");
    EXPECT_EQ(ST_GetData(st, "ref"), nullptr);
    EXPECT_EQ(ST_GetData(st, "reference"), &gB);
    EXPECT_EQ(st->refc, 9);
    EXPECT_EQ(gReleased, (std::vector<void*>{&gB, &gA}));
    // Absent keys and keys without data change nothing.
    for (const char* key : {"ref", "refe", "x", "references"}) ST_DeleteKey(st, key);
    EXPECT_EQ(st->refc, 9);
    EXPECT_EQ(gReleased.size(), 2u);
    ST_Free(st);
}

TEST(TrieDelete, SubKeyVariantsTakeLongerKeysWithOrWithoutTheKey) {
    for (bool withKey : {true, false}) {
        SymbolTable* st = ST_Init(Record, nullptr);
        gReleased.clear();
        for (auto [key, data] :
             {std::pair{"re", &gA}, {"ref", &gB}, {"reference", &gC}, {"refund", &gD}, {"rex", &gE}})
            ST_AddData(st, key, data);
        if (withKey) {
            ST_DeleteKeyAndSubKeys(st, "ref");
            EXPECT_EQ(Sorted(gReleased), Sorted({&gB, &gC, &gD}));
            EXPECT_EQ(ST_FindNode(st, "ref"), nullptr);
            EXPECT_EQ(st->refc, 3);
        } else {
            ST_DeleteSubKeys(st, "ref");
            EXPECT_EQ(Sorted(gReleased), Sorted({&gC, &gD}));
            EXPECT_EQ(ST_GetData(st, "ref"), &gB);
            EXPECT_EQ(st->refc, 4);
        }
        EXPECT_EQ(ST_GetData(st, "re"), &gA);
        EXPECT_EQ(ST_GetData(st, "rex"), &gE);
        EXPECT_EQ(ST_GetData(st, "refund"), nullptr);
        ST_Free(st);
    }
}

TEST(TrieDelete, UnlinkedNodeIsReplacedByItsSibling) {
    SymbolTable* st = ST_Init(nullptr, nullptr);
    for (const char* key : {"a", "b", "c"}) ST_AddData(st, key, &gA);
    ST_DeleteKey(st, "b");
    EXPECT_EQ(Printed(st), "a*\nc*\n");
    ST_DeleteKey(st, "a");
    EXPECT_EQ(Printed(st), "c*\n");
    EXPECT_EQ(st->refc, 1);
    ST_Free(st);
}

TEST(TrieDuplicate, CopiesKeyAndLongerKeysThroughTheCallback) {
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
    // A target inside the source subtree copies the originals only.
    ST_DuplicateKeyAndChildren(st, "dogs", "do");
    EXPECT_EQ(Value(st, "dogs"), 1);
    EXPECT_EQ(Value(st, "dogsg"), 2);
    EXPECT_EQ(ST_FindNode(st, "dogsgs"), nullptr);
    // Keys that already hold data keep it.
    ST_DuplicateKeyAndChildren(st, "dot", "do");
    EXPECT_EQ(Value(st, "dot"), 3);
    EXPECT_EQ(Value(st, "dotg"), 2);
    ST_Clear(st);  // the sanitizer reports any copy leaked or freed twice
    ST_Free(st);
}

TEST(TrieClear, ReleasesEveryDataOnceLeavesAUsableTrieAndChecksTheNodeCount) {
    SymbolTable* st = ST_Init(Record, nullptr);
    std::vector<int> data(27);
    std::vector<void*> stored;
    for (int i = 0; i < 27; ++i) {
        std::string key = "w" + std::to_string(i * 7) + (i % 2 ? "x" : "");
        ASSERT_EQ(ST_AddData(st, key.c_str(), &data[static_cast<size_t>(i)]), 1);
        stored.push_back(&data[static_cast<size_t>(i)]);
    }
    gReleased.clear();
    ST_Clear(st);
    EXPECT_EQ(st->refc, 0);
    EXPECT_EQ(st->root, nullptr);
    EXPECT_EQ(Sorted(gReleased), Sorted(stored));
    EXPECT_EQ(ST_AddData(st, "w0", &gA), 1);
    EXPECT_EQ(ST_GetData(st, "w0"), &gA);
    ++st->refc;  // a node count out of step with the nodes is an internal fault
    EXPECT_DEATH(ST_Clear(st), "st->refc == 0");
    --st->refc;
    ST_Free(st);
}

TEST(TriePrint, OneIndentedLinePerNodeWithStarWhereKeysEnd) {
    SymbolTable* st = ST_Init(nullptr, nullptr);
    ST_AddData(st, "do", &gA);
    ST_AddData(st, "delete", &gB);
    EXPECT_EQ(Printed(st), "d\n o*\n e\n  l\n   e\n    t\n     e*\n");
    ST_Free(st);

    SymbolTable* order = ST_Init(nullptr, nullptr);
    for (const char* key : {"b", "a", "ab", "c", "aa"}) ST_AddData(order, key, &gA);
    EXPECT_EQ(Printed(order), "b*\na*\n b*\n a*\nc*\n");
    ST_Free(order);
}
