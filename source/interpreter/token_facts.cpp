// The facts learned about single tokens while a script runs, and which
// tokens the fast paths have met before.
//
// Only a few tokens of a script ever learn anything (the '{' of a block that
// was skipped, the first token of a statement that ran twice), so the facts
// live in one open-addressing table keyed by token and kind instead of a
// field or a slot per token. Visits take one byte per token.
#include <cstdint>
#include <vector>

#include "common/per_thread.h"
#include "interpreter/tokens.h"

namespace zorvik {

namespace {

// Trivially destructible and constant-initialised, so that the per-thread
// table is read with no TLS guard: every statement asks it.
class FactTable {
  public:
    constexpr FactTable() = default;

    uint64_t Get(uint64_t key) const {
        if (slots_.empty()) return 0;
        for (size_t i = Home(key);; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.key == key) return slot.value;
            if (slot.key == 0) return 0;
        }
    }

    void Set(uint64_t key, uint64_t value) {
        // At most three quarters full: a probe ends soon at an empty slot.
        if (4 * (used_ + 1) > 3 * slots_.size()) Grow();
        Slot& slot = Find(key);
        if (slot.key == 0) {
            slot.key = key;
            ++used_;
        }
        slot.value = value;
    }

    void Clear() {
        slots_.Release();
        mask_ = 0;
        used_ = 0;
    }

  private:
    struct Slot {
        uint64_t key = 0;  // 0: empty
        uint64_t value = 0;
    };

    size_t Home(uint64_t key) const { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask_; }

    Slot& Find(uint64_t key) {
        for (size_t i = Home(key);; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (slot.key == key || slot.key == 0) return slot;
        }
    }

    // Allocates everything first: on std::bad_alloc the table is unchanged.
    void Grow() {
        size_t size = slots_.empty() ? 1024 : 2 * slots_.size();
        slots_.reserve(size);
        std::vector<Slot> old(slots_.begin(), slots_.end());
        slots_.clear();
        slots_.resize(size, Slot{});
        mask_ = size - 1;
        for (const Slot& slot : old)
            if (slot.key != 0) Find(slot.key) = slot;
    }

    ThreadArray<Slot> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
};

thread_local constinit FactTable sFacts;
thread_local constinit ThreadArray<uint8_t> sVisits;  // per token: the Visit kinds met so far

// Never 0: the token is counted from 1.
uint64_t KeyOf(int32_t token, Fact fact) {
    return (static_cast<uint64_t>(token) + 1) << 4 | static_cast<uint64_t>(fact);
}

}  // namespace

uint64_t TokenFact(int32_t token, Fact fact) { return sFacts.Get(KeyOf(token, fact)); }

void SetTokenFact(int32_t token, Fact fact, uint64_t value) { sFacts.Set(KeyOf(token, fact), value); }

bool FirstVisit(int32_t token, Visit kind) {
    auto index = static_cast<size_t>(token);
    if (index >= sVisits.size()) sVisits.resize(sTokens.size(), 0);
    auto bit = static_cast<uint8_t>(kind);
    if (sVisits[index] & bit) return false;
    sVisits[index] = static_cast<uint8_t>(sVisits[index] | bit);
    return true;
}

void ClearTokenFacts() {
    sFacts.Clear();
    sVisits.Release();
}

}  // namespace zorvik
