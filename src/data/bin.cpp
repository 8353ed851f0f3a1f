#include "data/bin.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>

#include "error.hpp"
#include "stop_point.hpp"

namespace quorvelin {

namespace {

// Rows between two interrupt checks in a pass over a column: a few milliseconds of work.
constexpr size_t kStopBlock = 1 << 16;

// An unsigned key that orders like the float (no NaN); 0.0 and -0.0 share one key because they
// compare equal.
inline uint32_t sort_key(float x) {
    const uint32_t bits = x == 0.0f ? 0u : std::bit_cast<uint32_t>(x);
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

}  // namespace

// Stable sort of floats (no NaN) by value: a least-significant-digit radix sort on keys that
// order like the floats, with 0.0 and -0.0 given one key because they compare equal. Equal
// values keep their order, as a stable comparison sort keeps them.
void stable_sort_floats(std::vector<float>& v) {
    const size_t n = v.size();
    if (n < 4096) {
        std::stable_sort(v.begin(), v.end());
        return;
    }
    std::vector<uint32_t> key(n), key_tmp(n);
    std::vector<float> val_tmp(n);
    for (size_t i = 0; i < n; ++i) key[i] = sort_key(v[i]);
    for (int shift = 0; shift < 32; shift += 8) {
        stop_point();
        size_t count[257] = {};
        for (size_t i = 0; i < n; ++i) ++count[((key[i] >> shift) & 0xFF) + 1];
        if (count[((key[0] >> shift) & 0xFF) + 1] == n) continue;  // every key shares this digit
        for (int d = 1; d < 257; ++d) count[d] += count[d - 1];
        for (size_t i = 0; i < n; ++i) {
            const size_t at = count[(key[i] >> shift) & 0xFF]++;
            key_tmp[at] = key[i];
            val_tmp[at] = v[i];
        }
        key.swap(key_tmp);
        v.swap(val_tmp);
    }
}

namespace {

// The count of present values; stops on a NaN, which has no place among the thresholds.
size_t count_present(const FeatureColumn& column, const char* name) {
    const size_t n = column.size();
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!column.present[i]) continue;
        if (n >= 2 && std::isnan(column.values[i]))
            stop(std::string("NaN value in continuous column ") + name + " (row " + std::to_string(i) +
                 "); use None for a missing value");
        ++count;
    }
    return count;
}

// Present values in row order. A missing value is simply left out, which is where a stable
// sort would have put it.
std::vector<float> present_values(const FeatureColumn& column, const char* name) {
    std::vector<float> v;
    v.reserve(count_present(column, name));
    for (size_t i = 0; i < column.size(); ++i)
        if (column.present[i]) v.push_back(column.values[i]);
    return v;
}

// The present rows in the order a stable sort by value leaves them: a least-significant-digit
// radix sort on the keys of stable_sort_floats, each key carried with its row in one 64-bit
// item, in three passes of 11, 11 and 10 bits whose counts are all taken in one pass. The
// caller has refused NaN.
std::vector<uint32_t> stable_order(const FeatureColumn& column, size_t n_present) {
    constexpr int kShift[3] = {0, 11, 22};
    constexpr uint32_t kBuckets = 1u << 11;
    std::vector<uint64_t> items(n_present), moved(n_present);
    std::vector<uint32_t> count(3 * (kBuckets + 1), 0);
    size_t at = 0;
    for (size_t r = 0; r < column.size(); ++r) {
        if (!column.present[r]) continue;
        const uint32_t k = sort_key(column.values[r]);
        items[at++] = (static_cast<uint64_t>(k) << 32) | static_cast<uint32_t>(r);
        for (int d = 0; d < 3; ++d) ++count[d * (kBuckets + 1) + ((k >> kShift[d]) & (kBuckets - 1)) + 1];
    }
    for (int d = 0; d < 3; ++d) {
        stop_point();
        const int shift = 32 + kShift[d];
        uint32_t* c = count.data() + d * (kBuckets + 1);
        if (n_present == 0 || c[((items[0] >> shift) & (kBuckets - 1)) + 1] == n_present) continue;  // one shared digit
        for (uint32_t b = 1; b <= kBuckets; ++b) c[b] += c[b - 1];
        for (size_t i = 0; i < n_present; ++i) moved[c[(items[i] >> shift) & (kBuckets - 1)]++] = items[i];
        items.swap(moved);
    }
    std::vector<uint32_t> order(n_present);
    for (size_t i = 0; i < n_present; ++i) order[i] = static_cast<uint32_t>(items[i]);
    return order;
}

}  // namespace

void ContinuousBin::fit(const FeatureColumn& column, const char* name) {
    // Present values in ascending order, ties (and equal values) in row order.
    std::vector<float> v = present_values(column, name);
    stop_point();
    stable_sort_floats(v);
    stop_point();
    fit_sorted(v);
}

