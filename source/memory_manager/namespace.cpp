// The one namespace of a run: a tree of Vars under the root table, addressed
// by '.'-separated paths.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/assert.h"
#include "common/checked_alloc.h"
#include "memory_manager/memory_manager.h"
#include "memory_manager/scope_roots.h"

namespace zorvik {

namespace {

// The root variables, in three places by the kind of their key: the result
// "@" (sResult), the scopes, named by their number in decimal (sScopes), and
// every other root, the globals (sTable). Nothing lists the root variables,
// so where one is kept cannot be seen; a call makes and drops its scope and
// its result without touching the root table.
thread_local constinit HashTable* sTable = nullptr;
thread_local constinit ScopeRoots sScopes;
thread_local constinit Var* sResult = nullptr;
// The result's members lie as they lay in the local that `return` moved
// them from (MM_ReturnMoved), not yet as the copy into the result lays them
// out. Only MM_TakeResultTree and the deletion of the result may find it so.
thread_local constinit bool sResultAsLaid = false;
// Component buffer of the path walk; grows with the longest component seen
// and so keeps its capacity between walks.
thread_local std::string sKey;

enum WalkFlags : unsigned {
    WALK_CREATE = 1,          // make missing components and member tables
    WALK_KEEP_LAST_ALIAS = 2  // do not resolve an alias in the last component
};

// The index that a member key names when it is written as dense members
// are: decimal digits without a sign or a leading zero ("0", "17").
bool ElementIndex(const KeyPart& part, uint32_t& index) {
    if (part.length == 0 || part.length > 9 || (part.text[0] == '0' && part.length > 1)) return false;
    uint32_t value = 0;
    for (uint32_t i = 0; i < part.length; ++i) {
        char c = part.text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    index = value;
    return true;
}

// The Var of dense element `index` of `owner`, made for an inline one.
Var* ElementVar(Var* owner, DenseMembers* dense, uint32_t index) {
    Cell& cell = dense->cells[index];
    if (cell.type == kElementVar) return cell.value.element;
    Var* var = Var_New();
    static_cast<Cell&>(*var) = cell;
    var->SetParent(owner);
    cell.type = kElementVar;
    cell.value.element = var;
    return var;
}

// The member `part` of `owner` (a root variable when owner is null), or null.
// Kept out of line, as is making a member: the walk's loops stay small.
[[gnu::noinline]] Var* FindElement(Var* owner, DenseMembers* dense, const KeyPart& part) {
    uint32_t index;
    return ElementIndex(part, index) && index < dense->count ? ElementVar(owner, dense, index) : nullptr;
}

enum class RootKind { kGlobal, kScope, kResult };

// Where the root variable `part` is kept; `number` is set for a scope.
inline RootKind RootKindOf(const KeyPart& part, int64_t& number) {
    // Globals begin with a letter or '_', after '@' and the digits.
    if (part.length == 0 || part.text[0] > '@') return RootKind::kGlobal;
    if (part.length == 1 && part.text[0] == '@') return RootKind::kResult;
    return ScopeNumberOfKey(part.text, part.length, number) ? RootKind::kScope : RootKind::kGlobal;
}

// Lays out the result's members as the copy into it would have (see
// sResultAsLaid). Out of line: only an unusual path meets it.
[[gnu::noinline]] void LayOutResult() {
    MM_LayOutAsCopied(sResult);
    sResultAsLaid = false;
}

// The root variable `part`, or null.
Var* FindRoot(const KeyPart& part) {
    int64_t number;
    switch (RootKindOf(part, number)) {
        case RootKind::kResult:
            if (sResultAsLaid) [[unlikely]]
                LayOutResult();
            return sResult;
        case RootKind::kScope: return sScopes.Find(number);
        case RootKind::kGlobal: break;
    }
    return static_cast<Var*>(HT_GetHashed(sTable, part.text, part.length, part.hash));
}

// Stores `fresh` as the root variable `part`, which is missing; on a failure
// nothing is stored.
void AddRoot(const KeyPart& part, Var* fresh) {
    int64_t number;
    switch (RootKindOf(part, number)) {
        case RootKind::kResult: sResult = fresh; return;
        case RootKind::kScope: sScopes.Add(number, fresh); return;
        case RootKind::kGlobal: break;
    }
    HT_UnsafeAddHashed(sTable, part.text, part.length, part.hash, fresh);
}

// Takes the root variable `part` out and deletes it; false when there is
// none. A global's removal may shrink the root table even then, as
// HT_DeleteHashed does.
bool DeleteRootVar(const KeyPart& part) {
    int64_t number;
    Var* var = nullptr;
    switch (RootKindOf(part, number)) {
        case RootKind::kResult:
            std::swap(var, sResult);
            sResultAsLaid = false;
            break;
        case RootKind::kScope: var = sScopes.Remove(number); break;
        case RootKind::kGlobal: return HT_DeleteHashed(sTable, part.text, part.length, part.hash, DeleteVar) != 0;
    }
    if (!var) return false;
    DeleteVar(var);
    return true;
}

// The key of the root variable `var` into `key`; false when it is none.
bool RootKeyOf(const Var* var, std::string& key) {
    int64_t number;
    if (var == sResult) {
        key = "@";
    } else if (sScopes.NumberOf(var, number)) {
        key = std::to_string(number);
    } else {
        return HT_GetKey(sTable, var, key) != 0;
    }
    return true;
}

inline Var* FindMember(Var* owner, const KeyPart& part) {
    if (!owner) return FindRoot(part);
    if (DenseMembers* dense = owner->Dense()) return FindElement(owner, dense, part);
    return static_cast<Var*>(HT_GetHashed(owner->Children(), part.text, part.length, part.hash));
}

// Appends dense element `cell` to `owner`, making its dense members when it
// has none.
void AppendElement(Var* owner, const Cell& cell) {
    if (DenseMembers* dense = owner->Dense()) {
        if (dense->count == dense->capacity) {
            uint32_t capacity = dense->capacity * 2;
            dense->cells = static_cast<Cell*>(CheckedRealloc(dense->cells, capacity * sizeof(Cell)));
            dense->capacity = capacity;
        }
        dense->cells[dense->count++] = cell;
        return;
    }
    constexpr uint32_t kFirstCapacity = 4;
    auto* cells = static_cast<Cell*>(CheckedMalloc(kFirstCapacity * sizeof(Cell)));
    cells[0] = cell;
    try {
        owner->SetDense(new DenseMembers{1, kFirstCapacity, cells});
    } catch (...) {
        std::free(cells);
        throw;
    }
}

// Whether the member `index` (-1: a key that names no element) is the next
// dense element of `owner`.
bool IsNextElement(const Var* owner, int64_t index) {
    if (const DenseMembers* dense = owner->Dense()) return index == dense->count;
    return !owner->HasMembers() && index == 0;
}

Cell ElementCell(Var* var) {
    Cell cell;
    cell.type = kElementVar;
    cell.value.element = var;
    return cell;
}

// Stores the new member `fresh` of `owner` under `part`, which is missing:
// densely while the members stay "0", "1", ... in order, else in the table
// (made with 4 buckets when there is none).
void AddMember(Var* owner, const KeyPart& part, Var* fresh) {
    if (!owner) {
        AddRoot(part, fresh);
        return;
    }
    HashTable* table = owner->Dense() ? nullptr : owner->Children();
    uint32_t index;
    if (!table && ElementIndex(part, index) && IsNextElement(owner, index)) {
        AppendElement(owner, ElementCell(fresh));
        return;
    }
    if (!table) table = owner->Children();  // built from dense members, or none yet
    if (!table) owner->SetChildren(table = HT_Create(4));
    HT_UnsafeAddHashed(table, part.text, part.length, part.hash, fresh);
}

// A fresh undefined member `part` of `owner`, which has none of that name.
Var* NewMember(Var* owner, const KeyPart& part) {
    std::unique_ptr<Var> fresh(Var_New());  // freed if the member cannot be stored
    fresh->SetParent(owner);
    AddMember(owner, part, fresh.get());
    return fresh.release();
}

// One step of a walk: finds (or, with WALK_CREATE, makes) the member `part`
// of `owner` (a root variable when owner is null), and resolves an alias.
// Returns null when the walk ends empty. With `holder`, *holder (null for
// the root variables) and sKey name the owner and key under which the
// returned Var is stored. Inlined into every walk, which makes it for its
// own flags.
[[gnu::always_inline]] inline Var* WalkStep(Var* owner, const KeyPart& part, bool last, unsigned flags, Var** holder) {
    Var* var = FindMember(owner, part);
    if (!var) {
        if (!(flags & WALK_CREATE)) return nullptr;
        var = NewMember(owner, part);
    }
    if (holder) {
        *holder = owner;
        sKey.assign(part.text, part.length);
    }
    if (var->type == VAR_ALIAS && !(last && (flags & WALK_KEEP_LAST_ALIAS))) {
        var = var->value.alias;
        if (last && holder) {
            *holder = var->Parent();
            if (*holder ? !HT_GetKey((*holder)->Children(), var, sKey) : !RootKeyOf(var, sKey)) return nullptr;
        }
    }
    return var;
}

// Whether a walk goes on after `var`: it has members, or they may be made.
bool GoesOn(const Var* var, unsigned flags) { return var->HasMembers() || (flags & WALK_CREATE); }

// Resolves `path` component by component. When `holder` is given, afterwards
// *holder is the owner (null for a root variable) under which the returned
// Var is stored with the key in sKey (for a resolved alias: its target's own).
Var* WalkPath(const char* path, unsigned flags, Var** holder = nullptr) {
    Var* owner = nullptr;
    const char* p = path;
    for (;;) {
        const char* end = p;
        while (*end && *end != '.') ++end;
        bool last = *end == '\0';
        size_t length = static_cast<size_t>(end - p);
        KeyPart part{p, static_cast<uint32_t>(length), HT_RawHash(p, length)};
        Var* var = WalkStep(owner, part, last, flags, holder);
        if (!var || last) return var;
        if (!GoesOn(var, flags)) return nullptr;
        owner = var;
        p = end + 1;
    }
}

// WalkOn of two or more parts; one copy for each set of flags.
template <unsigned flags>
[[gnu::noinline]] Var* WalkOnParts(Var* owner, const KeyPart* parts, size_t count) {
    for (size_t i = 0;; ++i) {
        bool last = i + 1 == count;
        Var* var = WalkStep(owner, parts[i], last, flags, nullptr);
        if (!var || last) return var;
        if (!GoesOn(var, flags)) return nullptr;
        owner = var;
    }
}

// Walks `count` (>= 1) parts on from the members of `owner` (the root
// variables for null). Most names have one part: that step is made here,
// with the flags of the caller known.
template <unsigned flags>
Var* WalkOn(Var* owner, const KeyPart* parts, size_t count) {
    return count == 1 ? WalkStep(owner, parts[0], true, flags, nullptr) : WalkOnParts<flags>(owner, parts, count);
}

// The walk of the path `head` (when given) followed by `count` parts.
template <unsigned flags>
Var* WalkParts(const KeyPart* head, const KeyPart* parts, size_t count) {
    Var* owner = nullptr;
    if (head) {
        Var* var = WalkStep(owner, *head, count == 0, flags, nullptr);
        if (!var || count == 0) return var;
        if (!GoesOn(var, flags)) return nullptr;
        owner = var;
    }
    return WalkOn<flags>(owner, parts, count);
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

HashTable* MM_RootTable() { return sTable; }

std::vector<std::string> MM_ScopeNames() {
    std::vector<std::string> names;
    if (sResult) names.emplace_back("@");
    for (int64_t number : sScopes.Numbers()) names.push_back(std::to_string(number));
    // Digits that are no scope's number ("007"), made through a path, are globals.
    HT_ForEachEntry(sTable, [&names](const HashEntry* e) {
        const char* key = e->Key();
        if (!*key) return;
        for (const char* p = key; *p; ++p)
            if (!IsDigit(*p)) return;
        names.emplace_back(key);
    });
    return names;
}

void ScopeKey::Set(int64_t scope) {
    number = scope;
    char* end = digits + sizeof digits - 1;
    *end = '\0';
    char* p = end;
    uint64_t v = static_cast<uint64_t>(scope);
    do *--p = static_cast<char>('0' + v % 10);
    while (v /= 10);
    size_t n = static_cast<size_t>(end - p);
    part = {p, static_cast<uint32_t>(n), HT_RawHash(p, n)};
}

ScopeKey::ScopeKey(const ScopeKey& other) : number(other.number), part(other.part) {
    std::memcpy(digits, other.digits, sizeof digits);
    part.text = digits + (other.part.text - other.digits);
}

// Out of line, as it was while the slots were a global: inlined, its
// thread-relative addressing costs its callers registers on their fast path.
[[gnu::noinline]] const ScopeKey& MM_ScopePart(int64_t scope) {
    // A few recent scopes, by number: a recursion goes back and forth
    // between the scopes of neighbouring calls.
    struct Slot {
        ScopeKey key{ScopeKey::Unset{}};
    };
    thread_local constinit Slot slots[64];
    ScopeKey& key = slots[static_cast<uint64_t>(scope) % std::size(slots)].key;
    if (key.number != scope) key.Set(scope);
    return key;
}

KeyPart MM_Part(const char* text) {
    size_t n = std::strlen(text);
    return {text, static_cast<uint32_t>(n), HT_RawHash(text, n)};
}

namespace {

// MM_DeleteVar of a root variable named by one part.
int DeleteRoot(const KeyPart& key) {
    Var* var = FindRoot(key);
    if (!var) return 0;
    // Deleting an alias deletes its target, wherever that lives.
    if (var->type == VAR_ALIAS) return MM_DeleteVar(std::string(key.text, key.length).c_str());
    DeleteRootVar(key);
    return 1;
}

const KeyPart kResult = MM_Part("@");

}  // namespace

Var* MM_GetResult() { return MM_GetParts(nullptr, &kResult, 1); }

namespace {

// The Var of the last result that MM_TakeResult took (undefined, without
// members or aliases), kept for the next result: each call makes one and its
// caller takes it.
thread_local constinit Var* sSpareResult = nullptr;

// Makes the missing result "@" a new undefined Var (NewMember), reusing the
// spare one when there is one.
Var* AddResult() {
    ZK_ASSERT(!sResult);
    if (sSpareResult) {
        std::swap(sResult, sSpareResult);
    } else {
        sResult = Var_New();
    }
    return sResult;
}

}  // namespace

Var* MM_CreateResult() {
    // Usually there is none yet: made without walking.
    if (!sResult) return AddResult();
    return MM_CreateParts(nullptr, &kResult, 1);
}

Var* MM_NewResult() {
    if (!sResult) return AddResult();
    MM_DeleteResult();
    return MM_CreateResult();
}

int MM_DeleteResult() {
    sResultAsLaid = false;  // its members go: how they lie is never seen
    return DeleteRoot(kResult);
}

void MM_Init() {
    if (sTable) MM_Terminate();
    sTable = HT_Create(16);
}

void MM_Terminate() {
    if (sSpareResult) DeleteVar(std::exchange(sSpareResult, nullptr));
    if (sResult) DeleteVar(std::exchange(sResult, nullptr));
    sResultAsLaid = false;
    sScopes.Clear(DeleteVar);
    HT_Free(sTable, DeleteVar);
    sTable = nullptr;
    ZK_ASSERT(HT_TableCount() == 0);
}

Var* MM_GetVar(const char* path) { return WalkPath(path, 0); }

Var* MM_CreateVar(const char* path) { return WalkPath(path, WALK_CREATE); }

Var* MM_BindVar(const char* path) { return WalkPath(path, WALK_CREATE | WALK_KEEP_LAST_ALIAS); }

Var* MM_GetParts(const KeyPart* head, const KeyPart* parts, size_t count) { return WalkParts<0>(head, parts, count); }

Var* MM_GetMemberParts(Var* base, const KeyPart* parts, size_t count) {
    return base->HasMembers() ? WalkOn<0>(base, parts, count) : nullptr;
}

Var* MM_CreateMemberParts(Var* base, const KeyPart* parts, size_t count) {
    return WalkOn<WALK_CREATE>(base, parts, count);
}

Var* MM_BindMemberParts(Var* base, const KeyPart* parts, size_t count) {
    return WalkOn<WALK_CREATE | WALK_KEEP_LAST_ALIAS>(base, parts, count);
}

Var* MM_CreateParts(const KeyPart* head, const KeyPart* parts, size_t count) {
    return WalkParts<WALK_CREATE>(head, parts, count);
}

Var* MM_BindParts(const KeyPart* head, const KeyPart* parts, size_t count) {
    return WalkParts<WALK_CREATE | WALK_KEEP_LAST_ALIAS>(head, parts, count);
}

// An inline element is only held across pure evaluation, which builds no
// table: its owner's members are still dense.
Cell* ElementRef::Value() const {
    if (var) return var;
    ZK_ASSERT(owner->Dense() && index < owner->Dense()->count);
    Cell* cell = &owner->Dense()->cells[index];
    return cell->type == kElementVar ? cell->value.element : cell;
}

Var* MM_ElementVar(const ElementRef& ref) {
    if (ref.var) return ref.var;
    ZK_ASSERT(ref.owner->Dense() && ref.index < ref.owner->Dense()->count);
    return ElementVar(ref.owner, ref.owner->Dense(), ref.index);
}

bool MM_StepElement(Var* owner, uint32_t index, bool create, ElementRef* ref) {
    *ref = ElementRef{};
    DenseMembers* dense = owner->Dense();
    if (dense && index < dense->count) {
        const Cell& cell = dense->cells[index];
        if (cell.type != kElementVar) {
            *ref = ElementRef{nullptr, owner, index};
            return true;
        }
        Var* var = cell.value.element;
        ref->var = var->type == VAR_ALIAS ? var->value.alias : var;
        return true;
    }
    if (!create) return !owner->HasMembers() || dense;  // dense members hold no other key
    if (!IsNextElement(owner, index)) return false;
    AppendElement(owner, Cell{});
    *ref = ElementRef{nullptr, owner, index};
    return true;
}

int MM_DeleteVar(const char* path) {
    Var* holder = nullptr;
    if (!WalkPath(path, 0, &holder)) return 0;
    if (holder)
        HT_Delete(holder->Children(), sKey.c_str(), DeleteVar);
    else
        DeleteRootVar({sKey.data(), static_cast<uint32_t>(sKey.size()), HT_RawHash(sKey.data(), sKey.size())});
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
    return var ? var->MemberCount() : 0;
}

KeyNode* MM_GetKeys(const char* path) {
    Var* var = MM_GetVar(path);
    return var ? MM_KeysOf(var) : nullptr;
}

KeyNode* MM_KeysOf(const Var* var) {
    // Each key goes to the head of the list: the list is the reverse of the
    // table's order, which is the order member loops visit.
    KeyNode* list = nullptr;
    HT_ForEachEntry(var->Children(), [&list](const HashEntry* e) { list = new KeyNode{e->Key(), list}; });
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

// ---- the root variables of scopes, found by number

namespace {

// The root variable of scope `scope`, when it exists and is no alias.
inline Var* ScopeRoot(int64_t scope) {
    Var* var = sScopes.Find(scope);
    return var && var->type != VAR_ALIAS ? var : nullptr;
}

}  // namespace

// ---- the scopes of calls, made and bound without walking paths

namespace {

const KeyPart kSelf = MM_Part("self");
const KeyPart kThis = MM_Part("this");

// Scopes kept for one function: as many as its deepest recursion needs, up
// to this many.
constexpr size_t kMaxKeptScopes = 32;

bool IsKey(const HashEntry* e, const KeyPart& part) { return HT_HasKey(e, part.text, part.length, part.hash); }

// A local that a kept scope may keep: nothing aliases it and it has no
// members, so that nothing outside can see it go and it cleans to a new one.
bool IsClean(const Var* local) { return !local->References() && !local->HasMembers(); }

// What a dropped scope keeps: the entries of `self`, `this` and the longest
// run of its function's parameters from the first that it holds clean, in
// the order a call makes them.
struct Keepers {
    HashEntry* entries[kKeptLocals];
    size_t count = 0;  // 0: the scope cannot be kept
    // The table holds nothing else, linked as adding the kept entries in
    // order to a new table links them: it needs no cleaning.
    bool asNew = false;
};

// Whether the chains of `table` (of size 4), which holds the keepers `k`
// and nothing else, list them as adding them in order links them: each
// chain newest first. Then each keeper's successor is the one before it in
// its bucket, and each bucket begins with the last of its keepers.
bool LinkedAsNew(const HashTable* table, const Keepers& k) {
    const HashEntry* heads[4] = {};
    for (size_t i = 0; i < k.count; ++i) {
        const HashEntry* e = k.entries[i];
        const HashEntry*& head = heads[e->hash % 4];
        if (e->next != head) return false;
        head = e;
    }
    for (int32_t b = 0; b < 4; ++b)
        if (table->buckets[b] != heads[b]) return false;
    return true;
}

// Whether the scope `var`, the root of `made`, can be kept again as it was
// kept last (MM_DeleteScope): nothing aliases it, its table is unchanged
// since, so that it holds the locals it kept and nothing else, linked as
// new, and they are all still clean. FindKeepers would find them again.
bool KeptAsBefore(const Var* var, const CallScope& made) {
    if (var != made.scope || made.keptCount == 0 || var->References() || var->Dense()) return false;
    const HashTable* table = var->Children();
    if (!table || table->version != made.version) return false;
    for (size_t i = 0; i < made.keptCount; ++i)
        if (!IsClean(static_cast<Var*>(made.kept[i]->data))) return false;
    return true;
}

// The keepers of the scope `var`. None when something aliases it, when its
// `self` or its `this` is missing or not clean, or when its table lacks the
// minimum size of a new one. A table that grew (a call with more locals
// than fit in 4 buckets) is searched at its size; Unconstrain takes it back.
Keepers FindKeepers(Var* var, const KeyPart* params, size_t count) {
    Keepers k;
    if (var->References() || var->Dense()) return k;
    HashTable* table = var->Children();
    if (!table || table->minSize != 4) return k;
    size_t n = 2 + (count < kKeptLocals - 2 ? count : kKeptLocals - 2);
    // Each is looked for in its own chain (the bucket is the hash modulo the
    // size); the run ends at the first missing or not clean.
    size_t kept = 0;
    for (; kept < n; ++kept) {
        const KeyPart& wanted = kept == 0 ? kSelf : kept == 1 ? kThis : params[kept - 2];
        HashEntry* e = table->buckets[wanted.hash % static_cast<uint32_t>(table->size)];
        while (e && !IsKey(e, wanted)) e = e->next;
        if (!e || !IsClean(static_cast<Var*>(e->data))) break;
        k.entries[kept] = e;
    }
    if (kept < 2) return k;
    k.count = kept;
    k.asNew = table->size == 4 && static_cast<size_t>(table->entries) == kept && LinkedAsNew(table, k);
    return k;
}

// Takes the table of a scope to be kept back to the size of a new one, so
// that Clean relinks the keepers as a new table links them and the next
// call's locals grow it as they grow a new one. The buckets are allocated
// before anything changes: false, with nothing changed, when they cannot
// be, and the scope is then deleted instead (deleting allocates nothing).
bool Unconstrain(Var* scope) {
    HashTable* table = scope->Children();
    if (table->size == 4) return true;
    try {
        HT_Resize(table, 4);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Deletes what a call left in the scope (as DeleteVar would have) but its
// keepers, whose values go: the scope is then as a new one with those
// locals made in that order. Only `self` and `this` may stay aliases: the
// next call most likely binds them to the same variables again, and no one
// can see them while the scope is kept.
void Clean(Var* scope, HashEntry* const* keepers, size_t count, bool asNew) {
    if (!asNew) HT_KeepOnly(scope->Children(), keepers, count, DeleteVar);
    Var_Free(scope);
    scope->length = 0;
    scope->ReleaseLinks();
    for (size_t i = 0; i < count; ++i) {
        auto* local = static_cast<Var*>(keepers[i]->data);
        if (i < 2 && local->type == VAR_ALIAS) {  // self, this (order matters: FindKeepers)
            Var__KeepReference(local->value.alias, local);
            continue;
        }
        Var_Free(local);
        local->length = 0;
        local->ReleaseLinks();
    }
    MM_VarFreed();  // as if they were freed: pointers held to them are stale
}

}  // namespace

CallScope MM_NewScope(int64_t scope, KeptScopes& kept) {
    if (sScopes.Find(scope)) return {};
    if (!kept.empty()) {
        CallScope made = kept.back();
        sScopes.Add(scope, made.scope);  // on a failure it stays kept
        kept.pop_back();
        return made;
    }
    if (kept.capacity() == 0) kept.reserve(kMaxKeptScopes);  // keeping then allocates nothing
    CallScope made;
    made.scope = NewMember(nullptr, MM_ScopePart(scope).part);
    made.self = NewMember(made.scope, kSelf);  // order matters: the table's chains
    made.thisVar = NewMember(made.scope, kThis);
    return made;
}

void MM_DropLocals(const KeyPart& scope, const KeyPart* locals, size_t count) {
    Var* var = FindRoot(scope);
    if (!var || var->type == VAR_ALIAS || var->Dense()) return;
    HashTable* table = var->Children();
    for (size_t i = 0; i < count; ++i)  // a delete may shrink the table even when the key is missing
        if (HT_GetHashed(table, locals[i].text, locals[i].length, locals[i].hash))
            HT_DeleteHashed(table, locals[i].text, locals[i].length, locals[i].hash, DeleteVar);
}

int MM_DeleteScope(int64_t scope, const CallScope& made, const KeyPart* params, size_t count, KeptScopes& kept) {
    Var* var = sScopes.Find(scope);
    if (!var) return 0;
    if (var->type == VAR_ALIAS) return DeleteRoot(MM_ScopePart(scope).part);  // deletes its target
    bool room = kept.size() < kept.capacity();
    if (room && KeptAsBefore(var, made)) {
        sScopes.Remove(scope);
        Clean(var, made.kept, made.keptCount, true);
        kept.push_back(made);  // its table still has that version: cleaning it changed nothing there
        return 1;
    }
    Keepers keepers;
    if (room) keepers = FindKeepers(var, params, count);
    if (keepers.count > 0 && !Unconstrain(var)) keepers.count = 0;
    sScopes.Remove(scope);
    if (keepers.count == 0) {  // DeleteRoot
        DeleteVar(var);
        return 1;
    }
    Clean(var, keepers.entries, keepers.count, keepers.asNew);
    CallScope keep{var, static_cast<Var*>(keepers.entries[0]->data), static_cast<Var*>(keepers.entries[1]->data)};
    std::copy(keepers.entries, keepers.entries + keepers.count, keep.kept);
    keep.keptCount = keepers.count;
    keep.version = var->Children()->version;
    kept.push_back(keep);
    return 1;
}

void MM_FreeKeptScopes(KeptScopes& kept) {
    for (const CallScope& scope : kept) DeleteVar(scope.scope);
    KeptScopes().swap(kept);
}

void MM_TakeResult(Var* dest) {
    sResultAsLaid = false;  // only the value is taken: the members go
    Var* var = sResult;
    if (!var || var->type == VAR_ALIAS) {
        Var_Set(dest, MM_GetResult());
        MM_DeleteResult();
        return;
    }
    if (var->type == VAR_STRING) {  // moved: the result is deleted next
        Var_Free(dest);
        dest->type = VAR_STRING;
        dest->length = var->length;
        dest->value.string = var->value.string;
        var->type = VAR_UNDEFINED;
        var->value.number = 0;
    } else {
        Var_Set(dest, var);
    }
    sResult = nullptr;
    if (sSpareResult || var->References() || var->HasMembers()) {
        DeleteVar(var);
        return;
    }
    // Kept as the spare instead of freed: cleaned, it is what NewMember makes.
    sSpareResult = var;
    Var_Free(var);
    var->length = 0;
    var->ReleaseLinks();
    MM_VarFreed();  // as if it was freed: pointers held to it are stale
}

bool MM_ReturnMoved(Var* result, Var* source) {
    ZK_ASSERT(result == sResult && !sResultAsLaid);
    if (!MM_MoveVarAsLaid(result, source)) return false;
    sResultAsLaid = true;
    return true;
}

bool MM_TakeResultTree(Var* dest) {
    if (sResultAsLaid) {
        // Moved as laid by `return`: this move lays it out as a copy would,
        // which gives back the layout it has.
        if (MM_MoveVarAsLaid(dest, sResult)) {
            sResultAsLaid = false;
            return true;
        }
        LayOutResult();
    }
    return MM_MoveVar(dest, MM_GetResult());
}

bool MM_InScope(const Var* var, int64_t scope) {
    const Var* root = sScopes.Find(scope);
    if (!root || !var || var == root) return false;
    for (const Var* v = var->Parent(); v; v = v->Parent())
        if (v == root) return true;
    return false;
}

Var* MM_GetScoped(int64_t scope, const KeyPart* parts, size_t count) {
    Var* root = ScopeRoot(scope);
    return root ? MM_GetMemberParts(root, parts, count) : MM_GetParts(&MM_ScopePart(scope).part, parts, count);
}

Var* MM_CreateScoped(int64_t scope, const KeyPart* parts, size_t count) {
    Var* root = ScopeRoot(scope);
    return root ? MM_CreateMemberParts(root, parts, count) : MM_CreateParts(&MM_ScopePart(scope).part, parts, count);
}

Var* MM_BindScoped(int64_t scope, const KeyPart* parts, size_t count) {
    Var* root = ScopeRoot(scope);
    return root ? MM_BindMemberParts(root, parts, count) : MM_BindParts(&MM_ScopePart(scope).part, parts, count);
}

}  // namespace zorvik
