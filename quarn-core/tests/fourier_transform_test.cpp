// The Fourier transform: against the direct sum and a plain radix-2
// transform, bit for bit on any pool, its kept twiddle tables, and its
// lowest outputs alone.
#include "quarn/structure.hpp"

#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "../src/structure_internal.hpp"
#include "quarn/pool.hpp"
#include "check.hpp"
#include "cycle_series.hpp"

using quarn::fourier_transform;

using cycle_series::gaussian;

TEST(the_transform_matches_the_direct_sum) {
    const std::vector<double> x = gaussian(64, 3);
    std::vector<std::complex<double>> data(x.begin(), x.end());
    fourier_transform(data);
    for (std::size_t j = 0; j < x.size(); ++j) {
        std::complex<double> direct;
        for (std::size_t t = 0; t < x.size(); ++t) {
            const double angle = -2.0 * std::numbers::pi * static_cast<double>(j * t) / 64.0;
            direct += x[t] * std::complex<double>(std::cos(angle), std::sin(angle));
        }
        CHECK(std::abs(direct - data[j]) < 1e-9);
    }
}

TEST(shared_twiddles_give_the_same_bits_at_every_length) {
    // A table of a longer transform serves the shorter ones, and the same
    // table serves many transforms: each gives the bits of its own.
    const std::vector<std::complex<double>> table = quarn::fourier_twiddles(1024);
    CHECK_EQ(table.size(), std::size_t{512});
    for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{8}, std::size_t{256},
                                std::size_t{1024}}) {
        const std::vector<double> x = gaussian(n, static_cast<std::uint32_t>(n));
        std::vector<std::complex<double>> own(x.size()), shared(x.size());
        for (std::size_t t = 0; t < n; ++t) {
            own[t] = {x[t], t % 3 == 0 ? -x[t] : 0.0};
            shared[t] = own[t];
        }
        fourier_transform(own);
        fourier_transform(shared, table);
        for (std::size_t j = 0; j < n; ++j) {
            CHECK(check::same_bits(own[j].real(), shared[j].real()));
            CHECK(check::same_bits(own[j].imag(), shared[j].imag()));
        }
    }
}

namespace {

// The radix-2 transform written plainly: the incremental bit reversal, then
// every stage's butterflies block by block, each output below `count`.
void plain_transform(std::vector<std::complex<double>>& data,
                     const std::vector<std::complex<double>>& twiddles, std::size_t count) {
    const std::size_t n = data.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(data[i], data[j]);
    }
    const std::size_t table = 2 * twiddles.size();
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const std::size_t half = length / 2;
        for (std::size_t start = 0; start < n; start += length) {
            for (std::size_t k = 0; k < std::min(half, count); ++k) {
                const std::complex<double> w = twiddles[k * (table / length)];
                const std::complex<double> u = data[start + k], b = data[start + k + half];
                const double vr = b.real() * w.real() - b.imag() * w.imag();
                const double vi = b.real() * w.imag() + b.imag() * w.real();
                data[start + k] = {u.real() + vr, u.imag() + vi};
                data[start + k + half] = {u.real() - vr, u.imag() - vi};
            }
        }
    }
}

}  // namespace

TEST(the_transform_has_the_plain_transforms_bits) {
    const std::vector<std::complex<double>> table = quarn::fourier_twiddles(16384);
    for (std::size_t n = 2; n <= 16384; n *= 2) {
        const std::vector<double> x = gaussian(2 * n, static_cast<std::uint32_t>(n + 5));
        for (const std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{3}, n / 4 + 1,
                                        n / 2 - 1, n / 2 + 1, n}) {
            std::vector<std::complex<double>> plain(n), fast(n);
            for (std::size_t t = 0; t < n; ++t) plain[t] = fast[t] = {x[t], x[n + t]};
            plain_transform(plain, table, count);
            quarn::fourier_transform_lowest(fast, table, count);
            bool same = true;
            for (std::size_t j = 0; j < std::min(count, n); ++j) {
                same = same && check::same_bits(plain[j].real(), fast[j].real()) &&
                       check::same_bits(plain[j].imag(), fast[j].imag());
            }
            CHECK(same);
        }
    }
}

