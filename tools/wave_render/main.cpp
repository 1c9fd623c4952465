// wave-render: renders the song and writes it to an audio file instead of playing it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "app/score.h"
#include "app/song.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "platform/room.h"
#include "platform/terminal.h"
#include "synth/buffers.h"
#include "tools/wave_render/encode.h"
#include "tools/wave_render/output.h"
#include "tools/wave_render/score.h"
#include "tools/wave_render/stems.h"

namespace {

using namespace wave;
using namespace wave::render;

constexpr int kUsageError = 2;
constexpr int kWriteError = 1;

constexpr const char* kUsage =
    "usage: wave-render [options] OUTPUT\n"
    "       wave-render [options] --stems DIR\n"
    "\n"
    "Renders the song and writes it to OUTPUT; '-' is standard output.\n"
    "The format comes from OUTPUT's extension: wav (16-bit PCM, the bytes the player\n"
    "plays), flac (lossless), ogg (Vorbis), opus (resampled to 48 kHz) and mp3, where\n"
    "the installed libsndfile has them. Standard output, FIFOs and devices get WAV\n"
    "unless their name has an extension or --format is given. OUTPUT ending in .mid\n"
    "(or --format midi) is the score instead: a Standard MIDI File of the notes.\n"
    "\n"
    "options:\n"
    "  --format NAME  write NAME whatever the extension is\n"
    "  --float        write the 32-bit float mix from before the 16-bit conversion\n"
    "                 (wav, ogg, opus, mp3)\n"
    "  --quality Q    for ogg, opus and mp3: 0 (smallest) to 10 (best), default 5:\n"
    "                 Vorbis and Opus near 160 kbit/s, MP3 at VBR quality 2\n"
    "  --stems DIR    write each of the seven tracks alone into DIR (made if missing),\n"
    "                 as DIR/1-pulse.wav and so on, in the --format given (default\n"
    "                 wav); together they sum to the song\n"
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
    std::string stems;   // a folder for the stems, or empty
    bool float_samples = false;
    bool full = false;
    bool quiet = false;
    int threads = 0;      // 0: one per core
    double quality = -1;  // below 0: not given, kDefaultQuality
};

// A message keeps to its one line: a newline or another control character in a
// name or a value the user gave is shown escaped, as \n or \x1b.
std::string Printable(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

// "wave-render: MESSAGE" on standard error, on one line.
void Say(const std::string& message) {
    std::fprintf(stderr, "wave-render: %s\n", Printable(message).c_str());
}

[[noreturn]] void UsageError(const std::string& message) {
    Say(message);
    std::fputs("Try 'wave-render --help'.\n", stderr);
    std::exit(kUsageError);
}

// A number written plainly: decimal digits with no sign, space or leading zero
// (but 0 itself), and with `fraction`, a point and more digits. -1 for anything
// else.
double PlainNumber(const std::string& text, bool fraction) {
    const std::size_t point = fraction ? text.find('.') : std::string::npos;
    const std::string whole = text.substr(0, point);
    const auto digits = [](const std::string& part) {
        return !part.empty() && part.size() <= 9 &&
               std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digits(whole) || (whole.size() > 1 && whole[0] == '0')) return -1;
    if (point != std::string::npos && !digits(text.substr(point + 1))) return -1;
    return std::strtod(text.c_str(), nullptr);
}

// The value of option `name` when `arg` is it: "--name VALUE" (taking the next
// argument) or "--name=VALUE"; nothing when `arg` is another option.
std::optional<std::string> ValueOf(std::string_view arg, std::string_view name, const char* what,
                                   int argc, char** argv, int& i) {
    if (arg == name) {
        if (i + 1 >= argc) UsageError(std::string(name) + " needs " + what);
        return std::string(argv[++i]);
    }
    if (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=') {
        return std::string(arg.substr(name.size() + 1));
    }
    return std::nullopt;
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
        } else if (const auto value = ValueOf(arg, "--threads", "a number", argc, argv, i)) {
            const double n = PlainNumber(*value, false);
            if (n < 1 || n > 256) {
                UsageError("--threads takes a number from 1 to 256, not '" + *value + "'");
            }
            options.threads = static_cast<int>(n);
        } else if (const auto value = ValueOf(arg, "--quality", "a number", argc, argv, i)) {
            const double q = PlainNumber(*value, true);
            if (!(q >= 0 && q <= kMaxQuality)) {
                UsageError("--quality takes a number from 0 to 10, not '" + *value + "'");
            }
            options.quality = q;
        } else if (const auto value = ValueOf(arg, "--stems", "a DIR", argc, argv, i)) {
            if (value->empty()) UsageError("--stems needs a DIR");
            options.stems = *value;
        } else if (const auto value = ValueOf(arg, "--format", "a NAME", argc, argv, i)) {
            if (value->empty()) UsageError("--format needs a NAME");
            options.format = *value;
        } else {
            UsageError("unknown option '" + std::string(arg) + "'");
        }
    }
    if (!options.stems.empty()) {
        if (!options.output.empty()) UsageError("--stems writes into its DIR: give no OUTPUT");
        if (options.format.empty()) options.format = "wav";
        if (IsScoreFormat(options.format)) UsageError("the score has no stems");
    } else if (options.output.empty()) {
        UsageError("no OUTPUT given");
    }
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
    explicit Progress(bool enabled) : enabled_(enabled), start_(Clock::now()) {
        const char* term = std::getenv("TERM");
        plain_ = term == nullptr || std::strcmp(term, "dumb") == 0;
    }

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
        char line[512];
        if (room >= kFixed + kMinBar) {
            const int width = std::min(room - kFixed, kMaxBar);
            const int filled = static_cast<int>(fraction * width + 0.5);
            std::string bar(static_cast<std::size_t>(filled), '#');
            bar.resize(static_cast<std::size_t>(width), '.');
            std::snprintf(line, sizeof line, "%-9s [%s] %-13s %6.1f s", stage, bar.c_str(),
                          detail.c_str(), Seconds());
        } else if (room >= 14) {
            std::snprintf(line, sizeof line, "%-9s %3d%%", stage, percent);
        } else {
            std::snprintf(line, sizeof line, "%3d%%", percent);
        }
        // A terminal that knows no escapes (TERM=dumb) has the rest of the last
        // line overwritten with spaces instead.
        const int length = static_cast<int>(std::strlen(line));
        if (plain_) {
            std::fprintf(stderr, "\r%s%*s", line, std::max(0, drawn_ - length), "");
        } else {
            std::fprintf(stderr, "\r%s\x1b[K", line);
        }
        drawn_ = length;
        std::fflush(stderr);
    }
    void Finish() {
        if (enabled_) std::fputc('\n', stderr);
    }
    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
    using Clock = std::chrono::steady_clock;
    bool enabled_;
    bool plain_ = false;  // no escape sequences
    int drawn_ = 0;       // the length of the line last drawn
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

