// The kernels once more under an AVX2 target pragma, on x86 only; the renderer
// uses them where the processor has AVX2.
#include <algorithm>

#include "synth/fast/kernels.h"
#include "synth/sine.h"

#ifdef WAVE_HAVE_AVX2_KERNELS
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace wave::fast::avx2 {
#define WAVE_KERNEL_AVX2 1
#define WAVE_KERNEL_AVX512 0
#include "synth/fast/kernels.inc"
#undef WAVE_KERNEL_AVX512
#undef WAVE_KERNEL_AVX2
}  // namespace wave::fast::avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
