// The ranking of a threshold's block keys (block_key_ranks.cpp), for the
// bootstrap's walks by ranks.
#pragma once

#include <cstddef>

#include "quarn/bootstrap.hpp"

namespace quarn {

// The ranks of the keys of every block start and offset, the keys' values
// by rank, and the number of distinct keys. An offset's keys are its reference values times its
// taper weight and the scale, in the order of the reference values (a
// product with positive factors keeps the order), and offsets of equal
// weights share their keys; so the reference is sorted once, each distinct
// weight's keys come sorted from it, and their merge ranks all the keys.
// The values by rank go to scratch.ranked_values and the ranks to
// scratch.block_ranks (at start * block length + offset).
std::size_t rank_block_keys(const double* reference, std::size_t length, const TaperWindow& taper,
                            std::size_t starts, BootstrapScratch& scratch);

}  // namespace quarn
