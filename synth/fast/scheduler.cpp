#include "synth/fast/scheduler.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

namespace wave::fast {

Crew::Crew(int threads, const ThreadStarter& start) : threads_(1) {
    try {
        helpers_.reserve(static_cast<std::size_t>(std::max(threads - 1, 0)));
        for (int t = 1; t < threads; ++t) {
            helpers_.push_back(start([this, t] { Serve(t); }));
            threads_ = t + 1;
        }
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
}

std::thread Crew::StartThread(std::function<void()> body) {
    return std::thread(std::move(body));
}

Crew::~Crew() {
    stop_ = true;
    generation_.fetch_add(1);
    for (std::thread& helper : helpers_)
        helper.join();
}

void Crew::RunOnEveryThread(const std::function<void(int)>& job) {
    if (threads_ == 1) {
        job(0);
        return;
    }
    job_ = &job;
    pending_.store(threads_ - 1);
    generation_.fetch_add(1, std::memory_order_release);
    job(0);
    while (pending_.load(std::memory_order_acquire) != 0)
        std::this_thread::yield();
}

void Crew::Serve(int t) {
    std::uint64_t seen = 0;
    for (;;) {
        std::uint64_t now;
        while ((now = generation_.load(std::memory_order_acquire)) == seen) {
            std::this_thread::yield();
        }
        seen = now;
        if (stop_) return;
        (*job_)(t);
        pending_.fetch_sub(1, std::memory_order_release);
    }
}

Scheduler::Scheduler(int groups, int chunks, int slots, std::vector<int> keepers)
    : groups_(groups),
      chunks_(chunks),
      slots_(slots),
      keepers_(std::move(keepers)),
      next_chunk_(static_cast<std::size_t>(groups), 0),
      busy_(static_cast<std::size_t>(groups), false),
      groups_to_finish_(static_cast<std::size_t>(slots), groups) {
    keepers_.resize(static_cast<std::size_t>(groups), 0);
}

Task Scheduler::Next(int thread) {
    if (ended_ || mixed_ == chunks_) return {TaskKind::kDone};
    const bool mix_ready =
        !mixing_ && groups_to_finish_[static_cast<std::size_t>(mixed_ % slots_)] == 0;
    const auto mix = [this] {
        mixing_ = true;
        return Task{TaskKind::kMix, 0, mixed_};
    };
    if (mix_ready && thread == 0) return mix();
    int best = -1;
    bool best_kept = false;
    for (int g = 0; g < groups_; ++g) {
        const auto i = static_cast<std::size_t>(g);
        const int chunk = next_chunk_[i];
        if (busy_[i] || chunk >= chunks_ || chunk >= mixed_ + slots_) continue;
        const bool kept = keepers_[i] == thread;
        if (best < 0 || (kept && !best_kept) ||
            (kept == best_kept && chunk < next_chunk_[static_cast<std::size_t>(best)])) {
            best = g;
            best_kept = kept;
        }
    }
    if (best >= 0) {
        busy_[static_cast<std::size_t>(best)] = true;
        return {TaskKind::kGroup, best, next_chunk_[static_cast<std::size_t>(best)]};
    }
    return mix_ready ? mix() : Task{TaskKind::kWait};
}

void Scheduler::Finish(const Task& task, bool ends_render) {
    const auto slot = static_cast<std::size_t>(task.chunk % slots_);
    if (task.kind == TaskKind::kGroup) {
        busy_[static_cast<std::size_t>(task.group)] = false;
        ++next_chunk_[static_cast<std::size_t>(task.group)];
        --groups_to_finish_[slot];
    } else if (task.kind == TaskKind::kMix) {
        mixing_ = false;
        if (ends_render) {
            ended_ = true;
            return;
        }
        groups_to_finish_[slot] = groups_;
        ++mixed_;
    }
}

void Scheduler::Run(Crew& crew, int workers, const TaskFn& do_task, const ProgressFn& progress) {
    crew.RunOnEveryThread([&](int t) {
        if (t < workers) Work(t, do_task, t == 0 ? &progress : nullptr);
    });
}

void Scheduler::Work(int thread, const TaskFn& do_task, const ProgressFn* progress) {
    int reported = 0;
    const auto report = [&](int mixed) {
        if (progress && *progress && mixed != reported) {
            reported = mixed;
            (*progress)(mixed);
        }
    };
    for (;;) {
        Task task;
        int mixed;
        {
            std::unique_lock lock(mutex_);
            while ((task = Next(thread)).kind == TaskKind::kWait)
                changed_.wait(lock);
            mixed = mixed_;
        }
        if (task.kind == TaskKind::kDone) {
            report(mixed);  // the last chunks may have been mixed by other threads
            return;
        }
        const bool ends_render = do_task(task, thread);
        {
            std::lock_guard lock(mutex_);
            Finish(task, ends_render);
            mixed = mixed_;
        }
        changed_.notify_all();
        report(mixed);
    }
}

}  // namespace wave::fast
