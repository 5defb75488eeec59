// Four rows at a time: the row kernels' arithmetic on vectors whose lanes are four consecutive
// rows, so each lane performs exactly the scalar operations of its row (same order, same
// rounding; no FMA: the variant enables AVX2 only, and -ffp-contract=off holds).
//
// Rows are stored contiguously (a row of k components, then the next); load_rows/store_rows turn
// four such rows into k lane vectors and back with shuffles. The block loops are compiled for
// AVX2 on x86-64 and run when the CPU has it; elsewhere (the x86-64 baseline, whose 16-byte
// registers split every lane vector in two, and aarch64) the kernels keep their one-row loops.
// TRACKSCOPE_SIMD=off keeps to the one-row loops everywhere: both give the same bits, and the
// switch exists to test that.
#pragma once

#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TRACKSCOPE_SIMD_AVX2 1
#define TRACKSCOPE_TARGET_AVX2 __attribute__((target("avx2")))
#include <cpuid.h>
#include <emmintrin.h>
#endif

namespace trackscope::kernels::simd {

constexpr std::ptrdiff_t kLanes = 4;

template <class T>
struct Lanes;
template <>
struct Lanes<double> {
    typedef double V __attribute__((vector_size(32)));
    typedef long long Mask __attribute__((vector_size(32)));
};
template <>
struct Lanes<float> {
    typedef float V __attribute__((vector_size(16)));
    typedef int Mask __attribute__((vector_size(16)));
};

template <class T>
using V = typename Lanes<T>::V;

#define TRACKSCOPE_LANES_INLINE __attribute__((always_inline)) inline

template <class T>
TRACKSCOPE_LANES_INLINE V<T> splat(T x) noexcept {
    return V<T>{x, x, x, x};
}

// (s > eps || s != s) ? s : eps per lane, the comparisons the scalar kernel makes.
template <class T>
TRACKSCOPE_LANES_INLINE V<T> clip_below(V<T> s, V<T> eps) noexcept {
    using M = typename Lanes<T>::Mask;
    const M keep = (M)(s > eps) | (M)(s != s);
    return (V<T>)(((M)s & keep) | ((M)eps & ~keep));
}

template <class T>
TRACKSCOPE_LANES_INLINE V<T> load(const T* p) noexcept {
    V<T> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
TRACKSCOPE_LANES_INLINE void store(T* p, V<T> v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

// Outputs of at least this many bytes bypass the cache (non-temporal stores): they cannot stay
// in it anyway, and a store that misses would first read its line from memory.
constexpr std::size_t kStreamBytes = std::size_t(8) << 20;

// Whether a kernel writing `rows` rows of `width` at p streams its four-row blocks (16-byte
// aligned stores).
template <class T>
inline bool streaming(const T* p, std::ptrdiff_t rows, std::ptrdiff_t width) noexcept {
#ifdef TRACKSCOPE_SIMD_AVX2
    return static_cast<std::size_t>(rows) * static_cast<std::size_t>(width) * sizeof(T) >= kStreamBytes &&
           reinterpret_cast<std::uintptr_t>(p) % 16 == 0;
#else
    (void)p, (void)rows, (void)width;
    return false;
#endif
}

// Orders the streamed stores before whatever the caller does next.
inline void end_streaming(bool streamed) noexcept {
#ifdef TRACKSCOPE_SIMD_AVX2
    if (streamed) _mm_sfence();
#else
    (void)streamed;
#endif
}

template <class T>
TRACKSCOPE_LANES_INLINE void put(T* p, V<T> v, bool stream) noexcept {
#ifdef TRACKSCOPE_SIMD_AVX2
    if (stream) {
        if constexpr (sizeof(V<T>) == 16) {
            _mm_stream_ps(reinterpret_cast<float*>(p), (__m128)v);
        } else {
            typedef double Half __attribute__((vector_size(16)));
            _mm_stream_pd(p, (__m128d)(Half)__builtin_shufflevector(v, v, 0, 1));
            _mm_stream_pd(p + 2, (__m128d)(Half)__builtin_shufflevector(v, v, 2, 3));
        }
        return;
    }
#endif
    (void)stream;
    store(p, v);
}

#define TRACKSCOPE_SHUFFLE __builtin_shufflevector

// 4x4 transpose: rows r0..r3 in, columns out (and back: the transpose is its own inverse).
template <class T>
TRACKSCOPE_LANES_INLINE std::array<V<T>, 4> transpose4(V<T> r0, V<T> r1, V<T> r2, V<T> r3) noexcept {
    const V<T> t0 = TRACKSCOPE_SHUFFLE(r0, r1, 0, 4, 2, 6), t1 = TRACKSCOPE_SHUFFLE(r0, r1, 1, 5, 3, 7);
    const V<T> t2 = TRACKSCOPE_SHUFFLE(r2, r3, 0, 4, 2, 6), t3 = TRACKSCOPE_SHUFFLE(r2, r3, 1, 5, 3, 7);
    return {TRACKSCOPE_SHUFFLE(t0, t2, 0, 1, 4, 5), TRACKSCOPE_SHUFFLE(t1, t3, 0, 1, 4, 5),
            TRACKSCOPE_SHUFFLE(t0, t2, 2, 3, 6, 7), TRACKSCOPE_SHUFFLE(t1, t3, 2, 3, 6, 7)};
}

// Four rows of K components at p (row stride K) as K lane vectors.
template <class T, std::size_t K>
TRACKSCOPE_LANES_INLINE std::array<V<T>, K> load_rows(const T* p) noexcept {
    static_assert(K == 3 || K == 4, "rows of 3 or 4 components");
    if constexpr (K == 4) {
        return transpose4<T>(load(p), load(p + 4), load(p + 8), load(p + 12));
    } else {
        // a = x0 y0 z0 x1, b = y1 z1 x2 y2, c = z2 x3 y3 z3
        const V<T> a = load(p), b = load(p + 4), c = load(p + 8);
        const V<T> x = TRACKSCOPE_SHUFFLE(a, b, 0, 3, 6, 6), y = TRACKSCOPE_SHUFFLE(a, b, 1, 4, 7, 7),
                   z = TRACKSCOPE_SHUFFLE(a, b, 2, 5, 5, 5);
        return {TRACKSCOPE_SHUFFLE(x, c, 0, 1, 2, 5), TRACKSCOPE_SHUFFLE(y, c, 0, 1, 2, 6),
                TRACKSCOPE_SHUFFLE(z, c, 0, 1, 4, 7)};
    }
}

// K lane vectors stored as four rows of K components at p (row stride K).
// With `stream` (rows of 3 or 4, p 16-byte aligned) the stores bypass the cache.
template <class T, std::size_t K>
TRACKSCOPE_LANES_INLINE void store_rows(T* p, const std::array<V<T>, K>& v, bool stream = false) noexcept {
    static_assert(K == 3 || K == 4 || K == 9, "rows of 3, 4 or 9 components");
    if constexpr (K == 4) {
        const std::array<V<T>, 4> r = transpose4<T>(v[0], v[1], v[2], v[3]);
        for (std::size_t i = 0; i < 4; ++i) put(p + 4 * i, r[i], stream);
    } else if constexpr (K == 3) {
        const V<T> x = v[0], y = v[1], z = v[2];
        const V<T> xy01 = TRACKSCOPE_SHUFFLE(x, y, 0, 4, 1, 5), yz12 = TRACKSCOPE_SHUFFLE(y, z, 1, 5, 2, 6),
                   xy33 = TRACKSCOPE_SHUFFLE(x, y, 3, 7, 2, 2);
        put(p, TRACKSCOPE_SHUFFLE(xy01, z, 0, 1, 4, 2), stream);
        put(p + 4, TRACKSCOPE_SHUFFLE(yz12, x, 0, 1, 6, 2), stream);
        put(p + 8, TRACKSCOPE_SHUFFLE(xy33, z, 6, 0, 1, 7), stream);
    } else {
        // Row i holds components 0..3, 4..7 and 8: two transposed quads and one lane.
        (void)stream;
        const std::array<V<T>, 4> a = transpose4<T>(v[0], v[1], v[2], v[3]);
        const std::array<V<T>, 4> b = transpose4<T>(v[4], v[5], v[6], v[7]);
        for (std::size_t i = 0; i < 4; ++i) {
            store(p + 9 * i, a[i]);
            store(p + 9 * i + 4, b[i]);
            p[9 * i + 8] = v[8][i];
        }
    }
}

enum class Level { rows, avx2 };

#ifdef TRACKSCOPE_SIMD_AVX2
// AVX2 in the CPU and YMM state saved by the OS, asked of the CPU itself: __builtin_cpu_supports
// reads a table the runtime library fills, and zig's runtime library leaves it empty.
inline bool cpu_has_avx2() noexcept {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    if (!(c & (1u << 27)) || !(c & (1u << 28))) return false;  // OSXSAVE, AVX
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    if ((xcr0 & 6u) != 6u) return false;  // XMM and YMM registers
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return (b & (1u << 5)) != 0;  // AVX2
}
#endif

inline Level detect_level() noexcept {
    const char* forced = std::getenv("TRACKSCOPE_SIMD");
    if (forced && std::strcmp(forced, "off") == 0) return Level::rows;
#ifdef TRACKSCOPE_SIMD_AVX2
    if (cpu_has_avx2()) return Level::avx2;
#endif
    return Level::rows;
}

// The variant this process runs, decided at the first call.
inline Level level() noexcept {
    static const Level chosen = detect_level();
    return chosen;
}

#ifdef TRACKSCOPE_SIMD_AVX2
template <class Block>
TRACKSCOPE_TARGET_AVX2 std::ptrdiff_t blocks_avx2(std::ptrdiff_t count, const Block& block) noexcept {
    std::ptrdiff_t n = 0;
    for (; n + kLanes <= count; n += kLanes) block(n);
    return n;
}
#endif

// Runs block(n) for n = 0, 4, 8, ... while four rows remain, where a variant runs; returns the
// rows done, the rest being the caller's one-row loop. block's call operator must be
// always_inline, so that it is compiled into the variant.
template <class Block>
std::ptrdiff_t blocks([[maybe_unused]] std::ptrdiff_t count, [[maybe_unused]] const Block& block) noexcept {
#ifdef TRACKSCOPE_SIMD_AVX2
    if (level() == Level::avx2) return blocks_avx2(count, block);
#endif
    return 0;
}

}  // namespace trackscope::kernels::simd
