// wave-render: renders the song and writes it to an audio file instead of playing it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "app/song.h"
#include "platform/memory.h"
#include "platform/terminal.h"
#include "synth/buffers.h"
#include "tools/wave_render/encode.h"
#include "tools/wave_render/output.h"

namespace {

using namespace wave;
using namespace wave::render;

constexpr int kUsageError = 2;
constexpr int kWriteError = 1;

constexpr const char* kUsage =
    "usage: wave-render [options] OUTPUT\n"
    "\n"
    "Renders the song and writes it to OUTPUT; '-' is standard output.\n"
    "The format comes from OUTPUT's extension: wav (16-bit PCM, the bytes the player\n"
    "plays), flac (lossless), ogg (Vorbis), opus (resampled to 48 kHz) and mp3, where\n"
    "the installed libsndfile has them. Standard output, FIFOs and devices get WAV\n"
    "unless their name has an extension or --format is given.\n"
    "\n"
    "options:\n"
    "  --format NAME  write NAME whatever the extension is\n"
    "  --float        write the 32-bit float mix from before the 16-bit conversion\n"
    "                 (wav, ogg, opus, mp3)\n"
    "  --quality Q    for ogg, opus and mp3: 0 (smallest) to 10 (best), default 5:\n"
    "                 Vorbis and Opus near 160 kbit/s, MP3 at VBR quality 2\n"
    "  --full         keep the whole 180-second buffer; by default the file ends after\n"
    "                 the last frame that is not silent\n"
    "  --threads N    render on N threads, 1 to 256 (default: one per core); the\n"
    "                 output is the same for every N\n"
    "  -q, --quiet    show no progress, and no closing line saying what was written\n"
    "  -h, --help     show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Exit status: 0 on success, 1 when writing fails, 2 for a usage error (audio\n"
    "to a terminal included).\n";

struct Options {
    std::string output;
    std::string format;  // empty: from the extension
    bool float_samples = false;
    bool full = false;
    bool quiet = false;
    int threads = 0;      // 0: one per core
    double quality = -1;  // below 0: not given, kDefaultQuality
};

[[noreturn]] void UsageError(const std::string& message) {
    std::fprintf(stderr, "wave-render: %s\nTry 'wave-render --help'.\n", message.c_str());
    std::exit(kUsageError);
}

Options ParseArguments(int argc, char** argv) {
    Options options;
    bool positional_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (positional_only || arg == "-" || arg.empty() || arg[0] != '-') {
            if (!options.output.empty()) UsageError("more than one OUTPUT given");
            options.output = arg;
        } else if (arg == "--") {
            positional_only = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--version") {
            std::printf("wave-render %s\n", WAVE_VERSION);
            std::exit(0);
        } else if (arg == "--float") {
            options.float_samples = true;
        } else if (arg == "--full") {
            options.full = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else if (arg == "--threads" || arg.starts_with("--threads=")) {
            std::string value;
            if (arg == "--threads") {
                if (i + 1 >= argc) UsageError("--threads needs a number");
                value = argv[++i];
            } else {
                value = arg.substr(std::strlen("--threads="));
            }
            char* end = nullptr;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != 0 || n < 1 || n > 256) {
                UsageError("--threads takes a number from 1 to 256, not '" + value + "'");
            }
            options.threads = static_cast<int>(n);
        } else if (arg == "--quality" || arg.starts_with("--quality=")) {
            std::string value;
            if (arg == "--quality") {
                if (i + 1 >= argc) UsageError("--quality needs a number");
                value = argv[++i];
            } else {
                value = arg.substr(std::strlen("--quality="));
            }
            char* end = nullptr;
            const double q = std::strtod(value.c_str(), &end);
            // The comparisons are false for NaN.
            if (value.empty() || *end != 0 || !(q >= 0 && q <= kMaxQuality)) {
                UsageError("--quality takes a number from 0 to 10, not '" + value + "'");
            }
            options.quality = q;
        } else if (arg == "--format" || arg.starts_with("--format=")) {
            if (arg == "--format") {
                if (i + 1 >= argc) UsageError("--format needs a NAME");
                options.format = argv[++i];
            } else {
                options.format = arg.substr(std::strlen("--format="));
            }
        } else {
            UsageError("unknown option '" + std::string(arg) + "'");
        }
    }
    if (options.output.empty()) UsageError("no OUTPUT given");
    return options;
}