void ContinuousBin::fit_transform(const FeatureColumn& column, const char* name, uint8_t* out) {
    const size_t n_present = count_present(column, name);
    // Rows are carried as 32-bit numbers; short columns are quicker the plain way.
    if (n_present < 4096 || column.size() > UINT32_MAX) {
        fit(column, name);
        transform_column(column, out);
        return;
    }
    // One sort serves both: the thresholds come from the values in sorted order, and walking
    // that order bins every row with a single pointer into the thresholds.
    const std::vector<uint32_t> order = stable_order(column, n_present);
    std::vector<float> v(n_present);
    for (size_t i = 0; i < n_present; ++i) v[i] = column.values[order[i]];
    fit_sorted(v);
    for (size_t r = 0; r < column.size(); ++r)
        if (!column.present[r]) out[r] = kMissingBin;
    const float* t = threshold.data();
    const size_t len = threshold.size();
    size_t bin = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        if (i % kStopBlock == 0) stop_point();
        while (bin < len && t[bin] <= v[i]) ++bin;  // the count of thresholds t <= v, as transform
        out[order[i]] = static_cast<uint8_t>(bin);
    }
}

void ContinuousBin::fit_sorted(const std::vector<float>& v) {
    const uint64_t requested = n_bin;
    if (requested == 0) stop("attempt to divide by zero");
    threshold.clear();
    const uint64_t m = v.size();
    if (requested > 1) {
        const uint64_t step = m / requested;
        const float eps = std::numeric_limits<float>::epsilon();
        for (uint64_t i = 1; i < requested; ++i) {
            stop_point();  // a long run of ties makes each search walk far
            uint64_t p = i * step;
            while (true) {
                if (p >= m || p == m - 1) break;
                if (v[p] < v[p + 1] - eps) {
                    // The first value after the gap: a value equal to a threshold goes to the bin above
                    // it, so the gap's lower side keeps a bin of its own.
                    const float candidate = v[p + 1];
                    if (threshold.empty() || threshold.back() != candidate) threshold.push_back(candidate);
                    break;
                }
                ++p;
            }
        }
    }
    n_bin = threshold.size() + 1;
    index_thresholds();
}

uint8_t ContinuousBin::transform(float value) const {
    // The count of thresholds t <= value. Fitted thresholds increase strictly, so that count is
    // an upper bound; a stored record is not trusted to be sorted and gets the plain count.
    if (std::isnan(value)) return 0;
    size_t bin;
    if (sorted_)
        bin = static_cast<size_t>(std::upper_bound(threshold.begin(), threshold.end(), value) - threshold.begin());
    else {
        bin = 0;
        for (float t : threshold) bin += (t <= value) ? 1 : 0;
    }
    return static_cast<uint8_t>(bin);
}

void ContinuousBin::transform_column(const FeatureColumn& column, uint8_t* out) const {
    const size_t n = column.size();
    const Search bin = search();
    for (size_t r = 0; r < n; ++r) {
        if (r % kStopBlock == 0) stop_point();
        out[r] = column.present[r] ? bin(column.values[r]) : kMissingBin;
    }
}

void ContinuousBin::prepare() {
    bool increasing = true;
    for (size_t i = 1; i < threshold.size(); ++i)
        if (!(threshold[i - 1] < threshold[i])) increasing = false;
    for (float t : threshold)
        if (std::isnan(t)) increasing = false;
    if (increasing)
        index_thresholds();
    else {
        sorted_ = false;
        padded_.clear();
    }
}

void ContinuousBin::index_thresholds() {
    size_t size = 1;
    while (size <= threshold.size()) size *= 2;
    padded_.assign(size, std::numeric_limits<float>::infinity());
    std::copy(threshold.begin(), threshold.end(), padded_.begin());
    sorted_ = true;
}

void DiscreteBin::fit(const FeatureColumn& column) {
    // Distinct values in order of first appearance with their counts. The lookup is by float
    // equality: 0.0 and -0.0 are one category, and a NaN never matches, so each NaN is a
    // category of its own.
    std::vector<std::pair<float, uint64_t>> seen;
    std::unordered_map<uint32_t, size_t> where;
    for (size_t i = 0; i < column.size(); ++i) {
        if (i % kStopBlock == 0) stop_point();
        if (!column.present[i]) continue;
        const float x = column.values[i];
        if (std::isnan(x)) {
            seen.emplace_back(x, 1);
            continue;
        }
        const uint32_t key = (x == 0.0f) ? 0u : std::bit_cast<uint32_t>(x);
        auto [it, inserted] = where.try_emplace(key, seen.size());
        if (inserted)
            seen.emplace_back(x, 1);
        else
            ++seen[it->second].second;
    }
    std::stable_sort(seen.begin(), seen.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    const size_t kept = std::min(seen.size(), kMaxCategories);
    mapping.clear();
    for (size_t i = 0; i < kept; ++i) mapping.push_back(seen[i].first);
    n_bin = mapping.size() + (seen.size() > kMaxCategories ? 1 : 0);
}

uint8_t DiscreteBin::transform(float value) const {
    size_t k = 0;
    while (k < mapping.size() && !(mapping[k] == value)) ++k;
    // A stored record may hold more categories than a fitted one can; clamp so no index can
    // reach the missing marker.
    return static_cast<uint8_t>(std::min<size_t>(k, kMaxCategories));
}

}  // namespace quorvelin
