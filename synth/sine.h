// The sine the voices use: the correctly rounded double sine, computed from
// IEEE double arithmetic alone, so that every platform and compiler gives the
// same bits (the C libraries' sines differ in the last place).
#pragma once

namespace wave {

// sin(x) rounded to the nearest double. For |x| of 2^19 (524,288) or more, and
// for NaN, it returns the C library's sin, keeping the argument reduction to
// quadrant counts well inside the range where it is exact.
double Sine(double x);

// finish(Sine(x)) for a monotonic `finish` that ends in a float rounding:
// most of the time a quick estimate of the sine settles the float result, and
// the full computation runs only when the estimate lies too close to a
// rounding boundary for its error bound.
template <typename Finish>
float SineThen(double x, Finish finish);

namespace detail {
struct SineEstimate {
    double value;  // within `bound` of the correctly rounded sine
    double bound;
    bool valid;  // false when the quick path cannot bound its error
};
SineEstimate EstimateSine(double x);
}  // namespace detail

template <typename Finish>
float SineThen(double x, Finish finish) {
    const detail::SineEstimate e = detail::EstimateSine(x);
    if (e.valid) {
        const float low = finish(e.value - e.bound);
        if (low == finish(e.value + e.bound)) return low;
    }
    return finish(Sine(x));
}

}  // namespace wave
