// The kernels once more under an AVX-512 target pragma, on x86 only; the
// renderer uses them where the processor has AVX-512 (F, DQ, BW and VL). Here
// the passes over plain arrays take eight doubles at a time.
#include <algorithm>

#include "synth/fast/kernels.h"
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
namespace wave::fast::avx512 {
#define WAVE_KERNEL_AVX2 1
#define WAVE_KERNEL_AVX512 1
#include "synth/fast/kernels.inc"
#undef WAVE_KERNEL_AVX512
#undef WAVE_KERNEL_AVX2
}  // namespace wave::fast::avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
