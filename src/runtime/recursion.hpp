// Depth guard for compiled-function bodies.  A body can call back into
// Python (a subclass method, a property) and that code into another body, so
// nesting is bounded twice: by the interpreter's recursion counter and by the
// C stack actually left to the thread, since the counter's limit is whatever
// sys.setrecursionlimit says and not what the stack holds.
#pragma once

#include "runtime/object.hpp"

namespace ts {

class NestedCall {
public:
    NestedCall() noexcept = default;
    NestedCall(const NestedCall&) = delete;
    NestedCall& operator=(const NestedCall&) = delete;
    ~NestedCall() {
        if (entered_) Py_LeaveRecursiveCall();
    }

    // False, with RecursionError set, when the call would nest too deep.
    bool enter() noexcept;

private:
    bool entered_ = false;
};

// True when less than a safe margin of the current thread's C stack is left.
bool c_stack_low() noexcept;

}  // namespace ts
