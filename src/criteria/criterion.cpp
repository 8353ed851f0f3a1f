#include "criteria/criterion.hpp"

#include <string>
#include <utility>

#include "criteria/kl.hpp"
#include "criteria/regression.hpp"
#include "error.hpp"

namespace quorvelin {

std::unique_ptr<Criterion> make_criterion(ModelKind kind, const TreeConfig& config) {
    switch (kind) {
        case ModelKind::Classifier:
            return make_kl_criterion(config);
        case ModelKind::Regressor:
            return make_regression_criterion(config);
    }
    stop("unknown model kind");
}

std::vector<SplitInfo>& Criterion::find_best_splits(const DMatrix& data, const RowCodes& rc, uint64_t node_id,
                                                    std::span<const uint64_t> features, std::span<const RowId> rows) {
    results_.clear();
    for (uint64_t f : features) results_.push_back(find_best_split(data, rc, node_id, f, rows));
    return results_;
}

std::vector<SplitInfo>& Criterion::find_node_splits(const DMatrix& data, const RowCodes& rc,
                                                    std::span<const uint64_t> features, const NodeSample& node) {
    if (node.counts.empty()) return find_best_splits(data, rc, node.node_id, features, node.rows);
    if (node.counts.size() != node.rows.size()) stop("a counted node needs one count per row");
    spelled_out_.clear();
    for (size_t i = 0; i < node.rows.size(); ++i) spelled_out_.insert(spelled_out_.end(), node.counts[i], node.rows[i]);
    return find_best_splits(data, rc, node.node_id, features, spelled_out_);
}

FeatureFacts feature_facts(const DMatrix& data, const RowCodes& rc, uint64_t feature_id) {
    if (feature_id >= data.is_cat.size() || feature_id >= data.feature_names.size() || feature_id >= data.x.size())
        stop("feature " + std::to_string(feature_id) + " is not in the data");
    FeatureFacts facts{data.is_cat[feature_id] != 0, data.bins_of(feature_id), 0};
    if (!rc.table_error.empty()) stop(rc.table_error);
    facts.n_t = rc.n_t;
    if (facts.n_bins >= (1u << 16)) stop("feature " + data.feature_names[feature_id] + " has too many bins");
    return facts;
}

void fill_split_info(SplitInfo& out, uint64_t node_id, uint64_t feature_id, bool is_cat,
                     std::optional<uint8_t> best_value, float gain, float gain_importance,
                     std::span<const float> rates, std::span<const float> weights) {
    out.node_id = node_id;
    out.feature_id = feature_id;
    out.treatment_id = 0;
    out.is_cat = is_cat;
    if (best_value) {
        if (!out.value) out.value.emplace();
        out.value->assign(1, *best_value);
    } else {
        out.value.reset();
    }
    out.gain = gain;
    out.gain_importance = gain_importance;
    out.summary.resize(rates.size());
    for (size_t t = 0; t < rates.size(); ++t) {
        if (weights.empty())
            out.summary[t].assign(1, rates[t]);
        else
            out.summary[t].assign({rates[t], weights[t]});
    }
}

}  // namespace quorvelin