// A render, encoded.
struct Rendered {
    EncodedFile file;
    double seconds = 0;  // of sound in the file
};

// Renders the song, or with `solo` one arrangement row's stem, and encodes it as
// `format`; the WAV's samples stay in MixBuffer until the next render. Returns 0,
// or the exit status after saying why it failed.
int RenderAndEncode(const Options& options, const AudioFormat& format, int threads, int solo,
                    const std::string& stem, Progress& bar, Rendered& out) {
    const SongProgressFn progress = [&](const SongProgress& p) {
        bar.Draw("rendering", p.fraction,
                 stem.empty()
                     ? std::to_string(p.tracks_done) + "/" + std::to_string(p.tracks) + " tracks"
                     : stem);
    };
    // The 16-bit samples from here on are zero; the search for the last frame
    // that is not silent starts here, without reading memory it never wrote.
    std::size_t pcm_samples = SND_BUF_LEN;
    try {
        if (options.float_samples) {
            RenderSong(MixUse::kFloats, threads, FastPathIsa::kBest, progress, solo);
        } else {
            pcm_samples = RenderSongToPcm16(threads, FastPathIsa::kBest, progress, solo).samples;
        }
    } catch (const std::bad_alloc&) {
        bar.Finish();
        std::fputs("wave-render: cannot render: out of memory\n", stderr);
        return kWriteError;
    }

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
    out.seconds = static_cast<double>(samples.frames()) / SND_RATE;

    std::string error;
    const std::string name(format.name);
    const Tags tags{"Wave", std::string("wave-render ") + WAVE_VERSION};
    const double quality = options.quality >= 0 ? options.quality : kDefaultQuality;
    // A WAV file is only given a header; the other formats take seconds (Opus the
    // longest, being resampled first), and the bar goes on through them.
    const std::string detail = stem.empty() ? name : stem;
    if (name != "wav") bar.Draw("encoding", 0, detail);
    const bool encoded = Encode(format, samples, quality, tags, out.file, error,
                                [&](double fraction) { bar.Draw("encoding", fraction, detail); });
    if (!encoded) {
        bar.Finish();
        Say("cannot encode " + name + ": " + error);
        return kWriteError;
    }
    return 0;
}