std::string Extension(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return path.substr(dot + 1);
}

// Standard output, a FIFO or a device: written as a stream, WAV unless told otherwise.
bool IsStream(const std::string& path) {
    struct stat st {};
    return path == "-" ||
           (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode));
}

AudioFormat ChooseFormat(const Options& options) {
    std::string name = options.format;
    if (name.empty()) name = Extension(options.output);
    if (name.empty() && IsStream(options.output)) name = "wav";
    if (name.empty()) {
        UsageError("cannot tell the format of '" + options.output +
                   "': give it an extension or use --format (supported: " + SupportedFormatList() +
                   ")");
    }
    const std::optional<AudioFormat> format = FindFormat(name);
    if (!format || !Supported(*format, false)) {
        const std::string problem = format ? EncoderProblem() : "";
        UsageError("unsupported format '" + name + "' (supported: " + SupportedFormatList() +
                   (problem.empty() ? "" : "; " + problem) + ")");
    }
    if (!Supported(*format, options.float_samples)) {
        UsageError("--float cannot be written as " + std::string(format->name));
    }
    if (options.quality >= 0 && format->lossless) {
        UsageError("--quality is for the lossy formats (ogg, opus, mp3), not " +
                   std::string(format->name));
    }
    return *format;
}

// A one-line progress bar on standard error, redrawn in place. It fits the
// terminal's width as it is at each redraw, and is only a percentage when the
// terminal is too narrow for a bar.
class Progress {
public:
    explicit Progress(bool enabled) : enabled_(enabled), start_(Clock::now()) {}

    void Draw(const char* stage, double fraction, const std::string& detail) {
        if (!enabled_) return;
        int columns = platform::TerminalColumns(STDERR_FILENO);
        if (columns <= 0) columns = 80;
        // The last column stays empty: writing into it wraps on some terminals.
        const int room = columns - 1;
        // "stage     [bar] detail        123.4 s": everything but the bar.
        constexpr int kFixed = 9 + 2 + 2 + 13 + 1 + 8;
        constexpr int kMinBar = 10;
        constexpr int kMaxBar = 50;
        const int percent = static_cast<int>(fraction * 100 + 0.5);
        if (room >= kFixed + kMinBar) {
            const int width = std::min(room - kFixed, kMaxBar);
            const int filled = static_cast<int>(fraction * width + 0.5);
            std::string bar(static_cast<std::size_t>(filled), '#');
            bar.resize(static_cast<std::size_t>(width), '.');
            std::fprintf(stderr, "\r%-9s [%s] %-13s %6.1f s\x1b[K", stage, bar.c_str(),
                         detail.c_str(), Seconds());
        } else if (room >= 14) {
            std::fprintf(stderr, "\r%-9s %3d%%\x1b[K", stage, percent);
        } else {
            std::fprintf(stderr, "\r%3d%%\x1b[K", percent);
        }
        std::fflush(stderr);
    }
    void Finish() {
        if (enabled_) std::fputc('\n', stderr);
    }
    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
    using Clock = std::chrono::steady_clock;
    bool enabled_;
    Clock::time_point start_;
};

// Frames up to and including the last one with a sample that is not zero.
template <typename Sample>
std::size_t AudibleFrames(const Sample* samples, std::size_t frames) {
    while (frames > 0 && samples[2 * frames - 2] == 0 && samples[2 * frames - 1] == 0)
        --frames;
    return frames;
}

