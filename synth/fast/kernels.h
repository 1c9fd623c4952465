// The fast path's inner loops, as a table of entry points. The kernels are
// templates over an instruction set (synth/fast/simd.h, kernel_set.h), compiled
// for the build's baseline (kernels_baseline.cpp) and, on x86, for AVX2
// (kernels_avx2.cpp) and AVX-512 (kernels_avx512.cpp). Every copy computes the
// same IEEE operations in the same order; the others only have wider instructions.
#pragma once

#include <cstdint>
#include <vector>

#include "synth/fast/lane.h"
#include "synth/fast_renderer.h"

namespace wave::fast {

struct Kernels {
    // Renders block `block` of the group's output slots, the samples
    // [first_sample, first_sample + samples) of the buffer: voices, echoes and
    // low-pass. `notes` is the scratch for filling in the frames of kept notes.
    void (*group_block)(Group& group, std::int64_t first_sample, int samples, int block, Scratch& s,
                        Scratch& notes);
    // Adds every lane's output for [first_sample, end_sample), which starts at
    // block `first_block` of its slots, into `mix` at its volume, in job order;
    // `mix` holds the mix from first_sample on (MixBuffer + first_sample, or a
    // piece of the mix kept elsewhere).
    void (*mix)(const std::vector<Lane>& lanes, int first_block, std::int64_t first_sample,
                std::int64_t end_sample, float* mix);
    // StorePcm16's 16-bit samples of n samples of a finished mix, at `out`.
    void (*pcm16)(const float* mix, int n, float factor, unsigned char* out);
    void (*sines)(const double* x, float* out, int n);
    void (*minus_sines)(const float* minuend, const double* x, float* out, int n);
};

// The kernels for `isa`: the widest the processor has that it allows.
Kernels ChooseKernels(FastPathIsa isa);

namespace baseline {
extern const Kernels kKernels;
}
#if defined(__x86_64__) || defined(__i386__)
#define WAVE_HAVE_AVX2_KERNELS 1
namespace avx2 {
extern const Kernels kKernels;
}
namespace avx512 {
extern const Kernels kKernels;
}
#endif

}  // namespace wave::fast
