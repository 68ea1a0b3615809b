// The total-order sort and the Wasserstein-1 distance.
//
// Invariants: the sort is an ordered permutation (same bits, keys
// ascending, numeric order kept for non-NaN values, -0.0 before +0.0); the
// distance is symmetric bit for bit, >= 0, NaN only when a sample holds a NaN
// or the values overflow, and equal to a brute-force sum over the distinct
// values computed in long double; wasserstein_samples validates and then
// agrees with the distance of sorted copies.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "quarn/distance.hpp"

namespace {

using fuzz::bits;
using fuzz::Input;

void check_sorted(const std::vector<double>& input, const std::vector<double>& sorted) {
    FUZZ_CHECK(sorted.size() == input.size(), "sort changed the size");
    std::vector<std::uint64_t> a;
    std::vector<std::uint64_t> b;
    for (const double v : input) a.push_back(bits(v));
    for (const double v : sorted) b.push_back(bits(v));
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    FUZZ_CHECK(a == b, "sort is not a permutation of its input");
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        const double p = sorted[i - 1];
        const double q = sorted[i];
        FUZZ_CHECK(quarn::total_order_key(p) <= quarn::total_order_key(q),
                   "keys not ascending at %zu", i);
        FUZZ_CHECK(!(q < p), "numeric order broken at %zu: %a after %a", i, q, p);
        if (p == 0.0 && q == 0.0) {
            FUZZ_CHECK(!(std::signbit(q) && !std::signbit(p)), "+0.0 before -0.0");
        }
        FUZZ_CHECK(!quarn::total_less(q, p), "total_less disagrees with the order at %zu", i);
    }
    // A sorted array stays unchanged.
    std::vector<double> again = sorted;
    quarn::total_order_sort(again);
    FUZZ_CHECK(std::equal(again.begin(), again.end(), sorted.begin(),
                          [](double x, double y) { return bits(x) == bits(y); }),
               "sorting a sorted array changed it");
}

// Sum over the distinct values u_k of (u_k - u_{k-1}) * |F(u_{k-1}) - G(u_{k-1})|,
// with the fractions counted afresh for every value.
long double reference_distance(const std::vector<double>& x, const std::vector<double>& y) {
    std::vector<double> all(x);
    all.insert(all.end(), y.begin(), y.end());
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());  // -0.0 == +0.0
    long double sum = 0.0L;
    for (std::size_t k = 1; k < all.size(); ++k) {
        const double u = all[k - 1];
        const auto below = [u](const std::vector<double>& s) {
            return static_cast<long double>(std::count_if(s.begin(), s.end(),
                                                          [u](double v) { return v <= u; })) /
                   static_cast<long double>(s.size());
        };
        sum += (static_cast<long double>(all[k]) - static_cast<long double>(u)) *
               std::fabs(below(x) - below(y));
    }
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const bool finite_only = in.byte() % 4 != 0;
    const std::size_t n = in.below(97);  // past 64 the sort takes its comparator path
    const std::size_t m = in.below(97);
    const std::vector<double> x = in.values(n, finite_only);
    const std::vector<double> y = in.values(m, finite_only);

    std::vector<double> sx = x;
    std::vector<double> sy = y;
    quarn::total_order_sort(sx);
    quarn::total_order_sort(sy);
    check_sorted(x, sx);
    check_sorted(y, sy);

    // Validation of raw samples comes before any computation.
    const auto samples = quarn::wasserstein_samples(x, y);
    const bool finite = std::all_of(x.begin(), x.end(), quarn::is_finite_value) &&
                        std::all_of(y.begin(), y.end(), quarn::is_finite_value);
    if (x.empty() || y.empty()) {
        FUZZ_CHECK(!samples && samples.error() == "left and right samples must be non-empty",
                   "empty sample accepted");
        FUZZ_CHECK(std::isnan(quarn::wasserstein_distance(sx, sy)), "empty sample gives no NaN");
        return 0;
    }
    if (!finite) {
        FUZZ_CHECK(!samples && samples.error() == "samples contain NaN or infinite values",
                   "non-finite sample accepted");
    }

    const double d = quarn::wasserstein_distance(sx, sy);
    const double e = quarn::wasserstein_distance(sy, sx);
    FUZZ_CHECK(bits(d) == bits(e) || (std::isnan(d) && std::isnan(e)),
               "distance not symmetric: %a vs %a", d, e);
    if (finite) {
        FUZZ_CHECK(samples && bits(*samples) == bits(d), "wasserstein_samples differs");
    }

    const bool has_nan = std::any_of(x.begin(), x.end(), [](double v) { return std::isnan(v); }) ||
                         std::any_of(y.begin(), y.end(), [](double v) { return std::isnan(v); });
    const double lo = std::min(sx.front(), sy.front());
    const double hi = std::max(sx.back(), sy.back());
    const bool overflow = !finite || !std::isfinite(hi - lo);
    if (has_nan) {
        FUZZ_CHECK(std::isnan(d), "NaN in a sample but distance %a", d);
        return 0;
    }
    FUZZ_CHECK(!std::isnan(d) || overflow, "NaN distance of finite samples");
    if (std::isnan(d)) return 0;
    FUZZ_CHECK(d >= 0.0, "negative distance %a", d);
    if (overflow) return 0;

    const long double reference = reference_distance(x, y);
    const long double range = static_cast<long double>(hi) - static_cast<long double>(lo);
    // Near the top of the double range the running sum may round up to
    // infinity; that is overflow too.
    if (std::isinf(d)) {
        FUZZ_CHECK(reference > 0.25L * std::numeric_limits<double>::max(),
                   "infinite distance, reference %La", reference);
        return 0;
    }
    const long double tolerance = 1e-12L * range * static_cast<long double>(n + m) + 1e-300L;
    FUZZ_CHECK(std::fabs(static_cast<long double>(d) - reference) <= tolerance,
               "distance %a differs from the reference %La (n=%zu, m=%zu)", d, reference, n, m);
    FUZZ_CHECK(static_cast<long double>(d) <= range * (1 + 1e-12L) + 1e-300L,
               "distance %a above the range of the values %La", d, range);
    return 0;
}
