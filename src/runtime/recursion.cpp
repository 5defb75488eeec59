#include "runtime/recursion.hpp"

#include <algorithm>
#include <cstddef>

namespace ts {

namespace detail {

std::atomic<void*> floor_owner{nullptr};
std::uintptr_t owner_floor = 0;

}  // namespace detail

namespace {

// Room left for what runs between two checks (a Python call and the NumPy or
// SciPy code under it) and for raising the error itself: an eighth of the
// stack, within [64 KiB, 1 MiB], and never more than half of it.
std::size_t margin_for(std::size_t size) {
    const std::size_t margin =
        std::clamp<std::size_t>(size / 8, std::size_t{64} << 10, std::size_t{1} << 20);
    return std::min(margin, size / 2);
}

// The lowest usable address of this thread's stack plus the margin kept free
// below the deepest body; 1 when the bounds are unknown (no frame is below).
std::uintptr_t find_floor() noexcept {
    std::uintptr_t floor = 1;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return floor;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0 && low && size)
        floor = reinterpret_cast<std::uintptr_t>(low) + margin_for(size);
    pthread_attr_destroy(&attr);
    return floor;
}

struct ThreadFloor {
    std::uintptr_t floor = 0;  // 0: not looked up yet
    ~ThreadFloor() {
        // The thread ends: its thread pointer may come back with another stack.
        void* self = detail::thread_pointer();
        detail::floor_owner.compare_exchange_strong(self, nullptr);
    }
};

thread_local ThreadFloor thread_floor;

}  // namespace

std::uintptr_t detail::claim_stack_floor() noexcept {
    ThreadFloor& mine = thread_floor;
    if (mine.floor == 0) mine.floor = find_floor();
    owner_floor = mine.floor;
    floor_owner.store(thread_pointer(), std::memory_order_relaxed);
    return mine.floor;
}

bool NestedCall::stack_exhausted() noexcept {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return false;
}

}  // namespace ts
