// pace_reader RATE OUTPUT: copies standard input to OUTPUT at no more than RATE
// bytes per second. As the reader of an ALSA file-plugin pipe it makes playback
// run in real time, so that tests can act while a buffer is still playing.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: pace_reader RATE OUTPUT\n");
        return 2;
    }
    const long long rate = std::atoll(argv[1]);
    std::FILE* out = std::fopen(argv[2], "wb");
    if (rate <= 0 || out == nullptr) {
        std::fprintf(stderr, "pace_reader: bad rate or cannot open %s\n", argv[2]);
        return 2;
    }
    std::vector<char> chunk(static_cast<std::size_t>(rate / 100 + 1));
    const auto start = std::chrono::steady_clock::now();
    long long total = 0;
    for (;;) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(total * 1000000 / rate));
        const ssize_t n = read(STDIN_FILENO, chunk.data(), chunk.size());
        if (n <= 0) break;
        std::fwrite(chunk.data(), 1, static_cast<std::size_t>(n), out);
        std::fflush(out);
        total += n;
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
