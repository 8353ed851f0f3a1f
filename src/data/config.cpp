#include "data/config.hpp"

#include <cmath>
#include <cstdio>
#include <string>

#include "criteria/uplift_gain.hpp"
#include "error.hpp"

namespace quorvelin {

ModelKind model_kind(std::string_view name) {
    if (name == "RandomForestClassifier") return ModelKind::Classifier;
    if (name == "RandomForestRegressor") return ModelKind::Regressor;
    stop("model name " + std::string(name) + " not found");
}

const char* model_name(ModelKind kind) {
    return kind == ModelKind::Classifier ? "RandomForestClassifier" : "RandomForestRegressor";
}

void check_settings(const TreeConfig& c) {
    if (!uplift_criterion_named(c.evaluation_function))
        stop("evaluation_function '" + c.evaluation_function + "' is not one of KL, ED, Chi, CTS, DDP");
    if (c.regression_criterion != "first_arm" && c.regression_criterion != "all_arms")
        stop("regression_criterion '" + c.regression_criterion + "' is not one of first_arm, all_arms");
    if (!(c.estimation_sample_size > 0.0f && c.estimation_sample_size < 1.0f)) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", static_cast<double>(c.estimation_sample_size));
        stop(std::string("estimation_sample_size ") + text + " is not strictly between 0 and 1");
    }
}

uint64_t saturating_u64(float value) {
    if (!(value > 0.0f)) return 0;  // negatives, zero and NaN
    if (value >= 18446744073709551616.0f) return UINT64_MAX;
    return static_cast<uint64_t>(value);
}

uint8_t saturating_u8(float value) {
    if (!(value > 0.0f)) return 0;
    if (value >= 255.0f) return 255;
    return static_cast<uint8_t>(value);
}

}  // namespace quorvelin
