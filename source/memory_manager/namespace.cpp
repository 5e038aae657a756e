// The one namespace of a run: a tree of Vars under the root table, addressed
// by '.'-separated paths.
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

#include "common/assert.h"
#include "memory_manager/memory_manager.h"

namespace {

HashTable* sTable = nullptr;
// Component buffer of the path walk; grows with the longest component seen
// and so keeps its capacity between walks.
std::string sKey;

enum WalkFlags : unsigned {
    WALK_CREATE = 1,          // make missing components and member tables
    WALK_KEEP_LAST_ALIAS = 2  // do not resolve an alias in the last component
};

// One step of a walk: finds (or, with WALK_CREATE, makes) the component
// `part` in `table`, whose owner is `owner`, and resolves an alias. Returns
// null when the walk ends empty. With `holder`, *holder and sKey name the
// table and key under which the returned Var is stored.
Var* WalkStep(HashTable* table, Var* owner, const KeyPart& part, bool last, unsigned flags, HashTable** holder) {
    Var* var = static_cast<Var*>(HT_GetHashed(table, part.text, part.length, part.hash));
    if (!var) {
        if (!(flags & WALK_CREATE)) return nullptr;
        ZK_ASSERT(table != nullptr);
        std::unique_ptr<Var> fresh(Var_New());  // freed if the entry cannot be made
        fresh->SetParent(owner);
        HT_UnsafeAddHashed(table, part.text, part.length, part.hash, fresh.get());
        var = fresh.release();
    }
    if (holder) {
        *holder = table;
        sKey.assign(part.text, part.length);
    }
    if (var->type == VAR_ALIAS && !(last && (flags & WALK_KEEP_LAST_ALIAS))) {
        var = var->value.alias;
        if (last && holder) {
            *holder = var->Parent() ? var->Parent()->children : sTable;
            if (!HT_GetKey(*holder, var, sKey)) return nullptr;
        }
    }
    return var;
}

// The member table to continue a walk in after `var`; null ends the walk.
HashTable* MembersOf(Var* var, unsigned flags) {
    if (!var->children && (flags & WALK_CREATE)) var->children = HT_Create(4);
    return var->children;
}

// Resolves `path` component by component. When `holder` is given, afterwards
// *holder is the table in which the returned Var is stored under the key in
// sKey (for a resolved alias: its target's own table).
Var* WalkPath(const char* path, unsigned flags, HashTable** holder = nullptr) {
    HashTable* table = sTable;
    Var* owner = nullptr;
    const char* p = path;
    for (;;) {
        const char* end = p;
        while (*end && *end != '.') ++end;
        bool last = *end == '\0';
        size_t length = static_cast<size_t>(end - p);
        KeyPart part{p, static_cast<uint32_t>(length), HT_RawHash(p, length)};
        Var* var = WalkStep(table, owner, part, last, flags, holder);
        if (!var || last) return var;
        if (!(table = MembersOf(var, flags))) return nullptr;
        owner = var;
        p = end + 1;
    }
}

// The walk of the path `head` (when given) followed by `count` parts.
// Walks `count` (>= 1) parts on from `table`, the member table of `owner`.
Var* WalkOn(HashTable* table, Var* owner, const KeyPart* parts, size_t count, unsigned flags) {
    for (size_t i = 0;; ++i) {
        bool last = i + 1 == count;
        Var* var = WalkStep(table, owner, parts[i], last, flags, nullptr);
        if (!var || last) return var;
        if (!(table = MembersOf(var, flags))) return nullptr;
        owner = var;
    }
}

Var* WalkParts(const KeyPart* head, const KeyPart* parts, size_t count, unsigned flags) {
    HashTable* table = sTable;
    Var* owner = nullptr;
    if (head) {
        Var* var = WalkStep(table, owner, *head, count == 0, flags, nullptr);
        if (!var || count == 0) return var;
        if (!(table = MembersOf(var, flags))) return nullptr;
        owner = var;
    }
    return WalkOn(table, owner, parts, count, flags);
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

HashTable* MM_RootTable() { return sTable; }

void ScopeKey::Set(int64_t scope) {
    char* end = digits + sizeof digits - 1;
    *end = '\0';
    char* p = end;
    uint64_t v = static_cast<uint64_t>(scope);
    do *--p = static_cast<char>('0' + v % 10);
    while (v /= 10);
    size_t n = static_cast<size_t>(end - p);
    part = {p, static_cast<uint32_t>(n), HT_RawHash(p, n)};
}

const KeyPart& MM_ScopePart(int64_t scope) {
    // A few recent scopes, by number: a recursion goes back and forth
    // between the scopes of neighbouring calls.
    struct Slot {
        int64_t scope = 0;
        ScopeKey key{0};
    };
    static Slot slots[64];
    Slot& slot = slots[static_cast<uint64_t>(scope) % std::size(slots)];
    if (slot.scope != scope) {
        slot.key.Set(scope);
        slot.scope = scope;
    }
    return slot.key.part;
}

KeyPart MM_Part(const char* text) {
    size_t n = std::strlen(text);
    return {text, static_cast<uint32_t>(n), HT_RawHash(text, n)};
}

namespace {

// MM_DeleteVar of a root variable named by one part.
int DeleteRoot(const KeyPart& key) {
    auto* var = static_cast<Var*>(HT_GetHashed(sTable, key.text, key.length, key.hash));
    if (!var) return 0;
    // Deleting an alias deletes its target, wherever that lives.
    if (var->type == VAR_ALIAS) return MM_DeleteVar(std::string(key.text, key.length).c_str());
    HT_DeleteHashed(sTable, key.text, key.length, key.hash, DeleteVar);
    return 1;
}

const KeyPart kResult = MM_Part("@");

}  // namespace

int MM_DeleteScope(const ScopeKey& scope) { return DeleteRoot(scope.part); }

Var* MM_GetResult() { return MM_GetParts(nullptr, &kResult, 1); }

Var* MM_CreateResult() { return MM_CreateParts(nullptr, &kResult, 1); }

int MM_DeleteResult() { return DeleteRoot(kResult); }

void MM_Init() {
    if (sTable) MM_Terminate();
    sTable = HT_Create(16);
}

void MM_Terminate() {
    HT_Free(sTable, DeleteVar);
    sTable = nullptr;
    ZK_ASSERT(HT_TableCount() == 0);
}

Var* MM_GetVar(const char* path) { return WalkPath(path, 0); }

Var* MM_CreateVar(const char* path) { return WalkPath(path, WALK_CREATE); }

Var* MM_BindVar(const char* path) { return WalkPath(path, WALK_CREATE | WALK_KEEP_LAST_ALIAS); }

Var* MM_GetParts(const KeyPart* head, const KeyPart* parts, size_t count) { return WalkParts(head, parts, count, 0); }

Var* MM_GetMemberParts(Var* base, const KeyPart* parts, size_t count) {
    return base->children ? WalkOn(base->children, base, parts, count, 0) : nullptr;
}

Var* MM_CreateMemberParts(Var* base, const KeyPart* parts, size_t count) {
    return WalkOn(MembersOf(base, WALK_CREATE), base, parts, count, WALK_CREATE);
}

Var* MM_BindMemberParts(Var* base, const KeyPart* parts, size_t count) {
    unsigned flags = WALK_CREATE | WALK_KEEP_LAST_ALIAS;
    return WalkOn(MembersOf(base, flags), base, parts, count, flags);
}

Var* MM_CreateParts(const KeyPart* head, const KeyPart* parts, size_t count) {
    return WalkParts(head, parts, count, WALK_CREATE);
}

Var* MM_BindParts(const KeyPart* head, const KeyPart* parts, size_t count) {
    return WalkParts(head, parts, count, WALK_CREATE | WALK_KEEP_LAST_ALIAS);
}

int MM_DeleteVar(const char* path) {
    HashTable* holder = nullptr;
    if (!WalkPath(path, 0, &holder)) return 0;
    HT_Delete(holder, sKey.c_str(), DeleteVar);
    return 1;
}

void MM_UnaliasVar(const char* path) {
    Var* var = WalkPath(path, WALK_KEEP_LAST_ALIAS);
    if (!var || var->type != VAR_ALIAS) return;
    Var__RemoveReference(var->value.alias, var);
    var->type = VAR_UNDEFINED;
    var->value.number = 0;
}

int MM_VarDefined(const char* path) {
    Var* var = MM_GetVar(path);
    return var && var->type != VAR_UNDEFINED;
}

int MM_VarSubCount(const char* path) {
    Var* var = MM_GetVar(path);
    return var && var->children ? var->children->entries : 0;
}

KeyNode* MM_GetKeys(const char* path) {
    Var* var = MM_GetVar(path);
    if (!var) return nullptr;
    // Each key goes to the head of the list: the list is the reverse of the
    // table's order, which is the order member loops visit.
    KeyNode* list = nullptr;
    HT_ForEachEntry(var->children, [&list](const HashEntry* e) { list = new KeyNode{e->Key(), list}; });
    return list;
}

void MM_FreeKeys(KeyNode* list) {
    while (list) {
        KeyNode* next = list->next;
        delete list;
        list = next;
    }
}

int ValidateUserKey(const char* key) {
    if (!key) return 0;
    const char* p = key;
    for (;;) {
        if (IsLetter(*p)) {
            ++p;
            while (IsLetter(*p) || IsDigit(*p) || *p == '_') ++p;
        } else if (IsDigit(*p)) {
            while (IsDigit(*p)) ++p;
        } else {
            return 0;  // empty component, leading '_' or a foreign byte
        }
        if (*p == '\0') return 1;
        if (*p != '.') return 0;
        ++p;
    }
}
