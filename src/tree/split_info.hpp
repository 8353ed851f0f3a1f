#pragma once
// The split record of one node: what a criterion found for one feature, and what a tree keeps.
#include <cstdint>
#include <optional>
#include <vector>

#include "criteria/linalg.hpp"

namespace quorvelin {

struct SplitInfo {
    uint64_t node_id = 0;
    uint64_t feature_id = 0;
    uint64_t treatment_id = 0;
    bool is_cat = false;
    std::optional<std::vector<uint8_t>> value;
    float gain = 0.0f;
    float gain_importance = 0.0f;
    Matrix summary;
};

}  // namespace quorvelin
