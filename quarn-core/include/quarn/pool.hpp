// Parallel loops on the worker pool, and the process state in which they
// must not touch it.
#pragma once

#include <cstddef>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>

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
