// The search for a seasonal cycle of only 3.5 to 8 periods, where the
// plain periodogram cannot tell a cycle from the steep low end of a smooth
// spectrum: the series less a cubic, tapered, its peak measured against a
// level read from higher frequencies; a second look once the level shifts
// around the candidate's cycle are taken out.
#include "quarn/structure.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <memory>
#include <mutex>
#include <numbers>
#include <utility>
#include <vector>

#include "structure_internal.hpp"

namespace quarn {

using namespace structure_detail;

namespace {

// The search for a cycle of fewer than widen_cycles periods, when the
// periodogram's own search finds none: the series less a cubic is tapered,
// and its peak must stand this many times above the chance level, against a
// level read from the ordinates from 3 to 3 c + 3 frequencies (c the peak's)
// scaled to the peak's frequency as the steepest smooth spectrum falls (as
// 1 / f^2).
constexpr double few_cycles_strength = 3.0;
constexpr double few_cycles_gap = 3.0;
// Below this many cycles (the peak placed between its grid neighbours) a
// cycle cannot be told from the main lobe of a slower swing.
constexpr double few_cycles_least = 3.5;
// The share of its threshold a peak must reach for a second look once the
// level shifts around its cycle are taken out.
constexpr double few_cycles_second_look = 0.25;
// Half the width of the tapered peak's main lobe, in Fourier frequencies.
constexpr double taper_lobe = 2.0;
constexpr int trend_degree = 3;

constexpr int terms = trend_degree + 1;

// The Legendre polynomials of degree 0 .. trend_degree of the position
// scaled to [-1, 1] (nearly orthogonal on an even grid, so the normal
// equations are well conditioned) at the places 0 .. n - 1, and the sums of
// their products over the places: they depend on n alone, so the fits of
// one search share them.
class CubicBasis {
    static_assert(terms == 4, "the basis keeps the position and the cubic");

  public:
    explicit CubicBasis(std::size_t n) : n_(n), kept_(2 * n) {
        for (std::size_t t = 0; t < n; ++t) {
            const double u =
                n > 1 ? 2.0 * static_cast<double>(t) / static_cast<double>(n - 1) - 1.0 : 0.0;
            double b[terms];
            b[0] = 1.0;
            b[1] = u;
            for (int k = 2; k < terms; ++k) {
                b[k] = ((2.0 * k - 1.0) * u * b[k - 1] - (k - 1.0) * b[k - 2]) / k;
            }
            kept_[2 * t] = u;
            kept_[2 * t + 1] = b[3];
            for (int i = 0; i < terms; ++i) {
                for (int k = 0; k < terms; ++k) gram_[i][k] += b[i] * b[k];
            }
        }
    }

    std::size_t size() const { return n_; }
    // The polynomials at place t (the quadratic recomputed from the
    // position, as above: a halving, no division).
    void at(std::size_t t, double (&b)[terms]) const {
        const double u = kept_[2 * t];
        b[0] = 1.0;
        b[1] = u;
        b[2] = ((2.0 * 2 - 1.0) * u * b[1] - (2 - 1.0) * b[0]) / 2;
        b[3] = kept_[2 * t + 1];
    }
    double gram(int i, int k) const { return gram_[i][k]; }

