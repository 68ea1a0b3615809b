#include "quarn/pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include "check.hpp"
#include "quarn/multi_window.hpp"
#include "quarn/confirm.hpp"
#include "quarn/scores.hpp"
#include "sample_series.hpp"

namespace {

using Pieces = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

Pieces pieces_of(std::uint64_t n, std::uint64_t grain) {
    Pieces pieces;
    std::mutex guard;
    quarn::parallel_pieces(std::uint64_t{0}, n, grain, [&](std::uint64_t b, std::uint64_t e) {
        const std::lock_guard<std::mutex> lock(guard);
        pieces.emplace_back(b, e);
    });
    std::sort(pieces.begin(), pieces.end());
    return pieces;
}

bool covers(const Pieces& pieces, std::uint64_t n, std::uint64_t grain) {
    std::uint64_t next = 0;
    for (const auto& [b, e] : pieces) {
        if (b != next || e <= b || e - b > std::max<std::uint64_t>(grain, 1)) return false;
        next = e;
    }
    return next == n;
}

// Everything a standardisation found, bit for bit.
std::vector<double> standardised(const std::vector<double>& series) {
    const quarn::StandardValues values(series);
    std::vector<double> found = {values.standardisation().centre, values.unit()};
    for (std::size_t t = 0; t < series.size(); ++t) found.push_back(values.value(t));
    return found;
}

struct Runs {
    quarn::WindowChangePoints window_points;
    std::vector<std::uint64_t> method_points;
};

// Both detectors, with nested parallel work (replicates, regions, sizes).
Runs run_both(const std::vector<double>& series, std::uint64_t workers) {
    quarn::MultiWindowArguments multi;
    multi.series = series;
    multi.window_sizes = std::vector<std::uint64_t>{8, 16, 24, 40};
    multi.n_perm = 200;
    multi.workers = workers;
    const auto detected = quarn::detect_multi_window(multi);
    quarn::MethodArguments method;
    method.series = series;
    method.workers = workers;
    const auto changes = quarn::detect_changes(method);
    Runs runs;
    if (detected) runs.window_points = detected->window_change_points;
    if (changes) {
        for (const auto& change : changes->changes) runs.method_points.push_back(change.position);
    }
    return runs;
}

}  // namespace

TEST(side_tasks_run_beside_or_in_place_and_are_always_waited_for) {
    const auto sum_below = [](std::uint64_t n) {
        std::uint64_t sum = 0;
        for (std::uint64_t i = 0; i < n; ++i) sum += i * i;
        return sum;
    };
    const std::uint64_t expected = sum_below(100000);
    // On one thread, in a SerialHere scope, or when not asked to, the work
    // waits for join() and runs there, on the calling thread.
    const auto held = [&](bool beside) {
        std::uint64_t found = 0;
        std::thread::id ran_on;
        quarn::SideTask task;
        task.start([&] { found = sum_below(100000), ran_on = std::this_thread::get_id(); }, beside);
        CHECK(!task.beside());
        CHECK(found == 0u);
        task.join();
        CHECK(found == expected);
        CHECK(ran_on == std::this_thread::get_id());
        task.join();  // once only
    };
    tbb::task_arena one(1);
    one.execute([&] { held(true); });
    tbb::task_arena two(2);
    two.execute([&] {
        held(false);
        {
            const quarn::SerialHere alone;
            held(true);
        }
        std::uint64_t found = 0;
        quarn::SideTask task;
        task.start([&] { found = sum_below(100000); }, true);
        CHECK(task.beside());
        task.join();
        CHECK(found == expected);
        // Left without join(), as an early return leaves it: the work has
        // ended before the object is gone.
        std::atomic<bool> ended{false};
        {
            quarn::SideTask left;
            left.start(
                [&] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    ended.store(true);
                },
                true);
        }
        CHECK(ended.load());
        // Out of memory in the work comes out of join(), and only there.
        for (const bool beside : {false, true}) {
            quarn::SideTask failing;
            failing.start([] { throw std::bad_alloc(); }, beside);
            bool thrown = false;
            try {
                failing.join();
            } catch (const std::bad_alloc&) {
                thrown = true;
            }
            CHECK(thrown);
        }
        {
            quarn::SideTask unread;
            unread.start([] { throw std::bad_alloc(); }, true);
        }
        // Dropped work never runs when held, and is waited for when begun.
        for (const bool beside : {false, true}) {
            std::atomic<int> runs{0};
            quarn::SideTask dropped;
            dropped.start([&] { runs.fetch_add(1); }, beside);
            dropped.cancel();
            const int after_cancel = runs.load();
            CHECK(after_cancel <= (beside ? 1 : 0));
            dropped.join();
            CHECK(runs.load() == after_cancel);
        }
        // Work around the caller that is cancelled does not skip it.
        tbb::task_group outer;
        std::uint64_t inside = 0;
        outer.run([&] {
            quarn::SideTask task;
            task.start([&] { inside = sum_below(100000); }, true);
            outer.cancel();
            task.join();
        });
        outer.wait();
        CHECK(inside == expected);
    });
}

