#pragma once
// Finds the columns of a caller's table by name and turns it into a DMatrix, fitting each
// feature's bin record the first time the feature is seen and reusing it afterwards.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "data/bin.hpp"
#include "data/dmatrix.hpp"

namespace quorvelin {

// Read access to a caller's table, one column at a time.
class TableView {
public:
    virtual ~TableView() = default;
    virtual size_t n_rows() const = 0;
    // Fills `out` with the cells at position `pos` of every row. Stops, naming the column, when
    // a row is too short.
    virtual void gather(size_t pos, const std::string& name, FeatureColumn& out) const = 0;
    // The length of the shortest row; every position below it can be read from every row.
    virtual size_t min_row_length() const = 0;
    // Fills outs[j] with the cells at positions[j], every position below min_row_length(), in
    // one pass over the rows: a row-major table is then read once for several columns.
    virtual void gather_columns(std::span<const size_t> positions, std::span<FeatureColumn> outs) const = 0;
    // Writes into outs[j] (n_rows() bytes) the cells that gather_columns and then
    // bins[j]->transform_column give for positions[j], kMissingBin for a missing cell. Tables
    // that can read and bin in one pass, with no float copy of the columns, do so.
    virtual void bin_columns(std::span<const size_t> positions, std::span<const ContinuousBin* const> bins,
                             std::span<uint8_t* const> outs) const;
};

// A column of numbers in a caller's memory: row r's value starts at base + r * stride bytes.
struct StridedColumn {
    const char* base;
    ptrdiff_t stride;
};

// Reads and bins columns of T in one pass into outs[j] (one byte per row). Every value goes
// through a double on its way to float, as a number converted one by one would. With
// kNaNMissing a NaN is a missing cell (kMissingBin); otherwise it is a present NaN.
template <class T, bool kNaNMissing>
void bin_strided_columns(std::span<const StridedColumn> columns, size_t n_rows,
                         std::span<const ContinuousBin* const> bins, std::span<uint8_t* const> outs);

// Reads columns of T into outs[j], converted as bin_strided_columns converts them. With
// kNaNMissing a NaN is a missing cell (value 0, not present); otherwise every cell is present.
template <class T, bool kNaNMissing>
void gather_strided_columns(std::span<const StridedColumn> columns, size_t n_rows, std::span<FeatureColumn> outs);

// Rows of optional floats, stored flat; rows may differ in length.
class RowTable final : public TableView {
public:
    RowTable() { offsets_.push_back(0); }
    void reserve(size_t n_rows, size_t n_cells);
    void push(float value, bool present) {
        values_.push_back(value);
        present_.push_back(present ? 1 : 0);
    }
    void end_row() { offsets_.push_back(values_.size()); }

    size_t n_rows() const override { return offsets_.size() - 1; }
    void gather(size_t pos, const std::string& name, FeatureColumn& out) const override;
    size_t min_row_length() const override;
    void gather_columns(std::span<const size_t> positions, std::span<FeatureColumn> outs) const override;

private:
    std::vector<float> values_;
    std::vector<uint8_t> present_;
    std::vector<size_t> offsets_;
};

// A caller's 2-D array read in place (any strides, byte strides may be negative), as a buffer
// of numbers gives it. Every value goes through a double on its way to float, as a number
// converted one by one would, so both paths give the same bits; no cell is missing.
class StridedTable final : public TableView {
public:
    enum class Kind { F32, F64, I8, I16, I32, I64, U8, U16, U32, U64, Bool };
    StridedTable(const void* data, Kind kind, size_t n_rows, size_t n_cols, ptrdiff_t row_stride,
                 ptrdiff_t col_stride)
        : data_(static_cast<const char*>(data)),
          kind_(kind),
          n_rows_(n_rows),
          n_cols_(n_cols),
          row_stride_(row_stride),
          col_stride_(col_stride) {}

    size_t n_rows() const override { return n_rows_; }
    void gather(size_t pos, const std::string& name, FeatureColumn& out) const override;
    size_t min_row_length() const override { return n_cols_; }
    void gather_columns(std::span<const size_t> positions, std::span<FeatureColumn> outs) const override;
    void bin_columns(std::span<const size_t> positions, std::span<const ContinuousBin* const> bins,
                     std::span<uint8_t* const> outs) const override;

private:
    const char* data_;
    Kind kind_;
    size_t n_rows_, n_cols_;
    ptrdiff_t row_stride_, col_stride_;
};

class DataLoader {
public:
    std::vector<std::string> feature_cols;
    std::string y_col;
    std::vector<std::string> treatment_cols;
    std::string weight_col;
    std::vector<std::string> cat_cols;
    uint64_t n_bin = 30;
    std::unordered_map<std::string, ContinuousBin> continuous_bins;
    std::unordered_map<std::string, DiscreteBin> discrete_bins;

    DataLoader(std::vector<std::string> feature_cols, std::string y_col, std::vector<std::string> treatment_cols,
               std::string weight_col, std::vector<std::string> cat_cols, uint64_t n_bin,
               std::unordered_map<std::string, ContinuousBin> continuous_bins,
               std::unordered_map<std::string, DiscreteBin> discrete_bins);

    static std::vector<std::optional<size_t>> find_pos(const std::vector<std::string>& headers,
                                                       const std::vector<std::string>& names, bool required);

    DMatrix from_memory(const std::vector<std::string>& headers, const TableView& rows);

    // Threads that may read and bin feature columns at once; the result is the same for any
    // number. The forest sets it from its n_thread.
    size_t workers = 1;

private:
    void bin_features(DMatrix& m, const std::vector<std::optional<size_t>>& feature_pos, const TableView& rows);
};

// Keeps a call that stops from changing the loader: bins are fitted once per column and then
// only read, so undoing a call means dropping the bins it added. Unless commit() is reached,
// the destructor removes every bin record the loader did not hold at construction.
class BinsTransaction {
public:
    explicit BinsTransaction(DataLoader& loader);
    ~BinsTransaction();
    BinsTransaction(const BinsTransaction&) = delete;
    BinsTransaction& operator=(const BinsTransaction&) = delete;
    void commit() { committed_ = true; }

private:
    DataLoader& loader_;
    std::vector<std::string> continuous_before_, discrete_before_;
    bool committed_ = false;
};

}  // namespace quorvelin
