// wave-literal: the song rendered the straightforward way, one RenderTrack call
// after another with the C library's sin, and written as a 16-bit WAV file the
// way wave-render writes one (the file ends after the last frame that is not
// silent). It exists to be timed against wave-render as a whole process.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/song.h"
#include "synth/buffers.h"

namespace {

using namespace wave;

void PutLe(std::FILE* out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        std::fputc(static_cast<int>((value >> (8 * i)) & 0xFF), out);
}

// A canonical 44-byte header: RIFF, a 16-byte format chunk, then the data chunk.
void WriteWavHeader(std::FILE* out, std::uint32_t data_bytes) {
    constexpr std::uint32_t kChannels = 2, kBits = 16;
    constexpr std::uint32_t kBlockAlign = kChannels * kBits / 8;
    std::fputs("RIFF", out);
    PutLe(out, 36 + data_bytes, 4);
    std::fputs("WAVEfmt ", out);
    PutLe(out, 16, 4);
    PutLe(out, 1, 2);  // PCM
    PutLe(out, kChannels, 2);
    PutLe(out, SND_RATE, 4);
    PutLe(out, SND_RATE * kBlockAlign, 4);
    PutLe(out, kBlockAlign, 2);
    PutLe(out, kBits, 2);
    std::fputs("data", out);
    PutLe(out, data_bytes, 4);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        std::fputs(
            "usage: wave-literal OUTPUT.wav\n"
            "Renders the song the straightforward way and writes it as a 16-bit WAV.\n",
            argc == 2 ? stdout : stderr);
        return argc == 2 ? 0 : 2;
    }
    SetReportLine([](const char*) {});
    RenderSongReference(PlainSine::kCLibrary);
    ConvertMixToPcm16();

    const std::uint8_t* pcm = MixPcmBytes();
    std::size_t frames = SND_BUF_LEN / 2;
    while (frames > 0 && MixPcmSample(2 * frames - 2) == 0 && MixPcmSample(2 * frames - 1) == 0)
        --frames;
    const std::size_t data_bytes = 4 * frames;

    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    WriteWavHeader(out, static_cast<std::uint32_t>(data_bytes));
    const bool written = std::fwrite(pcm, 1, data_bytes, out) == data_bytes;
    if (std::fclose(out) != 0 || !written) {
        std::fprintf(stderr, "wave-literal: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
