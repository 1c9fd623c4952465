// The kernels for the build's baseline instruction set.
#include <algorithm>

#include "synth/fast/kernels.h"
#include "synth/sine.h"

#ifdef __wasm_simd128__
#include <wasm_simd128.h>  // the float <-> double conversions of vector_math.inc
#endif

namespace wave::fast::baseline {
#define WAVE_KERNEL_AVX2 0
#define WAVE_KERNEL_AVX512 0
#include "synth/fast/kernels.inc"
#undef WAVE_KERNEL_AVX512
#undef WAVE_KERNEL_AVX2
}  // namespace wave::fast::baseline
