#pragma once
// Honest estimation: a tree's sample is split once into rows that choose the splits and rows
// that fill the nodes' summaries (the values prediction reads; Criterion::summarise), so a
// leaf's estimate does not come from the very rows that made the leaf look extreme. The price
// is fewer rows on each side: shallower effective trees and noisier leaves at a given depth.
#include <cstdint>
#include <vector>

#include "data/dmatrix.hpp"
#include "forest/random.hpp"

namespace quorvelin {

// Moves the estimation rows out of `sample`: the distinct rows of the sample are listed in
// ascending order, shuffled with the shared random source, and the first
// trunc(share x count) of them become estimation rows. Every copy of a row (bootstrap repeats)
// goes to the same side, so no row both chooses a split and estimates a leaf. Both sides keep
// the sample's draw order. `n_rows` bounds the row ids.
void split_for_honesty(std::vector<RowId>& sample, float share, uint64_t n_rows, Random& random,
                       std::vector<RowId>& estimation);

}  // namespace quorvelin
