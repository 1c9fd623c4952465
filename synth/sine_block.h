// Sines over arrays, four lanes at a time, with the results of SineThen: each
// float equals the one that the correctly rounded double sine gives.
#pragma once

namespace wave {

// out[i] = float(sin(x[i]))
void SineToFloat(const double* x, float* out, int n);

// out[i] = float(minuend[i] - sin(x[i])), the sine rounded to double first.
void FloatMinusSine(const float* minuend, const double* x, float* out, int n);

}  // namespace wave
