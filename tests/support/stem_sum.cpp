// stem_sum BOUND s16|f32 MIX STEM...: adds the stems (raw interleaved samples,
// little-endian, a file shorter than another padded with zeros) in double and
// prints the largest difference from the mix. Exits 1 when it exceeds BOUND
// (in sample units: 1 is one 16-bit step for s16, full scale for f32).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<double> Read(const char* path, bool floats) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<double> samples;
    if (floats) {
        samples.resize(bytes.size() / 4);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            float f;
            std::memcpy(&f, bytes.data() + 4 * i, 4);
            samples[i] = f;
        }
    } else {
        samples.resize(bytes.size() / 2);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            std::int16_t s;
            std::memcpy(&s, bytes.data() + 2 * i, 2);
            samples[i] = s;
        }
    }
    if (!in && !in.eof()) {
        std::fprintf(stderr, "stem_sum: cannot read %s\n", path);
        std::exit(2);
    }
    return samples;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: stem_sum BOUND s16|f32 MIX STEM...\n");
        return 2;
    }
    const double bound = std::atof(argv[1]);
    const bool floats = std::string(argv[2]) == "f32";
    std::vector<double> sum = Read(argv[3], floats);
    for (double& s : sum)
        s = -s;  // the mix, subtracted
    for (int k = 4; k < argc; ++k) {
        const std::vector<double> stem = Read(argv[k], floats);
        if (stem.size() > sum.size()) sum.resize(stem.size(), 0.0);
        for (std::size_t i = 0; i < stem.size(); ++i)
            sum[i] += stem[i];
    }
    double worst = 0;
    std::size_t at = 0;
    for (std::size_t i = 0; i < sum.size(); ++i) {
        if (std::fabs(sum[i]) > worst) {
            worst = std::fabs(sum[i]);
            at = i;
        }
    }
    std::printf(
        "largest difference of the stems' sum from the mix: %.3g at sample %zu (bound %.3g)\n",
        worst, at, bound);
    return worst <= bound ? 0 : 1;
}
