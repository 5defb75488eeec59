// Floating-point exception flags around a kernel run.  NumPy reports
// invalid, divide-by-zero, overflow and underflow per its error state (warn,
// raise, ...); a kernel run that raised any of them is discarded so that
// NumPy itself recomputes and reports.
#pragma once

#include <cfenv>

namespace trackscope::kernels {

class FpFlags {
public:
    // Testing is cheap, clearing is not (it rewrites the x87 environment): clear only flags
    // left raised by earlier code.
    FpFlags() noexcept {
        if (std::fetestexcept(kWatched)) std::feclearexcept(kWatched);
    }
    // True when no watched flag was raised since construction.
    bool clean() const noexcept { return std::fetestexcept(kWatched) == 0; }

private:
    static constexpr int kWatched = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW;
};

}  // namespace trackscope::kernels
