#include "tools/wave_render/encode.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "platform/room.h"
#include "synth/buffers.h"
#include "tools/wave_render/libraries.h"

namespace wave::render {

namespace {

// Opus is encoded only at 48 kHz. The settings at --quality 5, as the
// installed libsndfile maps them for this song: Vorbis about 160 kbit/s, Opus
// 160 kbit/s, and MP3 the encoder's VBR quality 2 (about 150 kbit/s here; an
// MP3 needs more bits than the others for the same sound).
constexpr AudioFormat kFormats[] = {
    {"wav", SF_FORMAT_WAV, SF_FORMAT_PCM_16, SF_FORMAT_FLOAT, true, SND_RATE, 0},
    {"flac", SF_FORMAT_FLAC, SF_FORMAT_PCM_16, 0, true, SND_RATE, 0},
    {"ogg", SF_FORMAT_OGG, SF_FORMAT_VORBIS, SF_FORMAT_VORBIS, false, SND_RATE, 0.65},
    {"opus", SF_FORMAT_OGG, SF_FORMAT_OPUS, SF_FORMAT_OPUS, false, 48000, 0.295},
    {"mp3", SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III, SF_FORMAT_MPEG_LAYER_III, false, SND_RATE,
     0.8},
};

constexpr sf_count_t kChunkFrames = SND_RATE;  // one second per write

// A growable in-memory file behind libsndfile's virtual I/O.
struct MemoryFile {
    std::vector<unsigned char>& bytes;
    sf_count_t position = 0;
    bool out_of_memory = false;  // a write found no room to grow the file
};

sf_count_t Length(void* user) {
    return static_cast<sf_count_t>(static_cast<MemoryFile*>(user)->bytes.size());
}

sf_count_t Seek(sf_count_t offset, int whence, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = file->position;
    if (whence == SEEK_END) base = static_cast<sf_count_t>(file->bytes.size());
    if (base + offset < 0) return -1;
    file->position = base + offset;
    return file->position;
}

sf_count_t Read(void* ptr, sf_count_t count, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    const auto size = static_cast<sf_count_t>(file->bytes.size());
    const sf_count_t n = std::clamp<sf_count_t>(size - file->position, 0, count);
    std::memcpy(ptr, file->bytes.data() + file->position, static_cast<std::size_t>(n));
    file->position += n;
    return n;
}

sf_count_t Write(const void* ptr, sf_count_t count, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    const auto end = static_cast<std::size_t>(file->position + count);
    // Called from the C library: nothing may be thrown through it.
    try {
        if (end > file->bytes.size()) file->bytes.resize(end);
    } catch (const std::bad_alloc&) {
        file->out_of_memory = true;
        return 0;
    }
    std::memcpy(file->bytes.data() + file->position, ptr, static_cast<std::size_t>(count));
    file->position += count;
    return count;
}

sf_count_t Tell(void* user) {
    return static_cast<MemoryFile*>(user)->position;
}

// Some codecs in the encoder libraries do not check their allocations and
// crash when one fails. They are only started with this much address space
// free, so that a program short of memory says so instead.
constexpr std::size_t kEncoderRoomBytes = std::size_t{16} << 20;

// Lossless formats store the samples they are given; lossy encoders are always
// fed floats, since the 16-bit input path of the installed MP3 encoder distorts.
bool WritesFloats(const AudioFormat& format, bool float_samples) {
    return float_samples || !format.lossless;
}

SF_INFO Info(const AudioFormat& format, bool float_samples) {
    SF_INFO info{};
    info.samplerate = format.rate;
    info.channels = 2;
    info.format = format.container | (float_samples ? format.float32 : format.pcm16);
    return info;
}

// The samples as floats at `rate`: 16-bit samples become sample / 32768 (exact),
// and a rate other than the song's is reached with libsoxr at very high quality,
// reporting the fraction resampled.
bool FloatsAt(int rate, const Samples& samples, std::vector<float>& out, std::string& error,
              const EncodeProgress& progress) {
    std::vector<float> floats;
    if (samples.pcm16.empty()) {
        floats.assign(samples.float32.begin(), samples.float32.end());
    } else {
        floats.resize(samples.pcm16.size());
        std::transform(samples.pcm16.begin(), samples.pcm16.end(), floats.begin(),
                       [](std::int16_t s) { return static_cast<float>(s) / 32768.0f; });
    }
    if (rate == SND_RATE) {
        out = std::move(floats);
        return true;
    }
    const std::size_t in_frames = floats.size() / 2;
    const std::size_t capacity =
        static_cast<std::size_t>(static_cast<double>(in_frames) * rate / SND_RATE) + 64;
    const SoxrCalls* soxr = Soxr(error);
    if (soxr == nullptr) return false;
    out.resize(2 * capacity);
    if (!platform::HasRoom(kEncoderRoomBytes)) throw std::bad_alloc();
    const soxr_io_spec_t io = soxr->io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr->quality_spec(SOXR_VHQ, 0);
    soxr_error_t failed = nullptr;
    soxr_t resampler = soxr->create(SND_RATE, rate, 2, &failed, &io, &quality, nullptr);
    // Fed a piece at a time: given everything at once, the resampler's buffers
    // grow by many small reallocations.
    constexpr std::size_t kPieceFrames = 1 << 16;
    std::size_t in_done = 0, out_frames = 0;
    while (failed == nullptr && out_frames < capacity) {
        const std::size_t piece = std::min(kPieceFrames, in_frames - in_done);
        // No input (a null pointer) asks for what is still inside the resampler.
        const float* in = piece > 0 ? floats.data() + 2 * in_done : nullptr;
        std::size_t used = 0, made = 0;
        failed = soxr->process(resampler, in, piece, &used, out.data() + 2 * out_frames,
                               capacity - out_frames, &made);
        in_done += used;
        out_frames += made;
        if (progress) progress(static_cast<double>(in_done) / static_cast<double>(in_frames));
        if (in == nullptr && made == 0) break;
    }
    soxr->destroy(resampler);
    if (failed != nullptr) {
        error = std::string("cannot resample to ") + std::to_string(rate) + " Hz: " + failed;
        return false;
    }
    out.resize(2 * out_frames);
    return true;
}

// A WAV file's header for `samples` interleaved stereo samples of 16-bit PCM or
// of floats; the samples follow it as they are in memory. A float WAV's format
// chunk has its size field (cbSize = 0) and a fact chunk follows, as every
// non-PCM WAV should have; readers complain about the 16-byte chunk libsndfile
// writes. The 16-bit header is the canonical 44 bytes libsndfile writes too.
bool WavHeader(bool floats, std::size_t samples, std::vector<unsigned char>& out,
               std::string& error) {
    const std::size_t sample_bytes = floats ? sizeof(float) : sizeof(std::int16_t);
    const std::size_t header_bytes = floats ? 12 + 26 + 12 + 8 : 12 + 24 + 8;
    const std::uint64_t data_bytes = std::uint64_t{samples} * sample_bytes;
    if (header_bytes + data_bytes - 8 > UINT32_MAX) {
        error = "too long for a WAV file";
        return false;
    }
    out.clear();
    const auto text = [&](const char* tag) { out.insert(out.end(), tag, tag + 4); };
    const auto number = [&](std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out.push_back(static_cast<unsigned char>(value >> (8 * i)));
    };
    text("RIFF");
    number(header_bytes + data_bytes - 8, 4);
    text("WAVE");
    text("fmt ");
    number(floats ? 18 : 16, 4);
    number(floats ? 3 : 1, 2);  // IEEE float or PCM
    number(2, 2);               // channels
    number(SND_RATE, 4);
    number(SND_RATE * 2 * sample_bytes, 4);
    number(2 * sample_bytes, 2);
    number(8 * sample_bytes, 2);
    if (floats) {
        number(0, 2);  // cbSize
        text("fact");
        number(4, 4);
        number(samples / 2, 4);
    }
    text("data");
    number(data_bytes, 4);
    static_assert(std::endian::native == std::endian::little, "WAV samples are little-endian");
    return true;
}

}  // namespace

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

std::span<const AudioFormat> KnownFormats() {
    return kFormats;
}

std::optional<AudioFormat> FindFormat(std::string_view name) {
    const std::string lower = Lower(name);
    for (const AudioFormat& f : kFormats) {
        if (f.name == lower) return f;
    }
    return std::nullopt;
}

bool Supported(const AudioFormat& format, bool float_samples) {
    if (float_samples && format.float32 == 0) return false;
    if (format.container == SF_FORMAT_WAV) return true;  // written here, see WavHeader
    std::string error;
    bool short_of_memory = false;
    const SndfileCalls* sndfile = Sndfile(error, &short_of_memory);
    // A library that is there but does not fit in memory is no missing format:
    // encoding says what failed.
    if (sndfile == nullptr) return short_of_memory;
    // Opening a writer is the only sure test: a format can pass sf_format_check
    // and still be refused at 44,100 Hz.
    std::vector<unsigned char> bytes;
    MemoryFile file{bytes};
    SF_VIRTUAL_IO io{Length, Seek, Read, Write, Tell};
    SF_INFO info = Info(format, WritesFloats(format, float_samples));
    if (!sndfile->format_check(&info)) return false;
    // A writer that finds no memory says nothing of the format: encoding will say
    // what failed.
    if (!platform::HasRoom(kEncoderRoomBytes)) return true;
    SNDFILE* sf = sndfile->open_virtual(&io, SFM_WRITE, &info, &file);
    if (sf == nullptr) return std::strstr(sndfile->strerror(nullptr), "malloc") != nullptr;
    sndfile->close(sf);
    return true;
}

std::string SupportedFormatList() {
    std::string list;
    for (const AudioFormat& f : kFormats) {
        if (!Supported(f, false)) continue;
        if (!list.empty()) list += ", ";
        list += f.name;
    }
    return list;
}

std::string EncoderProblem() {
    std::string error;
    return Sndfile(error) == nullptr ? error : "";
}

double EncoderSetting(const AudioFormat& format, double quality) {
    const double middle = format.middle_setting;
    if (quality <= kDefaultQuality) return middle * quality / kDefaultQuality;
    return middle + (1 - middle) * (quality - kDefaultQuality) / (kMaxQuality - kDefaultQuality);
}

namespace {

bool EncodeInMemory(const AudioFormat& format, const Samples& samples, double quality,
                    const Tags& tags, EncodedFile& file_out, std::string& error,
                    const EncodeProgress& progress) {
    const bool floats = WritesFloats(format, samples.pcm16.empty());
    file_out.tail = {};
    if (format.container == SF_FORMAT_WAV) {
        const std::span<const std::byte> bytes =
            floats ? std::as_bytes(samples.float32) : std::as_bytes(samples.pcm16);
        file_out.tail = {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()};
        return WavHeader(floats, floats ? samples.float32.size() : samples.pcm16.size(),
                         file_out.head, error);
    }
    const SndfileCalls* sndfile = Sndfile(error);
    if (sndfile == nullptr) return false;
    std::vector<unsigned char>& out = file_out.head;
    // Resampling takes about half as long as encoding.
    const double resampled_share = format.rate == SND_RATE ? 0 : 0.3;
    const auto report = [&](double start, double share, double fraction) {
        if (progress) progress(start + share * fraction);
    };
    const EncodeProgress resampling = [&](double fraction) {
        report(0, resampled_share, fraction);
    };
    std::vector<float> converted;
    if (floats && !FloatsAt(format.rate, samples, converted, error, resampling)) return false;
    const auto total = static_cast<sf_count_t>(floats ? converted.size() / 2 : samples.frames());

    out.clear();
    // Room for the whole file, so that it does not grow while the encoder runs: a
    // lossy file is well under a quarter of the 16-bit samples.
    const std::size_t pcm_bytes = static_cast<std::size_t>(total) * 4;
    out.reserve((format.lossless ? (floats ? 2 * pcm_bytes : pcm_bytes) : pcm_bytes / 4) + 4096);
    if (!platform::HasRoom(kEncoderRoomBytes)) throw std::bad_alloc();
    MemoryFile file{out};
    SF_VIRTUAL_IO io{Length, Seek, Read, Write, Tell};
    SF_INFO info = Info(format, floats);
    SNDFILE* sf = sndfile->open_virtual(&io, SFM_WRITE, &info, &file);
    if (sf == nullptr) {
        error = sndfile->strerror(nullptr);
        return false;
    }
    // These containers write their tags before the first audio, so they are set here.
    sndfile->set_string(sf, SF_STR_TITLE, tags.title.c_str());
    sndfile->set_string(sf, SF_STR_SOFTWARE, tags.software.c_str());
    // The MP3 writer's tag has no software field; its comment carries it.
    if (format.container == SF_FORMAT_MPEG) {
        sndfile->set_string(sf, SF_STR_COMMENT, tags.software.c_str());
    }
    if (!format.lossless) {
        double setting = EncoderSetting(format, quality);
        sndfile->command(sf, SFC_SET_VBR_ENCODING_QUALITY, &setting, sizeof setting);
    }
    for (sf_count_t done = 0; done < total;) {
        const sf_count_t n = std::min(kChunkFrames, total - done);
        const sf_count_t written =
            floats ? sndfile->writef_float(sf, converted.data() + 2 * done, n)
                   : sndfile->writef_short(sf, samples.pcm16.data() + 2 * done, n);
        if (written != n) {
            error = file.out_of_memory ? "out of memory" : sndfile->strerror(sf);
            sndfile->close(sf);
            return false;
        }
        done += n;
        report(resampled_share, 1 - resampled_share,
               static_cast<double>(done) / static_cast<double>(total));
    }
    if (sndfile->close(sf) != 0 || file.out_of_memory) {
        error = file.out_of_memory ? "out of memory" : "the encoder could not finish the file";
        return false;
    }
    return true;
}

}  // namespace

bool Encode(const AudioFormat& format, const Samples& samples, double quality, const Tags& tags,
            EncodedFile& file_out, std::string& error, const EncodeProgress& progress) {
    try {
        return EncodeInMemory(format, samples, quality, tags, file_out, error, progress);
    } catch (const std::bad_alloc&) {
        file_out = {};
        error = "out of memory";
        return false;
    }
}

}  // namespace wave::render
