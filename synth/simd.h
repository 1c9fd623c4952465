// Fixed-width vectors through the compiler's vector extensions: element-wise
// IEEE arithmetic, so each lane computes exactly what scalar code computes.
#pragma once

#include <cstdint>

// The vectors are passed between inline functions only, never across a library
// boundary, so GCC's note that 32-byte vectors pass differently with AVX is moot.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace wave::simd {

// Four lanes: one register with AVX, a pair with SSE2 (which still beats
// single registers, as the pairs overlap).
#ifdef __AVX__
inline constexpr int kLanes = 4;
#else
inline constexpr int kLanes = 4;
#endif

using f64x4 = double __attribute__((vector_size(8 * kLanes)));
using i64x4 = std::int64_t __attribute__((vector_size(8 * kLanes)));
using f32x4 = float __attribute__((vector_size(4 * kLanes)));

inline f64x4 Splat(double x) {
    return f64x4{} + x;
}

inline f64x4 Load(const double* p) {
    f64x4 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline f64x4 LoadFloats(const float* p) {
    f32x4 v;
    __builtin_memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, f64x4);
}

// Rounds each lane to float, as a scalar static_cast<float> does.
inline f32x4 ToFloat(f64x4 v) {
    return __builtin_convertvector(v, f32x4);
}

inline void Store(float* p, f32x4 v) {
    __builtin_memcpy(p, &v, sizeof v);
}

inline f64x4 Abs(f64x4 v) {
    return (f64x4)((i64x4)v & INT64_MAX);
}

}  // namespace wave::simd
