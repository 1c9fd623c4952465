// The kernels for the build's baseline instruction set: four doubles to a wide
// vector, converted by the compiler's generic conversions, or by WebAssembly's
// SIMD where the build has it (the generic ones take one instruction per element
// there).
//
// Every header that is not a kernel comes first, so that nothing but the kernels
// is compiled under what follows.
#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "synth/fast/kernels.h"
#include "synth/fast/lane.h"
#include "synth/sine.h"

#ifdef __wasm_simd128__
#include <wasm_simd128.h>
#endif

#include "synth/fast/kernel_set.h"

namespace wave::fast {

namespace {

struct Baseline : Vectors<4> {
    [[gnu::always_inline]] static Double4 Widen(Float4 v) {
#ifdef __wasm_simd128__
        const v128_t low = wasm_f64x2_promote_low_f32x4((v128_t)v);
        const v128_t high =
            wasm_f64x2_promote_low_f32x4(wasm_i32x4_shuffle((v128_t)v, (v128_t)v, 2, 3, 2, 3));
        Double4 wide;
        __builtin_memcpy(&wide, &low, sizeof low);
        __builtin_memcpy(reinterpret_cast<char*>(&wide) + sizeof low, &high, sizeof high);
        return wide;
#else
        return __builtin_convertvector(v, Double4);
#endif
    }

    [[gnu::always_inline]] static Float4 RoundToFloat(Double4 v) {
#ifdef __wasm_simd128__
        v128_t low;
        v128_t high;
        __builtin_memcpy(&low, &v, sizeof low);
        __builtin_memcpy(&high, reinterpret_cast<const char*>(&v) + sizeof low, sizeof high);
        return (Float4)wasm_i32x4_shuffle(wasm_f32x4_demote_f64x2_zero(low),
                                          wasm_f32x4_demote_f64x2_zero(high), 0, 1, 4, 5);
#else
        return __builtin_convertvector(v, Float4);
#endif
    }

    [[gnu::always_inline]] static Double4 WidenW(Float4 v) {
        return Widen(v);
    }
    [[gnu::always_inline]] static Float4 RoundToFloatW(Double4 v) {
        return RoundToFloat(v);
    }

    [[gnu::always_inline]] static Int32W TruncateW(Double4 v) {
#ifdef __wasm_simd128__
        // Saturating where the plain conversion would be undefined: the same in range.
        v128_t low;
        v128_t high;
        __builtin_memcpy(&low, &v, sizeof low);
        __builtin_memcpy(&high, reinterpret_cast<const char*>(&v) + sizeof low, sizeof high);
        return (Int32W)wasm_i32x4_shuffle(wasm_i32x4_trunc_sat_f64x2_zero(low),
                                          wasm_i32x4_trunc_sat_f64x2_zero(high), 0, 1, 4, 5);
#else
        return __builtin_convertvector(v, Int32W);
#endif
    }
};

}  // namespace

namespace baseline {
const Kernels kKernels = MakeKernels<Baseline>();
}

}  // namespace wave::fast
