// Sines a wide vector at a time. Each result equals what SineThen gives
// (synth/sine.h): a quick estimate settles the float result almost always, and
// the scalar SineThen redoes the few that it does not.
#pragma once

#include <algorithm>
#include <cstdint>

#include "synth/fast/simd.h"
#include "synth/sine.h"

namespace wave::fast {

namespace sines {

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

}  // namespace sines

template <class V>
struct Estimate {
    typename V::DoubleW value, bound;  // the bound is NaN where the estimate may not be used
};

// sin x = (-1)^k sin r with x = k pi + r: a quick estimate whose error stays
// below 2^-36 of the result, checked against a bound of 2^-34 of it.
template <class V>
[[gnu::always_inline]] inline Estimate<V> EstimateW(typename V::DoubleW x) {
    using namespace sines;
    using DoubleW = typename V::DoubleW;
    using Int64W = typename V::Int64W;
    const DoubleW shifted = x * kInvPi + kRoundMagic;
    const DoubleW k = shifted - kRoundMagic;
    const Int64W odd = ((Int64W)shifted & 1) << 63;
    const DoubleW r = (x - k * kPi1) - k * kPi2;  // the first product and difference are exact
    const DoubleW z = r * r;
    // Estrin's scheme: a shallow tree keeps several vectors in flight.
    const DoubleW z2 = z * z;
    const DoubleW z4 = z2 * z2;
    const DoubleW p01 = kS[0] + kS[1] * z, p23 = kS[2] + kS[3] * z, p45 = kS[4] + kS[5] * z;
    const DoubleW poly = (p01 + p23 * z2) + z4 * (p45 + kS[6] * z2);
    const DoubleW y = (DoubleW)((Int64W)(r + r * z * poly) ^ odd);
    // Close to a multiple of pi the reduction loses relative precision; far out it
    // loses all. There the bound becomes NaN, which no check can settle.
    const Int64W valid = (AbsW<V>(x) < kMaxArgument) & ((k == 0.0) | (AbsW<V>(r) > 0x1p-12));
    const DoubleW bound = (DoubleW)((Int64W)(AbsW<V>(y) * 0x1p-34 + 0x1p-1000) |
                                    (~valid & (Int64W)SplatW<V>(__builtin_nan(""))));
    return {y, bound};
}

// out[i] = finish(i, sin(x[i])) for a `finish` that ends in a float rounding,
// with scalar(i) doing the same through SineThen.
template <class V, typename Finish, typename Scalar>
[[gnu::always_inline]] inline void SinesInBatches(const double* x, float* out, int n, Finish finish,
                                                  Scalar scalar) {
    using FloatW = typename V::FloatW;
    using Int32W = typename V::Int32W;
    // First every estimate of a batch, without branches; then, in the rare batch
    // where one was not settled, those again.
    constexpr int kBatch = 256;
    std::int32_t settled[kBatch];
    for (int start = 0; start < n; start += kBatch) {
        const int count = std::min(kBatch, n - start) / V::kWidth * V::kWidth;
        Int32W all = ~Int32W{};
        for (int i = 0; i < count; i += V::kWidth) {
            const Estimate<V> e = EstimateW<V>(LoadW<V>(x + start + i));
            const FloatW low = finish(start + i, e.value - e.bound);
            const FloatW high = finish(start + i, e.value + e.bound);
            StoreW<V>(out + start + i, low);
            const Int32W same = low == high;
            __builtin_memcpy(settled + i, &same, sizeof same);
            all &= same;
        }
        if (!AllTrue<V>(all)) {
            for (int i = 0; i < count; ++i) {
                if (!settled[i]) out[start + i] = scalar(start + i);
            }
        }
        for (int i = start + count; i < std::min(n, start + kBatch); ++i)
            out[i] = scalar(i);
    }
}

// The float rounding of a vector of sines. (A function object rather than a
// lambda without captures: GCC gives such a lambda's conversion to a function
// pointer no target of its own.)
template <class V>
struct RoundedSines {
    [[gnu::always_inline]] typename V::FloatW operator()(int, typename V::DoubleW s) const {
        return V::RoundToFloatW(s);
    }
};

// out[i] = float(sin(x[i])), as SineThen(x[i], Round).
template <class V>
[[gnu::always_inline]] inline void SineToFloat(const double* x, float* out, int n) {
    SinesInBatches<V>(x, out, n, RoundedSines<V>{}, [x](int i) { return SineThen(x[i], Round); });
}

// out[i] = float(minuend[i] - sin(x[i])), the sine rounded to double first.
template <class V>
[[gnu::always_inline]] inline void FloatMinusSine(const float* minuend, const double* x, float* out,
                                                  int n) {
    SinesInBatches<V>(
        x, out, n,
        [minuend](int i, typename V::DoubleW s) __attribute__((always_inline)) {
            return V::RoundToFloatW(LoadFloatsW<V>(minuend + i) - s);
        },
        [minuend, x](int i) {
            const float m = minuend[i];
            return SineThen(x[i], [m](double s) { return Round(m - s); });
        });
}

}  // namespace wave::fast
