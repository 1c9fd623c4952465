// The kernels under an AVX2 target, on x86 only: four doubles to a wide vector.
// The renderer uses them where the processor has AVX2.
//
// Every header that is not a kernel comes first, so that nothing but the kernels
// is compiled for AVX2.
#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "synth/fast/kernels.h"
#include "synth/fast/lane.h"
#include "synth/sine.h"

#ifdef WAVE_HAVE_AVX2_KERNELS
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "synth/fast/kernel_set.h"

namespace wave::fast {

namespace {

struct Avx2 : Vectors<4> {
    [[gnu::always_inline]] static Double4 Widen(Float4 v) {
        return (Double4)_mm256_cvtps_pd((__m128)v);
    }
    [[gnu::always_inline]] static Float4 RoundToFloat(Double4 v) {
        return (Float4)_mm256_cvtpd_ps((__m256d)v);
    }
    [[gnu::always_inline]] static Double4 WidenW(Float4 v) { return Widen(v); }
    [[gnu::always_inline]] static Float4 RoundToFloatW(Double4 v) { return RoundToFloat(v); }
    [[gnu::always_inline]] static Int32W TruncateW(Double4 v) {
        return (Int32W)_mm256_cvttpd_epi32((__m256d)v);
    }
};

}  // namespace

namespace avx2 {
const Kernels kKernels = MakeKernels<Avx2>();
}

}  // namespace wave::fast

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
