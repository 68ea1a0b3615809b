#include "quarn/pool.hpp"

#include <atomic>
#include <new>
#include <utility>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace quarn {

namespace {

std::atomic<bool> given_up{false};

thread_local bool serial_scope = false;

#if !defined(_WIN32)
// Whether the pool outlived the last before_fork, read by the child.
bool pool_alive_at_fork = false;

void before_fork() noexcept {
    pool_alive_at_fork = false;
    try {
        oneapi::tbb::task_scheduler_handle handle{oneapi::tbb::attach{}};
        if (handle && !oneapi::tbb::finalize(handle, std::nothrow)) pool_alive_at_fork = true;
    } catch (...) {
        // Out of memory for the handle: the pool may be alive; assume so.
        pool_alive_at_fork = true;
    }
}

void in_child() noexcept {
    if (pool_alive_at_fork) give_up_pool();
}
#endif

}  // namespace

bool pool_given_up() noexcept { return given_up.load(std::memory_order_relaxed); }

void give_up_pool() noexcept { given_up.store(true, std::memory_order_relaxed); }

bool serial_here() noexcept { return serial_scope; }

SerialHere::SerialHere() noexcept : outer_(serial_scope) { serial_scope = true; }

SerialHere::~SerialHere() { serial_scope = outer_; }

SideTask::~SideTask() {
    if (!group_) return;
    try {
        group_->wait();
    } catch (...) {
        // Out of memory in the work, which no one reads now: the caller is
        // leaving on its own failure.
    }
}

bool side_tasks_run_beside() noexcept {
    return !pool_given_up() && !serial_here() && tbb::this_task_arena::max_concurrency() >= 2;
}

void SideTask::start(std::function<void()> work, bool beside) {
    work_ = std::move(work);
    done_.store(false, std::memory_order_relaxed);
    if (!beside || !side_tasks_run_beside()) return;
    group_.emplace(context_);
    group_->run([this] {
        work_();
        done_.store(true, std::memory_order_release);
    });
}

void SideTask::join() {
    if (group_) {
        try {
            group_->wait();
        } catch (...) {
            group_.reset();
            work_ = nullptr;
            throw;
        }
        group_.reset();
    }
    if (!work_ || done_.load(std::memory_order_acquire)) {
        work_ = nullptr;
        return;
    }
    const std::function<void()> work = std::move(work_);
    work_ = nullptr;
    work();
}

void SideTask::cancel() noexcept {
    if (group_) {
        group_->cancel();
        try {
            group_->wait();
        } catch (...) {
            // Out of memory in work whose result is not wanted.
        }
        group_.reset();
    }
    work_ = nullptr;
}

void guard_pool_across_fork() noexcept {
#if !defined(_WIN32)
    static const int registered = pthread_atfork(before_fork, nullptr, in_child);
    static_cast<void>(registered);
#endif
}

}  // namespace quarn
