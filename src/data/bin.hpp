#pragma once
// Per-feature bin records: quantile thresholds for a continuous column, a table of the most
// frequent values for a categorical one. A binned cell is one byte; kMissingBin marks a missing
// value and is never a real bin (continuous bins stop at 253, categorical ones at 254).
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvelin {

inline constexpr uint8_t kMissingBin = 255;
inline constexpr size_t kMaxCategories = 254;

// One gathered feature column: values[i] is meaningful only where present[i] is non-zero.
struct FeatureColumn {
    std::vector<float> values;
    std::vector<uint8_t> present;
    size_t size() const { return values.size(); }
};

// Sorts NaN-free floats ascending, equal values (0.0 and -0.0 among them) in their given order.
void stable_sort_floats(std::vector<float>& values);

struct ContinuousBin {
    uint64_t n_bin = 0;
    std::vector<float> threshold;

    // Reads n_bin as the requested bin count; replaces threshold and n_bin. `name` only serves
    // the error message for a NaN value.
    void fit(const FeatureColumn& column, const char* name = "");
    uint8_t transform(float value) const;
    // Bins a whole column (kMissingBin for a missing cell); the same cells as transform.
    void transform_column(const FeatureColumn& column, uint8_t* out) const;
    // Call after filling `threshold` by hand (a stored record): checks whether the fast search
    // applies.
    void prepare();
    bool operator==(const ContinuousBin& o) const { return n_bin == o.n_bin && threshold == o.threshold; }

private:
    bool sorted_ = false;
};

struct DiscreteBin {
    uint64_t n_bin = 0;
    std::vector<float> mapping;

    void fit(const FeatureColumn& column);
    uint8_t transform(float value) const;
    bool operator==(const DiscreteBin&) const = default;
};

}  // namespace quorvelin
