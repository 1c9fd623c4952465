#include "tools/wave_render/encode.h"

#include <sndfile.h>

#include <algorithm>
#include <cstring>

#include "synth/buffers.h"

namespace wave::render {

namespace {

constexpr AudioFormat kFormats[] = {
    {"wav", SF_FORMAT_WAV, SF_FORMAT_PCM_16, SF_FORMAT_FLOAT, true},
    {"flac", SF_FORMAT_FLAC, SF_FORMAT_PCM_16, 0, true},
    {"ogg", SF_FORMAT_OGG, SF_FORMAT_VORBIS, SF_FORMAT_VORBIS, false},
    {"opus", SF_FORMAT_OGG, SF_FORMAT_OPUS, SF_FORMAT_OPUS, false},
    {"mp3", SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III, SF_FORMAT_MPEG_LAYER_III, false},
};

constexpr sf_count_t kChunkFrames = SND_RATE;  // one second per write

// A growable in-memory file behind libsndfile's virtual I/O.
struct MemoryFile {
    std::vector<unsigned char>& bytes;
    sf_count_t position = 0;
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
    if (end > file->bytes.size()) file->bytes.resize(end);
    std::memcpy(file->bytes.data() + file->position, ptr, static_cast<std::size_t>(count));
    file->position += count;
    return count;
}

sf_count_t Tell(void* user) {
    return static_cast<MemoryFile*>(user)->position;
}

SF_INFO Info(const AudioFormat& format, bool float_samples) {
    SF_INFO info{};
    info.samplerate = SND_RATE;
    info.channels = 2;
    info.format = format.container | (float_samples ? format.float32 : format.pcm16);
    return info;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

}  // namespace

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
    // Opening a writer is the only sure test: a format can pass sf_format_check
    // and still be refused at 44,100 Hz.
    std::vector<unsigned char> bytes;
    MemoryFile file{bytes};
    SF_VIRTUAL_IO io{Length, Seek, Read, Write, Tell};
    SF_INFO info = Info(format, float_samples);
    if (!sf_format_check(&info)) return false;
    SNDFILE* sf = sf_open_virtual(&io, SFM_WRITE, &info, &file);
    if (sf == nullptr) return false;
    sf_close(sf);
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

bool Encode(const AudioFormat& format, const Samples& samples, std::vector<unsigned char>& out,
            std::string& error, const EncodeProgress& progress) {
    const bool float_samples = samples.pcm16.empty();
    out.clear();
    if (format.lossless) out.reserve(samples.frames() * (float_samples ? 8 : 4) + 4096);
    MemoryFile file{out};
    SF_VIRTUAL_IO io{Length, Seek, Read, Write, Tell};
    SF_INFO info = Info(format, float_samples);
    SNDFILE* sf = sf_open_virtual(&io, SFM_WRITE, &info, &file);
    if (sf == nullptr) {
        error = sf_strerror(nullptr);
        return false;
    }
    if (!format.lossless) {
        double quality = 0.6;  // a little above the encoders' defaults
        sf_command(sf, SFC_SET_VBR_ENCODING_QUALITY, &quality, sizeof quality);
    }
    const auto total = static_cast<sf_count_t>(samples.frames());
    for (sf_count_t done = 0; done < total;) {
        const sf_count_t n = std::min(kChunkFrames, total - done);
        const sf_count_t written = float_samples
                                       ? sf_writef_float(sf, samples.float32.data() + 2 * done, n)
                                       : sf_writef_short(sf, samples.pcm16.data() + 2 * done, n);
        if (written != n) {
            error = sf_strerror(sf);
            sf_close(sf);
            return false;
        }
        done += n;
        if (progress) progress(static_cast<double>(done) / static_cast<double>(total));
    }
    if (sf_close(sf) != 0) {
        error = "the encoder could not finish the file";
        return false;
    }
    return true;
}

}  // namespace wave::render
