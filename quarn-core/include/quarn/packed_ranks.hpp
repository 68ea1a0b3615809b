// Doubled mid-ranks stored in as few bits as their largest value needs: 25
// bits a value up to 2^24 values, 26 up to 2^25, at most 32. A read is two
// word loads and three shifts, in any byte order.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace quarn {

class PackedRanks {
  public:
    PackedRanks() = default;
    // `size` entries of `bits` bits each (1 to 32), all zero.
    PackedRanks(std::size_t size, unsigned bits)
        : size_(size),
          bits_(bits),
          mask_((std::uint64_t{1} << bits) - 1),
          // One word more than the entries fill: a read always loads the
          // word after its first.
          words_((size * bits + 63) / 64 + 1, 0) {}

    // Bits that hold every doubled mid-rank among n values (at most 2n - 2).
    static unsigned bits_for(std::size_t n) {
        const std::uint64_t largest = n > 1 ? 2 * static_cast<std::uint64_t>(n) - 2 : 0;
        return std::max(1U, static_cast<unsigned>(std::bit_width(largest)));
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    unsigned bits() const { return bits_; }

    std::uint32_t operator[](std::size_t t) const {
        const std::uint64_t bit = static_cast<std::uint64_t>(t) * bits_;
        const auto word = static_cast<std::size_t>(bit / 64);
        const auto shift = static_cast<unsigned>(bit % 64);
        // The next word's low bits go above the first's high ones; at shift 0
        // the two steps of the second shift push them all out.
        const std::uint64_t joined =
            (words_[word] >> shift) | ((words_[word + 1] << 1) << (63 - shift));
        return static_cast<std::uint32_t>(joined & mask_);
    }

    // The values packed in `bits` bits each, one after the other.
    static PackedRanks from(const std::vector<std::uint32_t>& values, unsigned bits) {
        PackedRanks packed(values.size(), bits);
        std::uint64_t bit = 0;
        for (const std::uint32_t value : values) {
            const auto word = static_cast<std::size_t>(bit / 64);
            const auto shift = static_cast<unsigned>(bit % 64);
            const std::uint64_t v = value & packed.mask_;
            packed.words_[word] |= v << shift;
            if (shift + packed.bits_ > 64) packed.words_[word + 1] |= v >> (64 - shift);
            bit += packed.bits_;
        }
        return packed;
    }

    // Writes entry t, which must still be zero. Threads may set different
    // entries at once: the bits go in by atomic ORs, so entries that share a
    // word never lose each other's bits, whatever the order.
    void set_zero_entry(std::size_t t, std::uint32_t value) {
        const std::uint64_t bit = static_cast<std::uint64_t>(t) * bits_;
        const auto word = static_cast<std::size_t>(bit / 64);
        const auto shift = static_cast<unsigned>(bit % 64);
        const std::uint64_t v = value & mask_;
        std::atomic_ref<std::uint64_t>(words_[word])
            .fetch_or(v << shift, std::memory_order_relaxed);
        if (shift + bits_ > 64) {
            std::atomic_ref<std::uint64_t>(words_[word + 1])
                .fetch_or(v >> (64 - shift), std::memory_order_relaxed);
        }
    }

    // Bytes the entries take.
    std::size_t bytes() const { return words_.size() * sizeof(std::uint64_t); }

  private:
    std::size_t size_ = 0;
    unsigned bits_ = 1;
    std::uint64_t mask_ = 1;
    std::vector<std::uint64_t> words_{0};
};

// Doubled mid-ranks of a long series stored as offsets within buckets of
// neighbouring values: each bucket holds the values from its bound (its
// smallest value) up to the next bucket's, and its base is the doubled rank
// the offsets count from. The bucket of an entry follows from its value, so
// the ranks take the bits of the largest offset (13 for buckets of 2^12
// values) instead of those of the largest rank (27 at 5*10^7 values), for a
// search among the bounds at every read. Without bounds (one bucket of
// base 0) the entries are the ranks themselves.
class BucketedRanks {
  public:
    BucketedRanks() = default;
    explicit BucketedRanks(PackedRanks ranks) : offsets_(std::move(ranks)) {}
    BucketedRanks(PackedRanks offsets, std::vector<double> bounds, std::vector<std::uint32_t> bases)
        : offsets_(std::move(offsets)), bounds_(std::move(bounds)), bases_(std::move(bases)) {
        guide();
    }

    std::size_t size() const { return offsets_.size(); }
    bool empty() const { return offsets_.empty(); }
    // Bits an entry takes, and the buckets (1 without bounds).
    unsigned bits() const { return offsets_.bits(); }
    std::size_t buckets() const { return bounds_.size() + 1; }

    // The doubled mid-rank of entry t, whose value (as ranked) is `value`.
    std::uint32_t at(std::size_t t, double value) const {
        const std::uint32_t offset = offsets_[t];
        if (bounds_.empty()) return offset;
        // The bounds at or below the value (its bucket), among those of the
        // value's cell.
        std::size_t low = 0, count = bounds_.size();
        if (!first_.empty()) {
            const std::size_t cell = cell_of(value);
            low = first_[cell];
            count = first_[cell + 1] - low;
        }
        while (count > 0) {
            const std::size_t half = count / 2;
            const bool above = !(value < bounds_[low + half]);
            low = above ? low + half + 1 : low;
            count = above ? count - half - 1 : half;
        }
        return bases_[low] + offset;
    }

  private:
    // Cells of equal width between the lowest and the highest bound, about
    // four a bucket: a value's cell holds its bucket's bound among a few, as
    // the cell of a value never decreases with it (a bound in a lower cell
    // is below the value, one in a higher cell above it). first_[c] counts
    // the bounds in the cells below c.
    void guide() {
        if (bounds_.size() < 2) return;
        const double low = bounds_.front(), high = bounds_.back();
        const std::size_t cells = guide_cells * bounds_.size();
        const double scale = static_cast<double>(cells) / (high - low);
        if (!(high > low) || !(scale > 0.0) || !(scale < std::numeric_limits<double>::infinity())) {
            return;
        }
        low_ = low;
        scale_ = scale;
        first_.assign(cells + 1, 0);
        std::size_t i = 0;
        for (std::size_t c = 0; c <= cells; ++c) {
            while (i < bounds_.size() && cell_of(bounds_[i]) < c) ++i;
            first_[c] = static_cast<std::uint32_t>(i);
        }
    }
    std::size_t cell_of(double value) const {
        const double d = (value - low_) * scale_;
        if (!(d > 0.0)) return 0;
        const std::size_t last = first_.size() - 2;
        if (d >= static_cast<double>(last)) return last;
        return static_cast<std::size_t>(d);
    }

    static constexpr std::size_t guide_cells = 4;
    PackedRanks offsets_;
    std::vector<double> bounds_;
    std::vector<std::uint32_t> bases_;
    double low_ = 0.0, scale_ = 0.0;
    std::vector<std::uint32_t> first_;
};

}  // namespace quarn
