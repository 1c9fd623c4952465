// Sines over arrays, four lanes at a time, with the results of SineThen: each
// float equals the one that the correctly rounded double sine gives.
//
// Everything here is inline so that a caller compiled for a wider instruction
// set (see the fast renderer) gets these loops compiled for it as well.
#pragma once

#include <algorithm>
#include <cstdint>

#include "synth/simd.h"
#include "synth/sine.h"

namespace wave {

namespace sine_block_detail {

using simd::f32x4;
using simd::f64x4;
using simd::i64x4;
using simd::Splat;

// pi in two parts of 33 significant bits, so that k times each is exact for
// |k| < 2^20; what they leave out (4e-21) is far inside the error bound while
// |x - k pi| stays above 2^-12.
inline constexpr double kPi1 = 3.14159265346825122833e+00;
inline constexpr double kPi2 = 1.21542010126079319532e-10;
inline constexpr double kInvPi = 3.18309886183790671538e-01;
inline constexpr double kRoundMagic = 0x1.8p52;  // x + magic - magic rounds x to an integer
inline constexpr double kMaxArgument = 0x1p19;

// Taylor coefficients of sin r = r + r^3 S(r^2), through r^15: on |r| <= pi/2
// the truncation error is below 2^-37 of the result.
inline constexpr double kS[] = {
    -1.0 / 6,        1.0 / 120,        -1.0 / 5040,         1.0 / 362880,
    -1.0 / 39916800, 1.0 / 6227020800, -1.0 / 1307674368000};

struct Estimate {
    f64x4 value, bound;  // the bound is NaN where the estimate may not be used
};

// sin x = (-1)^k sin r with x = k pi + r: a quick estimate whose error stays
// below 2^-36 of the result, checked against a bound of 2^-34 of it.
[[gnu::always_inline]] inline Estimate Estimate4(f64x4 x) {
    const f64x4 shifted = x * kInvPi + kRoundMagic;
    const f64x4 k = shifted - kRoundMagic;
    const i64x4 odd = ((i64x4)shifted & 1) << 63;
    const f64x4 r = (x - k * kPi1) - k * kPi2;  // the first product and difference are exact
    const f64x4 z = r * r;
    // Estrin's scheme: a shallow tree keeps several vectors in flight.
    const f64x4 z2 = z * z;
    const f64x4 z4 = z2 * z2;
    const f64x4 p01 = kS[0] + kS[1] * z, p23 = kS[2] + kS[3] * z, p45 = kS[4] + kS[5] * z;
    const f64x4 poly = (p01 + p23 * z2) + z4 * (p45 + kS[6] * z2);
    const f64x4 y = (f64x4)((i64x4)(r + r * z * poly) ^ odd);
    // Close to a multiple of pi the reduction loses relative precision; far out it
    // loses all. There the bound becomes NaN, which no check can settle.
    const i64x4 valid = (simd::Abs(x) < kMaxArgument) & ((k == 0.0) | (simd::Abs(r) > 0x1p-12));
    const f64x4 bound = (f64x4)((i64x4)(simd::Abs(y) * 0x1p-34 + 0x1p-1000) |
                                (~valid & (i64x4)simd::Splat(__builtin_nan(""))));
    return {y, bound};
}

template <typename Finish, typename Scalar>
[[gnu::always_inline]] inline void Run(const double* x, float* out, int n, Finish finish,
                                       Scalar scalar) {
    // First every estimate, without branches; then the few that need it again.
    constexpr int kChunk = 256;
    std::int32_t settled[kChunk];
    for (int start = 0; start < n; start += kChunk) {
        const int count = std::min(kChunk, n - start) / simd::kLanes * simd::kLanes;
        for (int i = 0; i < count; i += simd::kLanes) {
            const Estimate e = Estimate4(simd::Load(x + start + i));
            const f32x4 low = finish(start + i, e.value - e.bound);
            const f32x4 high = finish(start + i, e.value + e.bound);
            simd::Store(out + start + i, low);
            const auto same = low == high;
            __builtin_memcpy(settled + i, &same, sizeof same);
        }
        for (int i = 0; i < count; ++i) {
            if (!settled[i]) out[start + i] = scalar(start + i);
        }
        for (int i = start + count; i < std::min(n, start + kChunk); ++i)
            out[i] = scalar(i);
    }
}

}  // namespace sine_block_detail

// out[i] = float(sin(x[i]))
[[gnu::always_inline]] inline void SineToFloat(const double* x, float* out, int n) {
    using namespace sine_block_detail;
    Run(
        x, out, n, [](int, f64x4 s) __attribute__((always_inline)) { return simd::ToFloat(s); },
        [x](int i) { return SineThen(x[i], [](double s) { return static_cast<float>(s); }); });
}

// out[i] = float(minuend[i] - sin(x[i])), the sine rounded to double first.
[[gnu::always_inline]] inline void FloatMinusSine(const float* minuend, const double* x, float* out,
                                                  int n) {
    using namespace sine_block_detail;
    Run(
        x, out, n,
        [minuend](int i, f64x4 s) __attribute__((always_inline)) {
            return simd::ToFloat(simd::LoadFloats(minuend + i) - s);
        },
        [minuend, x](int i) {
            const float m = minuend[i];
            return SineThen(x[i], [m](double s) { return static_cast<float>(m - s); });
        });
}

}  // namespace wave
