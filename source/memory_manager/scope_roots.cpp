#include "memory_manager/scope_roots.h"

#include <algorithm>
#include <iterator>

#include "common/assert.h"

namespace zorvik {

void ScopeRoots::Add(int64_t number, Var* var) {
    ZK_ASSERT(var);
    if ((count_ + 1) * 2 > mask_ + 1) Grow();  // also when the map is empty: kNone has one slot
    Slot* slots = slots_;                      // held in registers: stores to slots cannot change them
    size_t mask = mask_;
    size_t i = static_cast<size_t>(number) & mask;
    for (; slots[i].var; i = (i + 1) & mask) ZK_ASSERT(slots[i].number != number);
    slots[i] = {number, var};
    ++count_;
}

Var* ScopeRoots::Remove(int64_t number) {
    Slot* slots = slots_;
    size_t mask = mask_;
    size_t hole = static_cast<size_t>(number) & mask;
    while (slots[hole].var && slots[hole].number != number) hole = (hole + 1) & mask;
    Var* var = slots[hole].var;
    if (!var) return nullptr;
    // Each entry behind the hole that may not stay behind it (its home lies
    // cyclically after the hole and up to it) moves into the hole.
    for (size_t i = (hole + 1) & mask; slots[i].var; i = (i + 1) & mask) {
        size_t home = static_cast<size_t>(slots[i].number) & mask;
        bool staysBehind = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
        if (staysBehind) continue;
        slots[hole] = slots[i];
        hole = i;
    }
    slots[hole] = Slot{};
    --count_;
    return var;
}

bool ScopeRoots::NumberOf(const Var* var, int64_t& number) const {
    for (size_t i = 0; i <= mask_; ++i)
        if (slots_[i].var == var && var) {
            number = slots_[i].number;
            return true;
        }
    return false;
}

std::vector<int64_t> ScopeRoots::Numbers() const {
    std::vector<int64_t> numbers;
    for (size_t i = 0; i <= mask_; ++i)
        if (slots_[i].var) numbers.push_back(slots_[i].number);
    return numbers;
}

void ScopeRoots::Grow() {
    if (slots_ == &kNone) {  // the first root: the slots inside the map
        slots_ = first_;
        mask_ = kFirstSize - 1;
        return;
    }
    size_t size = (mask_ + 1) * 2;
    auto* grown = new Slot[size]();  // may throw: nothing has changed yet
    Slot* old = slots_;
    size_t oldSize = mask_ + 1;
    slots_ = grown;
    mask_ = size - 1;
    for (size_t j = 0; j < oldSize; ++j) {
        if (!old[j].var) continue;
        size_t i = Home(old[j].number);
        while (slots_[i].var) i = Next(i);
        slots_[i] = old[j];
    }
    if (old == first_) std::fill(std::begin(first_), std::end(first_), Slot{});
    delete[] std::exchange(owned_, grown);  // frees the slots before
}

bool ScopeNumberOfKey(const char* text, size_t length, int64_t& number) {
    if (length == 0 || length > 19 || (text[0] == '0' && length > 1)) return false;
    uint64_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');  // 19 digits fit in 64 bits
    }
    if (value > static_cast<uint64_t>(INT64_MAX)) return false;
    number = static_cast<int64_t>(value);
    return true;
}

}  // namespace zorvik
