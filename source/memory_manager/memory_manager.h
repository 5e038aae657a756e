// Variables and the one namespace they live in.
//
// A Var is a type tag with a payload, an optional member table and the list
// of aliases that point at it. All variables of a run hang off the root
// variables; a variable is addressed by a path of '.'-separated components,
// each looked up in the member table of the previous one. The locals of
// scope N are the members of the root variable named N; a call's result
// travels in the root variable "@". The globals are kept in the root hash
// table (sTable), the scopes by number (ScopeRoots) and "@" on its own:
// nothing lists the root variables, so only the lookups see where they are.
//
// Invariants:
//  - A Var owns its members; a table owns the Vars it holds (released with
//    DeleteVar).
//  - A string value is the text of a counted block (MM_NewText): a count of
//    its holders, then the NUL-terminated bytes. Copying a string value
//    shares the block; every writer of the bytes takes a block of its own
//    first (Var_MutableString, Var_AppendString), so a holder never sees
//    another's change; the last holder to let go frees it. Text that is not
//    such a block (token texts, a caller's buffer) is copied into one.
//  - Members are kept one of two ways. Usually in a hash table. But the
//    members "0", "1", ..., "n-1", made in that order into a Var that had
//    none, and nothing else (no other key, none removed), are kept densely,
//    by index. The table such members would have is a function of those adds
//    alone, so it is built from them, exactly as it would have been, the
//    first time anything needs the table itself: a walk over its order,
//    another key, a removal.
//  - For every alias A with target T, T's references list holds exactly one
//    node for A. An alias never points at an alias: making a Var that has
//    aliases into an alias itself re-targets its aliases to the new target,
//    so no path lookup ever yields an alias.
//  - Members and value are independent: a Var of any type may own members.
//    Every entry of a member table holds its member's Var (the array
//    natives make the Var before they shift entries).
//  - A Var whose members may hold (at any depth) the target of an alias is
//    marked (MayHoldTargets); one that is not marked holds none. A mark, once
//    set, stays until a walk of the members finds no target in them, and the
//    marked Vars are closed upwards: the owner of a marked Var is marked. So
//    making an alias marks the owners of its target up to the first marked
//    one, and telling whether a tree is free of targets takes one test for a
//    tree that was found free before.
//  - Every Var that is freed bumps sVarEpoch, so code that holds a Var* across
//    an evaluation can tell cheaply whether it must look the Var up again.
//  - sNameEpoch moves whenever a name may stop giving the Var it gave: a Var
//    freed, an alias made or undone, the running scope changed. A Var* kept
//    for a name is valid exactly while sNameEpoch is what it was when the
//    name was looked up; nothing needs to be told to forget it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hash_table/hash_table.h"
#include "memory_manager/small_alloc.h"

