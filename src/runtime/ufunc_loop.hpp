// The inner loop a NumPy ufunc runs for one type signature on this CPU:
// NumPy fills its loop table at import with the best variant its dispatcher
// found (SVML on AVX-512, the C library's functions elsewhere), so a native
// path that calls it gets NumPy's own bits on every machine.
#pragma once

#include "runtime/numpy_api.hpp"

#include <initializer_list>

namespace ts {

class UfuncLoop {
public:
    UfuncLoop() = default;

    // The loop of `ufunc` for the given operand types (inputs, then
    // outputs); an empty loop when `ufunc` is not a NumPy ufunc or has no
    // such entry.  Never raises.
    static UfuncLoop find(PyObject* ufunc, std::initializer_list<int> types);

    explicit operator bool() const noexcept { return fn_ != nullptr; }

    // out = f(x), or out = f(x, y), over one element.  The loop sees the
    // operands in slots of its own with a gap before the output: NumPy takes
    // its SIMD path only when the output does not touch an input, and NumPy
    // 1.x counts an output right after an input as touching, which the
    // caller's adjacent locals would be (separate arrays never are).
    void operator()(const double* x, double* out) const noexcept {
        Slots s{{*x, 0.0}, 0.0, 0.0};
        char* args[2] = {as_bytes(&s.in[0]), as_bytes(&s.out)};
        run(args);
        *out = s.out;
    }
    void operator()(const double* x, const double* y, double* out) const noexcept {
        Slots s{{*x, *y}, 0.0, 0.0};
        char* args[3] = {as_bytes(&s.in[0]), as_bytes(&s.in[1]), as_bytes(&s.out)};
        run(args);
        *out = s.out;
    }

private:
    using Loop = void (*)(char**, const npy_intp*, const npy_intp*, void*);

    struct Slots {
        double in[2];
        double gap;
        double out;
    };

    static char* as_bytes(double* p) noexcept { return reinterpret_cast<char*>(p); }
    void run(char** args) const noexcept {
        const npy_intp one = 1;
        const npy_intp steps[3] = {sizeof(double), sizeof(double), sizeof(double)};
        fn_(args, &one, steps, data_);
    }

    Loop fn_ = nullptr;
    void* data_ = nullptr;
};

}  // namespace ts
