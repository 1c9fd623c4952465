// The kernels under an AVX-512 target (F, DQ, BW and VL), on x86 only: eight
// doubles to a wide vector. The renderer uses them where the processor has
// AVX-512.
//
// Every header that is not a kernel comes first, so that nothing but the kernels
// is compiled for AVX-512.
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

#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's AVX-512 intrinsics start from an undefined vector, which its
// warnings take for an uninitialised one.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl")
#endif

#include "synth/fast/kernel_set.h"

namespace wave::fast {

namespace {

struct Avx512 : Vectors<8> {
    [[gnu::always_inline]] static Double4 Widen(Float4 v) {
        return (Double4)_mm256_cvtps_pd((__m128)v);
    }
    [[gnu::always_inline]] static Float4 RoundToFloat(Double4 v) {
        return (Float4)_mm256_cvtpd_ps((__m256d)v);
    }
    [[gnu::always_inline]] static DoubleW WidenW(FloatW v) {
        return (DoubleW)_mm512_cvtps_pd((__m256)v);
    }
    [[gnu::always_inline]] static FloatW RoundToFloatW(DoubleW v) {
        return (FloatW)_mm512_cvtpd_ps((__m512d)v);
    }
    [[gnu::always_inline]] static Int32W TruncateW(DoubleW v) {
        return (Int32W)_mm512_cvttpd_epi32((__m512d)v);
    }
    template <typename Index>
    [[gnu::always_inline]] static void Gather16(const float* table, const Index& index,
                                                float* out) {
        const __m512 r = _mm512_i32gather_ps((__m512i)index, table, 4);
        __builtin_memcpy(out, &r, sizeof r);
    }
};

}  // namespace

namespace avx512 {
const Kernels kKernels = MakeKernels<Avx512>();
}

}  // namespace wave::fast

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
