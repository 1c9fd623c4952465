// The fast path's threads and the order of its work; no DSP here.
//
// A render is a list of tasks per chunk of the buffer: each group's part of the
// chunk (its lanes' voices and echo chains), and then the chunk's mix. A group
// does its chunks in order, a chunk is mixed once every group has done it, and
// chunks are mixed in order. A group's output is kept in `slots` chunk slots,
// so a group may run up to `slots` chunks ahead of the mix, never further.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace wave::fast {

// Starts a thread that runs `body`; throws std::system_error or std::bad_alloc
// when it cannot.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

// A fixed crew of threads that run one function on every thread and wait for all.
class Crew {
public:
    // Up to `threads` threads, the calling one included. A thread that cannot be
    // started (no memory for its stack, a process limit) makes the crew smaller:
    // the work is the same on any number of threads, so only the time changes.
    explicit Crew(int threads, const ThreadStarter& start = StartThread);
    ~Crew();
    int size() const { return threads_; }

    static std::thread StartThread(std::function<void()> body);

    // job(t) on every thread t of the crew, the calling thread being thread 0.
    void RunOnEveryThread(const std::function<void(int)>& job);

private:
    void Serve(int t);

    int threads_;
    std::vector<std::thread> helpers_;
    const std::function<void(int)>* job_ = nullptr;
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<int> pending_{0};
    std::atomic<bool> stop_{false};
};

enum class TaskKind {
    kGroup,  // render group `group`'s part of chunk `chunk`
    kMix,    // mix chunk `chunk`
    kWait,   // nothing can start until a running task finishes
    kDone,   // every chunk is mixed, or the render was ended
};

struct Task {
    TaskKind kind = TaskKind::kDone;
    int group = 0;
    int chunk = 0;
};

// Does a group or mix task on a thread; returns whether a mix ends the render.
using TaskFn = std::function<bool(const Task& task, int thread)>;
// Told how many chunks are mixed.
using ProgressFn = std::function<void(int mixed_chunks)>;

class Scheduler {
public:
    // `keepers[g]`: the thread that keeps group g; thread 0 for every group when
    // empty. Thread 0 keeps the mix.
    Scheduler(int groups, int chunks, int slots, std::vector<int> keepers = {});

    // The next task for thread `thread`. A thread takes first what it keeps: the
    // oldest unmixed chunk's mix once every group has done it, else the group
    // furthest behind (lowest index first) that is not busy, has chunks left and
    // a free slot. Then the same among the groups it does not keep, then the mix;
    // else kWait, or kDone at the end. A group that keeps to one thread keeps its
    // echoes and notes in that core's caches, and its output in the cache of the
    // core that mixes it when that is the same thread.
    Task Next(int thread = 0);
    // Records that `task`, taken from Next, has finished. A mix that finds nothing
    // left to add (`ends_render`) ends the render: no task starts after it.
    void Finish(const Task& task, bool ends_render = false);
    int mixed_chunks() const { return mixed_; }

    // Runs every task with `do_task` on threads 0 to `workers` - 1 of `crew`;
    // `progress` is called on thread 0, the calling thread, as chunks are mixed.
    void Run(Crew& crew, int workers, const TaskFn& do_task, const ProgressFn& progress);

private:
    void Work(int thread, const TaskFn& do_task, const ProgressFn* progress);

    int groups_, chunks_, slots_;
    std::vector<int> keepers_;  // per group
    int mixed_ = 0;
    bool mixing_ = false;
    bool ended_ = false;
    std::vector<int> next_chunk_;        // per group
    std::vector<bool> busy_;             // per group
    std::vector<int> groups_to_finish_;  // per slot: groups yet to do its chunk

    std::mutex mutex_;  // guards the state above while Run runs
    std::condition_variable changed_;
};

}  // namespace wave::fast
