#include "data_loader.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "config.hpp"
#include "error.hpp"

namespace quorvelin {

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
        const size_t begin = offsets_[r];
        for (size_t j = 0; j < k; ++j) {
            outs[j].values[r] = values_[begin + positions[j]];
            outs[j].present[r] = present_[begin + positions[j]];
        }
    }
}

namespace {

template <class T>
void gather_many_as(const char* data, size_t n, ptrdiff_t row_stride, ptrdiff_t col_stride,
                    std::span<const size_t> positions, std::span<FeatureColumn> outs) {
    const size_t k = positions.size();
    for (size_t r = 0; r < n; ++r) {
        const char* row = data + static_cast<ptrdiff_t>(r) * row_stride;
        for (size_t j = 0; j < k; ++j) {
            T v;
            std::memcpy(&v, row + static_cast<ptrdiff_t>(positions[j]) * col_stride, sizeof v);
            outs[j].values[r] = static_cast<float>(static_cast<double>(v));
        }
    }
}

}  // namespace

void StridedTable::gather_columns(std::span<const size_t> positions, std::span<FeatureColumn> outs) const {
    const size_t n = n_rows_;
    for (size_t j = 0; j < positions.size(); ++j) {
        outs[j].values.resize(n);
        outs[j].present.assign(n, 1);
    }
    switch (kind_) {
        case Kind::F32: gather_many_as<float>(data_, n, row_stride_, col_stride_, positions, outs); break;
        case Kind::F64: gather_many_as<double>(data_, n, row_stride_, col_stride_, positions, outs); break;
        case Kind::I8: gather_many_as<int8_t>(data_, n, row_stride_, col_stride_, positions, outs); break;
        case Kind::I16: gather_many_as<int16_t>(data_, n, row_stride_, col_stride_, positions, outs); break;
        case Kind::I32: gather_many_as<int32_t>(data_, n, row_stride_, col_stride_, positions, outs); break;
        case Kind::I64: gather_many_as<int64_t>(data_, n, row_stride_, col_stride_, positions, outs); break;
        case Kind::U8: gather_many_as<uint8_t>(data_, n, row_stride_, col_stride_, positions, outs); break;
        case Kind::U16: gather_many_as<uint16_t>(data_, n, row_stride_, col_stride_, positions, outs); break;
        case Kind::U32: gather_many_as<uint32_t>(data_, n, row_stride_, col_stride_, positions, outs); break;
        case Kind::U64: gather_many_as<uint64_t>(data_, n, row_stride_, col_stride_, positions, outs); break;
        case Kind::Bool:
            for (size_t j = 0; j < positions.size(); ++j) gather(positions[j], "", outs[j]);
            break;
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

DMatrix DataLoader::from_memory(const std::vector<std::string>& headers,
                                std::vector<std::vector<std::string>> index_rows, const TableView& rows) {
    const auto feature_pos = find_pos(headers, feature_cols, true);
    const auto y_pos = first_pos(headers, y_col);
    const auto treatment_pos = find_pos(headers, treatment_cols, false);
    const auto weight_pos = first_pos(headers, weight_col);

    DMatrix m;
    m.index_rows = std::move(index_rows);
    m.is_cat.reserve(feature_cols.size());
    for (const std::string& name : feature_cols)
        m.is_cat.push_back(std::find(cat_cols.begin(), cat_cols.end(), name) != cat_cols.end() ? 1 : 0);

    const size_t n = rows.n_rows();
    FeatureColumn column;
    m.x.reserve(feature_cols.size());
    auto bin_feature = [&](size_t f, const FeatureColumn& values) {
        const std::string& name = feature_cols[f];
        std::vector<uint8_t> cells(n);
        if (m.is_cat[f]) {
            auto it = discrete_bins.find(name);
            if (it == discrete_bins.end()) {
                DiscreteBin bin{n_bin, {}};
                bin.fit(values);
                it = discrete_bins.emplace(name, std::move(bin)).first;
            }
            const DiscreteBin& bin = it->second;
            for (size_t r = 0; r < n; ++r) cells[r] = values.present[r] ? bin.transform(values.values[r]) : kMissingBin;
        } else {
            auto it = continuous_bins.find(name);
            if (it == continuous_bins.end()) {
                ContinuousBin bin;
                bin.n_bin = n_bin;
                bin.fit(values, name.c_str());
                it = continuous_bins.emplace(name, std::move(bin)).first;
            }
            it->second.prepare();
            it->second.transform_column(values, cells.data());
        }
        m.x.push_back(std::move(cells));
    };
    // Features are read a few at a time in one pass over the rows. A position some row does not
    // reach is read on its own, after the features before it are binned, so it stops the call
    // with the same message and leaves the same bins behind as reading column by column.
    constexpr size_t kChunk = 4;
    const size_t safe = n == 0 ? SIZE_MAX : rows.min_row_length();
    std::vector<FeatureColumn> chunk(kChunk);
    size_t positions[kChunk];
    for (size_t f = 0; f < feature_cols.size();) {
        size_t k = 0;
        while (f + k < feature_cols.size() && k < kChunk && *feature_pos[f + k] < safe) {
            positions[k] = *feature_pos[f + k];
            ++k;
        }
        if (k == 0) {
            rows.gather(*feature_pos[f], feature_cols[f], column);
            bin_feature(f, column);
            ++f;
            continue;
        }
        rows.gather_columns(std::span<const size_t>(positions, k), std::span<FeatureColumn>(chunk.data(), k));
        for (size_t j = 0; j < k; ++j) bin_feature(f + j, chunk[j]);
        f += k;
    }
    chunk = {};

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

}  // namespace quorvelin
