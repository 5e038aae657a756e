// State of the interpreter that belongs to one thread, for objects that need
// a destructor (vectors, strings, maps).
//
// Every thread has an interpreter of its own, so all mutable interpreter
// state is thread_local. A thread_local of a type with a destructor costs on
// every access from another file: the compiler calls a wrapper function
// that registers the destructor on the thread's first use. PerThread<T>
// avoids that: it is a bare pointer (trivially destructible, constant
// initialised, so `thread_local constinit PerThread<T>` is read with one
// thread-relative load and no wrapper); the object is made on the thread's
// first use and destroyed when the thread ends.
//
// Invariants:
//  - Get() never returns null; the object lives until its thread ends, and
//    objects are destroyed in the reverse order of their making.
//  - A PerThread is only ever declared thread_local: it is not shared.
#pragma once

namespace zorvik {

// Destroys `object` (with `destroy`) when the calling thread ends.
void DestroyAtThreadEnd(void* object, void (*destroy)(void*));

template <class T>
class PerThread {
  public:
    constexpr PerThread() = default;
    T& Get() { return object_ ? *object_ : Make(); }
    T& operator*() { return Get(); }
    T* operator->() { return &Get(); }

  private:
    [[gnu::noinline]] T& Make() {
        object_ = new T();
        DestroyAtThreadEnd(object_, [](void* object) { delete static_cast<T*>(object); });
        return *object_;
    }
    T* object_ = nullptr;
};

}  // namespace zorvik
