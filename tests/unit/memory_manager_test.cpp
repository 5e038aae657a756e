#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "memory_manager/memory_manager.h"

namespace {

class MemoryManager : public ::testing::Test {
protected:
    void SetUp() override { MM_Init(); }
    void TearDown() override { MM_Terminate(); }
};

std::vector<Var*> Refs(const Var* target) {
    std::vector<Var*> out;
    for (const VarRef* r = target->references; r; r = r->next) out.push_back(r->var);
    return out;
}

std::vector<std::string> Chain(const HashTable* ht, int32_t bucket) {
    std::vector<std::string> out;
    for (const HashEntry* e = ht->buckets[bucket]; e; e = e->next) out.push_back(e->key);
    return out;
}

// The first n keys "k0", "k1", ... that fall into one bucket of a table of `size`.
std::vector<std::string> SameBucketKeys(size_t n, int32_t size) {
    HashTable* probe = HT_Create(size);
    std::vector<std::string> keys;
    uint32_t bucket = HT_Hash(probe, "k0");
    for (int i = 0; keys.size() < n; ++i) {
        std::string key("k");
        key += std::to_string(i);
        if (HT_Hash(probe, key.c_str()) == bucket) keys.push_back(key);
    }
    HT_Free(probe, nullptr);
    return keys;
}

}  // namespace

// --- values ---

TEST_F(MemoryManager, SetStringGivesTheDestinationItsOwnCopy) {
    Var* a = MM_CreateVar("a");
    Var* b = MM_CreateVar("b");
    Var_SetString(a, "first");
    Var_Set(b, a);
    EXPECT_NE(a->value.string, b->value.string);
    Var_SetString(a, "second");
    Var_Free(a);
    EXPECT_STREQ(Var_GetString(b), "first");
}

TEST_F(MemoryManager, SettersAcceptTextOwnedByTheDestination) {
    Var* a = MM_CreateVar("a");
    Var_SetString(a, "hello world");
    Var_SetString(a, a->value.string + 6);
    EXPECT_STREQ(Var_GetString(a), "world");
    Var_Set(a, a);
    EXPECT_STREQ(Var_GetString(a), "world");
    Var_TakeString(a, a->value.string);
    EXPECT_STREQ(Var_GetString(a), "world");
}

TEST_F(MemoryManager, SetCopiesTheValueButNotTheMembers) {
    Var* src = MM_CreateVar("src");
    Var_SetNumber(src, 7);
    Var_SetNumber(MM_CreateVar("src.m"), 1);
    Var* dst = MM_CreateVar("dst");
    Var_SetNumber(MM_CreateVar("dst.own"), 2);
    Var_Set(dst, src);
    EXPECT_EQ(Var_GetNumber(dst), 7);  // a number beside a member table
    EXPECT_EQ(MM_GetVar("dst.m"), nullptr);
    EXPECT_EQ(MM_VarSubCount("dst"), 1);
    Var_Set(dst, nullptr);
    EXPECT_EQ(dst->type, VAR_UNDEFINED);
    EXPECT_EQ(MM_VarSubCount("dst"), 1);
}

// --- aliases ---

TEST_F(MemoryManager, AliasOfAnAliasPointsAtTheTarget) {
    Var *a = MM_CreateVar("a"), *b = MM_CreateVar("b"), *c = MM_CreateVar("c");
    ASSERT_EQ(Var_SetAlias(b, "a"), 1);
    ASSERT_EQ(Var_SetAlias(c, "b"), 1);
    EXPECT_EQ(Var_GetAlias(b), a);
    EXPECT_EQ(Var_GetAlias(c), a);
    EXPECT_EQ(Refs(a), (std::vector<Var*>{b, c}));
    EXPECT_TRUE(Refs(b).empty());
}

TEST_F(MemoryManager, SelfAliasSucceedsAndLeavesTheVariableUndefined) {
    Var* a = MM_CreateVar("a");
    Var_SetNumber(a, 3);
    EXPECT_EQ(Var_SetAlias(a, "a"), 1);
    EXPECT_EQ(a->type, VAR_UNDEFINED);
    EXPECT_TRUE(Refs(a).empty());
    EXPECT_EQ(Var_SetAlias(a, "missing"), 0);
    EXPECT_EQ(Var_SetAlias(a, "a.x"), 0);

    // The same through a copied alias value.
    Var* b = MM_CreateVar("b");
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
    ASSERT_EQ(MM_DeleteVar("a"), 1);
    EXPECT_EQ(MM_GetVar("a"), nullptr);
    EXPECT_EQ(MM_GetVar("b"), b);
    EXPECT_EQ(MM_GetVar("c"), c);
    EXPECT_EQ(b->type, VAR_UNDEFINED);
    EXPECT_EQ(c->type, VAR_UNDEFINED);
    Var_Free(b);  // no longer linked anywhere: must not touch the freed target
}