// The serial pieces are the ones the pool makes, so whatever a body does per
// piece is the same without the pool. Runs before the pool is given up; the
// cases after it run with the pool given up for the rest of the process.
TEST(pieces_match_the_pool_and_then_the_pool_can_be_given_up) {
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> shapes = {
        {1, 1}, {7, 1}, {100, 13}, {300, 75}, {1000, 1}, {5, 100}, {64, 0}};
    std::vector<Pieces> on_pool;
    for (const auto& [n, grain] : shapes) {
        on_pool.push_back(pieces_of(n, grain));
        CHECK(covers(on_pool.back(), n, grain));
    }
    CHECK(pieces_of(0, 4).empty());
    const std::vector<double> series = sample::noise(11, 900);
    std::vector<double> shifted = series;
    for (std::size_t i = 300; i < 600; ++i) shifted[i] += 2.5;
    const Runs pooled = run_both(shifted, 3);
    {
        // In a serial scope, the same pieces and the same results, every
        // piece on this thread; the scope ends where it was opened.
        const quarn::SerialHere here;
        {
            const quarn::SerialHere nested;
        }
        CHECK(quarn::serial_here());
        const std::thread::id caller = std::this_thread::get_id();
        bool elsewhere = false;
        quarn::parallel_pieces(std::uint64_t{0}, std::uint64_t{4000}, std::uint64_t{1},
                               [&](std::uint64_t, std::uint64_t) {
                                   if (std::this_thread::get_id() != caller) elsewhere = true;
                               });
        CHECK(!elsewhere);
        for (std::size_t s = 0; s < shapes.size(); ++s) {
            CHECK(pieces_of(shapes[s].first, shapes[s].second) == on_pool[s]);
        }
        for (const std::uint64_t workers : {std::uint64_t{0}, std::uint64_t{3}}) {
            const Runs serial = run_both(shifted, workers);
            CHECK(serial.window_points == pooled.window_points);
            CHECK(serial.method_points == pooled.method_points);
        }
    }
    CHECK(!quarn::serial_here());
    // Long enough for the centre and the scale to be found side by side,
    // with values the winsorizing moves.
    std::vector<double> long_series = sample::noise(12, 70000);
    for (std::size_t i = 0; i < long_series.size(); i += 97) long_series[i] *= 40.0;
    const std::vector<double> long_pooled = standardised(long_series);

    CHECK(!quarn::pool_given_up());
    quarn::give_up_pool();
    CHECK(quarn::pool_given_up());
    for (std::size_t s = 0; s < shapes.size(); ++s) {
        CHECK(pieces_of(shapes[s].first, shapes[s].second) == on_pool[s]);
    }
    for (const std::uint64_t workers : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{3}}) {
        const Runs alone = run_both(shifted, workers);
        CHECK(alone.window_points == pooled.window_points);
        CHECK(alone.method_points == pooled.method_points);
    }
    CHECK(!pooled.method_points.empty());
    CHECK(standardised(long_series) == long_pooled);
}
