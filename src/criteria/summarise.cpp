#include "criteria/summarise.hpp"

#include <string>
#include <vector>

#include "error.hpp"
#include "tree/route.hpp"

namespace quorvelin {

void summarise_rows(Tree& tree, const DMatrix& data, const RowCodes& rc, bool rates, std::span<const RowId> rows) {
    if (!rc.table_error.empty()) stop(rc.table_error);
    const size_t n_t = rc.n_t, n_nodes = tree.n_nodes();
    // Per node and group: the class-1 weight (rates) or Σ y·w (regressor), and Σ w.
    std::vector<float> first(n_nodes * n_t, 0.0f), weight(n_nodes * n_t, 0.0f);
    for (RowId r : rows) {
        if (r >= rc.code.size()) stop("index out of bounds: row " + std::to_string(r));
        if (rc.any_bad_row && rc.bad_row[r]) stop(rc.bad_row_error);
        const size_t code = rc.code[r];
        const size_t group = rates ? code % n_t : code;
        const float w = rc.w[r];
        const float add = rates ? (code >= n_t ? w : 0.0f) : rc.moment_rows[r].yw;
        uint64_t node = 0;
        while (true) {
            first[node * n_t + group] = first[node * n_t + group] + add;
            weight[node * n_t + group] = weight[node * n_t + group] + w;
            if (!tree.left_children[node]) break;
            const SplitInfo& record = tree.split_at(node);
            const uint8_t bin = data.x[record.feature_id][r];
            const uint8_t at = (*record.value)[0];
            const bool left = goes_left(bin, at, record.is_cat);
            node = left ? *tree.left_children[node] : *tree.right_children[node];
        }
    }
    for (uint64_t node = 0; node < n_nodes; ++node) {
        if (!tree.split[node]) continue;
        Matrix summary(n_t);
        for (size_t t = 0; t < n_t; ++t) {
            const float n = weight[node * n_t + t];
            const float value = first[node * n_t + t] / n;
            summary[t] = rates ? std::vector<float>{value, n} : std::vector<float>{value};
        }
        tree.split[node]->summary = std::move(summary);
    }
}

}  // namespace quorvelin
