// Single variables: values, alias links, deep copy and the release callbacks
// that the variable tables use.
#include <malloc.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "common/assert.h"
#include "common/checked_alloc.h"
#include "common/per_thread.h"
#include "memory_manager/memory_manager.h"

namespace zorvik {

thread_local constinit uint64_t sVarEpoch = 0;
thread_local constinit uint64_t sNameEpoch = 1;  // 1: a name cache's initial 0 is never current

namespace {

uint32_t StoredLength(size_t length) {
    return length < kUnknownLength ? static_cast<uint32_t>(length) : kUnknownLength;
}

void MakeUndefined(Var* var) {
    var->type = VAR_UNDEFINED;
    var->value.number = 0;
}

// Drops what the value owns: the string, or this alias's node in its
// target's list. Members and the Var's own references list are not values.
void ReleaseValue(Var* var) {
    if (var->type == VAR_STRING)
        MM_ReleaseText(var->value.string);
    else if (var->type == VAR_ALIAS)
        Var__RemoveReference(var->value.alias, var);
    MakeUndefined(var);
}

// Links `node` in at the tail of the references list of `target`; may throw
// std::bad_alloc, with the list unchanged, only at the first alias ever.
void AppendReference(Var* target, VarRef* node) {
    node->next = nullptr;
    VarRef* head = target->References();
    if (!head) {
        node->prev = node;
        target->SetReferences(node);
        return;
    }
    VarRef* tail = head->prev;
    tail->next = node;
    node->prev = tail;
    head->prev = node;
}

// Takes `node` out of the references list of `target`.
void UnlinkReference(Var* target, VarRef* node) {
    VarRef* head = target->References();
    if (node == head) {
        if (node->next) node->next->prev = node->prev;
        target->SetReferences(node->next);  // allocates nothing: the record exists
        return;
    }
    node->prev->next = node->next;
    if (node->next)
        node->next->prev = node->prev;
    else
        head->prev = node->prev;  // it was the tail
}

// Makes the undefined `var` an alias of `target` (never an alias, never `var`).
// Aliases that pointed at `var` would otherwise point at an alias, so they are
// moved over to `target`, keeping their order; their nodes are reused.
void LinkAlias(Var* var, Var* target) {
    Var__AddReference(target, var);  // first: it allocates
    var->type = VAR_ALIAS;
    var->value.alias = target;

    VarRef* node = var->TakeReferences();
    while (node) {
        VarRef* next = node->next;
        Var* alias = node->var;
        if (alias->type != VAR_ALIAS || alias->value.alias != var) {
            delete node;  // stale node: its alias no longer points here
        } else if (alias == target) {
            // Re-targeting would make it its own alias.
            MakeUndefined(alias);
            delete node;
        } else {
            alias->value.alias = target;
            AppendReference(target, node);
        }
        node = next;
    }
}

}  // namespace

namespace {

// The header of a counted block: how many holders share the text behind it.
// Its size keeps the text as aligned as malloc's blocks are.
struct TextHead {
    size_t holders;
};

TextHead* HeadOf(const char* text) {
    return static_cast<TextHead*>(static_cast<void*>(const_cast<char*>(text) - sizeof(TextHead)));
}

char* TextOf(TextHead* head) { return static_cast<char*>(static_cast<void*>(head)) + sizeof(TextHead); }

}  // namespace

char* MM_NewText(size_t length) {
    auto* head = static_cast<TextHead*>(CheckedMalloc(sizeof(TextHead) + length + 1));
    head->holders = 1;
    char* text = TextOf(head);
    text[length] = '\0';
    return text;
}

char* MM_CopyText(const char* text, size_t length) {
    char* copy = MM_NewText(length);
    if (length > 0) std::memcpy(copy, text, length);  // an empty view may have no data
    return copy;
}

char* MM_ShareText(char* text) {
    ++HeadOf(text)->holders;
    return text;
}

void MM_ReleaseText(char* text) {
    TextHead* head = HeadOf(text);
    if (--head->holders == 0) std::free(head);
}

bool MM_TextShared(const char* text) { return HeadOf(text)->holders > 1; }

size_t MM_TextCapacity(const char* text) { return malloc_usable_size(HeadOf(text)) - sizeof(TextHead); }

char* MM_GrowText(char* text, size_t capacity) {
    ZK_ASSERT(!MM_TextShared(text));
    return TextOf(static_cast<TextHead*>(CheckedRealloc(HeadOf(text), sizeof(TextHead) + capacity)));
}

Var* Var_New() { return new Var; }

// The plain setters are meant for non-aliases; releasing the whole value
// still keeps the target's references list right if one is ever handed in.
double Var_SetNumber(Var* var, double number) {
    ReleaseValue(var);
    var->type = VAR_NUMBER;
    var->value.number = number;
    return number;
}

double Var_GetNumber(const Var* var) {
    ZK_ASSERT(var->type == VAR_NUMBER);
    return var->value.number;
}

const char* Var_SetString(Var* var, const char* text) {
    // The text may lie inside the string being replaced: copy it first.
    size_t length = std::strlen(text);
    return Var_TakeText(var, MM_CopyText(text, length), length);
}

const char* Var_TakeString(Var* var, char* text) { return Var_TakeString(var, text, std::strlen(text)); }

const char* Var_TakeString(Var* var, char* text, size_t length) {
    if (var->type == VAR_STRING && var->value.string == text) {
        var->length = StoredLength(length);
        return text;
    }
    // A plain malloc'd block has no count in front: its text moves into one.
    std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
    return Var_TakeText(var, MM_CopyText(text, length), length);
}

const char* Var_TakeText(Var* var, char* text, size_t length) {
    if (!(var->type == VAR_STRING && var->value.string == text)) {
        ReleaseValue(var);
        var->type = VAR_STRING;
        var->value.string = text;
    }
    var->length = StoredLength(length);
    return text;
}

size_t Var_StringLength(const Cell* var) {
    return var->length != kUnknownLength ? var->length : std::strlen(var->value.string);
}

void Var_AppendString(Var* var, const char* text, size_t length) {
    size_t old = Var_StringLength(var);
    size_t need = old + length + 1;
    if (MM_TextShared(var->value.string)) {
        // The others keep the old text; the text appended may lie in it.
        char* own = MM_NewText(need + old - 1);  // room to double, as below
        std::memcpy(own, var->value.string, old);
        std::memcpy(own + old, text, length + 1);
        MM_ReleaseText(var->value.string);
        var->value.string = own;
    } else {
        if (need > MM_TextCapacity(var->value.string)) {
            size_t capacity = need + old;  // doubling keeps a run of appends linear
            var->value.string = MM_GrowText(var->value.string, capacity);
        }
        std::memcpy(var->value.string + old, text, length + 1);
    }
    var->length = StoredLength(old + length);
}

char* Var_MutableString(Var* var) {
    ZK_ASSERT(var->type == VAR_STRING);
    if (MM_TextShared(var->value.string)) {
        char* own = MM_CopyText(var->value.string, Var_StringLength(var));
        MM_ReleaseText(var->value.string);
        var->value.string = own;
    }
    return var->value.string;
}

const char* Var_GetString(const Var* var) {
    ZK_ASSERT(var->type == VAR_STRING);
    return var->value.string;
}

void Var_SetFunction(Var* var, FunctionRef function) {
    ReleaseValue(var);
    var->type = VAR_FUNCTION;
    var->value.function = function;
}

int Var_SetAlias(Var* var, const char* path) {
    ReleaseValue(var);
    Var* target = MM_GetVar(path);
    if (!target) return 0;
    if (target != var) LinkAlias(var, target);
    return 1;
}

Var* Var_GetAlias(const Var* var) {
    ZK_ASSERT(var->type == VAR_ALIAS);
    return var->value.alias;
}

void Var::SetReferences(VarRef* head) {
    if (HasLinks())
        Links()->references = head;
    else if (head)
        links_ = Tagged(new Links_{Parent(), head});
}

void Var::FreeLinks() {
    Links_* links = Links();
    ZK_ASSERT(links->references == nullptr);
    links_ = links->parent;
    delete links;
}

HashTable* Var::MakeTable() const {
    DenseMembers* dense = DenseOf();
    Var* self = const_cast<Var*>(this);  // the elements' parent
    // The adds that made the dense members, replayed in their order.
    HashTable* table = HT_Create(4);
    try {
        char key[16];
        for (uint32_t i = 0; i < dense->count; ++i) {
            size_t n = static_cast<size_t>(std::to_chars(key, key + sizeof key, i).ptr - key);
            HT_UnsafeAddHashed(table, key, n, HT_RawHash(key, n), MM_ElementVar(ElementRef{nullptr, self, i}));
        }
    } catch (...) {
        HT_Free(table, nullptr);  // the elements that got a Var keep it
        throw;
    }
    table->ownerMarks = dense->ownerMarks;
    std::free(dense->cells);
    delete dense;
    members_ = table;
    return table;
}

int32_t Var::MemberCount() const {
    if (const DenseMembers* dense = Dense()) return static_cast<int32_t>(dense->count);
    const auto* table = static_cast<const HashTable*>(members_);
    return table ? table->entries : 0;
}

void Var::DropMembers() {
    if (DenseMembers* dense = Dense()) {
        std::free(dense->cells);
        delete dense;
    } else {
        HT_Free(static_cast<HashTable*>(members_), nullptr);
    }
    members_ = nullptr;
}

void MM_DeleteMembers(Var* var) {
    var->ForEachMemberUnordered([](Var* member) { DeleteVar(member); });
    var->DropMembers();
}

void Var__AddReference(Var* target, Var* alias) {
    ++sNameEpoch;  // `alias` is about to resolve to `target`
    // The owners of the target hold a target now (see the header comment);
    // above the first one marked before, all are marked.
    for (Var* owner = target->Parent(); owner; owner = owner->Parent()) {
        if (owner->MayHoldTargets()) break;
        owner->SetMayHoldTargets(true);
    }
    auto* node = new VarRef{alias, nullptr, nullptr};
    try {
        AppendReference(target, node);  // the first alias ever makes the record
    } catch (...) {
        delete node;
        throw;
    }
}

namespace {

// The node of `alias` in the references list of `target`, or null; looked
// for from both ends at once.
VarRef* FindReference(const Var* target, const Var* alias) {
    VarRef* front = target->References();
    if (!front) return nullptr;
    for (VarRef* back = front->prev;; back = back->prev, front = front->next) {
        if (back->var == alias) return back;
        if (front->var == alias) return front;
        if (back == front || back->prev == front) return nullptr;  // they met
    }
}

}  // namespace

void Var__RemoveReference(Var* target, Var* alias) {
    ++sNameEpoch;  // `alias` is about to stop resolving to `target`
    if (VarRef* node = FindReference(target, alias)) {
        UnlinkReference(target, node);
        delete node;
    }
}

void Var__KeepReference(Var* target, Var* alias) {
    // Only a node at the tail moves: one kept before is near the head already.
    VarRef* head = target->References();
    VarRef* node = head ? head->prev : nullptr;
    if (!node || node == head || node->var != alias) return;
    UnlinkReference(target, node);  // not the head: the list keeps it
    node->next = head;
    node->prev = head->prev;
    head->prev = node;
    target->SetReferences(node);  // allocates nothing: the record exists
}

void Var_Set(Var* dest, const Var* source) {
    if (dest == source) return;
    if (!source) {
        ReleaseValue(dest);
        return;
    }
    // Take the new value before the old one goes, so nothing the source
    // holds can be lost by releasing the destination.
    switch (source->type) {
        case VAR_NUMBER: {
            double number = source->value.number;
            ReleaseValue(dest);
            dest->type = VAR_NUMBER;
            dest->value.number = number;
            break;
        }
        case VAR_STRING: {
            uint32_t length = source->length;
            char* shared = MM_ShareText(source->value.string);  // first: dest may hold the only other count
            ReleaseValue(dest);
            dest->type = VAR_STRING;
            dest->value.string = shared;
            dest->length = length;
            break;
        }
        case VAR_ALIAS: {
            Var* target = source->value.alias;
            ReleaseValue(dest);
            // Copying an alias of dest into dest would make dest its own alias.
            if (target != dest) LinkAlias(dest, target);
            break;
        }
        case VAR_FUNCTION: {
            FunctionRef function = source->value.function;
            ReleaseValue(dest);
            dest->type = VAR_FUNCTION;
            dest->value.function = function;
            break;
        }
        default: ReleaseValue(dest); break;
    }
}

void Var_FreeOwned(Var* var) { ReleaseValue(var); }

// The member trees walked below may be millions of levels deep (a long
// linked list), so the walks keep their own stacks instead of recursing.
// None of them re-enters itself, so each reuses one stack between calls.

namespace {

// The minimum size of every table a copy makes, whatever its source's: the
// size it may shrink to later.
constexpr uint32_t kCopiedMinSize = 4;

// A Var to copy and its original.
struct CopyStep {
    Var* to;
    const Var* from;
};

// The work lists of the walks below, kept with their capacity; trivially
// destructible, so that reaching them costs no TLS guard.
thread_local constinit ThreadArray<CopyStep> sCopyPending, sCopyMembers;
thread_local constinit ThreadArray<Var*> sMovePending, sMoveMarked;
thread_local constinit ThreadArray<HashTable*> sMoveTables;

}  // namespace

void MM_CopyVar(Var* dest, const Var* source) {
    // Pending (copy, original) pairs, taken in the order a recursive copy
    // would visit them: a member and all below it before its next sibling.
    ThreadArray<CopyStep>& pending = sCopyPending;
    ThreadArray<CopyStep>& members = sCopyMembers;
    pending.clear();
    pending.push_back({dest, source});
    while (!pending.empty()) {
        // Named, not a structured binding: the member walk below captures `to`.
        Var* to = pending.back().to;
        const Var* from = pending.back().from;
        pending.pop_back();
        Var_Set(to, from);
        if (!from || !from->HasMembers()) continue;
        ZK_ASSERT(!to->HasMembers());
        const HashTable* source_table = from->Children();
        HashTable* table = HT_Create(source_table->size);
        table->minSize = kCopiedMinSize;
        to->SetChildren(table);
        // Equal sizes keep every key at its bucket index; linking each copy
        // at the head of its chain reverses each chain.
        members.clear();
        HT_ForEachEntry(source_table, [to, table, &members](const HashEntry* e) {
            std::unique_ptr<Var> fresh(Var_New());
            HashEntry* entry = HT_NewEntry(e->Key(), fresh.get());
            Var* member = fresh.release();
            member->SetParent(to);
            HT_AddEntry(table, entry);  // at the head of the same bucket index
            members.push_back({member, static_cast<const Var*>(e->data)});
        });
        for (size_t i = members.size(); i > 0; --i) pending.push_back(members[i - 1]);
    }
}

namespace {

// Whether no Var of the tree of `root` (itself included) is the target of
// an alias. Only the members marked MayHoldTargets are looked at; when none
// of them holds a target, their marks are cleared.
bool FreeOfTargets(Var* root) {
    if (root->References()) return false;
    if (!root->MayHoldTargets()) return true;
    ThreadArray<Var*>& pending = sMovePending;
    ThreadArray<Var*>& marked = sMoveMarked;
    pending.clear();
    marked.clear();
    pending.push_back(root);
    bool free = true;
    auto look = [&free, &pending](Var* member) {
        ZK_ASSERT(member);  // every entry holds a Var
        if (member->References())
            free = false;
        else if (member->MayHoldTargets())
            pending.push_back(member);
    };
    while (free && !pending.empty()) {
        Var* var = pending.back();
        pending.pop_back();
        marked.push_back(var);
        if (const DenseMembers* dense = var->Dense()) {
            for (uint32_t i = 0; i < dense->count; ++i)
                if (dense->cells[i].type == kElementVar) look(dense->cells[i].value.element);
        } else {
            HT_ForEachEntry(var->Children(), [&look](const HashEntry* e) { look(static_cast<Var*>(e->data)); });
        }
    }
    if (!free) return false;
    for (Var* var : marked) var->SetMayHoldTargets(false);
    return true;
}

// The member tables of the tree of `root`, each once. Dense members become
// tables on the way, as a copy of them makes them; that may throw
// std::bad_alloc, which changes nothing a script can see.
const ThreadArray<HashTable*>& TablesOf(Var* root) {
    ThreadArray<Var*>& pending = sMovePending;
    ThreadArray<HashTable*>& tables = sMoveTables;
    pending.clear();
    tables.clear();
    pending.push_back(root);
    while (!pending.empty()) {
        Var* var = pending.back();
        pending.pop_back();
        if (!var->HasMembers()) continue;
        HashTable* table = var->Children();
        tables.push_back(table);
        HT_ForEachEntry(table, [&pending](const HashEntry* e) {
            ZK_ASSERT(e->data);  // every entry holds a Var
            pending.push_back(static_cast<Var*>(e->data));
        });
    }
    return tables;
}

// Lays out the tables as a copy of them would be: same sizes, each chain
// reversed, the minimum size a copy's. Allocates nothing.
void LayOutAsCopied(const ThreadArray<HashTable*>& tables) {
    for (HashTable* table : tables) {
        HT_ReverseChains(table);
        // Every member table is made with that minimum and never resized
        // below it, so a move that leaves it as it lies keeps a copy's too.
        ZK_ASSERT(table->minSize == kCopiedMinSize);
    }
}

// Hands the value and the members of `source` to `dest`, which has none;
// `source` keeps its value. Allocates nothing but what Var_Set may.
void Transfer(Var* dest, Var* source) {
    Var_Set(dest, source);
    dest->MoveMembers(source->TakeMembers());
    dest->ForEachMemberUnordered([dest](Var* member) { member->SetParent(dest); });
    MM_VarFreed();  // the moved Vars have new names: pointers kept for names are stale
}

}  // namespace

bool MM_MoveVar(Var* dest, Var* source) {
    ZK_ASSERT(!dest->HasMembers());
    if (!source || !source->HasMembers() || !FreeOfTargets(source)) return false;
    const ThreadArray<HashTable*>& tables = TablesOf(source);  // first: it may throw
    Transfer(dest, source);
    LayOutAsCopied(tables);
    return true;
}

bool MM_MoveVarAsLaid(Var* dest, Var* source) {
    ZK_ASSERT(!dest->HasMembers());
    if (!source || !source->HasMembers() || !FreeOfTargets(source)) return false;
    Transfer(dest, source);
    return true;
}

void MM_LayOutAsCopied(Var* var) { LayOutAsCopied(TablesOf(var)); }

// Frees `data` and its members. The Vars waiting to be freed are chained
// through their parent links, which nothing reads any more, so freeing
// allocates nothing and cannot fail halfway (also not when memory has run
// out). Each Var is unlinked as it is freed: an alias leaves its target's
// list, and the aliases of a target become undefined. That is enough for a
// whole tree: an alias inside it whose target was freed first was made
// undefined then, and a referrer inside it that was freed first had already
// removed its node.
void DeleteVar(void* data) {
    Var* pending = static_cast<Var*>(data);
    pending->SetParent(nullptr);
    while (pending) {
        Var* var = pending;
        pending = var->Parent();
        if (var->type == VAR_ALIAS) Var__RemoveReference(var->value.alias, var);
        for (VarRef* node = var->TakeReferences(); node;) {
            VarRef* next = node->next;
            MakeUndefined(node->var);
            delete node;
            node = next;
        }
        var->ForEachMemberUnordered([&pending](Var* member) {
            member->SetParent(pending);
            pending = member;
        });
        var->DropMembers();
        if (var->type == VAR_STRING) MM_ReleaseText(var->value.string);
        var->ReleaseLinks();
        delete var;
        MM_VarFreed();
    }
}

}  // namespace zorvik
