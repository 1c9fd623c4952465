// The vectors of the kernels, and the helpers they share.
//
// Every kernel is a template over an instruction set `V`: one of the structs in
// the kernels_*.cpp files, the only place where intrinsics appear. Each gives
//   kWidth            how many doubles a wide vector holds: 4, or 8 with AVX-512
//   Widen, RoundToFloat     float <-> double, the four lanes of a group
//   WidenW, RoundToFloatW   the same, a wide vector
//   TruncateW         a wide vector of doubles in the 32-bit range, toward zero
//   Gather16          sixteen floats of a table, by index (Vectors<4> has a
//                     scalar one)
// and each of these rounds as the scalar conversion does. Element j of a wide
// vector is element j of its array: only the speed depends on the width.
//
// Each V is a type of its own translation unit (in an unnamed namespace), so the
// kernels instantiated for it are too: the copies compiled for different
// instruction sets never meet at link time. Vectors are passed by value only to
// functions that are always inlined, never between copies, since the
// instruction sets pass 32-byte vectors in different ways.
#pragma once

#include <cstdint>
#include <utility>

#include "synth/fast/lane.h"

namespace wave::fast {

// The wide vectors of an instruction set whose widest holds `width` doubles.
template <int width>
struct Vectors;

template <>
struct Vectors<4> {
    static constexpr int kWidth = 4;
    using FloatW = float __attribute__((vector_size(16)));
    using DoubleW = double __attribute__((vector_size(32)));
    using Int16W = std::int16_t __attribute__((vector_size(8)));
    using Int32W = std::int32_t __attribute__((vector_size(16)));
    using Int64W = std::int64_t __attribute__((vector_size(32)));
    using Float2W = float __attribute__((vector_size(32)));  // two vectors end to end

    // One float at a time; an instruction set with a gather hides this.
    template <typename Index>
    [[gnu::always_inline]] static void Gather16(const float* table, const Index& index,
                                                float* out) {
        for (int k = 0; k < 16; ++k)
            out[k] = table[index[k]];
    }
};

template <>
struct Vectors<8> {
    static constexpr int kWidth = 8;
    using FloatW = float __attribute__((vector_size(32)));
    using DoubleW = double __attribute__((vector_size(64)));
    using Int16W = std::int16_t __attribute__((vector_size(16)));
    using Int32W = std::int32_t __attribute__((vector_size(32)));
    using Int64W = std::int64_t __attribute__((vector_size(64)));
    using Float2W = float __attribute__((vector_size(64)));
};

template <class V>
[[gnu::always_inline]] inline typename V::DoubleW SplatW(double x) {
    return typename V::DoubleW{} + x;
}

template <class V>
[[gnu::always_inline]] inline typename V::DoubleW LoadW(const double* p) {
    typename V::DoubleW v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
[[gnu::always_inline]] inline typename V::FloatW LoadFloatsAsIs(const float* p) {
    typename V::FloatW v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
[[gnu::always_inline]] inline typename V::DoubleW LoadFloatsW(const float* p) {
    return V::WidenW(LoadFloatsAsIs<V>(p));
}

template <class V>
[[gnu::always_inline]] inline void StoreW(float* p, typename V::FloatW v) {
    __builtin_memcpy(p, &v, sizeof v);
}

template <class V>
[[gnu::always_inline]] inline typename V::DoubleW AbsW(typename V::DoubleW v) {
    return (typename V::DoubleW)((typename V::Int64W)v & INT64_MAX);
}

// Whether every element of a comparison's result is true.
template <class V>
[[gnu::always_inline]] inline bool AllTrue(typename V::Int32W v) {
    std::int32_t all = -1;
    for (int j = 0; j < V::kWidth; ++j)
        all &= v[j];
    return all != 0;
}

// Two vectors end to end.
template <class V, int... j>
[[gnu::always_inline]] inline typename V::Float2W Concatenate(typename V::FloatW a,
                                                              typename V::FloatW b,
                                                              std::integer_sequence<int, j...>) {
    return __builtin_shufflevector(a, b, j...);
}

// Element s of the result is element 4 s + lane of the four vectors end to end.
template <class V, int lane, int... s>
[[gnu::always_inline]] inline typename V::FloatW EveryFourth(typename V::Float2W v01,
                                                             typename V::Float2W v23,
                                                             std::integer_sequence<int, s...>) {
    return __builtin_shufflevector(v01, v23, (4 * s + lane)...);
}

// Four vectors of whole samples of a group's four lanes, [sample][lane], become
// each lane's samples in order, one vector per lane: a kWidth x 4 transpose.
template <class V>
[[gnu::always_inline]] inline void Transpose(typename V::FloatW (&v)[4]) {
    const auto ends = std::make_integer_sequence<int, 2 * V::kWidth>{};
    const typename V::Float2W v01 = Concatenate<V>(v[0], v[1], ends);
    const typename V::Float2W v23 = Concatenate<V>(v[2], v[3], ends);
    const auto samples = std::make_integer_sequence<int, V::kWidth>{};
    v[0] = EveryFourth<V, 0>(v01, v23, samples);
    v[1] = EveryFourth<V, 1>(v01, v23, samples);
    v[2] = EveryFourth<V, 2>(v01, v23, samples);
    v[3] = EveryFourth<V, 3>(v01, v23, samples);
}

}  // namespace wave::fast
