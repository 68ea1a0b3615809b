// A minimal unit-test harness: TEST(name) registers a function, CHECK and
// CHECK_EQ record failures with file and line, main() runs everything and
// prints "N passed, N failed".
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    void (*run)();
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Register {
    Register(const char* name, void (*run)()) { registry().push_back({name, run}); }
};

inline void report(const char* file, int line, const std::string& what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: %s\n", file, line, what.c_str());
}

template <class T>
std::string show(const T& value) {
    std::ostringstream out;
    out.precision(17);
    out << value;
    return out.str();
}

// Bit-exact comparison of doubles (NaN equals the same NaN, -0.0 != +0.0).
inline bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace check

#define TEST(name)                                                   \
    static void name();                                              \
    static const ::check::Register name##_registration(#name, name); \
    static void name()

#define CHECK(cond)                                                                    \
    do {                                                                               \
        if (!(cond)) ::check::report(__FILE__, __LINE__, "CHECK failed: " #cond);      \
    } while (0)

#define CHECK_EQ(actual, expected)                                                       \
    do {                                                                                 \
        const auto check_a_ = (actual);                                                  \
        const auto check_e_ = (expected);                                                \
        if (!(check_a_ == check_e_))                                                     \
            ::check::report(__FILE__, __LINE__,                                          \
                            std::string(#actual " == " #expected ": got ") +             \
                                ::check::show(check_a_) + ", expected " +                \
                                ::check::show(check_e_));                                \
    } while (0)

// Doubles compared by their bit patterns.
#define CHECK_BITS(actual, expected)                                                     \
    do {                                                                                 \
        const double check_a_ = (actual);                                                \
        const double check_e_ = (expected);                                              \
        if (!::check::same_bits(check_a_, check_e_))                                     \
            ::check::report(__FILE__, __LINE__,                                          \
                            std::string(#actual " bits == " #expected ": got ") +        \
                                ::check::show(check_a_) + ", expected " +                \
                                ::check::show(check_e_));                                \
    } while (0)

int main() {
    int passed = 0;
    int failed = 0;
    for (const auto& test : ::check::registry()) {
        const int before = ::check::failures();
        test.run();
        if (::check::failures() == before) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED: %s\n", test.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
