#include "fork_safety.hpp"

#include <oneapi/tbb/global_control.h>

#include <chrono>
#include <new>
#include <thread>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace quarn::py {

namespace {

#if !defined(_WIN32)
// A child of fork() inherits the bookkeeping of the worker pool but none of
// its threads: the pool would count on workers that do not exist, and every
// parallel loop of the child would run on its calling thread alone. So,
// before the fork, the idle workers are stopped and joined; parent and child
// then each start a fresh pool at their next parallel call. When another
// thread still holds on to the pool (a Python thread that has called the
// detector and is still alive), nothing is stopped and the fork goes ahead
// as it would without this handler; the child's results are the same, only
// computed without workers.
void before_fork() noexcept {
    try {
        oneapi::tbb::task_scheduler_handle handle{oneapi::tbb::attach{}};
        if (handle && !oneapi::tbb::finalize(handle, std::nothrow)) {
            // The pool lives on into the child. A worker that has just
            // finished its work briefly holds the pool's internal locks on
            // its way to sleep, and a child forked at that moment would
            // find them locked for good: let the workers settle first.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    } catch (...) {
        // Out of memory for the handle: fork with the pool as it is.
    }
}
#endif

}  // namespace

void install_fork_handlers() {
#if !defined(_WIN32)
    static const int registered = pthread_atfork(before_fork, nullptr, nullptr);
    static_cast<void>(registered);
#endif
}

}  // namespace quarn::py
