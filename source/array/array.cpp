// The array library: size, remove, insert, swap and sort of arrays, and the
// member names of a variable.
//
// An array is any variable whose member table holds elements under decimal
// keys "0", "1", ...; its length is the run of consecutive keys from "0".
// Other keys may share the table and are neither counted nor moved.
//
// Invariants:
//  - Renumbering moves Var pointers between hash entries of the one member
//    table; a moved variable stays the same object, so its value, members,
//    parent link and alias relations go with it. Elements kept by index are
//    turned into that table first (Children()); only size reads them as
//    they are.
//  - Indexes come from FloorToInt (signed 32 bits); every neighbour index is
//    computed in 64 bits, so a walk past 2147483647 forms the key
//    "2147483648" instead of overflowing. Insert never moves an element
//    there ("Index out of range"): no script index could reach it.
//  - The array is looked up again after any deletion: deleting an element
//    that is an alias may delete the array itself or one of its parents, and
//    then the table held before is gone.
#include "array/array.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "interpreter/natives.h"

namespace zorvik {

namespace {

std::string Key(int64_t index) { return std::to_string(index); }

std::string ElementName(int64_t index) { return "a." + Key(index); }

HashEntry* Entry(const Var* array, int64_t index) { return HT_GetEntry(array->Children(), Key(index).c_str()); }

// Moves the elements after idx, up to the first missing key, down by one;
// the entry for idx must be absent.
void CloseGap(Var* array, int64_t idx) {
    HashTable* table = array->Children();
    int64_t k = idx + 1;
    HashEntry* next = Entry(array, k);
    if (!next) return;
    HashEntry* prev = HT_NewUnsafeEntry(table, Key(idx).c_str());
    while (next) {
        prev->data = next->data;
        prev = next;
        next = Entry(array, ++k);
    }
    // The last entry's variable now lives one key lower: drop the entry only.
    HT_Delete(table, Key(k - 1).c_str(), nullptr);
}

void array_size() {
    Var* a = ZK_GetLocalVariable("a");
    Var* r = ZK_CreateLocalVariable("r");
    int64_t count = 0;
    if (a && a->Dense()) {
        count = a->Dense()->count;  // "0" to "count - 1" and nothing else
    } else if (a && a->HasMembers()) {
        while (Entry(a, count)) ++count;
    }
    Var_SetNumber(r, static_cast<double>(count));
}

void array_remove() {
    Var* a = ZK_GetLocalVariable("a");
    Var* i = ZK_GetLocalVariable("i");
    Var* u = ZK_GetLocalVariable("u");
    Var* r = ZK_CreateLocalVariable("r");
    if (!a || !a->HasMembers()) return;
    int64_t idx = FloorToInt(ZK_CheckNumber(i, "remove expected number as second parameter")->value.number);
    ZK_OptNumber(u, "remove expected number as third parameter");
    bool deleteTarget = u && FloorToInt(u->value.number) == 0;

    std::string element = ElementName(idx);
    if (!deleteTarget) ZK_UnrefLocalVariable(element.c_str());
    if (!ZK_DeleteLocalVariable(element.c_str())) {
        Var_SetNumber(r, 0);
        return;
    }
    // With u = 0 an alias element has just had its target deleted and stays
    // behind undefined; it is removed as well, unless the target was the
    // array or one of its parents, which took the array with it.
    a = ZK_GetLocalVariable("a");
    if (a && a->HasMembers()) {
        if (Entry(a, idx)) ZK_DeleteLocalVariable(element.c_str());
        a = ZK_GetLocalVariable("a");
        if (a && a->HasMembers() && !Entry(a, idx)) CloseGap(a, idx);
    }
    r = ZK_CreateLocalVariable("r");
    Var_SetNumber(r, 1);
}

void array_insert() {
    Var* a = ZK_GetLocalVariable("a");
    Var* i = ZK_GetLocalVariable("i");
    ZK_CheckAny(a, "undefined variable as first parameter to insert");
    int64_t idx = FloorToInt(ZK_CheckNumber(i, "insert expected number as second parameter")->value.number);

    // No element at idx (no members at all, or a gap): nothing needs to move.
    if (!a->HasMembers() || !Entry(a, idx)) {
        ZK_CreateLocalVariable(ElementName(idx).c_str());
        return;
    }
    int64_t k = idx + 1;
    while (Entry(a, k)) ++k;
    // The last element would move to k, where no index of a script reaches.
    if (k > INT32_MAX) ZK_Error("Index out of range");
    // Made first, so that no entry is ever left without a Var.
    std::unique_ptr<Var> fresh(Var_New());
    fresh->SetParent(a);
    HashEntry* upper = HT_NewUnsafeEntry(a->Children(), Key(k).c_str());
    for (int64_t j = k - 1; j >= idx; --j) {
        HashEntry* lower = Entry(a, j);
        upper->data = lower->data;
        upper = lower;
    }
    upper->data = fresh.release();
}

// The entry that a swap argument names; a missing one ends the run.
HashEntry* SwapEntry(Var* a, const Var* arg, const char* typeMessage) {
    if (arg && arg->type == VAR_STRING) {
        HashEntry* entry = HT_GetEntry(a->Children(), arg->value.string);
        if (!entry) ZK_Error((std::string("array passed to swap does not contain key ") + arg->value.string).c_str());
        return entry;
    }
    int32_t index = FloorToInt(ZK_CheckNumber(arg, typeMessage)->value.number);
    HashEntry* entry = Entry(a, index);
    if (!entry) ZK_Error(("array passed to swap does not contain index " + Key(index)).c_str());
    return entry;
}

void array_swap() {
    Var* a = ZK_GetLocalVariable("a");
    ZK_CheckAny(a, "undefined variable as first parameter to swap");
    if (!a->HasMembers()) ZK_Error("swap expected non-empty array as first parameter");
    HashEntry* first = SwapEntry(a, ZK_GetLocalVariable("i"), "swap expected number or string as second parameter");
    HashEntry* second = SwapEntry(a, ZK_GetLocalVariable("j"), "swap expected number or string as third parameter");
    void* held = first->data;
    first->data = second->data;
    second->data = held;
}

// The value an element is sorted by: its own, through an alias.
const Var* SortValue(const HashEntry* entry) {
    const Var* element = static_cast<const Var*>(entry->data);
    if (element && element->type == VAR_ALIAS) element = element->value.alias;
    return element;
}

int32_t SortType(const HashEntry* entry) {
    const Var* value = SortValue(entry);
    return value ? value->type : VAR_UNDEFINED;
}

// Whether a sorts before b in ascending order: numbers by value with NaN
// after every other number, strings by their bytes (unsigned).
bool Before(const Var* a, const Var* b) {
    if (a->type == VAR_STRING) return std::strcmp(a->value.string, b->value.string) < 0;
    double x = a->value.number;
    double y = b->value.number;
    if (std::isnan(x)) return false;
    return std::isnan(y) || x < y;
}

// The elements 0 ... n-1 must all be numbers or all strings, the kind of
// element 0; the message names the first element that is not.
void CheckSortable(const std::vector<HashEntry*>& entries) {
    if (entries.empty()) return;
    int32_t kind = SortType(entries[0]);
    if (kind != VAR_NUMBER && kind != VAR_STRING) ZK_Error("sort expected number or string as element 0");
    for (size_t i = 1; i < entries.size(); ++i) {
        if (SortType(entries[i]) == kind) continue;
        std::string message =
            kind == VAR_NUMBER ? "sort expected number as element " : "sort expected string as element ";
        ZK_Error((message + std::to_string(i)).c_str());
    }
}

// Every element is checked before any moves: an error leaves the array as
// it was. The elements' own Vars are reordered among the entries, as swap
// moves them, so members and aliases travel with their element.
void array_sort() {
    Var* a = ZK_GetLocalVariable("a");
    const Var* d = ZK_GetLocalVariable("d");
    ZK_CheckAny(a, "undefined variable as first parameter to sort");
    ZK_OptNumber(d, "sort expected number as second parameter");
    bool descending = d && FloorToInt(d->value.number) != 0;
    if (!a->HasMembers()) return;
    std::vector<HashEntry*> entries;
    for (HashEntry* entry = Entry(a, 0); entry; entry = Entry(a, static_cast<int64_t>(entries.size())))
        entries.push_back(entry);
    CheckSortable(entries);
    std::vector<size_t> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&entries, descending](size_t i, size_t j) {
        const Var* x = SortValue(entries[i]);
        const Var* y = SortValue(entries[j]);
        return descending ? Before(y, x) : Before(x, y);
    });
    std::vector<void*> elements(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) elements[i] = entries[order[i]]->data;
    for (size_t i = 0; i < entries.size(); ++i) entries[i]->data = elements[i];
}

// The member names of a as a list (r.0 ... r.(n-1), r = n), in the order
// a member loop visits them; the names are copied before r is written.
void array_keys() {
    const Var* a = ZK_GetLocalVariable("a");
    std::vector<std::string> names;
    if (a && a->HasMembers()) {
        KeyNode* list = MM_KeysOf(a);
        for (KeyNode* k = list; k; k = k->next) names.emplace_back(k->key);
        MM_FreeKeys(list);
    }
    for (size_t i = 0; i < names.size(); ++i)
        Var_SetString(ZK_CreateLocalVariable(("r." + std::to_string(i)).c_str()), names[i].c_str());
    Var_SetNumber(ZK_CreateLocalVariable("r"), static_cast<double>(names.size()));
}

// The order of registration has no visible effect.
constexpr ZK_NativeReg kNatives[] = {
    {"array.size", array_size}, {"array.remove", array_remove}, {"array.insert", array_insert},
    {"array.swap", array_swap}, {"array.sort", array_sort},     {"array.keys", array_keys},
};

}  // namespace

void array_init() { ZK_RegisterNatives(kNatives); }

}  // namespace zorvik
