// The fast path's scheduler on its own, without any rendering: every task once,
// in an order that keeps every dependency, on any number of threads.
#include "synth/fast/scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

namespace wave::fast {
namespace {

// The exact sequence on one thread: a group of one slot can only alternate with
// the mix, and waits are said as such.
TEST(SchedulerTest, OneGroupOneSlotAlternatesWithTheMix) {
    Scheduler scheduler(1, 2, 1);
    const auto next = [&] { return scheduler.Next(); };
    const auto is = [](Task t, TaskKind kind, int group, int chunk) {
        return t.kind == kind && t.group == group && t.chunk == chunk;
    };
    Task t = next();
    EXPECT_TRUE(is(t, TaskKind::kGroup, 0, 0));
    EXPECT_EQ(next().kind, TaskKind::kWait);  // the group is busy, chunk 0 not ready
    scheduler.Finish(t);
    t = next();
    EXPECT_TRUE(is(t, TaskKind::kMix, 0, 0));
    EXPECT_EQ(next().kind, TaskKind::kWait);  // the one slot is not mixed yet
    scheduler.Finish(t);
    EXPECT_EQ(scheduler.mixed_chunks(), 1);
    t = next();
    EXPECT_TRUE(is(t, TaskKind::kGroup, 0, 1));
    scheduler.Finish(t);
    t = next();
    EXPECT_TRUE(is(t, TaskKind::kMix, 0, 1));
    scheduler.Finish(t);
    EXPECT_EQ(next().kind, TaskKind::kDone);
    EXPECT_EQ(scheduler.mixed_chunks(), 2);
}

// Once a mix ends the render nothing more is handed out, though groups could go on.
TEST(SchedulerTest, NothingAfterAMixThatEndsTheRender) {
    Scheduler scheduler(2, 10, 3);
    const Task a = scheduler.Next();
    const Task b = scheduler.Next();
    scheduler.Finish(a);
    scheduler.Finish(b);
    const Task mix = scheduler.Next();
    ASSERT_EQ(mix.kind, TaskKind::kMix);
    const Task running = scheduler.Next();  // group 0, chunk 1
    ASSERT_EQ(running.kind, TaskKind::kGroup);
    scheduler.Finish(mix, true);
    EXPECT_EQ(scheduler.Next().kind, TaskKind::kDone);
    scheduler.Finish(running);  // a task that was running still finishes
    EXPECT_EQ(scheduler.Next().kind, TaskKind::kDone);
    EXPECT_EQ(scheduler.mixed_chunks(), 0);
}

// The group furthest behind goes first, ties to the lower index; a mix goes
// before any group once its chunk is ready.
TEST(SchedulerTest, HandsOutTheGroupFurthestBehindAndTheMixFirst) {
    Scheduler scheduler(2, 4, 3);
    const Task a = scheduler.Next();
    const Task b = scheduler.Next();
    EXPECT_EQ(std::tie(a.group, a.chunk), std::make_tuple(0, 0));
    EXPECT_EQ(std::tie(b.group, b.chunk), std::make_tuple(1, 0));
    scheduler.Finish(a);
    const Task a1 = scheduler.Next();  // group 1 is busy
    EXPECT_EQ(std::tie(a1.kind, a1.group, a1.chunk), std::make_tuple(TaskKind::kGroup, 0, 1));
    scheduler.Finish(b);
    const Task mix = scheduler.Next();
    EXPECT_EQ(std::tie(mix.kind, mix.chunk), std::make_tuple(TaskKind::kMix, 0));
    const Task b1 = scheduler.Next();
    EXPECT_EQ(std::tie(b1.kind, b1.group, b1.chunk), std::make_tuple(TaskKind::kGroup, 1, 1));
}

// A thread takes the groups it keeps before the others, even one further
// behind, and the others only when none of its own can start. With no keepers
// given, thread 0 keeps every group.
TEST(SchedulerTest, AThreadTakesTheGroupsItKeepsFirst) {
    Scheduler scheduler(4, 4, 3, {0, 1, 0, 1});
    const auto is = [](Task t, int group, int chunk) {
        return t.kind == TaskKind::kGroup && t.group == group && t.chunk == chunk;
    };
    const Task a = scheduler.Next(1);
    const Task b = scheduler.Next(1);
    const Task c = scheduler.Next(1);  // neither of its own can start
    EXPECT_TRUE(is(a, 1, 0));
    EXPECT_TRUE(is(b, 3, 0));
    EXPECT_TRUE(is(c, 0, 0));
    scheduler.Finish(a);
    scheduler.Finish(b);
    scheduler.Finish(c);
    EXPECT_TRUE(is(scheduler.Next(1), 1, 1));  // not group 2, still at chunk 0
    EXPECT_TRUE(is(scheduler.Next(0), 2, 0));

    Scheduler unkept(2, 4, 3);
    EXPECT_TRUE(is(unkept.Next(1), 0, 0));  // thread 1 keeps nothing, but works
    EXPECT_TRUE(is(unkept.Next(0), 1, 0));
}

// Thread 0 keeps the mix: it takes a ready mix before any group; another thread
// takes it only when no group can start.
TEST(SchedulerTest, TheMixIsThreadZerosFirst) {
    Scheduler scheduler(2, 4, 3, {1, 1});
    const Task a = scheduler.Next(1);
    const Task b = scheduler.Next(1);
    scheduler.Finish(a);
    scheduler.Finish(b);
    // Chunk 0 is ready to mix; thread 1 goes on with its groups instead.
    const Task a1 = scheduler.Next(1);
    EXPECT_EQ(std::tie(a1.kind, a1.group, a1.chunk), std::make_tuple(TaskKind::kGroup, 0, 1));
    const Task mix0 = scheduler.Next(0);
    EXPECT_EQ(std::tie(mix0.kind, mix0.chunk), std::make_tuple(TaskKind::kMix, 0));
    scheduler.Finish(mix0);
    scheduler.Finish(a1);
    const Task b1 = scheduler.Next(1);
    scheduler.Finish(b1);
    // Chunk 1 is ready and every group is at chunk 2: thread 1 takes a group,
    // then, with none left to start, the mix.
    const Task a2 = scheduler.Next(1);
    const Task b2 = scheduler.Next(1);
    EXPECT_EQ(std::tie(a2.kind, b2.kind), std::make_tuple(TaskKind::kGroup, TaskKind::kGroup));
    const Task mix1 = scheduler.Next(1);
    EXPECT_EQ(std::tie(mix1.kind, mix1.chunk), std::make_tuple(TaskKind::kMix, 1));
    EXPECT_EQ(scheduler.Next(0).kind, TaskKind::kWait);
}

struct Span {
    int start, end;  // ticks of one clock shared by every thread
};

struct Record {
    std::map<std::pair<int, int>, std::vector<Span>> group;  // (group, chunk)
    std::map<int, std::vector<Span>> mix;                    // chunk
    std::vector<int> progress;
    int bad_kinds = 0;
    int progress_off_thread0 = 0;
};

// A scheduler that deadlocks stops the test binary with a message instead of
// hanging it: the stuck threads cannot be joined.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock lock(mutex_);
              if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "the scheduler did not finish within %lld s\n",
                               static_cast<long long>(limit.count()));
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

// Runs a schedule on `threads` threads where every task takes a little while
// and the mix of `end_at` (if any) ends the render. Group g is kept by thread
// g + 1 modulo threads, so that thread 0, which mixes, keeps the fewest.
Record RunSchedule(int threads, int groups, int chunks, int slots, int end_at = -1) {
    const Watchdog watchdog(std::chrono::seconds(60));
    Crew crew(threads);
    std::vector<int> keepers;
    for (int g = 0; g < groups; ++g)
        keepers.push_back((g + 1) % threads);
    Scheduler scheduler(groups, chunks, slots, keepers);
    Record record;
    const std::thread::id main_thread = std::this_thread::get_id();
    std::mutex mutex;
    std::atomic<int> clock{0};
    scheduler.Run(
        crew, threads,
        [&](const Task& task, int) {
            const int start = clock++;
            for (int i = 0; i < 3; ++i)
                std::this_thread::yield();
            const int end = clock++;
            std::lock_guard lock(mutex);
            if (task.kind == TaskKind::kGroup) {
                record.group[{task.group, task.chunk}].push_back({start, end});
            } else if (task.kind == TaskKind::kMix) {
                record.mix[task.chunk].push_back({start, end});
                return task.chunk == end_at;
            } else {
                ++record.bad_kinds;
            }
            return false;
        },
        [&](int mixed) {
            std::lock_guard lock(mutex);
            record.progress.push_back(mixed);
            // Called on the calling thread only, so a bar can be drawn from it.
            if (std::this_thread::get_id() != main_thread) ++record.progress_off_thread0;
        });
    return record;
}

class SchedulerThreadsTest : public ::testing::TestWithParam<int> {};

TEST_P(SchedulerThreadsTest, RunsEveryTaskOnceInDependencyOrder) {
    const int threads = GetParam();
    const int slots = threads == 1 ? 1 : 3;
    for (int groups : {1, 3, 7}) {
        const int chunks = 12;
        const Record r = RunSchedule(threads, groups, chunks, slots);
        const std::string how = std::to_string(groups) + " groups";
        EXPECT_EQ(r.bad_kinds, 0) << how;
        ASSERT_EQ(r.group.size(), std::size_t(groups * chunks)) << how;
        ASSERT_EQ(r.mix.size(), std::size_t(chunks)) << how;
        for (const auto& [key, spans] : r.group)
            ASSERT_EQ(spans.size(), 1u)
                << how << ": group " << key.first << " chunk " << key.second;
        for (const auto& [chunk, spans] : r.mix)
            ASSERT_EQ(spans.size(), 1u) << how << ": mix " << chunk;
        const auto group = [&](int g, int c) { return r.group.at({g, c})[0]; };
        const auto mix = [&](int c) { return r.mix.at(c)[0]; };
        for (int c = 0; c < chunks; ++c) {
            for (int g = 0; g < groups; ++g) {
                // A group does its chunks in order, each before the chunk's mix,
                // and writes a slot only once the chunk it held is mixed.
                if (c > 0) {
                    EXPECT_LT(group(g, c - 1).end, group(g, c).start) << how;
                }
                EXPECT_LT(group(g, c).end, mix(c).start) << how;
                if (c >= slots) {
                    EXPECT_LT(mix(c - slots).end, group(g, c).start) << how;
                }
            }
            if (c > 0) {
                EXPECT_LT(mix(c - 1).end, mix(c).start) << how;
            }
        }
        EXPECT_EQ(r.progress_off_thread0, 0) << how;
        ASSERT_FALSE(r.progress.empty()) << how;
        EXPECT_TRUE(std::is_sorted(r.progress.begin(), r.progress.end())) << how;
        EXPECT_EQ(r.progress.back(), chunks) << how;
    }
}

// A mix that finds nothing left to add ends the render: no chunk after it is
// mixed, no group gets further than its slots allow, and every thread returns.
TEST_P(SchedulerThreadsTest, AMixThatEndsTheRenderStopsEveryThread) {
    const int threads = GetParam();
    const int slots = threads == 1 ? 1 : 3;
    const int end_at = 5;
    const Record r = RunSchedule(threads, 3, 12, slots, end_at);
    ASSERT_EQ(r.mix.size(), std::size_t(end_at + 1));
    EXPECT_EQ(r.mix.rbegin()->first, end_at);
    for (const auto& [key, spans] : r.group) {
        EXPECT_EQ(spans.size(), 1u);
        EXPECT_LT(key.second, end_at + slots) << "group " << key.first;
    }
}

// A thread that cannot be started leaves a smaller crew that still runs every
// job on each of its threads once, rather than ending the program. The starter
// fails after `started` threads, as pthread_create does without memory for a stack.
TEST(CrewTest, AThreadThatCannotStartMakesTheCrewSmaller) {
    struct Case {
        int asked, started;
        bool bad_alloc;
    };
    for (const Case c :
         {Case{5, 0, false}, Case{5, 1, false}, Case{5, 3, true}, Case{4, 3, false}}) {
        const std::string how =
            std::to_string(c.started) + " of " + std::to_string(c.asked - 1) + " helpers started";
        int starts = 0;
        const ThreadStarter starter = [&](std::function<void()> body) {
            if (starts == c.started) {
                if (c.bad_alloc) throw std::bad_alloc();
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
            }
            ++starts;
            return std::thread(std::move(body));
        };
        Crew crew(c.asked, starter);
        ASSERT_EQ(crew.size(), std::min(c.asked, c.started + 1)) << how;
        for (int round = 0; round < 2; ++round) {
            std::mutex mutex;
            std::vector<int> runs(static_cast<std::size_t>(crew.size()), 0);
            std::vector<std::thread::id> ids;
            crew.RunOnEveryThread([&](int t) {
                std::lock_guard lock(mutex);
                ++runs.at(static_cast<std::size_t>(t));
                ids.push_back(std::this_thread::get_id());
            });
            EXPECT_EQ(runs, std::vector<int>(runs.size(), 1)) << how;
            std::sort(ids.begin(), ids.end());
            EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end())
                << how << ": a thread ran twice";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, SchedulerThreadsTest, ::testing::Values(1, 2, 3, 64),
                         [](const auto& info) { return std::to_string(info.param) + "_threads"; });

}  // namespace
}  // namespace wave::fast