namespace zorvik {

enum VarType : int32_t {
    VAR_UNDEFINED = 0,
    VAR_NUMBER = 1,
    VAR_STRING = 2,
    VAR_ALIAS = 3,
    VAR_FUNCTION = 4,
};

struct Var;

struct Cell;

// Dense members: element i is the member "i"; see the header comment.
// Cell i holds either the element's Var (type kElementVar) or, inline, the
// element itself: an undefined or number value that has no members and no
// aliases. An inline element gets a Var (with the same value, and the owner
// as parent) the first time anything asks for one; only compiled code reads
// and writes inline elements as cells.
struct DenseMembers {
    uint32_t count;
    uint32_t capacity;
    Cell* cells;  // malloc'd, `capacity` cells
    uint32_t ownerMarks = 0;  // as HashTable::ownerMarks; the table made from them takes them
    ZK_SMALL_BLOCKS
};
constexpr int32_t kElementVar = -1;

// A function value: an index into the function table of the run that built
// it. The run number lets a later run recognise a value it did not build.
struct FunctionRef {
    int32_t index;
    uint32_t run;
    bool operator==(const FunctionRef&) const = default;
};

// One node of a target's references list, in the order the aliases were
// made. The list is linked forward by `next` (null at the tail) and backward
// by `prev`, where the head's `prev` is the tail: an alias is appended and,
// since the newest aliases (the locals of the deepest calls) go first, found
// from the tail in constant time however long the list. The `self` and
// `this` of a kept scope move to the head (Var__KeepReference), where the
// search from both ends finds them as fast. The order of the list is never
// seen: it only says which aliases to undo.
struct VarRef {
    Var* var;
    VarRef* next;
    VarRef* prev;
    ZK_SMALL_BLOCKS
};

// The value of a variable: a type tag and its payload. An element kept
// inline in dense members is only this.
struct Cell {
    int32_t type = VAR_UNDEFINED;
    // VAR_STRING: strlen(value.string), or kUnknownLength when it does not
    // fit. Every store of a string goes through the Var_ setters (or copies
    // the whole value), which keep it.
    uint32_t length = 0;
    union {
        double number;
        char* string;
        Var* alias;
        FunctionRef function;
        int32_t flag;  // truth flag of a condition, kept in an undefined register
        Var* element;  // kElementVar: the Var of a dense element that has one
    } value{};
};

struct Var : Cell {
    // The member table, or null when there are no members. Dense members are
    // turned into their table first, which allocates (and may throw
    // std::bad_alloc, leaving them dense).
    HashTable* Children() const { return IsDense() ? MakeTable() : static_cast<HashTable*>(members_); }
    bool HasMembers() const { return members_ != nullptr; }
    int32_t MemberCount() const;
    // The dense members, or null when they are kept in a table or there are none.
    DenseMembers* Dense() const { return IsDense() ? DenseOf() : nullptr; }
    // Gives a Var without members the table `table` or the dense members `dense`.
    void SetChildren(HashTable* table) { members_ = table; }
    void SetDense(DenseMembers* dense) { members_ = static_cast<char*>(static_cast<void*>(dense)) + kDenseTag; }
    // Detaches the members, whichever way they are kept, and returns the
    // word that holds them (for MoveMembers); allocates nothing.
    void* TakeMembers() {
        void* word = members_;
        members_ = nullptr;
        return word;
    }
    void MoveMembers(void* word) { members_ = word; }
    // Visits every member Var without building a table, in an order that
    // must not matter to the caller: the table's, or by index when dense
    // (where inline elements, which are no Vars, are passed over).
    template <typename Visit>
    void ForEachMemberUnordered(Visit visit) const {
        if (const DenseMembers* dense = Dense()) {  // inline elements own nothing
            for (uint32_t i = 0; i < dense->count; ++i)
                if (dense->cells[i].type == kElementVar) visit(dense->cells[i].value.element);
            return;
        }
        HT_ForEachEntry(static_cast<const HashTable*>(members_), [&visit](const HashEntry* e) {
            if (e->data) visit(static_cast<Var*>(e->data));
        });
    }
    // Frees what holds the members (not the member Vars) and leaves none;
    // allocates nothing.
    void DropMembers();
    // Whether the members may hold the target of an alias (see the header
    // comment); false for a Var without members.
    bool MayHoldTargets() const {
        if (IsDense()) return (DenseOf()->ownerMarks & kMarkTargets) != 0;
        const auto* table = static_cast<const HashTable*>(members_);
        return table && (table->ownerMarks & kMarkTargets) != 0;
    }
    // Sets or clears that mark; a Var without members has none to set.
    void SetMayHoldTargets(bool may) {
        uint32_t* marks = IsDense() ? &DenseOf()->ownerMarks
                          : members_ ? &static_cast<HashTable*>(members_)->ownerMarks
                                     : nullptr;
        if (marks) *marks = may ? (*marks | kMarkTargets) : (*marks & ~kMarkTargets);
    }

    // The Var whose member table holds this one; null for a root variable
    // and for one outside the namespace.
    Var* Parent() const { return HasLinks() ? Links()->parent : static_cast<Var*>(links_); }
    void SetParent(Var* parent) {
        if (HasLinks())
            Links()->parent = parent;
        else
            links_ = parent;
    }
    // The head of the list of aliases that point here, or null.
    VarRef* References() const { return HasLinks() ? Links()->references : nullptr; }
    // Makes `head` the list of aliases; allocates (and may throw
    // std::bad_alloc) only at the first alias this Var ever gets.
    void SetReferences(VarRef* head);
    // Detaches the list of aliases and returns its head; allocates nothing.
    VarRef* TakeReferences() {
        if (!HasLinks()) return nullptr;
        VarRef* head = Links()->references;
        Links()->references = nullptr;
        return head;
    }
    // Frees what the links hold beyond the Var itself; for a Var that is
    // about to be deleted, whose list is empty.
    void ReleaseLinks() {
        if (HasLinks()) FreeLinks();
    }