// Writes one stem per arrangement row into the --stems folder: each row alone,
// the others silent, through the same passes, echoes and scaling as in the mix.
// The set is put in place only once every stem is written.
int WriteStems(const Options& options, const AudioFormat& format, int threads, Progress& bar) {
    StemFolder folder;
    std::string error;
    if (!folder.Open(options.stems, error)) {
        Say(error);
        return kWriteError;
    }
    const int rows = static_cast<int>(kArrangement.size());
    std::size_t bytes = 0;
    double seconds = 0;
    for (int row = 0; row < rows; ++row) {
        // Each stem starts as the whole song does: zero buffers, the noise at its start.
        if (row > 0) {
            platform::ZeroPages(TrackBuffer, kBufferBytes);
            platform::ZeroPages(MixBuffer, kBufferBytes);
        }
        ResetNoiseRand();
        const std::string stem = "stem " + std::to_string(row + 1) + "/" + std::to_string(rows);
        Rendered rendered;
        if (const int status = RenderAndEncode(options, format, threads, row, stem, bar, rendered);
            status != 0) {
            return status;
        }
        const std::string name = std::to_string(row + 1) + "-" +
                                 std::string(VoiceName(kArrangement[row].voice)) + "." +
                                 std::string(format.name);
        bar.Draw("writing", 1, stem);
        if (!folder.Add(name, rendered.file, error)) {
            bar.Finish();
            Say(error);
            return kWriteError;
        }
        bytes += rendered.file.head.size() + rendered.file.tail.size();
        seconds = std::max(seconds, rendered.seconds);
    }
    const bool committed = folder.Commit(error);
    bar.Finish();
    if (!committed) {
        Say(error);
        return kWriteError;
    }
    if (!options.quiet) {
        char summary[64];
        std::snprintf(summary, sizeof summary, " (%s, up to %.1f s, %s)",
                      std::string(format.name).c_str(), seconds, Size(bytes).c_str());
        Say("wrote " + std::to_string(rows) + " stems into " + options.stems + summary);
    }
    return 0;
}

void OnStopSignal(int sig) {
    RemovePartialOutput();
    RemovePartialStems();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

// Writes the score instead of the sound: no render is needed.
int WriteScore(const Options& options) {
    if (options.float_samples) UsageError("--float cannot be written as a MIDI score");
    EncodedFile file;
    std::string error;
    if (!EncodeScore(file, error)) {
        Say("cannot write the score: " + error);
        return kWriteError;
    }
    if (!WriteOutput(options.output, file, error)) {
        Say(error);
        return kWriteError;
    }
    return 0;
}

int main(int argc, char** argv) {
    // Before anything opens a file: a closed standard descriptor must not become
    // the output file's and take messages meant for a terminal.
    const unsigned closed = wave::platform::OpenClosedStandardDescriptors();
    if (!platform::HasRoomToStart()) {
        std::fputs("wave-render: out of memory\n", stderr);
        return kWriteError;
    }
    const Options options = ParseArguments(argc, argv);
    if (options.output == "-" && (closed & (1u << STDOUT_FILENO)) != 0) {
        std::fputs("wave-render: cannot write standard output: it is closed\n", stderr);
        return kWriteError;
    }
    if (options.stems.empty() && IsTerminal(options.output)) {
        std::fprintf(stderr,
                     "wave-render: refusing to write audio to a terminal; redirect it (for "
                     "example '| aplay') or name a file\n");
        return kUsageError;
    }
    if (IsScoreFormat(options.format.empty() ? Extension(options.output) : options.format)) {
        return WriteScore(options);
    }
    const AudioFormat format = ChooseFormat(options);
    if (std::string error; options.stems.empty() && !CheckOutput(options.output, error)) {
        Say(error);
        return kWriteError;
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
    if (!options.stems.empty()) return WriteStems(options, format, threads, bar);

    Rendered rendered;
    if (const int status = RenderAndEncode(options, format, threads, kEveryRow, "", bar, rendered);
        status != 0) {
        return status;
    }
    const EncodedFile& file = rendered.file;
    const std::string name(format.name);
    std::string error;
    const std::size_t bytes = file.head.size() + file.tail.size();
    // A reader on a pipe may take its time (one that plays takes the song's length).
    bar.Draw("writing", 1, Size(bytes));
    const bool written = WriteOutput(options.output, file, error);
    bar.Finish();
    if (!written) {
        Say(error);
        return kWriteError;
    }
    if (!options.quiet) {
        const double seconds = rendered.seconds;
        char summary[64];
        std::snprintf(summary, sizeof summary, " (%s, %.1f s, %s)", name.c_str(), seconds,
                      Size(bytes).c_str());
        Say("wrote " + (options.output == "-" ? std::string("standard output") : options.output) +
            summary);
    }
    return 0;
}
