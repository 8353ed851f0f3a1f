#pragma once
// Summaries of a grown tree's nodes from a given set of rows: what honest estimation puts in
// place of the summaries of the rows that chose the splits.
#include <span>

#include "criteria/statistic.hpp"
#include "data/dmatrix.hpp"
#include "tree/tree.hpp"

namespace quorvelin {

// Replaces every node's summary with one from the `rows` that reach it, accumulated in the order
// of `rows`: the classifier's [rate of class 1, weight] (`rates` true) or the regressor's
// [mean outcome] per treatment group. A group without weight in a node gets a NaN rate or mean,
// so prediction takes the nearest ancestor's uplift for it, as for a node no row reaches at all.
// `rc` holds the per-row inputs the criterion was prepared with.
void summarise_rows(Tree& tree, const DMatrix& data, const RowCodes& rc, bool rates, std::span<const RowId> rows);

}  // namespace quorvelin
