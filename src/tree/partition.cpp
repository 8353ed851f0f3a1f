#include "tree/partition.hpp"

#include <numeric>
#include <string>
#include <utility>

#include "error.hpp"

namespace quorvelin {

Partition Partition::from_sample(std::vector<RowId> sample) {
    Partition p;
    p.start = {0};
    p.size = {sample.size()};
    p.index = std::move(sample);
    return p;
}

Partition Partition::from_counted_sample(std::vector<RowId> rows, std::vector<RowId> counts) {
    if (counts.size() != rows.size()) stop("a counted sample needs one count per row");
    Partition p = from_sample(std::move(rows));
    p.count = std::move(counts);
    return p;
}

Partition Partition::every_row(uint64_t n_rows, uint64_t n_nodes) {
    Partition p;
    p.index.resize(n_rows);
    std::iota(p.index.begin(), p.index.end(), RowId{0});
    const uint64_t entries = n_nodes < 1 ? 1 : n_nodes;
    p.start.assign(entries, 0);
    p.size.assign(entries, 0);
    p.size[0] = n_rows;
    return p;
}

void Partition::split(uint64_t node, uint64_t n_left) {
    if (node >= start.size()) stop("partition has no node " + std::to_string(node));
    const uint64_t b = start[node], s = size[node];
    if (n_left > s) stop("partition split of node " + std::to_string(node) + " beyond its segment");
    start.push_back(b);
    size.push_back(n_left);
    start.push_back(b + n_left);
    size.push_back(s - n_left);
}

std::span<RowId> Partition::rows(uint64_t node) {
    if (node >= start.size()) stop("partition has no node " + std::to_string(node));
    const uint64_t b = start[node], s = size[node];
    if (b > index.size() || s > index.size() - b)
        stop("partition segment of node " + std::to_string(node) + " reaches past its end");
    return {index.data() + b, static_cast<size_t>(s)};
}

std::span<const RowId> Partition::rows(uint64_t node) const {
    return const_cast<Partition*>(this)->rows(node);
}

std::span<RowId> Partition::counts(uint64_t node) {
    const std::span<RowId> r = rows(node);
    if (count.empty()) return {};
    if (count.size() != index.size()) stop("partition counts out of step with its rows");
    return {count.data() + (r.data() - index.data()), r.size()};
}

std::span<const RowId> Partition::counts(uint64_t node) const {
    return const_cast<Partition*>(this)->counts(node);
}

}  // namespace quorvelin