TEST_F(MemoryManager, FreeingAnAliasRemovesExactlyItsNode) {
    Var *a = MM_CreateVar("a"), *b = MM_CreateVar("b"), *c = MM_CreateVar("c");
    Var_SetString(a, "kept");
    Var_SetAlias(b, "a");
    Var_Set(c, b);  // c becomes a second alias of a
    EXPECT_EQ(Refs(a), (std::vector<Var*>{b, c}));
    Var_Free(b);
    EXPECT_EQ(Refs(a), (std::vector<Var*>{c}));
    EXPECT_STREQ(Var_GetString(a), "kept");
}

TEST_F(MemoryManager, AliasHolderMadeAnAliasHandsItsAliasesOver) {
    Var *a = MM_CreateVar("a"), *b = MM_CreateVar("b"), *d = MM_CreateVar("d");
    Var *c = MM_CreateVar("c"), *e = MM_CreateVar("e");
    Var_SetAlias(b, "a");
    Var_SetAlias(d, "a");
    Var_SetAlias(e, "c");
    Var_SetAlias(a, "c");
    EXPECT_EQ(Var_GetAlias(a), c);
    EXPECT_EQ(Var_GetAlias(b), c);
    EXPECT_EQ(Var_GetAlias(d), c);
    EXPECT_TRUE(Refs(a).empty());
    EXPECT_EQ(Refs(c), (std::vector<Var*>{e, a, b, d}));
    EXPECT_EQ(MM_GetVar("b"), c);

    ASSERT_EQ(MM_DeleteVar("c"), 1);
    for (Var* v : {a, b, d, e}) EXPECT_EQ(v->type, VAR_UNDEFINED);

    // Copying an alias value into an alias holder hands over the same way.
    Var* u = MM_CreateVar("u");
    Var_SetAlias(b, "a");
    Var_SetAlias(e, "u");
    Var_Set(a, e);
    EXPECT_EQ(Var_GetAlias(b), u);
    EXPECT_EQ(Refs(u), (std::vector<Var*>{e, a, b}));
    Var_Free(a);
    EXPECT_EQ(Refs(u), (std::vector<Var*>{e, b}));
}

// --- deep copy ---

TEST_F(MemoryManager, CopyKeepsBucketsReversesChainsAndFloorsAtFour) {
    std::vector<std::string> shared = SameBucketKeys(2, 8);
    std::vector<std::string> keys = {shared[0], shared[1], "p", "q", "s"};
    for (const std::string& k : keys) Var_SetString(MM_CreateVar("src." + k), k.c_str());
    Var* src = MM_GetVar("src");
    ASSERT_EQ(src->children->size, 8);  // the fifth member grew the table

    Var* dst = MM_CreateVar("dst");
    MM_CopyVar(dst, src);
    ASSERT_NE(dst->children, nullptr);
    EXPECT_EQ(dst->children->size, 8);
    EXPECT_EQ(dst->children->minSize, 4u);
    EXPECT_EQ(dst->children->entries, 5);
    for (int32_t i = 0; i < 8; ++i) {
        std::vector<std::string> chain = Chain(src->children, i);
        std::reverse(chain.begin(), chain.end());
        EXPECT_EQ(Chain(dst->children, i), chain) << "bucket " << i;
    }
    for (const std::string& k : keys) {
        Var* m = MM_GetVar("dst." + k);
        EXPECT_EQ(m->parent, dst);
        EXPECT_STREQ(Var_GetString(m), k.c_str());
    }
}

TEST_F(MemoryManager, CopyIsDeepAndKeepsAliasesStructural) {
    Var* t = MM_CreateVar("t");
    Var_SetNumber(MM_CreateVar("src.x.y"), 4);
    Var_SetAlias(MM_CreateVar("src.r"), "t");
    Var* dst = Var_New();
    MM_CopyVar(dst, MM_GetVar("src"));
    ASSERT_EQ(MM_DeleteVar("src"), 1);

    Var* x = static_cast<Var*>(HT_Get(dst->children, "x"));
    Var* y = static_cast<Var*>(HT_Get(x->children, "y"));
    Var* r = static_cast<Var*>(HT_Get(dst->children, "r"));
    EXPECT_EQ(y->parent, x);
    EXPECT_EQ(Var_GetNumber(y), 4);
    EXPECT_EQ(Var_GetAlias(r), t);
    EXPECT_EQ(Refs(t), (std::vector<Var*>{r}));
    UnreferenceVar(dst);
    DeleteVar(dst);
    EXPECT_TRUE(Refs(t).empty());
}

// --- paths ---

TEST_F(MemoryManager, CreateMakesMissingComponentsAndMemberTables) {
    Var* a = MM_CreateVar("a");
    EXPECT_EQ(MM_GetVar("a.b"), nullptr);
    EXPECT_EQ(a->children, nullptr);
    Var* b = MM_CreateVar("a.b");
    ASSERT_NE(a->children, nullptr);
    EXPECT_EQ(a->children->size, 4);
    EXPECT_EQ(b->parent, a);
    EXPECT_EQ(b->type, VAR_UNDEFINED);
    EXPECT_EQ(MM_CreateVar("a.b"), b);

    Var* z = MM_CreateVar("x.y.z");
    EXPECT_EQ(z->parent, MM_GetVar("x.y"));
    EXPECT_EQ(MM_GetVar("x.y")->parent, MM_GetVar("x"));
    EXPECT_EQ(z->children, nullptr);
}

