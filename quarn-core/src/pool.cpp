#include "quarn/pool.hpp"

#include <atomic>
#include <new>

#include <oneapi/tbb/global_control.h>

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

void guard_pool_across_fork() noexcept {
#if !defined(_WIN32)
    static const int registered = pthread_atfork(before_fork, nullptr, in_child);
    static_cast<void>(registered);
#endif
}

}  // namespace quarn
