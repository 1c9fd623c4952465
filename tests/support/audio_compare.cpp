// Compares a decoded lossy file with the original, both as raw interleaved
// stereo 32-bit floats at one rate: finds the lag (within +-MAX_LAG frames) at
// which they line up best, then reports their correlation there and both peaks.
//
// usage: audio_compare ORIGINAL.f32 DECODED.f32 [MAX_LAG]
// Exit status: 0 when the correlation is at least 0.99 and the peaks are within
// 10 % of each other, 1 when not, 2 when a file cannot be read.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace {

bool ReadFloats(const char* path, std::vector<float>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const auto bytes = static_cast<std::size_t>(in.tellg());
    in.seekg(0);
    out.resize(bytes / sizeof(float));
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size() * 4));
    return static_cast<bool>(in);
}

std::vector<float> Mono(const std::vector<float>& stereo) {
    std::vector<float> mono(stereo.size() / 2);
    for (std::size_t i = 0; i < mono.size(); ++i)
        mono[i] = stereo[2 * i] + stereo[2 * i + 1];
    return mono;
}

// Pearson correlation of a[i] and b[i + lag] over every i where both exist.
double Correlation(const std::vector<float>& a, const std::vector<float>& b, long lag,
                   std::size_t start = 0, std::size_t length = ~std::size_t{0}) {
    const long first = std::max<long>(static_cast<long>(start), -lag);
    const long last =
        std::min<long>({static_cast<long>(a.size()), static_cast<long>(b.size()) - lag,
                        static_cast<long>(std::min(a.size(), start + length))});
    if (last - first < 2) return 0;
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (long i = first; i < last; ++i) {
        const double x = a[static_cast<std::size_t>(i)];
        const double y = b[static_cast<std::size_t>(i + lag)];
        sa += x, sb += y, saa += x * x, sbb += y * y, sab += x * y;
    }
    const double n = static_cast<double>(last - first);
    const double cov = sab - sa * sb / n;
    const double var = (saa - sa * sa / n) * (sbb - sb * sb / n);
    return var > 0 ? cov / std::sqrt(var) : 0;
}

float Peak(const std::vector<float>& samples) {
    float peak = 0;
    for (const float s : samples)
        peak = std::max(peak, std::fabs(s));
    return peak;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: audio_compare ORIGINAL.f32 DECODED.f32 [MAX_LAG]\n");
        return 2;
    }
    std::vector<float> original, decoded;
    if (!ReadFloats(argv[1], original) || !ReadFloats(argv[2], decoded) || original.size() < 2 ||
        decoded.size() < 2) {
        std::fprintf(stderr, "audio_compare: cannot read the samples\n");
        return 2;
    }
    const long max_lag = argc == 4 ? std::atol(argv[3]) : 4000;

    // The lag is found on a few seconds of the mono mix from where the music is busy.
    const std::vector<float> a = Mono(original), b = Mono(decoded);
    const std::size_t window = 3 * 44100;
    const std::size_t start = std::min(a.size() / 3, a.size() - std::min(a.size(), window));
    long best_lag = 0;
    double best = -2;
    for (long lag = -max_lag; lag <= max_lag; ++lag) {
        const double c = Correlation(a, b, lag, start, window);
        if (c > best) best = c, best_lag = lag;
    }
    const double correlation = Correlation(original, decoded, 2 * best_lag);
    const float peak_original = Peak(original), peak_decoded = Peak(decoded);
    const double peak_ratio = peak_original > 0 ? peak_decoded / peak_original : 0;
    std::printf("correlation %.4f at a lag of %ld frames; peak %.3f against %.3f (ratio %.3f)\n",
                correlation, best_lag, peak_decoded, peak_original, peak_ratio);
    return correlation >= 0.99 && std::fabs(peak_ratio - 1) <= 0.1 ? 0 : 1;
}
