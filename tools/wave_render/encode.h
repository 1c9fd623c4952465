// Encodes the rendered song into an audio container in memory: WAV here, the
// other containers with libsndfile (and libsoxr where a format needs another
// sample rate), which are loaded only when a format needs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace wave::render {

struct AudioFormat {
    std::string_view name;  // also the file extension
    int container;          // SF_FORMAT_* major format
    int pcm16;              // subtype for 16-bit samples
    int float32;            // subtype for float samples, 0 when the container has none
    bool lossless;          // lossless formats take the 16-bit samples as they are;
                            // lossy encoders are fed floats (sample / 32768)
    int rate;               // frames per second written; other than the song's is resampled
    double middle_setting;  // lossy: the encoder's setting (0 to 1) at --quality 5
};

// --quality: 0 (smallest) to 10 (best), for the lossy formats.
constexpr double kDefaultQuality = 5;
constexpr double kMaxQuality = 10;

// Every format this program knows, whether or not the installed libsndfile has it.
std::span<const AudioFormat> KnownFormats();
// `text` with its ASCII capitals made small, for names matched without case.
std::string Lower(std::string_view text);
// The format named `name` (case-insensitive), if it is known.
std::optional<AudioFormat> FindFormat(std::string_view name);
// Whether the installed libsndfile can write `format` at its rate in stereo.
bool Supported(const AudioFormat& format, bool float_samples);
// The names of the supported formats, comma-separated.
std::string SupportedFormatList();
// Why no format but WAV can be written, when the encoder library cannot be
// loaded; otherwise empty.
std::string EncoderProblem();

// Interleaved stereo samples to encode: exactly one of the two spans is set.
struct Samples {
    std::span<const std::int16_t> pcm16;
    std::span<const float> float32;
    std::size_t frames() const { return (pcm16.empty() ? float32.size() : pcm16.size()) / 2; }
};

// Called with the fraction encoded so far, 0 to 1.
using EncodeProgress = std::function<void(double)>;

// What a container that has tags says about the file.
struct Tags {
    std::string title;
    std::string software;
};

// An encoded file: `head`, then `tail`. A WAV file's tail is its samples just
// where they lie, so that they are written without being copied; it refers to
// the Samples that were encoded. Other files are all head.
struct EncodedFile {
    std::vector<unsigned char> head;
    std::span<const unsigned char> tail;
};

// The encoder's setting, 0 to 1, for `quality` (0 to kMaxQuality) on `format`:
// 0 and 1 at the ends, the format's middle_setting at kDefaultQuality, and in
// a straight line between.
double EncoderSetting(const AudioFormat& format, double quality);

// Encodes `samples` (44,100 Hz) as `format`, a lossy one at `quality` (0 to
// kMaxQuality), tagged where the container has tags. On failure returns false
// and sets `error`.
bool Encode(const AudioFormat& format, const Samples& samples, double quality, const Tags& tags,
            EncodedFile& out, std::string& error, const EncodeProgress& progress = {});

}  // namespace wave::render
