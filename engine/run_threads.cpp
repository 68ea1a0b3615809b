#include "run_threads.hpp"

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace quarn::engine {

void RunJob::execute() noexcept {
    try {
        succeeded_ = work_();
    } catch (...) {
        failure_ = std::current_exception();
    }
    on_end_();
}

void RunJob::finish() noexcept {
    // The waiting thread may destroy the job as soon as it sees it finished.
    std::lock_guard lock(mutex_);
    finished_ = true;
    finished_cv_.notify_all();
}

void RunJob::wait() {
    std::unique_lock lock(mutex_);
    finished_cv_.wait(lock, [this] { return finished_; });
}

namespace {

// One run thread: waits for a job, runs it, and waits again.
struct RunThread {
    std::condition_variable wake;
    RunJob* job = nullptr;  // handed over, not yet taken
    bool retire = false;    // asked to end while idle
    bool ended = false;     // left its loop: only joining remains
    std::thread thread;
};

// Every run thread of the process. Never destroyed: threads may still reach
// it while the process ends.
struct RunThreads {
    std::mutex mutex;
    std::vector<RunThread*> all;   // alive or not yet joined
    std::vector<RunThread*> idle;  // waiting for a job, the latest last
    bool for_good = false;         // no thread waits for another job
};

RunThreads& run_threads() {
    static RunThreads* const instance = new RunThreads;
    return *instance;
}

void serve(RunThread& self) {
    RunThreads& threads = run_threads();
    std::unique_lock lock(threads.mutex);
    for (;;) {
        self.wake.wait(lock, [&self] { return self.job != nullptr || self.retire; });
        if (self.job == nullptr) break;
        RunJob* const job = std::exchange(self.job, nullptr);
        lock.unlock();
        job->execute();
        lock.lock();
        // Idle (or ended) before the caller goes on: a fork or an exit right
        // after the call finds this thread where it can be ended and joined.
        const bool stays = !threads.for_good && threads.idle.size() < max_idle_run_threads;
        if (stays) {
            threads.idle.push_back(&self);
        } else {
            self.ended = true;
        }
        lock.unlock();
        job->finish();
        if (!stays) return;
        lock.lock();
    }
    self.ended = true;
}

// Takes the threads that ended (or were asked to) out of the books; the
// caller joins them without the lock.
std::vector<RunThread*> take_leaving(RunThreads& threads) {
    std::vector<RunThread*> leaving;
    std::erase_if(threads.all, [&leaving](RunThread* thread) {
        if (!thread->ended && !thread->retire) return false;
        leaving.push_back(thread);
        return true;
    });
    return leaving;
}

void join_all(const std::vector<RunThread*>& leaving) {
    for (RunThread* thread : leaving) {
        thread->thread.join();
        delete thread;
    }
}

#if !defined(_WIN32)
void before_fork() {
    retire_idle_run_threads(false);
    // Held across the fork, so that no thread is halfway through the books.
    run_threads().mutex.lock();
}

void in_parent() { run_threads().mutex.unlock(); }

void in_child() {
    // The threads in the books were the parent's; none is in the child.
    // Their records are left behind, never touched again.
    RunThreads& threads = run_threads();
    threads.all.clear();
    threads.idle.clear();
    threads.mutex.unlock();
}
#endif

}  // namespace

void start_run(RunJob& job) {
    RunThreads& threads = run_threads();
    std::vector<RunThread*> leaving;
    {
        std::lock_guard lock(threads.mutex);
        leaving = take_leaving(threads);
        if (!threads.idle.empty()) {
            RunThread* const thread = threads.idle.back();
            threads.idle.pop_back();
            thread->job = &job;
            thread->wake.notify_one();
        } else {
            auto* const thread = new RunThread;
            thread->job = &job;
            try {
                threads.all.reserve(threads.all.size() + 1);
                thread->thread = std::thread([thread] { serve(*thread); });
            } catch (...) {
                delete thread;
                throw;
            }
            threads.all.push_back(thread);
        }
    }
    join_all(leaving);
}

void retire_idle_run_threads(bool for_good) {
    RunThreads& threads = run_threads();
    std::vector<RunThread*> leaving;
    {
        std::lock_guard lock(threads.mutex);
        if (for_good) threads.for_good = true;
        for (RunThread* thread : threads.idle) {
            thread->retire = true;
            thread->wake.notify_one();
        }
        threads.idle.clear();
        leaving = take_leaving(threads);
    }
    join_all(leaving);
}

void guard_run_threads_across_fork() {
#if !defined(_WIN32)
    static const int registered = pthread_atfork(before_fork, in_parent, in_child);
    static_cast<void>(registered);
#endif
}

}  // namespace quarn::engine
