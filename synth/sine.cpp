#include "synth/sine.h"

#include <array>
#include <cmath>

namespace wave {

namespace {

// Double-double arithmetic: an unevaluated sum hi + lo with |lo| <= ulp(hi) / 2.
struct DD {
    double hi, lo;
};

// a + b = s + e exactly.
DD TwoSum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// a + b = s + e exactly, given |a| >= |b|.
DD FastTwoSum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// Veltkamp split of a into two 26-bit halves.
DD Split(double a) {
    const double t = 134217729.0 * a;  // 2^27 + 1
    const double hi = t - (t - a);
    return {hi, a - hi};
}

// a * b = p + e exactly (Dekker), without relying on a fused multiply-add.
DD TwoProduct(double a, double b) {
    const double p = a * b;
    const DD as = Split(a), bs = Split(b);
    const double e = ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo;
    return {p, e};
}

DD Add(DD a, DD b) {
    const DD s = TwoSum(a.hi, b.hi);
    const DD t = TwoSum(a.lo, b.lo);
    DD r = FastTwoSum(s.hi, s.lo + t.hi);
    return FastTwoSum(r.hi, r.lo + t.lo);
}

DD Mul(DD a, DD b) {
    const DD p = TwoProduct(a.hi, b.hi);
    return FastTwoSum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

DD DivByDouble(DD a, double b) {
    const double q1 = a.hi / b;
    const DD p = TwoProduct(q1, b);
    const DD r = Add(a, DD{-p.hi, -p.lo});
    const double q2 = r.hi / b;
    return FastTwoSum(q1, q2);
}

// pi / 2 as four parts; the first three have 33 significant bits, so k times
// each of them is exact for |k| < 2^20.
constexpr double kPiOver2Part1 = 1.57079632673412561417e+00;
constexpr double kPiOver2Part2 = 6.07710050630396597660e-11;
constexpr double kPiOver2Part3 = 2.02226624871116645580e-21;
constexpr double kPiOver2Part4 = 8.47842766036889956997e-32;
constexpr double kTwoOverPi = 6.36619772367581382433e-01;
constexpr double kMaxQuadrant = 524288.0;  // 2^19
// Below this, x (1 - x^2/6) rounds to x itself, signed zeros included.
constexpr double kTiny = 0x1p-26;

// x = k pi/2 + r with |r| <= about pi/4; r as a double-double.
struct Reduced {
    long long quadrant;
    DD r;
};

// The integer k nearest x * 2/pi (an off-by-one near a half leaves |r| just
// above pi/4, which the series still cover).
double NearestQuadrant(double x) {
    const double q = x * kTwoOverPi;
    return static_cast<double>(static_cast<long long>(q < 0 ? q - 0.5 : q + 0.5));
}

Reduced Reduce(double x) {
    const double k = NearestQuadrant(x);
    DD r = TwoSum(x - k * kPiOver2Part1, -k * kPiOver2Part2);  // x - k * part1 is exact
    r = Add(r, DD{-k * kPiOver2Part3, 0.0});
    r = Add(r, [&] {
        const DD p = TwoProduct(k, kPiOver2Part4);
        return DD{-p.hi, -p.lo};
    }());
    return {static_cast<long long>(k), r};
}

// 1 / n! as double-doubles, n = 0 .. 31.
const std::array<DD, 32>& InverseFactorials() {
    static const std::array<DD, 32> table = [] {
        std::array<DD, 32> t{};
        t[0] = {1.0, 0.0};
        for (int n = 1; n < 32; ++n)
            t[n] = DivByDouble(t[n - 1], n);
        return t;
    }();
    return table;
}

// sin r = sum (-1)^j r^(2j+1) / (2j+1)!, cos r = sum (-1)^j r^(2j) / (2j)!, for
// |r| <= pi/4, in double-double up to j = 14: the truncation error is below 2^-110.
DD SineOrCosineDD(DD r, bool cosine) {
    const auto& inv = InverseFactorials();
    const int offset = cosine ? 0 : 1;
    auto coefficient = [&](int j) {
        const DD c = inv[2 * j + offset];
        return j % 2 == 0 ? c : DD{-c.hi, -c.lo};
    };
    const DD z = Mul(r, r);
    DD sum = coefficient(14);
    for (int j = 13; j >= 0; --j)
        sum = Add(Mul(sum, z), coefficient(j));
    return cosine ? sum : Mul(sum, r);
}

}  // namespace

double Sine(double x) {
    if (!(std::fabs(x) < kMaxQuadrant)) return std::sin(x);
    if (std::fabs(x) < kTiny) return x;
    const Reduced red = Reduce(x);
    const bool cosine = (red.quadrant & 1) != 0;
    const DD v = SineOrCosineDD(red.r, cosine);
    const double result = v.hi + v.lo;
    return (red.quadrant & 2) != 0 ? -result : result;
}

namespace detail {

// Taylor coefficients of sin r = r + r^3 S(r^2) and cos r = 1 - r^2/2 + r^4 C(r^2).
constexpr double kS[] = {-1.0 / 6,
                         1.0 / 120,
                         -1.0 / 5040,
                         1.0 / 362880,
                         -1.0 / 39916800,
                         1.0 / 6227020800,
                         -1.0 / 1307674368000,
                         1.0 / 355687428096000,
                         -1.0 / 121645100408832000.0};
constexpr double kC[] = {1.0 / 24,
                         -1.0 / 720,
                         1.0 / 40320,
                         -1.0 / 3628800,
                         1.0 / 479001600,
                         -1.0 / 87178291200,
                         1.0 / 20922789888000,
                         -1.0 / 6402373705728000,
                         1.0 / 2432902008176640000.0};

template <std::size_t N>
double Horner(const double (&c)[N], double z) {
    double sum = c[N - 1];
    for (std::size_t i = N - 1; i-- > 0;)
        sum = sum * z + c[i];
    return sum;
}

// A plain double evaluation, within a few units in the last place: the
// reduction keeps a tail of r, and the polynomials run to 2^-60 or better.
SineEstimate EstimateSine(double x) {
    if (!(std::fabs(x) < kMaxQuadrant)) return {0.0, 0.0, false};
    if (std::fabs(x) < kTiny) return {x, 0.0, true};
    const double k = NearestQuadrant(x);
    const double a = x - k * kPiOver2Part1;  // exact
    const double b = k * kPiOver2Part2;      // exact
    const double r0 = a - b;
    const double tail = ((a - r0) - b) - k * kPiOver2Part3;
    const double r = r0 + tail;
    const double r_lo = (r0 - r) + tail;
    // Close to a multiple of pi/2 the reduced argument loses relative precision.
    if (k != 0 && std::fabs(r) < 0x1p-20) return {0.0, 0.0, false};

    const double z = r * r;
    double y;
    if ((static_cast<long long>(k) & 1) == 0) {
        y = r + (r_lo * (1.0 - 0.5 * z) + r * z * Horner(kS, z));
    } else {
        const double half_z = 0.5 * z;
        const double w = 1.0 - half_z;
        y = w + (((1.0 - w) - half_z) + (z * z * Horner(kC, z) - r * r_lo));
    }
    if ((static_cast<long long>(k) & 2) != 0) y = -y;
    return {y, std::fabs(y) * 0x1p-49 + 0x1p-1060, true};
}

}  // namespace detail

}  // namespace wave
