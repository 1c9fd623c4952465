// first-byte STAMP: reads standard input to its end and writes to STAMP the
// time at which the first byte arrived, in nanoseconds of CLOCK_REALTIME. As the
// reader of an ALSA file-plugin pipe it tells when the first frame reached the
// device.
#include <time.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: first-byte STAMP\n", stderr);
        return 2;
    }
    static char buffer[1 << 16];
    bool stamped = false;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) break;
        if (stamped) continue;
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::FILE* stamp = std::fopen(argv[1], "w");
        if (stamp == nullptr) {
            std::perror(argv[1]);
            return 1;
        }
        std::fprintf(stamp, "%lld%09ld\n", static_cast<long long>(now.tv_sec), now.tv_nsec);
        std::fclose(stamp);
        stamped = true;
    }
    return stamped ? 0 : 1;
}
