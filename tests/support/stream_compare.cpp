// stream_compare PCM RECORDING [MIN_SECONDS]: compares what a sound server's
// monitor recorded with the 16-bit stereo PCM that was played.
//
// The recording is aligned on its first non-zero frame (a monitor may miss the
// first milliseconds of a stream), then walked frame by frame. Wherever the two
// part, the walk looks for the place where the recording takes up the PCM again
// and reports the break: silence inserted, frames dropped or frames changed.
// Prints one summary line; exits 0 when nothing broke and at least MIN_SECONDS
// of the PCM were matched, 1 otherwise, 2 on a usage or file error.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

namespace {

using Frame = std::uint32_t;  // one stereo frame of two 16-bit samples

constexpr long kRate = 44100;
constexpr std::size_t kWindowFrames = 256;      // frames that must agree to call a match
constexpr long kSearchBackFrames = kRate;       // a break may drop up to this much...
constexpr long kSearchAheadFrames = 5 * kRate;  // ...or repeat up to this much
constexpr std::size_t kMaxReportedBreaks = 20;

std::optional<std::vector<Frame>> ReadFrames(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Frame> frames(bytes.size() / sizeof(Frame));
    std::memcpy(frames.data(), bytes.data(), frames.size() * sizeof(Frame));
    return frames;
}

bool WindowsEqual(const std::vector<Frame>& a, std::size_t ai, const std::vector<Frame>& b,
                  std::size_t bi) {
    if (ai + kWindowFrames > a.size() || bi + kWindowFrames > b.size()) return false;
    return std::memcmp(&a[ai], &b[bi], kWindowFrames * sizeof(Frame)) == 0;
}

// The first PCM frame in [from, to) at which the recording's window at `rec_at` starts.
std::optional<std::size_t> FindInPcm(const std::vector<Frame>& pcm, std::size_t from,
                                     std::size_t to, const std::vector<Frame>& rec,
                                     std::size_t rec_at) {
    to = std::min(to, pcm.size());
    for (std::size_t j = from; j < to; ++j) {
        if (pcm[j] == rec[rec_at] && WindowsEqual(rec, rec_at, pcm, j)) return j;
    }
    return std::nullopt;
}

std::size_t FirstNonZero(const std::vector<Frame>& frames, std::size_t from) {
    while (from < frames.size() && frames[from] == 0)
        ++from;
    return from;
}

double Ms(long frames) {
    return 1000.0 * static_cast<double>(frames) / kRate;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: stream_compare PCM RECORDING [MIN_SECONDS]\n");
        return 2;
    }
    const auto pcm = ReadFrames(argv[1]);
    const auto rec = ReadFrames(argv[2]);
    if (!pcm || !rec) {
        std::fprintf(stderr, "stream_compare: cannot read %s\n", !pcm ? argv[1] : argv[2]);
        return 2;
    }
    const double min_seconds = argc == 4 ? std::atof(argv[3]) : 0.0;

    const std::size_t rec_start = FirstNonZero(*rec, 0);
    const std::size_t pcm_first = FirstNonZero(*pcm, 0);
    const auto pcm_start = rec_start < rec->size()
                               ? FindInPcm(*pcm, pcm_first, pcm_first + kRate, *rec, rec_start)
                               : std::nullopt;
    if (!pcm_start) {
        std::printf("the recording (%zu frames) does not start with the PCM\n", rec->size());
        return 1;
    }

    // Walk both streams; j is where the PCM stands when the recording is at i.
    std::size_t i = rec_start, j = *pcm_start, breaks = 0;
    std::size_t last_matched = j;      // the PCM frame after the last one heard in order
    std::size_t last_matched_rec = i;  // and where the recording holds it
    while (i < rec->size() && j < pcm->size()) {
        if ((*rec)[i] == (*pcm)[j]) {
            ++i, ++j;
            last_matched = j;
            last_matched_rec = i;
            continue;
        }
        const std::size_t resume = FirstNonZero(*rec, i);
        if (resume == rec->size()) break;  // the stream stopped: silence to the end
        ++breaks;
        const std::size_t from = j > kSearchBackFrames ? j - kSearchBackFrames : 0;
        const std::optional<std::size_t> again =
            FindInPcm(*pcm, from, j + kSearchAheadFrames, *rec, resume);
        if (breaks <= kMaxReportedBreaks) {
            std::printf("break at %.3f s of the PCM: ", static_cast<double>(j) / kRate);
            if (!again.has_value()) {
                std::printf("the recording does not take up the PCM again\n");
            } else {
                const long silence = static_cast<long>(resume - i);
                const long skipped = static_cast<long>(again.value()) - static_cast<long>(j);
                std::printf("%.1f ms of silence inserted, then %.1f ms of the PCM %s\n",
                            Ms(silence), Ms(skipped < 0 ? -skipped : skipped),
                            skipped < 0 ? "repeated" : "dropped");
            }
        }
        if (!again.has_value()) break;
        i = resume;
        j = again.value();
    }
    // What the recording holds after the PCM ends must be silence.
    std::size_t trailing_noise = 0;
    if (j >= pcm->size()) {
        for (std::size_t k = i; k < rec->size(); ++k)
            trailing_noise += (*rec)[k] != 0;
    }

    const double matched_seconds = static_cast<double>(last_matched - *pcm_start) / kRate;
    std::printf(
        "matched %.3f s of the PCM from %.3f s, up to frame %zu of the recording; %zu break%s; "
        "%zu non-silent frame%s after the PCM's end\n",
        matched_seconds, static_cast<double>(*pcm_start) / kRate, last_matched_rec, breaks,
        breaks == 1 ? "" : "s", trailing_noise, trailing_noise == 1 ? "" : "s");
    return breaks == 0 && trailing_noise == 0 && matched_seconds >= min_seconds ? 0 : 1;
}
