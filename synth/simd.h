// Fixed-width vectors through the compiler's vector extensions: element-wise
// IEEE arithmetic, so each lane computes exactly what scalar code computes.
#pragma once

#include <cstdint>

// Vectors are passed by value only to functions that are always inlined: a
// function compiled for AVX and one compiled without pass 32-byte vectors in
// different ways, so no such call may exist.

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

[[gnu::always_inline]] inline f64x4 Splat(double x) {
    return f64x4{} + x;
}

[[gnu::always_inline]] inline f64x4 Load(const double* p) {
    f64x4 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline f64x4 LoadFloats(const float* p) {
    f32x4 v;
    __builtin_memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, f64x4);
}

// Rounds each lane to float, as a scalar static_cast<float> does.
[[gnu::always_inline]] inline f32x4 ToFloat(f64x4 v) {
    return __builtin_convertvector(v, f32x4);
}

[[gnu::always_inline]] inline void Store(float* p, f32x4 v) {
    __builtin_memcpy(p, &v, sizeof v);
}

[[gnu::always_inline]] inline f64x4 Abs(f64x4 v) {
    return (f64x4)((i64x4)v & INT64_MAX);
}

}  // namespace wave::simd
