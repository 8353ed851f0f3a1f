#pragma once
// Every setting of a model, in the field order the model file uses.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvelin {

// The two kinds of model; each has its criterion and its name in the model file.
enum class ModelKind { Classifier, Regressor };

// Exact, case-sensitive match of "RandomForestClassifier" / "RandomForestRegressor"; stops with
// "model name <name> not found" otherwise.
ModelKind model_kind(std::string_view name);
const char* model_name(ModelKind kind);

struct TreeConfig {
    std::vector<std::string> index_cols;
    std::vector<std::string> feature_cols;
    std::vector<std::string> cat_cols;
    std::vector<std::string> treatment_cols;
    std::string y_col;
    std::string weight_col;
    uint64_t n_bin = 30;
    uint64_t min_samples_leaf = 100;
    uint64_t min_samples_treatment = 10;
    uint64_t n_reg = 10;
    float alpha = 0.9f;
    bool normalization = true;
    uint64_t max_features = 10;
    uint64_t max_depth = 6;
    uint64_t n_tree = 100;
    float subsample = 1.0f;
    uint64_t n_thread = 1;
    std::optional<uint64_t> seed;
    // Opt-in: tree i draws from its own random stream (the seed's key, stream i + 1) instead of
    // the one stream all trees share, so the forest no longer depends on how trees are spread
    // over threads. Written to the model file only when set, so default files keep their bytes.
    bool seed_per_tree = false;
    // More opt-in settings, each written to the model file only when not at its default.
    // The classifier's split criterion: "KL", "ED", "Chi", "CTS" or "DDP".
    std::string evaluation_function = "KL";
    // The regressor's split criterion: "first_arm" (control against group 1, children of any
    // size) or "all_arms" (every group against the control, with minimum sizes).
    std::string regression_criterion = "first_arm";
    // Honest estimation: each tree's sample is split once into rows that choose the splits and
    // rows (this share of them) that fill the nodes' summaries.
    bool honesty = false;
    float estimation_sample_size = 0.5f;

    bool operator==(const TreeConfig&) const = default;
};

// Stops with a message naming the setting when an opt-in setting holds a value no learner
// knows; the default settings always pass.
void check_settings(const TreeConfig& config);

// Float to unsigned size the way the learner needs it: truncation toward zero, negatives and NaN
// to 0, saturating at the top instead of undefined behaviour.
uint64_t saturating_u64(float value);
// The same for an 8-bit treatment value.
uint8_t saturating_u8(float value);

}  // namespace quorvelin
