// The values a detector reads: a series as it is, or a series standardised
// as it is read, so that a long series needs no standardised copy beside it.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace quarn {

// How a series is standardised: (x - centre) / unit, or, for values near the
// largest double whose differences would overflow, ldexp(x, -exponent) -
// shifted_centre. The expressions are those of StandardValues::raw, so a
// value read through a view has the bits of a standardised copy's value.
struct Standardisation {
    double centre = 0.0;
    double unit = 1.0;
    bool shifted = false;
    int exponent = 0;
    double shifted_centre = 0.0;

    double operator()(double x) const {
        if (shifted) return std::ldexp(x, -exponent) - shifted_centre;
        return (x - centre) / unit;
    }
};

class SeriesView {
  public:
    // The values as they are.
    SeriesView(std::span<const double> x) : x_(x) {}
    SeriesView(const std::vector<double>& x) : x_(x) {}
    // The values standardised as they are read; `x` must outlive the view.
    SeriesView(std::span<const double> x, const Standardisation& standardisation)
        : x_(x), standardisation_(standardisation), standardised_(true) {}

    std::size_t size() const { return x_.size(); }
    // The values as they are, or nullptr when they are standardised as read.
    const double* plain_data() const { return standardised_ ? nullptr : x_.data(); }

    double operator[](std::size_t t) const {
        return standardised_ ? standardisation_(x_[t]) : x_[t];
    }

    // Calls call(i, value start + i) for i = 0 .. count - 1, in that order;
    // the test of the kind of view is made once, outside the loop.
    template <class Call>
    void visit(std::size_t start, std::size_t count, Call&& call) const {
        const double* values = x_.data() + start;
        if (!standardised_) {
            for (std::size_t i = 0; i < count; ++i) call(i, values[i]);
        } else if (standardisation_.shifted) {
            const Standardisation s = standardisation_;
            for (std::size_t i = 0; i < count; ++i)
                call(i, std::ldexp(values[i], -s.exponent) - s.shifted_centre);
        } else {
            const double centre = standardisation_.centre, unit = standardisation_.unit;
            for (std::size_t i = 0; i < count; ++i) call(i, (values[i] - centre) / unit);
        }
    }

    // Values [start, start + count) into `out`.
    void copy(std::size_t start, std::size_t count, double* out) const {
        visit(start, count, [out](std::size_t i, double v) { out[i] = v; });
    }

  private:
    std::span<const double> x_;
    Standardisation standardisation_;
    bool standardised_ = false;
};

}  // namespace quarn
