// The root variables of call scopes, by scope number.
//
// The locals of scope N are the members of the root variable named N in
// decimal. Those roots are kept here instead of in the root hash table: a
// call adds one and drops it again, and by number that costs a mask and a
// probe instead of hashing, linking and unlinking an entry. Nothing lists
// the root variables, so where a root is kept cannot be seen.
//
// Invariants:
//  - Open addressing with linear probing over a power-of-two array that is
//    at most half full, so a probe always meets an empty slot; removal
//    shifts the entries behind back, so there are no tombstones.
//  - The map holds the Vars, it does not own them: whoever removes one
//    deletes it.
//  - Add allocates (when it must grow) before it stores anything: on
//    std::bad_alloc the map is unchanged.
//  - Trivially destructible and constant-initialised (a thread_local of it
//    needs no guard): an empty map reads the shared slot kNone, which is
//    never written; Clear frees the slots it grew, and the owner clears it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace zorvik {

struct Var;

class ScopeRoots {
  public:
    constexpr ScopeRoots() = default;
    ScopeRoots(const ScopeRoots&) = delete;
    ScopeRoots& operator=(const ScopeRoots&) = delete;
    // The root of scope `number`, or null.
    Var* Find(int64_t number) const {
        const Slot* slot = &slots_[Home(number)];
        while (slot->var && slot->number != number) slot = &slots_[Next(static_cast<size_t>(slot - slots_))];
        return slot->var;
    }
    // Stores `var` (not null) as the root of scope `number`, which has none.
    void Add(int64_t number, Var* var);
    // Takes the root of scope `number` out and returns it (null when none).
    Var* Remove(int64_t number);
    // The number of the scope whose root is `var`; false when none is.
    bool NumberOf(const Var* var, int64_t& number) const;
    // The numbers of every scope that has a root, in no particular order.
    std::vector<int64_t> Numbers() const;
    // Takes every root out and hands each to `release`.
    template <typename Release>
    void Clear(Release release) {
        std::unique_ptr<Slot[]> owned(std::exchange(owned_, nullptr));
        Slot* slots = slots_;
        size_t size = mask_ + 1;
        slots_ = &kNone;
        mask_ = 0;
        count_ = 0;
        if (slots == &kNone) return;
        for (size_t i = 0; i < size; ++i)
            if (Var* var = std::exchange(slots[i].var, nullptr)) release(var);
    }

  private:
    struct Slot {
        int64_t number = 0;
        Var* var = nullptr;  // null: empty
    };
    static constexpr size_t kFirstSize = 64;
    // Scope numbers are spread enough as they are: nested calls number their
    // scopes one after the other, recursion by growing steps.
    size_t Home(int64_t number) const { return static_cast<size_t>(number) & mask_; }
    size_t Next(size_t i) const { return (i + 1) & mask_; }
    // Twice the slots; the first root of an empty map takes first_ instead.
    void Grow();

    static Slot kNone;          // the one slot of every empty map
    Slot first_[kFirstSize]{};  // the slots until they grow
    Slot* owned_ = nullptr;     // the slots once they grew (new[])
    Slot* slots_ = &kNone;
    size_t mask_ = 0;
    size_t count_ = 0;
};

inline constinit ScopeRoots::Slot ScopeRoots::kNone{};

// The scope number that the root key `text` (of `length` bytes) names: its
// decimal form without a sign or a leading zero ("0", "17"), within int64.
bool ScopeNumberOfKey(const char* text, size_t length, int64_t& number);

}  // namespace zorvik