  private:
    std::size_t n_;
    std::vector<double> kept_;  // the position and the cubic, place by place
    double gram_[terms][terms] = {};
};

// The values less their least-squares polynomial of degree trend_degree
// (on the basis's places), in place of them.
std::vector<double> polynomial_residuals(const CubicBasis& basis, std::vector<double> residuals) {
    const std::size_t n = basis.size();
    double gram[terms][terms + 1] = {};
    for (int i = 0; i < terms; ++i) {
        for (int k = 0; k < terms; ++k) gram[i][k] = basis.gram(i, k);
    }
    for (std::size_t t = 0; t < n; ++t) {
        double b[terms];
        basis.at(t, b);
        for (int i = 0; i < terms; ++i) gram[i][terms] += b[i] * residuals[t];
    }
    // Gaussian elimination with partial pivoting on the augmented matrix.
    for (int col = 0; col < terms; ++col) {
        int pivot = col;
        for (int r = col + 1; r < terms; ++r) {
            if (std::abs(gram[r][col]) > std::abs(gram[pivot][col])) pivot = r;
        }
        if (!(std::abs(gram[pivot][col]) > 0.0)) return residuals;
        if (pivot != col) {
            for (int k = 0; k <= terms; ++k) std::swap(gram[col][k], gram[pivot][k]);
        }
        for (int r = 0; r < terms; ++r) {
            if (r == col) continue;
            const double f = gram[r][col] / gram[col][col];
            for (int k = col; k <= terms; ++k) gram[r][k] -= f * gram[col][k];
        }
    }
    double coefficients[terms];
    for (int i = 0; i < terms; ++i) coefficients[i] = gram[i][terms] / gram[i][i];
    for (std::size_t t = 0; t < n; ++t) {
        double b[terms];
        basis.at(t, b);
        for (int i = 0; i < terms; ++i) residuals[t] -= coefficients[i] * b[i];
    }
    return residuals;
}

// The padded index of a cycle of between few_cycles_least and widen_cycles
// periods in `values`, 0 when there is none. Over so few cycles the plain
// periodogram cannot tell a cycle from the steep low end of persistent
// noise, a random walk, a trend or level shifts: the
// series less a cubic (which takes most of a trend and of the slowest
// wander out) is tapered by a Hann window, whose side lobes fall fast, and
// the peak is measured against a level read from higher frequencies, each
// ordinate scaled up to the peak's frequency as 1 / f^2 does: every smooth
// spectrum falls at most that steeply, so its level is not underrated,
// while a cycle of a few periods stands far above it. A peak with a higher
// ordinate within its main lobe is the skirt of a slower swing.
// The peak that comes nearest its threshold, and how near (its ratio to it).
// The Hann taper's sines, sin(pi (t + 1/2) / n) for t < n, of the last few
// lengths tapered, kept for later searches of the same length (the second
// look, and the next series of a batch of equally long ones): at most
// kept_taper_values values (1 MB) in all, the oldest length dropped first.
constexpr std::size_t kept_taper_values = std::size_t{1} << 17;
std::mutex taper_mutex;
std::vector<std::shared_ptr<const std::vector<double>>> kept_tapers;  // guarded by taper_mutex

std::shared_ptr<const std::vector<double>> taper_sines(std::size_t n) {
    {
        const std::lock_guard<std::mutex> lock(taper_mutex);
        for (const auto& kept : kept_tapers) {
            if (kept->size() == n) return kept;
        }
    }
    auto sines = std::make_shared<std::vector<double>>(n);
    const double nd = static_cast<double>(n);
    for (std::size_t t = 0; t < n; ++t) {
        (*sines)[t] = std::sin(std::numbers::pi * (static_cast<double>(t) + 0.5) / nd);
    }
    std::shared_ptr<const std::vector<double>> made = std::move(sines);
    if (n <= kept_taper_values) {
        const std::lock_guard<std::mutex> lock(taper_mutex);
        std::size_t total = n;
        for (const auto& kept : kept_tapers) total += kept->size();
        while (total > kept_taper_values) {
            total -= kept_tapers.front()->size();
            kept_tapers.erase(kept_tapers.begin());
        }
        kept_tapers.push_back(made);
    }
    return made;
}

// The cubic bases of the last few lengths searched, kept for later searches
// of the same length (the next series of a batch of equally long ones, or
// the next call on a series of that length): at most kept_basis_values
// values (2 MB) in all, the oldest length dropped first.
constexpr std::size_t kept_basis_values = std::size_t{1} << 18;
std::mutex basis_mutex;
std::vector<std::shared_ptr<const CubicBasis>> kept_bases;  // guarded by basis_mutex

std::shared_ptr<const CubicBasis> cubic_basis(std::size_t n) {
    {
        const std::lock_guard<std::mutex> lock(basis_mutex);
        for (const auto& kept : kept_bases) {
            if (kept->size() == n) return kept;
        }
    }
    std::shared_ptr<const CubicBasis> made = std::make_shared<const CubicBasis>(n);
    if (2 * n <= kept_basis_values) {
        const std::lock_guard<std::mutex> lock(basis_mutex);
        std::size_t total = 2 * n;
        for (const auto& kept : kept_bases) total += 2 * kept->size();
        while (total > kept_basis_values) {
            total -= 2 * kept_bases.front()->size();
            kept_bases.erase(kept_bases.begin());
        }
        kept_bases.push_back(made);
    }
    return made;
}

struct FewCycleCandidate {
    std::size_t index = 0;
    double strength = 0.0;
};

std::size_t few_cycle_peak_of(const CubicBasis& basis, std::span<const double> values,
                              std::size_t padded,
                              std::span<const std::complex<double>> twiddles,
                              FewCycleCandidate* strongest) {
    const std::size_t n = values.size();
    const std::vector<double> residuals =
        polynomial_residuals(basis, std::vector<double>(values.begin(), values.end()));
    std::vector<std::complex<double>> data(padded);
    const double nd = static_cast<double>(n);
    const std::shared_ptr<const std::vector<double>> sines = taper_sines(n);
    for (std::size_t t = 0; t < n; ++t) {
        const double s = (*sines)[t];
        data[t] = {residuals[t] * s * s, 0.0};
    }
    const std::size_t half = padded / 2;
    const double scale = static_cast<double>(padded) / nd;
    const auto at = [&](double cycles) {
        return std::min(half, static_cast<std::size_t>(std::llround(cycles * scale)));
    };
    const auto first = static_cast<std::size_t>(std::ceil(min_cycles * scale));
    const auto last = static_cast<std::size_t>(std::ceil(widen_cycles * scale));
    const auto lobe = static_cast<std::size_t>(std::ceil(taper_lobe * scale));
    // The search reads the ordinates below last + lobe (a peak's lobe) and,
    // for a level, those up to at(3 c + few_cycles_gap) with c below last /
    // scale cycles: no higher one is transformed.
    const std::size_t read = std::max(
        last + lobe + 1,
        3 * last + static_cast<std::size_t>(std::ceil(few_cycles_gap * scale)) + 2);
    const std::size_t count = std::min(half + 1, read);
    fourier_transform_lowest(data, twiddles, count);
    std::vector<double> power(half + 1, 0.0);
    for (std::size_t j = 0; j < count; ++j) power[j] = std::norm(data[j]);
    const double base = std::log((widen_cycles - min_cycles) / chance);
    std::vector<double> window;
    double best = 0.0;
    std::size_t peak = 0;
    for (std::size_t j = std::max<std::size_t>(first, 1); j < last && j + 1 <= half; ++j) {
        bool highest = true;
        for (std::size_t i = j > lobe ? j - lobe : 1; i <= std::min(half, j + lobe) && highest; ++i) {
            highest = !(power[i] > power[j]);
        }
        if (!highest) continue;
        // The peak between the grid's ordinates: the vertex of a parabola
        // through the logarithms of the three about it.
        double offset = 0.0;
        if (power[j - 1] > 0.0 && power[j + 1] > 0.0 && power[j] > 0.0) {
            const double a = std::log(power[j - 1]), b = std::log(power[j]), d = std::log(power[j + 1]);
            const double curvature = a - 2.0 * b + d;
            if (curvature < 0.0) offset = std::clamp(0.5 * (a - d) / curvature, -0.5, 0.5);
        }
        if ((static_cast<double>(j) + offset) / scale < few_cycles_least) continue;
        const double c = static_cast<double>(j) / scale;
        window.clear();
        for (double f = std::ceil(c + few_cycles_gap); f <= 3.0 * c + few_cycles_gap; f += 1.0) {
            if (at(f) >= half) break;
            window.push_back(power[at(f)] * (f / c) * (f / c));
        }
        if (window.size() < 4) continue;
        const auto middle = window.begin() + static_cast<std::ptrdiff_t>(window.size() / 2);
        std::nth_element(window.begin(), middle, window.end());
        const double level = *middle / std::numbers::ln2;
        if (!(level > 0.0)) continue;
        const double count = static_cast<double>(window.size());
        const double threshold = few_cycles_strength * base * (1.0 + base / count);
        const double r = power[j] / level / threshold;
        if (strongest != nullptr && r > strongest->strength) *strongest = {j, r};
        if (r > 1.0 && r > best) {
            best = r;
            peak = j;
        }
    }
    return peak;
}

}  // namespace

namespace structure_detail {

// few_cycle_peak_of the n values z(0) .. z(n - 1); when it finds none, of
// the same (less a cubic) less the level shifts that the residuals of the strongest
// candidate's cycle show (fitted by fit_cycle_between_shifts): a shift's
// spectrum falls as 1 / f^2 and raises the level a cycle of a few periods
// is measured against as much as the shift is large, while the shifts are
// found only around the cycle, not in it. (Two looks double the chance of
// a false period, still far below a thousandth.)
std::size_t few_cycle_peak(std::size_t n, const ValueAt& z, std::size_t padded,
                           std::span<const std::complex<double>> twiddles) {
    if (n > max_stretch || n < min_length) return 0;
    // Less a cubic first, so that a trend is not cut into a staircase.
    const std::shared_ptr<const CubicBasis> kept_basis = cubic_basis(n);
    const CubicBasis& basis = *kept_basis;
    // The values first, so that no call interrupts the sums of the fit.
    std::vector<double> values(n);
    for (std::size_t t = 0; t < n; ++t) values[t] = z(t);
    values = polynomial_residuals(basis, std::move(values));
    FewCycleCandidate candidate;
    const std::size_t peak = few_cycle_peak_of(basis, values, padded, twiddles, &candidate);
    // A second look only where a cycle may be hidden: noise alone leaves
    // every peak far below its threshold.
    if (peak != 0 || candidate.index == 0 || candidate.strength < few_cycles_second_look) {
        return peak;
    }
    const double period = static_cast<double>(padded) / static_cast<double>(candidate.index);
    const SeasonalCycle cycle = fit_cycle_between_shifts(values, period);
    std::vector<double> residual(n);
    for (std::size_t t = 0; t < n; ++t) residual[t] = values[t] - cycle.values[t];
    const std::vector<std::size_t> cuts = cusum_shifts(
        residual, std::max<std::size_t>(min_length, static_cast<std::size_t>(cycle.period / 4.0)));
    if (cuts.empty()) return 0;
    subtract_segment_means(residual, cuts, values, values);
    return few_cycle_peak_of(basis, values, padded, twiddles, nullptr);
}

}  // namespace structure_detail

}  // namespace quarn
