// Parallel loops on the worker pool, and the process state in which they
// must not touch it.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_group.h>

namespace quarn {

// True once this process has given the worker pool up. A child forked while
// another thread of its parent kept the pool running inherits the pool's
// books without its threads, and perhaps with its internal locks held by a
// worker that does not exist in the child: any use of the pool there could
// wait forever. From then on every parallel loop runs on its calling thread,
// in the same pieces; results never depend on pieces or threads.
bool pool_given_up() noexcept;
void give_up_pool() noexcept;

// Registers, once per process image of the core, handlers around fork() (on
// POSIX systems; nothing elsewhere). Before a fork the idle pool is stopped
// and its workers joined, so that parent and child each start a fresh pool
// at their next parallel call. When another thread still holds on to the
// pool, nothing can be stopped, and the child gives the pool up.
void guard_pool_across_fork() noexcept;

// True on a thread inside a SerialHere scope.
bool serial_here() noexcept;

// While it lives, every parallel loop that its thread starts (and the loops
// nested in those) runs on that thread, in the same pieces: for work too
// small to pay for waking the pool's workers. Scopes nest.
class SerialHere {
  public:
    SerialHere() noexcept;
    ~SerialHere();
    SerialHere(const SerialHere&) = delete;
    SerialHere& operator=(const SerialHere&) = delete;

  private:
    bool outer_;
};

// Work that depends on nothing the calling thread does until join(): run
// on the pool beside the caller's own work when asked to and when the
// calling thread's arena has another thread for it (not in a SerialHere
// scope, nor once the pool was given up); otherwise held, and run by join()
// on the calling thread, where it would have run in order. What the work
// computes must not depend on which. A task still running when the object
// dies is waited for first (an early return must not leave it reading what
// is freed), so its work should watch the same stop request as the caller.
// Only the calling thread uses the object, and starts it once.
class SideTask {
  public:
    SideTask() = default;
    SideTask(const SideTask&) = delete;
    SideTask& operator=(const SideTask&) = delete;
    ~SideTask();

    void start(std::function<void()> work, bool beside);
    // Waits for the work, or runs it if it was held or never began; throws
    // again what it threw (out of memory). Later calls do nothing.
    void join();
    // Drops the work: held or not yet begun, it never runs; begun, it is
    // waited for and what it threw is dropped too. Later calls of join()
    // do nothing.
    void cancel() noexcept;
    // Whether the work was started beside the caller.
    bool beside() const noexcept { return group_.has_value(); }

  private:
    std::function<void()> work_;
    std::atomic<bool> done_{false};
    // Isolated: a cancellation of the work around the caller's does not
    // skip this work, whose result the caller reads.
    tbb::task_group_context context_{tbb::task_group_context::isolated};
    std::optional<tbb::task_group> group_;
};

// Whether a SideTask started on this thread now would run beside it.
bool side_tasks_run_beside() noexcept;

namespace detail {

template <class Index, class Body>
void serial_pieces(Index begin, Index end, Index grain, const Body& body) {
    // The pieces simple_partitioner makes: halves while longer than grain.
    while (end - begin > grain) {
        const Index middle = begin + (end - begin) / 2;
        serial_pieces(begin, middle, grain, body);
        begin = middle;
    }
    body(begin, end);
}

}  // namespace detail

// Calls body(b, e) on pieces [b, e) covering [begin, end), each at most
// `grain` long (at least 1), split into halves as simple_partitioner splits,
// on the pool, or on the calling thread when the pool was given up or in a
// SerialHere scope. A range of one piece runs on the calling thread without
// entering the pool (the first entry of a process starts the pool's threads).
template <class Index, class Body>
void parallel_pieces(Index begin, Index end, Index grain, const Body& body) {
    if (begin >= end) return;
    if (grain < 1) grain = 1;
    if (end - begin <= grain || pool_given_up() || serial_here()) {
        detail::serial_pieces(begin, end, grain, body);
        return;
    }
    tbb::parallel_for(
        tbb::blocked_range<Index>(begin, end, grain),
        [&](const tbb::blocked_range<Index>& range) { body(range.begin(), range.end()); },
        tbb::simple_partitioner());
}

}  // namespace quarn
