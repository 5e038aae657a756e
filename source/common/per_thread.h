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

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

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

// A growable array of trivially copyable elements that is itself trivially
// destructible, for the hot arrays of the interpreter (its tokens, its call
// frames): read exactly as a std::vector is (one load of the data pointer),
// with no TLS wrapper and no guard. The memory is freed by Release, or when
// the thread ends (registered when it is first taken).
//
// Invariants: data_ is null or malloc'd with room for capacity_ elements,
// of which the first size_ are set; growth throws std::bad_alloc and then
// leaves the array as it was.
template <class T>
class ThreadArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

  public:
    constexpr ThreadArray() = default;
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t capacity() const { return capacity_; }
    T* data() { return data_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    void clear() { size_ = 0; }
    void pop_back() { --size_; }
    void push_back(const T& value) {
        if (size_ == capacity_) Grow(size_ + 1);
        data_[size_++] = value;
    }
    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (size_ == capacity_) Grow(size_ + 1);
        return *::new (static_cast<void*>(data_ + size_++)) T{static_cast<Args&&>(args)...};
    }
    void reserve(size_t n) {
        if (n > capacity_) Reallocate(n);
    }
    void resize(size_t n, const T& value) {
        reserve(n);
        for (size_t i = size_; i < n; ++i) data_[i] = value;
        size_ = n;
    }
    // Frees the memory: the array is empty, with no capacity.
    void Release() {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

  private:
    void Grow(size_t need) { Reallocate(need > capacity_ * 2 ? need : capacity_ * 2); }
    [[gnu::noinline]] void Reallocate(size_t capacity) {
        if (capacity < 16) capacity = 16;
        bool first = capacity_ == 0 && !registered_;
        // T may itself be a pointer: these are its elements' bytes.
        void* grown = std::realloc(data_, capacity * sizeof(T));  // NOLINT(bugprone-sizeof-expression)
        if (!grown) throw std::bad_alloc();
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
        if (first) {
            registered_ = true;
            DestroyAtThreadEnd(this, [](void* array) { static_cast<ThreadArray*>(array)->Release(); });
        }
    }
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool registered_ = false;
};

// A growable array of any movable elements that is itself trivially
// destructible, for per-thread tables whose elements need destructors (the
// user functions, the records of the compiled caches): read as a
// std::vector is, with no TLS wrapper and no guard. Clear destroys the
// elements and frees the memory; so does the end of the thread (registered
// when memory is first taken).
//
// Invariants: data_ is null or operator new'd with room for capacity_
// elements, of which the first size_ are alive; growth moves them (moving
// never throws) and throws std::bad_alloc, leaving the vector as it was.
template <class T>
class ThreadVector {
    static_assert(std::is_nothrow_move_constructible_v<T>, "growth moves the elements");
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "plain operator new aligns the elements");

  public:
    constexpr ThreadVector() = default;
    ThreadVector(const ThreadVector&) = delete;
    ThreadVector& operator=(const ThreadVector&) = delete;
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (size_ == capacity_) Grow();
        T* made = ::new (static_cast<void*>(data_ + size_)) T(static_cast<Args&&>(args)...);
        ++size_;
        return *made;
    }
    void push_back(T&& value) { emplace_back(static_cast<T&&>(value)); }
    // Destroys the elements, newest first, and frees the memory.
    void Clear() {
        while (size_ > 0) data_[--size_].~T();
        ::operator delete(static_cast<void*>(data_));
        data_ = nullptr;
        capacity_ = 0;
    }

  private:
    [[gnu::noinline]] void Grow() {
        size_t capacity = capacity_ < 8 ? 16 : capacity_ * 2;
        auto* grown = static_cast<T*>(::operator new(capacity * sizeof(T)));
        for (size_t i = 0; i < size_; ++i) {
            ::new (static_cast<void*>(grown + i)) T(static_cast<T&&>(data_[i]));
            data_[i].~T();
        }
        ::operator delete(static_cast<void*>(data_));
        data_ = grown;
        capacity_ = capacity;
        if (!registered_) {
            registered_ = true;
            DestroyAtThreadEnd(this, [](void* vector) { static_cast<ThreadVector*>(vector)->Clear(); });
        }
    }
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool registered_ = false;
};

}  // namespace zorvik