    ZK_SMALL_BLOCKS

  private:
    static constexpr uint32_t kMarkTargets = 1;
    static constexpr uintptr_t kDenseTag = 1;
    bool IsDense() const { return (reinterpret_cast<uintptr_t>(members_) & kDenseTag) != 0; }
    DenseMembers* DenseOf() const {
        return static_cast<DenseMembers*>(static_cast<void*>(static_cast<char*>(members_) - kDenseTag));
    }
    HashTable* MakeTable() const;
    // A HashTable*, a tagged DenseMembers* (low bit set) or null. Mutable:
    // building the table changes how the members are kept, not what they are.
    mutable void* members_ = nullptr;

    // The parent link and the alias list share one word, so that a Var takes
    // 32 bytes (every member of a table is a Var). Only the targets of
    // aliases have a list: a Var that never had an alias keeps its parent
    // pointer in the word itself; one that had one points at a record that
    // holds both, marked by the low bit (records and Vars are 8-byte
    // aligned). A Var keeps its record, once made, until it is freed (the
    // target of the `self` of every call would otherwise make and free one
    // per call). Values copied by value (evaluator registers) are no alias
    // targets, so no record is ever shared.
    struct Links_ {
        Var* parent;
        VarRef* references;
        ZK_SMALL_BLOCKS
    };
    // The tag is added to the record's address as a byte offset, so that no
    // integer is ever turned back into a pointer.
    static constexpr uintptr_t kLinksTag = 1;
    bool HasLinks() const { return (reinterpret_cast<uintptr_t>(links_) & kLinksTag) != 0; }
    static void* Tagged(Links_* links) { return static_cast<char*>(static_cast<void*>(links)) + kLinksTag; }
    void FreeLinks();
    Links_* Links() const { return static_cast<Links_*>(static_cast<void*>(static_cast<char*>(links_) - kLinksTag)); }
    void* links_ = nullptr;
};
static_assert(sizeof(Var) == 32, "every member of a table is a Var: keep it small");
static_assert(alignof(Var) <= kSmallAlign && alignof(VarRef) <= kSmallAlign);

constexpr uint32_t kUnknownLength = UINT32_MAX;

// Counts every Var freed; see the header comment.
extern thread_local constinit uint64_t sVarEpoch;
// Counts every change to what a name may resolve to; see the header comment.
extern thread_local constinit uint64_t sNameEpoch;
// A Var was freed, or kept to be reused as if it was: both epochs move.
inline void MM_VarFreed() {
    ++sVarEpoch;
    ++sNameEpoch;
}

// --- single variables ---
Var* Var_New();
double Var_SetNumber(Var* var, double number);
double Var_GetNumber(const Var* var);
const char* Var_SetString(Var* var, const char* text);
// Takes ownership of a plain malloc'd string (of `length` bytes when given),
// whose bytes move into a counted block.
const char* Var_TakeString(Var* var, char* text);
const char* Var_TakeString(Var* var, char* text, size_t length);
// Takes over one count of the counted block `text` (of `length` bytes).
const char* Var_TakeText(Var* var, char* text, size_t length);
// The bytes of a VAR_STRING value, for writing: a shared block is copied
// first. The length must stay what it is (or be stored again).
char* Var_MutableString(Var* var);
// The length of a VAR_STRING value.
size_t Var_StringLength(const Cell* var);
// Appends to a VAR_STRING value in place; the block grows geometrically, so
// building a string by repeated appends costs linear time.
void Var_AppendString(Var* var, const char* text, size_t length);
const char* Var_GetString(const Var* var);
void Var_SetFunction(Var* var, FunctionRef function);
int Var_SetAlias(Var* var, const char* path);
Var* Var_GetAlias(const Var* var);
void Var__AddReference(Var* target, Var* alias);
void Var__RemoveReference(Var* target, Var* alias);
// Moves the node of `alias`, when it is the tail, to the head of the
// references list of `target`: it stays there while newer aliases come and
// go at the tail.
void Var__KeepReference(Var* target, Var* alias);
void Var_Set(Var* dest, const Var* source);
// Var_Free of a string or an alias: what its value owns goes.
void Var_FreeOwned(Var* var);
// Leaves `var` undefined, freeing what its value owns; its members and the
// aliases that point at it stay. Inline: a value that owns nothing (most of
// the locals a call drops) needs no call.
inline void Var_Free(Var* var) {
    if (var->type == VAR_STRING || var->type == VAR_ALIAS) {
        Var_FreeOwned(var);
        return;
    }
    var->type = VAR_UNDEFINED;
    var->value.number = 0;
}
void MM_CopyVar(Var* dest, const Var* source);
// What MM_CopyVar(dest, source) followed by deleting the members of
// `source` gives, without copying: the members of `source` move to `dest`
// (which has none), their tables rearranged exactly as a copy lays them out,
// and `source` keeps its value but no members. For a source about to die
// (a local returned, a call's result stored). False, with nothing changed
// that can be seen, when any Var of the tree of `source` is the target of
// an alias: those aliases would follow the move, where after a copy they
// are left on the source.
bool MM_MoveVar(Var* dest, Var* source);
// MM_MoveVar without the rearranging: the members of `source` move to
// `dest` as they lie. Two copies in a row give back the layout of their
// source (each keeps every table's size and reverses its chains; dense
// members stand for the table they would make), so a move that stands for
// two copies needs nothing more. False, with nothing changed, when MM_MoveVar
// would be false.
bool MM_MoveVarAsLaid(Var* dest, Var* source);
// Rearranges the tree of `var` as a copy lays it out (MM_MoveVar's layout),
// for a tree moved as laid that stands for one copy.
void MM_LayOutAsCopied(Var* var);
// Deletes the members of `var` (DeleteVar), leaving it none; its value and
// its own aliases stay.
void MM_DeleteMembers(Var* var);
// Frees a Var with its members, unlinking every alias into and out of them;
// allocates nothing, so it also works when memory has run out. The release
// callback of every table of the namespace.
void DeleteVar(void* var);

// --- counted text blocks, the payload of every string value ---
// A new block with one holder and room for `length` bytes and the NUL (which
// is set); throws std::bad_alloc.
char* MM_NewText(size_t length);
// A new block holding a copy of the first `length` bytes of `text`.
char* MM_CopyText(const char* text, size_t length);
// One more holder of `text`, which is returned.
char* MM_ShareText(char* text);
// One holder less; the last one frees the block.
void MM_ReleaseText(char* text);
// Whether anyone else holds `text`: then its bytes must not change.
bool MM_TextShared(const char* text);
// The bytes (NUL included) that the block of `text` can hold.
size_t MM_TextCapacity(const char* text);
// The unshared block of `text` grown or shrunk to hold `capacity` bytes
// (NUL included); it may move. Throws std::bad_alloc, leaving it as it was.
char* MM_GrowText(char* text, size_t capacity);

// --- the namespace ---
struct KeyNode {
    const char* key;
    KeyNode* next;
};

// One component of a path, already split off and hashed (HT_RawHash), so
// that a walk over a name met again builds and hashes no key string.
struct KeyPart {
    const char* text;  // not NUL-terminated
    uint32_t length;
    uint32_t hash;
};

// The root component "N" under which the locals of scope N live, written
// and hashed without building a string.
struct ScopeKey {
    explicit ScopeKey(int64_t scope) { Set(scope); }
    // A key that names no scope yet (its number is no scope's), made at
    // compile time for caches that Set it before use.
    struct Unset {};
    constexpr explicit ScopeKey(Unset) : number(INT64_MIN), part{} {}
    // `part` points into `digits`: a copy points into its own.
    ScopeKey(const ScopeKey& other);
    ScopeKey& operator=(const ScopeKey&) = delete;
    void Set(int64_t scope);
    int64_t number;  // N
    char digits[24] = {};
    KeyPart part;
};

// The key of scope `scope`, cached for a few recent scopes. Valid until the
// next call with another scope (which may take its place).
const ScopeKey& MM_ScopePart(int64_t scope);

// A constant name component, hashed once.
KeyPart MM_Part(const char* text);

void MM_Init();
void MM_Terminate();
Var* MM_GetVar(const char* path);
Var* MM_CreateVar(const char* path);
int MM_DeleteVar(const char* path);
// As MM_CreateVar, but an alias in the last component is returned itself, so
// that binding a local replaces the local and never writes through it.
Var* MM_BindVar(const char* path);
// MM_GetVar, MM_CreateVar and MM_BindVar of the path made of `head` (when
// not null) followed by `count` parts; head or count must give one part.
Var* MM_GetParts(const KeyPart* head, const KeyPart* parts, size_t count);
Var* MM_CreateParts(const KeyPart* head, const KeyPart* parts, size_t count);
Var* MM_BindParts(const KeyPart* head, const KeyPart* parts, size_t count);
// The walk of `count` (>= 1) parts on from `base`, a Var that a walk
// returned: MM_GetParts(head, [p..., parts...]) is
// MM_GetMemberParts(MM_GetParts(head, [p...]), parts) when the first is found.
Var* MM_GetMemberParts(Var* base, const KeyPart* parts, size_t count);
Var* MM_CreateMemberParts(Var* base, const KeyPart* parts, size_t count);
Var* MM_BindMemberParts(Var* base, const KeyPart* parts, size_t count);
// A member reached by a walk that may end at an element kept inline: its
// Var, or its owner and index. Empty when nothing was found. Held only
// across code that turns no dense members into a table (pure evaluation):
// an inline element needs its owner's members to stay dense.
struct ElementRef {
    Var* var = nullptr;
    Var* owner = nullptr;  // with `var` null: the owner of the inline element `index`
    uint32_t index = 0;
    bool Found() const { return var || owner; }
    // The member's value. For an inline element it is looked up again on
    // every call: the element may have got a Var meanwhile.
    Cell* Value() const;
};
// The member's Var, made for an inline element (may throw std::bad_alloc).
Var* MM_ElementVar(const ElementRef& ref);
// One step of MM_GetMemberParts (or, with `create`, MM_CreateMemberParts)
// from `owner` to its member named by the decimal `index`, taken by index
// without writing the key when the members are dense (or when `create` makes
// the first one). Then *ref is the member (alias resolved; inline for an
// element without a Var, and for one that `create` makes) or empty, and the
// result is true. False when the key must be walked by its text.
bool MM_StepElement(Var* owner, uint32_t index, bool create, ElementRef* ref);
// MM_GetParts, MM_CreateParts and MM_BindParts of the name `parts` (count
// >= 1) in scope `scope` (> 0), whose head is MM_ScopePart(scope).part. The root
// variable of a scope is found by its number, so that the names read in it
// are walked from there.
Var* MM_GetScoped(int64_t scope, const KeyPart* parts, size_t count);
Var* MM_CreateScoped(int64_t scope, const KeyPart* parts, size_t count);
Var* MM_BindScoped(int64_t scope, const KeyPart* parts, size_t count);
// The root variable "@" through which a call's or an import's result
// travels: MM_GetVar, MM_CreateVar and MM_DeleteVar of "@".
Var* MM_GetResult();
Var* MM_CreateResult();
int MM_DeleteResult();
// MM_DeleteResult() followed by MM_CreateResult().
Var* MM_NewResult();
// Var_Set(dest, MM_GetResult()) followed by MM_DeleteResult(), with one
// lookup; a string is moved instead of copied.
void MM_TakeResult(Var* dest);
// `return name;` of `source`, a Var about to die, into `result`, the new
// result (MM_NewResult()): MM_CopyVar(result, source), with the members
// moved instead (see MM_MoveVar). False, with nothing changed, when they
// must be copied. The result's tree is left as it lay in `source`, and
// remembered to be so, until MM_TakeResultTree takes it, which would lay
// it out again: the two cancel. Anything else that reaches the result lays
// it out first.
bool MM_ReturnMoved(Var* result, Var* source);
// The `dest` of a deep copy of the result (MM_CopyVar(dest, MM_GetResult()))
// before MM_DeleteResult(): the result's members move to `dest`, which has
// none (see MM_MoveVar). False, with nothing changed that can be seen, when
// they must be copied.
bool MM_TakeResultTree(Var* dest);
// Whether `var` lies in the tree of the locals of scope number `scope`.
bool MM_InScope(const Var* var, int64_t scope);
// A kept scope keeps "self", "this" and at most this many locals in all.
constexpr size_t kKeptLocals = 4;
// The root variable of a call's scope with the locals every call has.
struct CallScope {
    Var* scope = nullptr;
    // Undefined in a new scope; in a kept one, undefined or still the alias
    // that the last call bound.
    Var* self = nullptr;
    Var* thisVar = nullptr;
    // For a scope that was kept: the entries of the locals it kept, in the
    // order they were made, and the version of its table then. While the
    // table keeps that version, they are exactly what it holds.
    HashEntry* kept[kKeptLocals] = {};
    size_t keptCount = 0;
    uint64_t version = 0;
};
// The scopes that calls of one function dropped, kept for its next calls:
// the small blocks of a scope, its table and its locals cost more to free
// and make again than to clean. Keeping one never allocates: the capacity
// is reserved when the first scope is made.
using KeptScopes = std::vector<CallScope>;
// Makes the root variable of scope number `scope` (key: MM_ScopePart(scope))
// with a member table holding the new members "self" and then "this", as
// MM_BindParts(&key.part, [self], 1) followed by
// MM_BindMemberParts(root, [this], 1) would. Returns an empty
// CallScope, with nothing done, when the root variable exists already.
// A scope from `kept` is taken when there is one: it may also hold undefined
// locals named by a prefix of the parameters of its function, each as the
// call would bind it; MM_DropLocals removes those the call does not bind.
CallScope MM_NewScope(int64_t scope, KeptScopes& kept);
// Deletes the members `locals` that the root variable `scope` holds.
void MM_DropLocals(const KeyPart& scope, const KeyPart* locals, size_t count);
// MM_DeleteVar of the root variable of the call's scope number `scope`. When nothing can see
// it go (nothing aliases it, its `self` or its `this`) and its table's
// minimum size is that of a new one, it is cleaned, its table taken back to
// that size when it grew, and kept in `kept` instead of being freed, with
// `self`, `this` and the first of the function's `count` parameters `params`
// that it holds without members or aliases; MM_FreeKeptScopes frees them.
// `made` is what MM_NewScope returned for it.
int MM_DeleteScope(int64_t scope, const CallScope& made, const KeyPart* params, size_t count, KeptScopes& kept);
void MM_FreeKeptScopes(KeptScopes& kept);
void MM_UnaliasVar(const char* path);
int MM_VarDefined(const char* path);
int MM_VarSubCount(const char* path);
// The member names of the variable at `path` (none when it is missing), in
// the order a member loop visits them; the keys belong to the table.
KeyNode* MM_GetKeys(const char* path);
// The same for a variable already found.
KeyNode* MM_KeysOf(const Var* var);
void MM_FreeKeys(KeyNode* list);
int ValidateUserKey(const char* key);

inline Var* MM_GetVar(const std::string& path) { return MM_GetVar(path.c_str()); }
inline Var* MM_CreateVar(const std::string& path) { return MM_CreateVar(path.c_str()); }
inline int MM_DeleteVar(const std::string& path) { return MM_DeleteVar(path.c_str()); }
inline Var* MM_BindVar(const std::string& path) { return MM_BindVar(path.c_str()); }

// The root table of the globals (every root variable but "@" and the
// scopes), for tests and shut-down checks.
HashTable* MM_RootTable();
// The names of the root variables that are "@" or made of digits (the
// scopes, named by their numbers), in no particular order.
std::vector<std::string> MM_ScopeNames();

}  // namespace zorvik
