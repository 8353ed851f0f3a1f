#include "criteria/statistic.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "data/config.hpp"
#include "error.hpp"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace quorvelin {

namespace {

[[noreturn]] void out_of_bounds(const char* what, uint64_t index, uint64_t len) {
    stop(std::string("index out of bounds: ") + what + " " + std::to_string(index) + " with length " +
         std::to_string(len));
}

}  // namespace

void cumulate(float* row, size_t n) {
    float acc = 0.0f;
    for (size_t b = 0; b < n; ++b) {
        acc = acc + row[b];
        row[b] = acc;
    }
}

namespace {

RowCodes prepare_common(const DMatrix& data) {
    RowCodes rc;
    if (data.treatments.empty() || data.n_treatments.empty()) {
        rc.table_error = "the data has no treatment column: the first treatment column is missing from the headers";
        return rc;
    }
    rc.n_t = data.n_treatments[0];
    rc.w = data.weight;
    return rc;
}

void mark_all_bad(RowCodes& rc, size_t n, std::string reason) {
    rc.bad_row.assign(n, 1);
    rc.any_bad_row = n > 0;
    rc.bad_row_error = std::move(reason);
}

}  // namespace

RowCodes prepare_classifier_rows(const DMatrix& data) {
    RowCodes rc = prepare_common(data);
    if (!rc.table_error.empty()) return rc;
    const auto& t = data.treatments[0];
    const size_t n = t.size();
    rc.n_codes = 2 * rc.n_t;
    rc.code.resize(n);
    if (data.y.size() < n) {
        mark_all_bad(rc, n, "the data has no outcome column (y) to train on");
        return rc;
    }
    for (size_t r = 0; r < n; ++r) {
        const uint64_t cls = saturating_u64(data.y[r]);
        if (cls >= 2) {
            if (!rc.any_bad_row) {
                rc.bad_row.assign(n, 0);
                rc.any_bad_row = true;
                rc.bad_row_error = "the classifier needs an outcome of 0 or 1, but row " + std::to_string(r) +
                                " has outcome " + std::to_string(data.y[r]);
            }
            rc.bad_row[r] = 1;
            continue;
        }
        rc.code[r] = static_cast<uint16_t>(cls * rc.n_t + t[r]);
    }
    rc.class_rows.resize(n);
    for (size_t r = 0; r < n; ++r) rc.class_rows[r] = {rc.code[r], rc.w[r]};
    rc.integer_weights = true;
    for (float w : rc.w) {
        const float a = std::fabs(w);
        if (!(a <= 16777216.0f) || a != std::floor(a)) {
            rc.integer_weights = false;
            break;
        }
        rc.max_abs_weight = std::max(rc.max_abs_weight, a);
    }
    return rc;
}

RowCodes prepare_regressor_rows(const DMatrix& data) {
    RowCodes rc = prepare_common(data);
    if (!rc.table_error.empty()) return rc;
    if (rc.n_t < 2) {
        rc.table_error = "the regressor compares a control with a treatment group, but the treatment column holds "
                      "only the control group 0";
        return rc;
    }
    const auto& t = data.treatments[0];
    const size_t n = t.size();
    rc.n_codes = rc.n_t;
    rc.code.assign(t.begin(), t.end());
    if (data.y.size() < n) {
        mark_all_bad(rc, n, "the data has no outcome column (y) to train on");
        return rc;
    }
    rc.moment_rows.resize(n);
    for (size_t r = 0; r < n; ++r) {
        const float y = data.y[r], w = rc.w[r];
        rc.moment_rows[r] = {rc.code[r], y * w, (y * y) * w, w};
    }
    return rc;
}

namespace {

// Checks that hold for every row of a node before the unchecked loop runs: row ids inside the
// table, no marked row, every bin inside the table.
void check_rows(const std::vector<uint8_t>& bins, uint8_t max_bin, std::span<const RowId> rows, const RowCodes& rc,
                size_t n_slots) {
    const bool bins_ok = static_cast<size_t>(max_bin) < n_slots;
    if (bins_ok && !rc.any_bad_row) return;
    for (RowId r : rows) {
        if (rc.any_bad_row && rc.bad_row[r]) stop(rc.bad_row_error);
        const uint8_t b = bins[r];
        if (b != kMissingBin && static_cast<size_t>(b) >= n_slots) out_of_bounds("bin", b, n_slots);
    }
}

}  // namespace

