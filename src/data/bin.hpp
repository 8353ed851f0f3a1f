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
    // fit, then transform_column of the same column into `out`, sharing one sort.
    void fit_transform(const FeatureColumn& column, const char* name, uint8_t* out);
    uint8_t transform(float value) const;
    // transform(value), by a fixed number of branch-free halvings once the thresholds are known
    // to increase strictly. Held by value, so a loop over millions of cells keeps it in
    // registers (a store of a cell byte may alias anything the record holds).
    struct Search {
        const float* padded = nullptr;  // the thresholds, then +inf up to a power of two P
        size_t half = 0;                // P / 2
        size_t count = 0;               // the number of thresholds
        const ContinuousBin* plain = nullptr;  // set when the search does not apply
        uint8_t operator()(float value) const {
            if (plain) return plain->transform(value);
            // P - 1 entries are searched, so p ends as the count of entries <= value (0 for
            // NaN). Only value +inf counts padding, hence the clamp.
            size_t p = 0;
            for (size_t step = half; step > 0; step /= 2) p += (padded[p + step - 1] <= value) ? step : 0;
            return static_cast<uint8_t>(p < count ? p : count);
        }
    };
    Search search() const {
        if (!sorted_) return Search{nullptr, 0, 0, this};
        return Search{padded_.data(), padded_.size() / 2, threshold.size(), nullptr};
    }
    uint8_t bin_of(float value) const { return search()(value); }
    // Bins a whole column (kMissingBin for a missing cell); the same cells as transform.
    void transform_column(const FeatureColumn& column, uint8_t* out) const;
    // Call after filling `threshold` by hand (a stored record): checks whether the fast search
    // applies.
    void prepare();
    bool operator==(const ContinuousBin& o) const { return n_bin == o.n_bin && threshold == o.threshold; }

private:
    void index_thresholds();
    // Thresholds from the present values in ascending order.
    void fit_sorted(const std::vector<float>& sorted_values);

    bool sorted_ = false;
    std::vector<float> padded_;
};

struct DiscreteBin {
    uint64_t n_bin = 0;
    std::vector<float> mapping;

    void fit(const FeatureColumn& column);
    uint8_t transform(float value) const;
    bool operator==(const DiscreteBin&) const = default;
};

}  // namespace quorvelin
