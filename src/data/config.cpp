#include "data/config.hpp"

#include <cmath>
#include <string>

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
