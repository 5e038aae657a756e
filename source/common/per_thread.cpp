#include "common/per_thread.h"

#include <utility>
#include <vector>

namespace zorvik {

namespace {

// The objects of PerThread made by this thread, destroyed newest first when
// it ends. Itself a plain thread_local: only reached when an object is made.
class ThreadEnd {
  public:
    // Room for what an interpreter registers, so that a thread's start does
    // not grow the list step by step.
    ThreadEnd() { objects_.reserve(32); }
    ~ThreadEnd() {
        while (!objects_.empty()) {
            auto [object, destroy] = objects_.back();
            objects_.pop_back();
            destroy(object);
        }
    }
    void Add(void* object, void (*destroy)(void*)) { objects_.emplace_back(object, destroy); }

  private:
    std::vector<std::pair<void*, void (*)(void*)>> objects_;
};

thread_local ThreadEnd tThreadEnd;

}  // namespace

void DestroyAtThreadEnd(void* object, void (*destroy)(void*)) { tThreadEnd.Add(object, destroy); }

}  // namespace zorvik
