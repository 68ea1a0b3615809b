// Best splits: CUSUM for the mean, weighted Wasserstein for variance and
// distribution, and the whole-series entry points built on them.
//
// Invariants: 1 <= k <= n - 1; the split equals a brute force that scores
// every k afresh (sums recomputed in index order, both sides sorted anew)
// and keeps the first maximum; the refinement profile equals the brute-force
// scores bit for bit with entry 0 NaN; the entry points agree with best_split.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "fuzz_input.hpp"
#include "quarn/distance.hpp"
#include "quarn/refine.hpp"
#include "quarn/stats.hpp"

namespace {

using fuzz::bits;
using fuzz::Input;

struct Scores {
    std::vector<double> score;  // score[k], k = 1 .. n-1
    std::uint64_t split = 1;
};

Scores first_maximum(std::vector<double> score) {
    Scores out{std::move(score), 1};
    double best = -std::numeric_limits<double>::infinity();
    for (std::size_t k = 1; k < out.score.size(); ++k) {
        if (out.score[k] > best) {
            best = out.score[k];
            out.split = k;
        }
    }
    return out;
}

Scores brute_cusum(const std::vector<double>& x) {
    const std::size_t n = x.size();
    double total = 0.0;
    for (const double v : x) total = total + v;
    const double mean = total / static_cast<double>(n);
    std::vector<double> score(n, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t k = 1; k < n; ++k) {
        double s = 0.0;
        for (std::size_t i = 0; i < k; ++i) s = s + (mean - x[i]);
        score[k] = std::fabs(s);
    }
    return first_maximum(std::move(score));
}

Scores brute_wasserstein(const std::vector<double>& x) {
    const std::size_t n = x.size();
    std::vector<double> score(n, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t k = 1; k < n; ++k) {
        std::vector<double> left(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(k));
        std::vector<double> right(x.begin() + static_cast<std::ptrdiff_t>(k), x.end());
        quarn::total_order_sort(left);
        quarn::total_order_sort(right);
        const double d = quarn::wasserstein_distance(left, right);
        const double weight = std::sqrt(
            (static_cast<double>(n - k) * static_cast<double>(k)) / static_cast<double>(n));
        score[k] = d * weight;
    }
    return first_maximum(std::move(score));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::size_t n = in.below(81);
    const std::vector<double> x = in.values(n, true);
    const auto type = static_cast<quarn::ChangeType>(in.below(3));

    const auto split = quarn::best_split(x, type);
    if (n < 3) {
        FUZZ_CHECK(!split && split.error() == "need at least 3 points", "short stretch accepted");
        FUZZ_CHECK(!quarn::refine_cusum(x) && !quarn::refine_wasserstein(x),
                   "short series accepted by a refinement");
        return 0;
    }
    FUZZ_CHECK(split.has_value(), "best_split failed on %zu values", n);
    FUZZ_CHECK(*split >= 1 && *split <= n - 1, "split %llu outside 1..%zu",
               static_cast<unsigned long long>(*split), n - 1);

    const Scores cusum = brute_cusum(x);
    const Scores wasserstein = brute_wasserstein(x);
    const Scores& expected = type == quarn::ChangeType::mean ? cusum : wasserstein;
    FUZZ_CHECK(*split == expected.split, "split %llu, brute force %llu (n=%zu, type %d)",
               static_cast<unsigned long long>(*split),
               static_cast<unsigned long long>(expected.split), n, static_cast<int>(type));

    const auto refined_cusum = quarn::refine_cusum(x);
    FUZZ_CHECK(refined_cusum && *refined_cusum == cusum.split, "refine_cusum differs");
    const auto refined = quarn::refine_wasserstein(x);
    FUZZ_CHECK(refined.has_value(), "refine_wasserstein failed");
    FUZZ_CHECK(refined->split == wasserstein.split, "refine_wasserstein split differs");
    FUZZ_CHECK(refined->profile.size() == n, "profile of %zu entries for %zu values",
               refined->profile.size(), n);
    FUZZ_CHECK(std::isnan(refined->profile[0]), "profile[0] is not NaN");
    for (std::size_t k = 1; k < n; ++k) {
        FUZZ_CHECK(fuzz::same(refined->profile[k], wasserstein.score[k]),
                   "profile[%zu] = %a, brute force %a", k, refined->profile[k],
                   wasserstein.score[k]);
    }
    static constexpr const char* names[] = {"mean", "VAR", "Distribution"};
    const auto swal = quarn::swal_split(x, names[static_cast<int>(type)]);
    FUZZ_CHECK(swal && *swal == *split, "swal_split differs from best_split");
    return 0;
}
