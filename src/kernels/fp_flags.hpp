// Floating-point exception flags around a kernel run.  NumPy reports
// invalid, divide-by-zero, overflow and underflow per its error state (warn,
// raise, ...); a kernel run that raised any of them is discarded so that
// NumPy itself recomputes and reports.
#pragma once

#include <cfenv>

namespace trackscope::kernels {

class FpFlags {
public:
    // Starts watching.  Testing is cheap, clearing is not (it rewrites the
    // x87 environment): only flags left raised by earlier code are cleared.
    // `inputs` are local values the watched arithmetic reads: they become
    // available only from here on, so that arithmetic cannot start earlier.
    template <class... In>
    explicit FpFlags(In&... inputs) noexcept {
        if (std::fetestexcept(kWatched)) std::feclearexcept(kWatched);
        (fence(inputs), ...);
    }

    // True when no watched flag was raised since construction.  `results`
    // are local values of the watched arithmetic: they are computed before
    // the test (the compiler would otherwise be free to sink them past it).
    template <class... Out>
    bool clean(Out&... results) const noexcept {
        (fence(results), ...);
        return std::fetestexcept(kWatched) == 0;
    }

private:
    static constexpr int kWatched = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW;

    // The compiler does not treat the status flags as a side effect of
    // arithmetic; an opaque read and write of `v`, ordered with the flag
    // calls, pins its computation to one side of them.
    template <class T>
    static void fence(T& v) noexcept {
        asm volatile("" : "+m"(v) : : "memory");
    }
};

}  // namespace trackscope::kernels
