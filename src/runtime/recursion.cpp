#include "runtime/recursion.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace ts {

namespace {

// The lowest usable address of this thread's stack plus the margin kept
// free below the deepest body; zero when the bounds are unknown.
struct StackFloor {
    std::uintptr_t floor = 0;
    bool looked = false;
};

thread_local StackFloor stack_floor;

// Room left for what runs between two checks (a Python call and the NumPy or
// SciPy code under it) and for raising the error itself: an eighth of the
// stack, within [64 KiB, 1 MiB], and never more than half of it.
std::size_t margin_for(std::size_t size) {
    const std::size_t margin =
        std::clamp<std::size_t>(size / 8, std::size_t{64} << 10, std::size_t{1} << 20);
    return std::min(margin, size / 2);
}

void find_floor(StackFloor& f) {
    f.looked = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0 && low && size)
        f.floor = reinterpret_cast<std::uintptr_t>(low) + margin_for(size);
    pthread_attr_destroy(&attr);
}

}  // namespace

bool c_stack_low() noexcept {
    StackFloor& f = stack_floor;
    if (!f.looked) find_floor(f);
    // The frame address, not a local's: a sanitizer may keep locals elsewhere.
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return f.floor != 0 && here < f.floor;
}

bool NestedCall::enter() noexcept {
    if (c_stack_low()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return false;
    }
    if (Py_EnterRecursiveCall("")) return false;
    entered_ = true;
    return true;
}

}  // namespace ts
