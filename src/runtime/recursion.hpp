// Depth guard for compiled-function bodies.  A body can call back into
// Python (a subclass method, a property) and that code into another body, so
// nesting is bounded twice: by the interpreter's recursion counter and by the
// C stack actually left to the thread, since the counter's limit is whatever
// sys.setrecursionlimit says and not what the stack holds.
//
// Both checks run at every call, so both are inline: on 3.11 to 3.13 the
// counter is the thread state's field that Py_EnterRecursiveCall and
// Py_LeaveRecursiveCall step (the interpreter's own functions take over
// when it is nearly spent, to raise or to re-read the limit), and the stack
// floor of the thread that last entered a body is kept beside its thread
// pointer rather than looked up through thread-local storage, which costs a
// call into the dynamic loader in a shared object.
#pragma once

#include "runtime/object.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdint>

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
#define TS_INLINE_RECURSION_COUNTER 1
#endif

namespace ts {

namespace detail {

inline void* thread_pointer() noexcept {
#if defined(__has_builtin) && __has_builtin(__builtin_thread_pointer)
    return __builtin_thread_pointer();
#else
    return reinterpret_cast<void*>(pthread_self());
#endif
}

// The thread that last entered a body and its stack floor; written with the
// GIL held, and the owner cleared by that thread's exit, so a later thread
// that reuses its thread pointer cannot read a floor of another stack.
extern std::atomic<void*> floor_owner;
extern std::uintptr_t owner_floor;

// This thread's floor, made the cached one.
std::uintptr_t claim_stack_floor() noexcept;

#if defined(TS_INLINE_RECURSION_COUNTER)
inline int& recursion_remaining(PyThreadState* tstate) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return tstate->c_recursion_remaining;
#else
    return tstate->recursion_remaining;
#endif
}
#endif

}  // namespace detail

// True when less than a safe margin of the current thread's C stack is left.
inline bool c_stack_low() noexcept {
    std::uintptr_t floor = detail::owner_floor;
    if (detail::floor_owner.load(std::memory_order_relaxed) != detail::thread_pointer())
        floor = detail::claim_stack_floor();
    // The frame address, not a local's: a sanitizer may keep locals elsewhere.
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < floor;
}

class NestedCall {
public:
    NestedCall() noexcept = default;
    NestedCall(const NestedCall&) = delete;
    NestedCall& operator=(const NestedCall&) = delete;
    ~NestedCall() {
#if defined(TS_INLINE_RECURSION_COUNTER)
        if (tstate_) ++detail::recursion_remaining(tstate_);
#else
        if (entered_) Py_LeaveRecursiveCall();
#endif
    }

    // False, with RecursionError set, when the call would nest too deep.
    bool enter() noexcept {
        if (c_stack_low()) return stack_exhausted();
#if defined(TS_INLINE_RECURSION_COUNTER)
        PyThreadState* tstate = PyThreadState_Get();
        int& remaining = detail::recursion_remaining(tstate);
        if (remaining > 1)
            --remaining;
        else if (Py_EnterRecursiveCall(""))
            return false;
        tstate_ = tstate;
#else
        if (Py_EnterRecursiveCall("")) return false;
        entered_ = true;
#endif
        return true;
    }

private:
    static bool stack_exhausted() noexcept;

#if defined(TS_INLINE_RECURSION_COUNTER)
    PyThreadState* tstate_ = nullptr;
#else
    bool entered_ = false;
#endif
};

}  // namespace ts