// A size in bytes as people read it: "14.5 MB", "620 kB", "44 bytes".
std::string Size(std::size_t bytes) {
    char text[32];
    if (bytes >= 1000 * 1000) {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    } else if (bytes >= 1000) {
        std::snprintf(text, sizeof text, "%.0f kB", static_cast<double>(bytes) / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%zu bytes", bytes);
    }
    return text;
}

void OnStopSignal(int sig) {
    RemovePartialOutput();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseArguments(argc, argv);
    const AudioFormat format = ChooseFormat(options);
    if (IsTerminal(options.output)) {
        std::fprintf(stderr,
                     "wave-render: refusing to write audio to a terminal; redirect it (for "
                     "example '| aplay') or name a file\n");
        return kUsageError;
    }

    // Failed writes are reported, never fatal signals: a reader that goes away or
    // a file size limit must not leave a half-written temporary file behind.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGHUP, OnStopSignal);

    Progress bar(!options.quiet && isatty(STDERR_FILENO) == 1);
    SetReportLine([](const char*) {});  // the render's report is not printed
    // The buffers are static storage, zero at the start: they need no clearing.
    platform::AdviseLargePages(TrackBuffer, kBufferBytes);
    platform::AdviseLargePages(MixBuffer, kBufferBytes);
    const int threads = options.threads > 0
                            ? options.threads
                            : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    const SongProgressFn progress = [&](const SongProgress& p) {
        bar.Draw("rendering", p.fraction,
                 std::to_string(p.tracks_done) + "/" + std::to_string(p.tracks) + " tracks");
    };
    // The 16-bit samples from here on are zero; the search for the last frame
    // that is not silent starts here, without reading memory it never wrote.
    std::size_t pcm_samples = SND_BUF_LEN;
    if (options.float_samples) {
        RenderSong(MixUse::kFloats, threads, FastPathIsa::kBest, progress);
    } else {
        pcm_samples = RenderSongToPcm16(threads, FastPathIsa::kBest, progress).samples;
    }
    SetReportLine(nullptr);

    constexpr std::size_t kFrames = SND_BUF_LEN / 2;
    Samples samples;
    if (options.float_samples) {
        const std::size_t frames = options.full ? kFrames : AudibleFrames(MixBuffer, kFrames);
        samples.float32 = {MixBuffer, 2 * frames};
    } else {
        const auto* pcm = reinterpret_cast<const std::int16_t*>(MixPcmBytes());
        const std::size_t frames =
            options.full ? kFrames : AudibleFrames(pcm, std::min(kFrames, (pcm_samples + 1) / 2));
        samples.pcm16 = {pcm, 2 * frames};
    }

    EncodedFile file;
    std::string error;
    const std::string name(format.name);
    const Tags tags{"Wave", std::string("wave-render ") + WAVE_VERSION};
    const double quality = options.quality >= 0 ? options.quality : kDefaultQuality;
    // A WAV file is only given a header; the other formats take seconds (Opus the
    // longest, being resampled first), and the bar goes on through them.
    if (name != "wav") bar.Draw("encoding", 0, name);
    const bool encoded = Encode(format, samples, quality, tags, file, error,
                                [&](double fraction) { bar.Draw("encoding", fraction, name); });
    if (!encoded) {
        bar.Finish();
        std::fprintf(stderr, "wave-render: cannot encode %s: %s\n", name.c_str(), error.c_str());
        return kWriteError;
    }
    const std::size_t bytes = file.head.size() + file.tail.size();
    // A reader on a pipe may take its time (one that plays takes the song's length).
    bar.Draw("writing", 1, Size(bytes));
    const bool written = WriteOutput(options.output, file, error);
    bar.Finish();
    if (!written) {
        std::fprintf(stderr, "wave-render: %s\n", error.c_str());
        return kWriteError;
    }
    if (!options.quiet) {
        const double seconds = static_cast<double>(samples.frames()) / SND_RATE;
        std::fprintf(stderr, "wave-render: wrote %s (%s, %.1f s, %s)\n",
                     options.output == "-" ? "standard output" : options.output.c_str(),
                     name.c_str(), seconds, Size(bytes).c_str());
    }
    return 0;
}
