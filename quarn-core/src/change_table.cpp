#include "quarn/change_table.hpp"

#include <cmath>

namespace quarn {

namespace {

constexpr double not_applicable = std::numeric_limits<double>::quiet_NaN();

void add_untested_columns(ChangeTable& table, std::size_t count) {
    table.kinds.assign(count, TableKind::none);
    table.p_values.assign(count, not_applicable);
    table.interval_lows.assign(count, 0);
    table.interval_highs.assign(count, 0);
    table.directions.assign(count, Direction::none);
    table.effects.assign(count, not_applicable);
}

}  // namespace

TableKind table_kind(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::level:
            return TableKind::level;
        case ChangeKind::slope:
            return TableKind::slope;
        case ChangeKind::spread:
            return TableKind::spread;
        case ChangeKind::shape:
            return TableKind::shape;
        case ChangeKind::pattern:
            return TableKind::pattern;
    }
    return TableKind::none;
}

ChangeTable table_from_consensus(const Consensus& consensus) {
    ChangeTable table;
    const std::size_t count = consensus.leaders_segment_votes.size();
    table.positions.reserve(count);
    table.votes.reserve(count);
    table.scores.reserve(count);
    table.probabilities.reserve(count);
    table.cdf.reserve(count);
    // The maps and the cdf hold the same leaders in ascending order.
    for (const auto& [leader, total] : consensus.leaders_segment_votes) {
        table.positions.push_back(leader);
        table.votes.push_back(total);
    }
    for (const auto& [leader, score] : consensus.leaders_scores) table.scores.push_back(score);
    for (const auto& [leader, probability] : consensus.leaders_probs) {
        table.probabilities.push_back(probability);
    }
    for (const auto& [leader, cumulative] : consensus.cdf) table.cdf.push_back(cumulative);
    add_untested_columns(table, count);
    return table;
}

double pairwise_sum(std::span<const double> values) {
    const std::size_t n = values.size();
    if (n < 8) {
        // -0.0 as numpy starts from: a sum of nothing is -0.0 there too,
        // but callers only see sums of non-negative scores.
        double sum = -0.0;
        for (const double value : values) sum = sum + value;
        return sum;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = values[j];
        std::size_t i = 8;
        for (; i < n - n % 8; i += 8) {
            for (std::size_t j = 0; j < 8; ++j) r[j] = r[j] + values[i + j];
        }
        double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) sum = sum + values[i];
        return sum;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(values.first(half)) + pairwise_sum(values.subspan(half));
}

ChangeTable table_from_changes(std::span<const Change> changes, std::size_t n_window_sizes) {
    ChangeTable table;
    const std::size_t count = changes.size();
    const double sizes = static_cast<double>(n_window_sizes);
    for (const Change& change : changes) {
        table.positions.push_back(change.position);
        table.kinds.push_back(table_kind(change.kind));
        table.p_values.push_back(change.p_value);
        table.votes.push_back(change.votes);
        table.scores.push_back(n_window_sizes ? static_cast<double>(change.votes) / sizes : 0.0);
        table.interval_lows.push_back(change.report.interval_low);
        table.interval_highs.push_back(change.report.interval_high);
        table.directions.push_back(change.report.direction);
        table.effects.push_back(change.report.effect);
    }
    const double total = pairwise_sum(table.scores);
    table.probabilities.reserve(count);
    for (const double score : table.scores) {
        // No support anywhere: every change point weighs the same.
        table.probabilities.push_back(total > 0.0 ? score / total
                                                  : 1.0 / static_cast<double>(count));
    }
    double running = 0.0;
    table.cdf.reserve(count);
    for (const double probability : table.probabilities) {
        running = running + probability;
        table.cdf.push_back(running);
    }
    return table;
}

}  // namespace quarn
