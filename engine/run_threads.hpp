// The threads detections run on. A thread that ran one waits for the next,
// so that a call pays neither for starting a thread nor for that thread's
// first steps (joining the worker pool, its own allocator arena); over short
// series those cost about as much as the detection itself.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>

namespace quarn::engine {

// One piece of work handed to a run thread, and its outcome.
class RunJob {
  public:
    // `work` returns whether its run succeeded; `on_end` is called on the
    // run thread once `work` has returned or thrown, before the job counts
    // as finished. Both must outlive the job.
    RunJob(const std::function<bool()>& work, const std::function<void()>& on_end)
        : work_(work), on_end_(on_end) {}
    RunJob(const RunJob&) = delete;
    RunJob& operator=(const RunJob&) = delete;

    // On the run thread: runs the work and keeps its outcome.
    void execute() noexcept;
    // On the run thread, after execute(): signals the end, for the waiting
    // thread to go on (and destroy the job); the job is not touched after.
    void finish() noexcept;

    // True once the job has finished, waiting at most `timeout`.
    template <class Duration>
    bool wait_for(Duration timeout) {
        std::unique_lock lock(mutex_);
        return finished_cv_.wait_for(lock, timeout, [this] { return finished_; });
    }
    void wait();

    bool succeeded() const { return succeeded_; }
    std::exception_ptr failure() const { return failure_; }

  private:
    const std::function<bool()>& work_;
    const std::function<void()>& on_end_;
    std::mutex mutex_;
    std::condition_variable finished_cv_;
    bool finished_ = false;
    bool succeeded_ = false;
    std::exception_ptr failure_;
};

// Starts `job` on an idle run thread, or on a new one (std::system_error
// when none can be started; then the job never runs). At most
// max_idle_run_threads threads stay waiting between calls.
void start_run(RunJob& job);

// Ends the idle run threads and waits until they are gone (threads still
// running a job are left to it). With `for_good`, threads end after their
// job from now on instead of waiting for another: the interpreter exits.
void retire_idle_run_threads(bool for_good);

// Registers the fork handlers: before a fork the idle run threads end (so
// that the worker pool they joined can be stopped, and no thread is there
// to copy); the child forgets the threads that are not in it.
void guard_run_threads_across_fork();

inline constexpr std::size_t max_idle_run_threads = 4;

}  // namespace quarn::engine