void tally_weights(const std::vector<uint8_t>& bins, uint8_t max_bin, std::span<const RowId> rows, const RowCodes& rc,
                   size_t n_slots, float* table) {
    check_rows(bins, max_bin, rows, rc, n_slots);
    const uint8_t* x = bins.data();
    const uint16_t* code = rc.code.data();
    const float* w = rc.w.data();
    const size_t missing = n_slots - 1;
    for (RowId r : rows) {
        const uint8_t b = x[r];
        const size_t slot = (b == kMissingBin) ? missing : b;
        table[code[r] * n_slots + slot] += w[r];
    }
}

void tally_moments(const std::vector<uint8_t>& bins, uint8_t max_bin, std::span<const RowId> rows, const RowCodes& rc,
                   size_t n_slots, float* sum, float* second, float* weight) {
    check_rows(bins, max_bin, rows, rc, n_slots);
    const uint8_t* x = bins.data();
    const RowCodes::MomentRow* info = rc.moment_rows.data();
    const size_t missing = n_slots - 1;
    for (RowId r : rows) {
        const uint8_t b = x[r];
        const RowCodes::MomentRow& row = info[r];
        const size_t at = row.code * n_slots + ((b == kMissingBin) ? missing : b);
        sum[at] += row.yw;
        second[at] += row.yyw;
        weight[at] += row.w;
    }
}

constexpr size_t kPrefetch = 16;

bool batch_ready(const DMatrix& data, const RowCodes& rc, std::span<const uint64_t> features) {
    if (!rc.table_error.empty() || rc.any_bad_row || features.empty() || features.size() > 256) return false;
    // Many groups make the per-node tables large; the per-feature path sizes them to the bins.
    if (rc.n_codes > 16) return false;
    for (uint64_t f : features)
        if (f >= data.slot_ok.size() || !data.slot_ok[f]) return false;
    return true;
}

namespace {

// Calls visit(slots of the row, the row's packed record) for every row of the node, in order.
// Rows arrive in bootstrap order, scattered over the table: fetch ahead to hide the latency of
// each row's first touch.
template <class Record, class Visit>
void for_each_row(const DMatrix& data, std::span<const RowId> rows, const Record* info, Visit visit) {
    const size_t nf = data.x.size(), n = rows.size();
    const uint8_t* slots = data.slots.data();
    for (size_t i = 0; i < n; ++i) {
        if (i + kPrefetch < n) {
            __builtin_prefetch(slots + static_cast<size_t>(rows[i + kPrefetch]) * nf);
            __builtin_prefetch(info + rows[i + kPrefetch]);
        }
        const RowId r = rows[i];
        visit(slots + static_cast<size_t>(r) * nf, info[r]);
    }
}

}  // namespace

void tally_weights_batch(const DMatrix& data, std::span<const uint64_t> features, std::span<const RowId> rows,
                         const RowCodes& rc, float* tables) {
    const size_t nc = features.size();
    const size_t stride = rc.n_codes * kSlotStride;
    uint32_t feat[256];
    for (size_t j = 0; j < nc; ++j) feat[j] = static_cast<uint32_t>(features[j]);
    for_each_row(data, rows, rc.class_rows.data(), [&](const uint8_t* s, const RowCodes::ClassRow& row) {
        float* t = tables + static_cast<size_t>(row.code) * kSlotStride;
        for (size_t j = 0; j < nc; ++j) t[j * stride + s[feat[j]]] += row.w;
    });
}

