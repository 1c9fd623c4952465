// stall_watch THRESHOLD_MS: watches the machine keep time. One thread per CPU,
// pinned to it, sleeps a millisecond at a time and prints a line whenever it
// wakes more than THRESHOLD_MS after its last wake:
//   stalled 26.9 ms on cpu 1
// Run at real-time priority, nothing on the machine holds it off that long, so a
// line says the CPU itself was taken away (a virtual machine's host does this);
// a sound server's graph, however high its priority, misses its cycles then too.
// Runs until it is stopped.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

double NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void Watch(int cpu, double threshold_ms) {
    cpu_set_t only{};
    CPU_ZERO(&only);
    CPU_SET(cpu, &only);
    pthread_setaffinity_np(pthread_self(), sizeof only, &only);
    const timespec tick{0, 1000000};
    double last = NowMs();
    for (;;) {
        clock_nanosleep(CLOCK_MONOTONIC, 0, &tick, nullptr);
        const double now = NowMs();
        if (now - last > threshold_ms) {
            char line[64];
            const int n =
                std::snprintf(line, sizeof line, "stalled %.1f ms on cpu %d\n", now - last, cpu);
            // One write per line, so that the threads' lines never interleave.
            if (write(STDOUT_FILENO, line, static_cast<std::size_t>(n)) != n) std::exit(1);
        }
        last = now;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double threshold_ms = argc == 2 ? std::atof(argv[1]) : 0;
    if (threshold_ms <= 0) {
        std::fprintf(stderr, "usage: stall_watch THRESHOLD_MS\n");
        return 2;
    }
    cpu_set_t cpus{};
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) {
        std::perror("stall_watch: sched_getaffinity");
        return 1;
    }
    std::vector<std::thread> watchers;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &cpus)) watchers.emplace_back(Watch, cpu, threshold_ms);
    }
    for (std::thread& watcher : watchers)
        watcher.join();
}
