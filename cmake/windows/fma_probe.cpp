// Checks that the C runtime's fma rounds once, as IEEE 754 specifies and as
// quarn's quantiles rely on. Exit status 0 when every case gives the
// correctly rounded result, 1 otherwise (each wrong case is printed).
#include <cmath>
#include <cstddef>
#include <cstdio>

namespace {

struct FmaCase {
    double x, y, z, expected;
};

}  // namespace

int main() {
    // volatile: the compiler must not fold the calls at build time.
    static volatile FmaCase cases[] = {
        // The linear interpolation of a quantile: 0.1 * 0.75 + 0.25 * 0.3.
        {0.1, 0.75, 0.075, 0x1.3333333333333p-3},
        // The exact product needs 106 bits; only the low ones survive.
        {0x1.0000000000001p0, 0x1.0000000000001p0, -0x1.0000000000001p1 + 1.0, 0x1p-104},
        {0x1.fffffffffffffp-1, 0x1.0000000000001p0, -1.0, 0x1.ffffffffffffep-54},
        // A tie after a first rounding to 64 bits, which a second rounding breaks wrongly.
        {0x1.0000000000001p0, 0x1.8p0, 0x1p-105, 0x1.8000000000002p0},
    };
    int wrong = 0;
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const double got = std::fma(cases[i].x, cases[i].y, cases[i].z);
        if (got != cases[i].expected) {
            std::printf("fma(%a, %a, %a) = %a, correctly rounded %a\n", cases[i].x,
                        cases[i].y, cases[i].z, got, cases[i].expected);
            wrong = 1;
        }
    }
    return wrong;
}