void tally_counted_weights_batch(const DMatrix& data, std::span<const uint64_t> features,
                                 std::span<const size_t> offsets, size_t code_stride, std::span<const RowId> rows,
                                 std::span<const RowId> counts, const RowCodes& rc, float* tables) {
    const size_t nc = features.size(), nf = data.x.size(), n = rows.size();
    if (nc > 256 || offsets.size() != nc || counts.size() != n) stop("counted tallies out of step");
    uint32_t feat[256];
    size_t off[256];
    for (size_t j = 0; j < nc; ++j) feat[j] = static_cast<uint32_t>(features[j]), off[j] = offsets[j];
    const uint8_t* slots = data.slots.data();
    const RowCodes::ClassRow* info = rc.class_rows.data();
    for (size_t i = 0; i < n; ++i) {
        if (i + kPrefetch < n) {
            __builtin_prefetch(slots + static_cast<size_t>(rows[i + kPrefetch]) * nf);
            __builtin_prefetch(info + rows[i + kPrefetch]);
        }
        const RowId r = rows[i];
        const uint8_t* s = slots + static_cast<size_t>(r) * nf;
        const float add = info[r].w * static_cast<float>(counts[i]);
        float* t = tables + static_cast<size_t>(info[r].code) * code_stride;
        // Two features per step, the adds in the same order: the loop's own bookkeeping halves.
        size_t j = 0;
        for (; j + 1 < nc; j += 2) {
            float* a = t + off[j] + s[feat[j]];
            float* b = t + off[j + 1] + s[feat[j + 1]];
            *a += add;
            *b += add;
        }
        if (j < nc) t[off[j] + s[feat[j]]] += add;
    }
}

void tally_moments_batch(const DMatrix& data, std::span<const uint64_t> features, std::span<const RowId> rows,
                         const RowCodes& rc, float* tables, std::vector<float>& scratch) {
    const size_t nc = features.size();
    const size_t table = rc.n_codes * kSlotStride;
    // The three sums of one slot sit side by side in a fourth-lane-padded cell, so one update
    // touches one cache line and is one 4-wide add; they are spread into separate tables
    // afterwards. Each lane is an ordinary single-precision add in row order, as the scalar
    // sums were. Only the slots the features can hold are kept, so the scratch of a node stays
    // in the first-level cache: [code][feature][slot][lane].
    constexpr size_t kLanes = 4;
    size_t n_slots = 1;
    uint32_t feat[256];
    for (size_t j = 0; j < nc; ++j) {
        feat[j] = static_cast<uint32_t>(features[j]);
        n_slots = std::max<size_t>(n_slots, data.bins_of(features[j]) + 1);
    }
    const size_t per_feature = n_slots * kLanes, per_code = nc * per_feature;
    scratch.assign(rc.n_codes * per_code, 0.0f);
    float* inter = scratch.data();
    for_each_row(data, rows, rc.moment_rows.data(), [&](const uint8_t* s, const RowCodes::MomentRow& row) {
        float* t = inter + static_cast<size_t>(row.code) * per_code;
#if defined(__SSE2__)
        const __m128 add = _mm_set_ps(0.0f, row.w, row.yyw, row.yw);
        for (size_t j = 0; j < nc; ++j) {
            float* cell = t + j * per_feature + static_cast<size_t>(s[feat[j]]) * kLanes;
            _mm_storeu_ps(cell, _mm_add_ps(_mm_loadu_ps(cell), add));
        }
#else
        for (size_t j = 0; j < nc; ++j) {
            float* cell = t + j * per_feature + static_cast<size_t>(s[feat[j]]) * kLanes;
            cell[0] += row.yw;
            cell[1] += row.yyw;
            cell[2] += row.w;
        }
#endif
    });
    for (size_t j = 0; j < nc; ++j) {
        float* dst = tables + j * 3 * table;
        const size_t used = data.bins_of(features[j]) + 1;
        for (size_t code = 0; code < rc.n_codes; ++code) {
            const float* src = inter + code * per_code + j * per_feature;
            float* d = dst + code * kSlotStride;
            for (size_t k = 0; k < used; ++k) {
                d[k] = src[k * kLanes];
                d[table + k] = src[k * kLanes + 1];
                d[2 * table + k] = src[k * kLanes + 2];
            }
        }
    }
}

}  // namespace quorvelin
