// Stop requests and progress counts shared between a running detection and
// the thread that waits for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

namespace quarn {

// The waiting thread may ask a detection to stop; every sweep and every
// bootstrap replicate looks at the request, so a stopped run ends within a
// few positions. Sweeps count the positions they have finished, which is
// what a progress display shows. Both are relaxed atomics: they order
// nothing, and the results of a run that was not stopped never depend on
// them.
class RunControl {
  public:
    void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
    bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

    void add_progress(std::uint64_t positions) noexcept {
        done_.fetch_add(positions, std::memory_order_relaxed);
    }
    std::uint64_t progress() const noexcept { return done_.load(std::memory_order_relaxed); }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> done_{0};
};

// The error of a run that was stopped on request.
inline constexpr std::string_view stopped_message = "detection stopped on request";

}  // namespace quarn
