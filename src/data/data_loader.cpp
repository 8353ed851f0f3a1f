#include "data/data_loader.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "data/config.hpp"
#include "error.hpp"
#include "forest/workers.hpp"
#include "stop_point.hpp"

namespace quorvelin {

// Rows read or binned between two interrupt checks: a few milliseconds of work.
constexpr size_t kStopRows = 1 << 16;

void RowTable::reserve(size_t n_rows, size_t n_cells) {
    offsets_.reserve(n_rows + 1);
    values_.reserve(n_cells);
    present_.reserve(n_cells);
}

void RowTable::gather(size_t pos, const std::string& name, FeatureColumn& out) const {
    const size_t n = n_rows();
    out.values.resize(n);
    out.present.resize(n);
    for (size_t r = 0; r < n; ++r) {
        const size_t begin = offsets_[r], len = offsets_[r + 1] - begin;
        if (pos >= len)
            stop("row " + std::to_string(r) + " has " + std::to_string(len) + " values, but column " + name +
                 " is at position " + std::to_string(pos));
        out.values[r] = values_[begin + pos];
        out.present[r] = present_[begin + pos];
    }
}

namespace {

template <class T>
void gather_as(const char* base, size_t n, ptrdiff_t stride, FeatureColumn& out) {
    for (size_t r = 0; r < n; ++r) {
        if (r % kStopRows == 0) stop_point();
        T v;
        std::memcpy(&v, base + static_cast<ptrdiff_t>(r) * stride, sizeof v);
        out.values[r] = static_cast<float>(static_cast<double>(v));
    }
}

}  // namespace

void StridedTable::gather(size_t pos, const std::string& name, FeatureColumn& out) const {
    if (pos >= n_cols_ && n_rows_ > 0)
        stop("row 0 has " + std::to_string(n_cols_) + " values, but column " + name + " is at position " +
             std::to_string(pos));
    out.values.resize(n_rows_);
    out.present.assign(n_rows_, 1);
    if (n_rows_ == 0) return;
    const char* base = data_ + static_cast<ptrdiff_t>(pos) * col_stride_;
    switch (kind_) {
        case Kind::F32: gather_as<float>(base, n_rows_, row_stride_, out); break;
        case Kind::F64: gather_as<double>(base, n_rows_, row_stride_, out); break;
        case Kind::I8: gather_as<int8_t>(base, n_rows_, row_stride_, out); break;
        case Kind::I16: gather_as<int16_t>(base, n_rows_, row_stride_, out); break;
        case Kind::I32: gather_as<int32_t>(base, n_rows_, row_stride_, out); break;
        case Kind::I64: gather_as<int64_t>(base, n_rows_, row_stride_, out); break;
        case Kind::U8: gather_as<uint8_t>(base, n_rows_, row_stride_, out); break;
        case Kind::U16: gather_as<uint16_t>(base, n_rows_, row_stride_, out); break;
        case Kind::U32: gather_as<uint32_t>(base, n_rows_, row_stride_, out); break;
        case Kind::U64: gather_as<uint64_t>(base, n_rows_, row_stride_, out); break;
        case Kind::Bool:
            for (size_t r = 0; r < n_rows_; ++r)
                out.values[r] = base[static_cast<ptrdiff_t>(r) * row_stride_] != 0 ? 1.0f : 0.0f;
            break;
    }
}

size_t RowTable::min_row_length() const {
    size_t shortest = SIZE_MAX;
    for (size_t r = 0; r + 1 < offsets_.size(); ++r) shortest = std::min(shortest, offsets_[r + 1] - offsets_[r]);
    return shortest;
}

void RowTable::gather_columns(std::span<const size_t> positions, std::span<FeatureColumn> outs) const {
    const size_t n = n_rows(), k = positions.size();
    for (size_t j = 0; j < k; ++j) {
        outs[j].values.resize(n);
        outs[j].present.resize(n);
    }
    for (size_t r = 0; r < n; ++r) {
        if (r % kStopRows == 0) stop_point();
        const size_t begin = offsets_[r];
        for (size_t j = 0; j < k; ++j) {
            outs[j].values[r] = values_[begin + positions[j]];
            outs[j].present[r] = present_[begin + positions[j]];
        }
    }
}

template <class T, bool kNaNMissing>
void gather_strided_columns(std::span<const StridedColumn> columns, size_t n_rows, std::span<FeatureColumn> outs) {
    for (size_t j = 0; j < columns.size(); ++j) {
        outs[j].values.resize(n_rows);
        outs[j].present.assign(n_rows, 1);
    }
    // Column by column within small blocks of rows. Row by row, each cell would be written to a
    // different output: twice as many streams as columns, all starting on the same page offset,
    // which the first-level cache cannot hold apart. A block of a row-major array stays in that
    // cache while its columns are read.
    constexpr size_t kBlock = 256;
    for (size_t begin = 0; begin < n_rows; begin += kBlock) {
        if (begin % kStopRows == 0) stop_point();
        const size_t end = std::min(n_rows, begin + kBlock);
        for (size_t j = 0; j < columns.size(); ++j) {
            const char* src = columns[j].base;
            const ptrdiff_t step = columns[j].stride;
            float* values = outs[j].values.data();
            uint8_t* present = outs[j].present.data();
            for (size_t r = begin; r < end; ++r) {
                T v;
                std::memcpy(&v, src + static_cast<ptrdiff_t>(r) * step, sizeof v);
                const double d = static_cast<double>(v);
                if constexpr (kNaNMissing) {
                    const bool missing = std::isnan(d);
                    values[r] = missing ? 0.0f : static_cast<float>(d);
                    present[r] = missing ? 0 : 1;
                } else {
                    values[r] = static_cast<float>(d);
                }
            }
        }
    }
}

#define QUORVELIN_GATHER(T) \
    template void gather_strided_columns<T, false>(std::span<const StridedColumn>, size_t, std::span<FeatureColumn>);
QUORVELIN_GATHER(float)
QUORVELIN_GATHER(double)
QUORVELIN_GATHER(int8_t)
QUORVELIN_GATHER(int16_t)
QUORVELIN_GATHER(int32_t)
QUORVELIN_GATHER(int64_t)
QUORVELIN_GATHER(uint8_t)
QUORVELIN_GATHER(uint16_t)
QUORVELIN_GATHER(uint32_t)
QUORVELIN_GATHER(uint64_t)
#undef QUORVELIN_GATHER
template void gather_strided_columns<float, true>(std::span<const StridedColumn>, size_t, std::span<FeatureColumn>);
template void gather_strided_columns<double, true>(std::span<const StridedColumn>, size_t, std::span<FeatureColumn>);

void TableView::bin_columns(std::span<const size_t> positions, std::span<const ContinuousBin* const> bins,
                            std::span<uint8_t* const> outs) const {
    std::vector<FeatureColumn> columns(positions.size());
    gather_columns(positions, columns);
    for (size_t j = 0; j < positions.size(); ++j) bins[j]->transform_column(columns[j], outs[j]);
}

template <class T, bool kNaNMissing>
void bin_strided_columns(std::span<const StridedColumn> columns, size_t n_rows,
                         std::span<const ContinuousBin* const> bins, std::span<uint8_t* const> outs) {
    // Column by column within blocks of rows: a block of a row-major array stays in cache while
    // its columns are read, and each column's search stays in registers.
    constexpr size_t kBlock = 4096;
    for (size_t begin = 0; begin < n_rows; begin += kBlock) {
        stop_point();
        const size_t end = std::min(n_rows, begin + kBlock);
        for (size_t j = 0; j < columns.size(); ++j) {
            const ContinuousBin::Search bin = bins[j]->search();
            const char* src = columns[j].base;
            const ptrdiff_t step = columns[j].stride;
            uint8_t* dst = outs[j];
            for (size_t r = begin; r < end; ++r) {
                T v;
                std::memcpy(&v, src + static_cast<ptrdiff_t>(r) * step, sizeof v);
                const double d = static_cast<double>(v);
                if constexpr (kNaNMissing)
                    dst[r] = std::isnan(d) ? kMissingBin : bin(static_cast<float>(d));
                else
                    dst[r] = bin(static_cast<float>(d));
            }
        }
    }
}

template void bin_strided_columns<float, false>(std::span<const StridedColumn>, size_t,
                                                std::span<const ContinuousBin* const>, std::span<uint8_t* const>);
template void bin_strided_columns<double, false>(std::span<const StridedColumn>, size_t,
                                                 std::span<const ContinuousBin* const>, std::span<uint8_t* const>);
template void bin_strided_columns<float, true>(std::span<const StridedColumn>, size_t,
                                               std::span<const ContinuousBin* const>, std::span<uint8_t* const>);
template void bin_strided_columns<double, true>(std::span<const StridedColumn>, size_t,
                                                std::span<const ContinuousBin* const>, std::span<uint8_t* const>);

void StridedTable::bin_columns(std::span<const size_t> positions, std::span<const ContinuousBin* const> bins,
                               std::span<uint8_t* const> outs) const {
    if (kind_ != Kind::F64 && kind_ != Kind::F32) return TableView::bin_columns(positions, bins, outs);
    // Every cell of a float array is present (a NaN in it bins as a present NaN does).
    std::vector<StridedColumn> columns(positions.size());
    for (size_t j = 0; j < positions.size(); ++j)
        columns[j] = {data_ + static_cast<ptrdiff_t>(positions[j]) * col_stride_, row_stride_};
    if (kind_ == Kind::F64)
        bin_strided_columns<double, false>(columns, n_rows_, bins, outs);
    else
        bin_strided_columns<float, false>(columns, n_rows_, bins, outs);
}

void StridedTable::gather_columns(std::span<const size_t> positions, std::span<FeatureColumn> outs) const {
    if (kind_ == Kind::Bool) {
        for (size_t j = 0; j < positions.size(); ++j) gather(positions[j], "", outs[j]);
        return;
    }
    std::vector<StridedColumn> columns(positions.size());
    for (size_t j = 0; j < positions.size(); ++j)
        columns[j] = {data_ + static_cast<ptrdiff_t>(positions[j]) * col_stride_, row_stride_};
    switch (kind_) {
        case Kind::F32: gather_strided_columns<float, false>(columns, n_rows_, outs); break;
        case Kind::F64: gather_strided_columns<double, false>(columns, n_rows_, outs); break;
        case Kind::I8: gather_strided_columns<int8_t, false>(columns, n_rows_, outs); break;
        case Kind::I16: gather_strided_columns<int16_t, false>(columns, n_rows_, outs); break;
        case Kind::I32: gather_strided_columns<int32_t, false>(columns, n_rows_, outs); break;
        case Kind::I64: gather_strided_columns<int64_t, false>(columns, n_rows_, outs); break;
        case Kind::U8: gather_strided_columns<uint8_t, false>(columns, n_rows_, outs); break;
        case Kind::U16: gather_strided_columns<uint16_t, false>(columns, n_rows_, outs); break;
        case Kind::U32: gather_strided_columns<uint32_t, false>(columns, n_rows_, outs); break;
        case Kind::U64: gather_strided_columns<uint64_t, false>(columns, n_rows_, outs); break;
        case Kind::Bool: break;
    }
}

DataLoader::DataLoader(std::vector<std::string> feature_cols_, std::string y_col_,
                       std::vector<std::string> treatment_cols_, std::string weight_col_,
                       std::vector<std::string> cat_cols_, uint64_t n_bin_,
                       std::unordered_map<std::string, ContinuousBin> continuous_bins_,
                       std::unordered_map<std::string, DiscreteBin> discrete_bins_)
    : feature_cols(std::move(feature_cols_)),
      y_col(std::move(y_col_)),
      treatment_cols(std::move(treatment_cols_)),
      weight_col(std::move(weight_col_)),
      cat_cols(std::move(cat_cols_)),
      n_bin(n_bin_),
      continuous_bins(std::move(continuous_bins_)),
      discrete_bins(std::move(discrete_bins_)) {
    if (n_bin > 254) stop("n_bin " + std::to_string(n_bin) + " exceeds max 255");
}

std::vector<std::optional<size_t>> DataLoader::find_pos(const std::vector<std::string>& headers,
                                                        const std::vector<std::string>& names, bool required) {
    std::vector<std::optional<size_t>> out;
    out.reserve(names.size());
    for (const std::string& name : names) {
        auto it = std::find(headers.begin(), headers.end(), name);
        if (it == headers.end()) {
            if (required) stop("Column is missing: " + name);
            out.emplace_back();
        } else {
            out.emplace_back(static_cast<size_t>(it - headers.begin()));
        }
    }
    return out;
}

namespace {

std::optional<size_t> first_pos(const std::vector<std::string>& headers, const std::string& name) {
    auto it = std::find(headers.begin(), headers.end(), name);
    if (it == headers.end()) return std::nullopt;
    return static_cast<size_t>(it - headers.begin());
}

void require_present(const FeatureColumn& column, const char* role, const std::string& name) {
    for (size_t r = 0; r < column.size(); ++r)
        if (!column.present[r])
            stop(std::string("missing value in ") + role + " column " + name + " (row " + std::to_string(r) + ")");
}

}  // namespace

namespace {

// What reading and binning one feature column gives: its cells and, for a name without a
// record yet, the record fitted on it (inserted later, in feature order).
struct BinnedFeature {
    std::vector<uint8_t> cells;
    std::optional<ContinuousBin> continuous;
    std::optional<DiscreteBin> discrete;
    std::exception_ptr error;
};

}  // namespace

void DataLoader::bin_features(DMatrix& m, const std::vector<std::optional<size_t>>& feature_pos,
                              const TableView& rows) {
    const size_t n = rows.n_rows(), n_features = feature_cols.size();
    // Records already held are only read from here on; settle their search mode first so
    // workers never write to them.
    for (const std::string& name : feature_cols) {
        auto it = continuous_bins.find(name);
        if (it != continuous_bins.end()) it->second.prepare();
    }

    // Features are read a few at a time in one pass over the rows. A position some row does not
    // reach is a group of its own, read alone so that it stops with the row's message.
    constexpr size_t kChunk = 4;
    const size_t safe = n == 0 ? SIZE_MAX : rows.min_row_length();
    std::vector<std::pair<size_t, size_t>> groups;  // (first feature, count)
    for (size_t f = 0; f < n_features;) {
        size_t k = 0;
        while (f + k < n_features && k < kChunk && *feature_pos[f + k] < safe) ++k;
        if (k == 0) k = 1;
        groups.emplace_back(f, k);
        f += k;
    }

    std::vector<BinnedFeature> out(n_features);
    auto bin_one = [&](size_t f, const FeatureColumn& values) {
        const std::string& name = feature_cols[f];
        BinnedFeature& result = out[f];
        result.cells.resize(n);
        if (m.is_cat[f]) {
            auto it = discrete_bins.find(name);
            const DiscreteBin* bin = it == discrete_bins.end() ? nullptr : &it->second;
            if (!bin) {
                result.discrete.emplace(DiscreteBin{n_bin, {}});
                result.discrete->fit(values);
                bin = &*result.discrete;
            }
            for (size_t r = 0; r < n; ++r) {
                if (r % kStopRows == 0) stop_point();
                result.cells[r] = values.present[r] ? bin->transform(values.values[r]) : kMissingBin;
            }
        } else {
            auto it = continuous_bins.find(name);
            const ContinuousBin* bin = it == continuous_bins.end() ? nullptr : &it->second;
            if (!bin) {
                result.continuous.emplace();
                result.continuous->n_bin = n_bin;
                result.continuous->fit_transform(values, name.c_str(), result.cells.data());
                return;
            }
            bin->transform_column(values, result.cells.data());
        }
    };
    // Returns false once a feature of the group has failed. Other failures wait to be reported
    // in feature order; an interrupt or a cancelled worker ends the call at once.
    auto run_group = [&](size_t g, std::vector<FeatureColumn>& chunk) {
        const auto [first, count] = groups[g];
        size_t f = first;
        try {
            if (count == 1 && *feature_pos[first] >= safe) {
                rows.gather(*feature_pos[first], feature_cols[first], chunk[0]);
                bin_one(first, chunk[0]);
                return true;
            }
            size_t positions[kChunk];
            for (size_t j = 0; j < count; ++j) positions[j] = *feature_pos[first + j];
            // Features whose records are already held (every one, when predicting) are read and
            // binned in one pass: no float copy of the columns is made.
            const ContinuousBin* held[kChunk];
            uint8_t* cells[kChunk];
            bool all_held = true;
            for (size_t j = 0; j < count && all_held; ++j) {
                auto it = m.is_cat[first + j] ? continuous_bins.end() : continuous_bins.find(feature_cols[first + j]);
                all_held = it != continuous_bins.end();
                if (!all_held) break;
                held[j] = &it->second;
                out[first + j].cells.resize(n);
                cells[j] = out[first + j].cells.data();
            }
            if (all_held) {
                rows.bin_columns(std::span<const size_t>(positions, count),
                                 std::span<const ContinuousBin* const>(held, count),
                                 std::span<uint8_t* const>(cells, count));
                return true;
            }
            rows.gather_columns(std::span<const size_t>(positions, count), std::span<FeatureColumn>(chunk.data(), count));
            stop_point();
            for (size_t j = 0; j < count; ++j, ++f) bin_one(f, chunk[j]);
        } catch (const Cancelled&) {
            throw;
        } catch (...) {
            if (interrupt_raised()) throw;
            out[f].error = std::current_exception();
            return false;
        }
        return true;
    };

    const size_t n_workers = std::min(std::max<size_t>(workers, 1), groups.size());
    if (n_workers <= 1) {
        std::vector<FeatureColumn> chunk(kChunk);
        for (size_t g = 0; g < groups.size(); ++g)
            if (!run_group(g, chunk)) break;
    } else {
        // Each feature's bin depends on its own column only, so features are binned in
        // parallel; the records go into the maps below, in feature order, as if read one by one.
        std::atomic<size_t> next{0};
        auto work = [&] {
            std::vector<FeatureColumn> chunk(kChunk);
            for (size_t g = next++; g < groups.size(); g = next++) run_group(g, chunk);
        };
        WorkerGroup group(n_workers - 1);
        for (size_t w = 1; w < n_workers; ++w)
            if (!group.try_start(work)) break;  // fewer threads than asked for: this one does the rest
        try {
            work();
        } catch (...) {
            group.stop_requested.store(true);
            throw;
        }
        group.wait([] { stop_point(); });
        group.rethrow_first_error();
    }

    m.x.reserve(n_features);
    for (size_t f = 0; f < n_features; ++f) {
        BinnedFeature& result = out[f];
        if (result.error) std::rethrow_exception(result.error);
        if (result.continuous) continuous_bins.emplace(feature_cols[f], std::move(*result.continuous));
        if (result.discrete) discrete_bins.emplace(feature_cols[f], std::move(*result.discrete));
        m.x.push_back(std::move(result.cells));
    }
}

DMatrix DataLoader::from_memory(const std::vector<std::string>& headers, const TableView& rows) {
    const auto feature_pos = find_pos(headers, feature_cols, true);
    const auto y_pos = first_pos(headers, y_col);
    const auto treatment_pos = find_pos(headers, treatment_cols, false);
    const auto weight_pos = first_pos(headers, weight_col);

    DMatrix m;
    m.is_cat.reserve(feature_cols.size());
    for (const std::string& name : feature_cols)
        m.is_cat.push_back(std::find(cat_cols.begin(), cat_cols.end(), name) != cat_cols.end() ? 1 : 0);

    const size_t n = rows.n_rows();
    FeatureColumn column;
    bin_features(m, feature_pos, rows);

    if (y_pos) {
        rows.gather(*y_pos, y_col, column);
        require_present(column, "outcome", y_col);
        m.y = std::move(column.values);
        column = FeatureColumn{};
    }

    if (!treatment_cols.empty() && treatment_pos[0]) {
        for (size_t t = 0; t < treatment_cols.size(); ++t) {
            const std::string& name = treatment_cols[t];
            if (!treatment_pos[t]) stop("Column is missing: " + name);
            rows.gather(*treatment_pos[t], name, column);
            require_present(column, "treatment", name);
            if (n == 0) stop("treatment column " + name + " has no rows, so it has no treatment groups");
            std::vector<uint8_t> groups(n);
            uint8_t largest = 0;
            for (size_t r = 0; r < n; ++r) {
                groups[r] = saturating_u8(column.values[r]);
                largest = std::max(largest, groups[r]);
            }
            m.treatments.push_back(std::move(groups));
            m.n_treatments.push_back(static_cast<uint64_t>(largest) + 1);
        }
    }

    if (weight_pos) {
        rows.gather(*weight_pos, weight_col, column);
        require_present(column, "weight", weight_col);
        m.weight = std::move(column.values);
    } else {
        m.weight.assign(n, 1.0f);
    }

    for (const auto& [name, bin] : continuous_bins) m.n_bins[name] = bin.n_bin;
    for (const auto& [name, bin] : discrete_bins) m.n_bins[name] = bin.n_bin;
    m.feature_names = feature_cols;
    m.finalize(false);
    return m;
}

namespace {

template <class Map>
std::vector<std::string> keys_of(const Map& map) {
    std::vector<std::string> keys;
    keys.reserve(map.size());
    for (const auto& entry : map) keys.push_back(entry.first);
    return keys;
}

template <class Map>
void keep_only(Map& map, const std::vector<std::string>& keys) {
    if (map.size() == keys.size()) return;  // nothing was added
    Map kept;
    for (const std::string& key : keys) {
        auto it = map.find(key);
        if (it != map.end()) kept.emplace(key, std::move(it->second));
    }
    map.swap(kept);
}

}  // namespace

BinsTransaction::BinsTransaction(DataLoader& loader)
    : loader_(loader), continuous_before_(keys_of(loader.continuous_bins)), discrete_before_(keys_of(loader.discrete_bins)) {}

BinsTransaction::~BinsTransaction() {
    if (committed_) return;
    keep_only(loader_.continuous_bins, continuous_before_);
    keep_only(loader_.discrete_bins, discrete_before_);
}

}  // namespace quorvelin