TEST_F(MemoryManager, PathsThroughAnAliasReachTheTargetsMembers) {
    Var *a = MM_CreateVar("a"), *x = MM_CreateVar("a.x");
    Var_SetAlias(MM_CreateVar("b"), "a");
    EXPECT_EQ(MM_GetVar("b.x"), x);
    Var* y = MM_CreateVar("b.y");
    EXPECT_EQ(y->parent, a);
    EXPECT_EQ(MM_GetVar("a.y"), y);
}

TEST_F(MemoryManager, DeletingAnAliasDeletesItsTarget) {
    Var_SetNumber(MM_CreateVar("rec.a.m"), 1);
    Var* b = MM_CreateVar("b");
    Var_SetAlias(b, "rec.a");
    EXPECT_EQ(MM_DeleteVar("b"), 1);
    EXPECT_EQ(MM_GetVar("rec.a"), nullptr);
    EXPECT_EQ(MM_VarSubCount("rec"), 0);
    EXPECT_EQ(MM_GetVar("b"), b);
    EXPECT_EQ(b->type, VAR_UNDEFINED);
    EXPECT_EQ(MM_DeleteVar("nothing"), 0);
    EXPECT_EQ(MM_DeleteVar("b.nothing"), 0);
}

TEST_F(MemoryManager, UnaliasDetachesOnlyTheNamedAlias) {
    Var* a = MM_CreateVar("a");
    Var_SetNumber(a, 9);
    Var *b = MM_CreateVar("b"), *c = MM_CreateVar("c");
    Var_SetAlias(b, "a");
    Var_SetAlias(c, "a");
    Var_SetNumber(MM_CreateVar("b.m"), 1);  // a member of a, through b
    MM_UnaliasVar("b");
    EXPECT_EQ(b->type, VAR_UNDEFINED);
    EXPECT_EQ(Refs(a), (std::vector<Var*>{c}));
    EXPECT_EQ(Var_GetNumber(a), 9);
    MM_UnaliasVar("a");
    MM_UnaliasVar("missing");
    EXPECT_EQ(Var_GetNumber(a), 9);
    EXPECT_EQ(MM_GetVar("c.m"), MM_GetVar("a.m"));
}

TEST_F(MemoryManager, DefinedFollowsTheResolvedValue) {
    Var* a = MM_CreateVar("a");
    Var_SetAlias(MM_CreateVar("b"), "a");
    EXPECT_EQ(MM_VarDefined("b"), 0);
    EXPECT_EQ(MM_VarDefined("missing"), 0);
    Var_SetNumber(a, 0);
    EXPECT_EQ(MM_VarDefined("b"), 1);
    Var_SetString(a, "");
    EXPECT_EQ(MM_VarDefined("b"), 1);
    Var_SetFunction(a, 0);
    EXPECT_EQ(MM_VarDefined("b"), 1);
}

TEST_F(MemoryManager, KeysOfOneChainComeOutInInsertionOrder) {
    std::vector<std::string> keys = SameBucketKeys(3, 4);
    for (const std::string& k : keys) MM_CreateVar("r." + k);
    ASSERT_EQ(MM_GetVar("r")->children->size, 4);
    KeyNode* list = MM_GetKeys("r");
    std::vector<std::string> got;
    for (KeyNode* n = list; n; n = n->next) got.push_back(n->key);
    MM_FreeKeys(list);
    EXPECT_EQ(got, keys);

    MM_CreateVar("leaf");
    EXPECT_EQ(MM_GetKeys("leaf"), nullptr);
    EXPECT_EQ(MM_VarSubCount("leaf"), 0);
    EXPECT_EQ(MM_GetKeys("missing"), nullptr);
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

TEST_F(MemoryManager, EveryFreedVariableAdvancesTheEpoch) {
    MM_CreateVar("a.b.c");
    MM_CreateVar("keep");
    uint64_t before = sVarEpoch;
    ASSERT_EQ(MM_DeleteVar("a"), 1);
    EXPECT_EQ(sVarEpoch, before + 3);
}

TEST_F(MemoryManager, InitAgainStartsAnEmptyNamespace) {
    MM_CreateVar("a.b");
    MM_Init();
    EXPECT_EQ(MM_GetVar("a"), nullptr);
    EXPECT_EQ(MM_RootTable()->entries, 0);
    EXPECT_EQ(MM_RootTable()->size, 16);
}

// --- user keys ---

TEST(ValidateUserKey, AcceptsOnlyNamesAndDigitRunsSeparatedBySingleDots) {
    for (const char* key : {"name", "a.b", "12", "a.12.b_2", "Z9_", "007"}) EXPECT_EQ(ValidateUserKey(key), 1) << key;
    for (const char* key : {"", ".a", "a.", "a..b", "_a", "1a", "a-b", "a b", "\xc3\xa9"})
        EXPECT_EQ(ValidateUserKey(key), 0) << key;
}
