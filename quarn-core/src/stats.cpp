#include "quarn/stats.hpp"

#include <cmath>
#include <cstdio>

#include "quarn/distance.hpp"

namespace quarn {

Status validate_series(std::span<const double> series) {
    if (series.size() < 3) return fail("series must contain at least 3 values");
    for (const double value : series) {
        if (!is_finite_value(value)) {
            return fail(
                "series contains NaN or infinite values; clean/impute before calling quarn");
        }
    }
    return {};
}

namespace {

// Decodes one UTF-8 sequence starting at text[i]; advances i. Input comes
// from Python's UTF-8 encoder, but a malformed byte is still consumed alone
// and shown as the replacement character.
char32_t decode_utf8(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t extra = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xe0) == 0xc0) {
        extra = 1;
        cp = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
        extra = 2;
        cp = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
        extra = 3;
        cp = lead & 0x07;
    } else {
        ++i;
        return 0xfffd;
    }
    if (i + extra >= text.size()) {
        ++i;
        return 0xfffd;
    }
    for (std::size_t k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80) {
            ++i;
            return 0xfffd;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3f);
    }
    i += extra + 1;
    return cp;
}

// Characters shown as \u{...}: controls, invisible format characters,
// combining marks (which would attach to the quote), private use and
// noncharacters.
bool needs_unicode_escape(char32_t c) {
    struct Range {
        char32_t first, last;
    };
    static constexpr Range ranges[] = {
        {0x00, 0x1f},       {0x7f, 0x9f},       {0xad, 0xad},        {0x300, 0x36f},
        {0x483, 0x489},     {0x591, 0x5bd},     {0x600, 0x605},      {0x61c, 0x61c},
        {0x6dd, 0x6dd},     {0x70f, 0x70f},     {0x180b, 0x180f},    {0x1ab0, 0x1aff},
        {0x1dc0, 0x1dff},   {0x200b, 0x200f},   {0x2028, 0x202e},    {0x2060, 0x206f},
        {0x20d0, 0x20ff},   {0xd800, 0xdfff},   {0xe000, 0xf8ff},    {0xfdd0, 0xfdef},
        {0xfe00, 0xfe0f},   {0xfe20, 0xfe2f},   {0xfeff, 0xfeff},    {0xfff0, 0xfffb},
        {0x1d173, 0x1d17a}, {0xe0000, 0xe0fff}, {0xf0000, 0x10ffff},
    };
    if ((c & 0xfffe) == 0xfffe) return true;  // U+xFFFE and U+xFFFF of every plane
    for (const auto& range : ranges) {
        if (c >= range.first && c <= range.last) return true;
    }
    return false;
}

}  // namespace

std::string escape_quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t begin = i;
        const char32_t c = decode_utf8(text, i);
        const bool malformed = c == 0xfffd && i - begin != 3;
        switch (c) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\0':
                out += "\\0";
                continue;
            default:
                break;
        }
        if (needs_unicode_escape(c)) {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
            out += buffer;
        } else if (malformed) {
            out += "\xef\xbf\xbd";  // shown as U+FFFD
        } else {
            out.append(text.substr(begin, i - begin));
        }
    }
    out.push_back('"');
    return out;
}

Result<ChangeType> parse_change_type(std::string_view text) {
    std::string lowered(text);
    for (char& ch : lowered) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    if (lowered == "mean") return ChangeType::mean;
    if (lowered == "var") return ChangeType::var;
    if (lowered == "distribution") return ChangeType::distribution;
    return fail("change_type must be one of {'mean', 'var', 'distribution'}, got " +
                escape_quoted(lowered));
}

PrefixSums PrefixSums::build(SeriesView series) {
    PrefixSums prefix;
    prefix.count_ = series.size() + 1;
    const std::size_t checkpoints = (series.size() / checkpoint_stride) + 1;
    prefix.sums_.reserve(checkpoints);
    prefix.squares_.reserve(checkpoints);
    double sum = 0.0;
    double squares = 0.0;
    prefix.sums_.push_back(sum);
    prefix.squares_.push_back(squares);
    series.visit(0, series.size(), [&](std::size_t k, double value) {
        sum = sum + value;
        squares = squares + value * value;
        if ((k + 1) % checkpoint_stride == 0) {
            prefix.sums_.push_back(sum);
            prefix.squares_.push_back(squares);
        }
    });
    return prefix;
}

PrefixSums::Entry PrefixSums::at(SeriesView series, std::size_t k, std::size_t base,
                                 Entry from) const {
    const std::size_t checkpoint = k / checkpoint_stride;
    std::size_t i = checkpoint * checkpoint_stride;
    if (base >= i && base <= k) {
        i = base;
    } else {
        from = {sums_[checkpoint], squares_[checkpoint]};
    }
    // The same additions, in the same order, as the pass that built the
    // checkpoints.
    series.visit(i, k - i, [&from](std::size_t, double value) {
        from.sum = from.sum + value;
        from.squares = from.squares + value * value;
    });
    return from;
}

PrefixSums::Entry PrefixSums::at(SeriesView series, std::size_t k) const {
    return at(series, k, 0, Entry{0.0, 0.0});
}

Moments window_moments(SeriesView series, const PrefixSums& prefix, std::size_t start,
                       std::size_t len, double floor) {
    const std::size_t end = start + len;
    const double m = static_cast<double>(len);
    const PrefixSums::Entry first = prefix.at(series, start);
    const PrefixSums::Entry last = prefix.at(series, end, start, first);
    const double s = last.sum - first.sum;
    double mean = s / m;
    if (len < 2) return {mean, floor};
    double q = (last.squares - first.squares) - (s * s) / m;
    // The running sums of squares grow with the level of every value before
    // the window. Once they dwarf the window's own spread (2^40 times its
    // sum of squared deviations) the difference above has cancelled to
    // rounding noise, or overflowed: then both moments come from the
    // window's own values, summed in index order.
    const double total = last.squares;
    if (std::isnan(q) || q < total * 0x1p-40 || !std::isfinite(total)) {
        double sum = 0.0;
        series.visit(start, len, [&sum](std::size_t, double value) { sum = sum + value; });
        mean = sum / m;
        q = 0.0;
        series.visit(start, len, [&q, mean](std::size_t, double value) {
            const double deviation = value - mean;
            q = q + deviation * deviation;
        });
    }
    if (q < 0.0 || std::isnan(q)) q = 0.0;
    const double sd = std::sqrt(q / (m - 1.0));
    if (std::isnan(sd)) return {mean, floor};
    return {mean, sd > floor ? sd : floor};
}

}  // namespace quarn
