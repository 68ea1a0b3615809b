// Shared helpers of the core fuzz targets: reading choices from the fuzzer's
// bytes, and checks that abort with a message (which libFuzzer records as a
// crash with the input that caused it).
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

namespace fuzz {

#define FUZZ_CHECK(condition, ...)                                                   \
    do {                                                                             \
        if (!(condition)) {                                                          \
            std::fprintf(stderr, "\ncheck failed at %s:%d: %s\n", __FILE__, __LINE__, \
                         #condition);                                                \
            std::fprintf(stderr, __VA_ARGS__);                                       \
            std::fprintf(stderr, "\n");                                              \
            std::abort();                                                            \
        }                                                                            \
    } while (0)

// Reads from the front of the input; past its end every read gives 0.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    std::uint64_t bytes(std::size_t count) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < count; ++i) value |= std::uint64_t{byte()} << (8 * i);
        return value;
    }

    // Uniform enough in [0, bound); 0 for bound <= 1.
    std::uint64_t below(std::uint64_t bound) {
        if (bound <= 1) return 0;
        if (bound <= 256) return byte() % bound;
        if (bound <= 65536) return bytes(2) % bound;
        return bytes(8) % bound;
    }

    bool flag() { return (byte() & 1) != 0; }
    double raw_double() { return std::bit_cast<double>(bytes(8)); }
    bool empty() const { return pos_ >= size_; }

    // A value of a sample: mostly small integers and halves (many ties),
    // sometimes the special values of the total order, sometimes any bits.
    double value(bool finite_only) {
        static constexpr double specials[] = {
            0.0, -0.0, 1.0, -1.0, 0.5, 1e-300, 4.9406564584124654e-324, -4.9406564584124654e-324,
            1e300, -1e300, 1.7976931348623157e308, -1.7976931348623157e308, 2.2250738585072014e-308,
            std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
            std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
            std::bit_cast<double>(0x7ff0000000000001ULL),  // signalling NaN
            std::bit_cast<double>(0xfff8000000000123ULL),  // negative NaN with payload
        };
        constexpr std::size_t finite_specials = 13;
        const std::uint8_t kind = byte() % 8;
        if (kind < 5) return static_cast<double>(static_cast<int>(byte() % 21) - 10) * 0.5;
        if (kind == 5) {
            const std::size_t count = finite_only ? finite_specials : std::size(specials);
            return specials[below(count)];
        }
        if (kind == 6) {
            const double v = raw_double();
            if (finite_only && !std::isfinite(v)) return 0.25;
            return v;
        }
        return static_cast<double>(byte()) * 0.125 - 16.0;
    }

    std::vector<double> values(std::size_t count, bool finite_only) {
        std::vector<double> out(count);
        for (double& v : out) v = value(finite_only);
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

inline std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// Same value bit for bit, or NaN on both sides.
inline bool same(double a, double b) {
    return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b));
}

}  // namespace fuzz