TEST(long_transforms_have_the_plain_transforms_bits_on_any_pool) {
    // Long transforms run their stages in pieces on the pool's threads.
    const std::vector<std::complex<double>> table = quarn::fourier_twiddles(std::size_t{1} << 16);
    for (const std::size_t n : {std::size_t{1} << 13, std::size_t{1} << 14, std::size_t{1} << 16}) {
        const std::vector<double> x = gaussian(2 * n, static_cast<std::uint32_t>(n + 9));
        for (const std::size_t count : {std::size_t{1}, std::size_t{700}, n / 2 + 3, n}) {
            std::vector<std::complex<double>> plain(n);
            for (std::size_t t = 0; t < n; ++t) plain[t] = {x[t], x[n + t]};
            plain_transform(plain, table, count);
            const auto same_as_plain = [&](const std::vector<std::complex<double>>& fast) {
                bool same = true;
                for (std::size_t j = 0; j < count; ++j) {
                    same = same && check::same_bits(plain[j].real(), fast[j].real()) &&
                           check::same_bits(plain[j].imag(), fast[j].imag());
                }
                return same;
            };
            for (const int threads : {1, 2, 3, 8}) {
                std::vector<std::complex<double>> fast(n);
                for (std::size_t t = 0; t < n; ++t) fast[t] = {x[t], x[n + t]};
                tbb::task_arena arena(threads);
                arena.execute([&] { quarn::fourier_transform_lowest(fast, table, count); });
                CHECK(same_as_plain(fast));
            }
            std::vector<std::complex<double>> here(n);
            for (std::size_t t = 0; t < n; ++t) here[t] = {x[t], x[n + t]};
            {
                const quarn::SerialHere serial;
                quarn::fourier_transform_lowest(here, table, count);
            }
            CHECK(same_as_plain(here));
        }
    }
}

TEST(twiddles_copied_from_the_kept_table_have_their_own_bits) {
    // Whichever longer table was asked for before, each table holds its own
    // cosines and sines; lengths past the kept table's are computed.
    const auto own = [](std::size_t n, std::size_t k) {
        const double angle = -2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n);
        return std::complex<double>(std::cos(angle), std::sin(angle));
    };
    std::vector<std::size_t> lengths;
    for (std::size_t n = 1; n <= (std::size_t{1} << 17); n *= 2) lengths.push_back(n);
    for (int pass = 0; pass < 2; ++pass) {
        for (const std::size_t n : lengths) {
            const std::vector<std::complex<double>> table = quarn::fourier_twiddles(n);
            CHECK_EQ(table.size(), n / 2);
            bool same = true;
            for (std::size_t k = 0; k < table.size(); ++k) {
                same = same && check::same_bits(table[k].real(), own(n, k).real()) &&
                       check::same_bits(table[k].imag(), own(n, k).imag());
            }
            CHECK(same);
        }
        std::reverse(lengths.begin(), lengths.end());
    }
}

TEST(the_lowest_outputs_alone_have_the_full_transforms_bits) {
    const std::vector<std::complex<double>> table = quarn::fourier_twiddles(512);
    const std::vector<double> x = gaussian(512, 8);
    for (const std::size_t n : {std::size_t{64}, std::size_t{512}}) {
        std::vector<std::complex<double>> whole(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n));
        fourier_transform(whole, table);
        for (const std::size_t count : {std::size_t{1}, std::size_t{3}, std::size_t{17}, n / 2,
                                        n / 2 + 1, n}) {
            std::vector<std::complex<double>> lowest(x.begin(),
                                                     x.begin() + static_cast<std::ptrdiff_t>(n));
            quarn::fourier_transform_lowest(lowest, table, count);
            for (std::size_t j = 0; j < count; ++j) {
                CHECK(check::same_bits(lowest[j].real(), whole[j].real()));
                CHECK(check::same_bits(lowest[j].imag(), whole[j].imag()));
            }
        }
    }
}
