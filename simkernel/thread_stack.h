// A stack of a thread's own, held whole in its thread-local storage: no heap
// block that outlives the thread or that only the thread's storage points to
// (a leak checker may not look there), and no destructor to register at the
// thread's exit. Calls nest only so deep; deeper is the simulator's limit.
#pragma once
#include <cstddef>
#include <type_traits>

namespace sim {

[[noreturn]] void ThreadStackOverflow(const char* what);

template <typename T, size_t N>
class ThreadStack {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    void Push(const T& item, const char* what) {
        if (size_ == N) ThreadStackOverflow(what);
        items_[size_++] = item;
    }
    void Pop() { --size_; }
    bool Empty() const { return size_ == 0; }
    T& Back() { return items_[size_ - 1]; }
    const T* begin() const { return items_; }
    const T* end() const { return items_ + size_; }

private:
    T items_[N];
    size_t size_ = 0;
};

}  // namespace sim
