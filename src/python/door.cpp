// The private door: whole columns in, a caller's float64 array out, the GIL released while the
// engine bins, grows and routes. Every call gives the same bits as the public fit/predict on
// the same values (a NaN cell counts as missing, as None does there).
#include "python/door.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "error.hpp"
#include "stop_point.hpp"
#include "python/tables.hpp"
#include "tree/route.hpp"

namespace quorvelin::python {

namespace {

struct PythonError {};  // a Python exception is pending
struct Interrupted {};  // a signal handler raised (KeyboardInterrupt pending)

[[noreturn]] void fail(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonError{};
}

template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
    } catch (const Interrupted&) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::bad_alloc&) {
        PyErr_Clear();
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_stop(e.what());
    } catch (...) {
        raise_stop("unknown failure");
    }
    return nullptr;
}

// The GIL given up for a scope: taken back briefly by `with_gil` and for good on every exit.
class GilReleased {
public:
    GilReleased() : state_(PyEval_SaveThread()) {}
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;
    ~GilReleased() { PyEval_RestoreThread(state_); }
    template <class F>
    void with_gil(F&& f) {
        PyEval_RestoreThread(state_);
        try {
            f();
        } catch (...) {
            state_ = PyEval_SaveThread();
            throw;
        }
        state_ = PyEval_SaveThread();
    }

private:
    PyThreadState* state_;
};

// A lease on the model inside a CausalModel object, given back on every exit.
class Lease {
public:
    Lease(PyObject* obj, bool exclusive) : obj_(obj), exclusive_(exclusive), model_(lease_model(obj, exclusive)) {
        if (!model_) throw PythonError{};
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { return_model(obj_, exclusive_); }
    Forest& model() const { return *model_; }

private:
    PyObject* obj_;
    bool exclusive_;
    Forest* model_;
};

using Kind = StridedTable::Kind;

// One 1-D column read in place through the buffer protocol; held until the table goes.
struct Column {
    Py_buffer view{};
    Kind kind = Kind::F64;
    ptrdiff_t stride = 0;
    size_t n = 0;
};

template <class T>
void read_numbers(const Column& c, FeatureColumn& out) {
    const char* base = static_cast<const char*>(c.view.buf);
    for (size_t r = 0; r < c.n; ++r) {
        if (r % 65536 == 0) stop_point();
        T v;
        std::memcpy(&v, base + static_cast<ptrdiff_t>(r) * c.stride, sizeof v);
        // Through double, as a Python number converted one by one goes, so both doors agree.
        const double d = static_cast<double>(v);
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(d)) {
                out.values[r] = 0.0f;
                out.present[r] = 0;
                continue;
            }
        }
        out.values[r] = static_cast<float>(d);
        out.present[r] = 1;
    }
}

// Buffers given back however the table's construction ends.
struct HeldColumns {
    std::vector<Column> cols;
    HeldColumns() = default;
    HeldColumns(const HeldColumns&) = delete;
    HeldColumns& operator=(const HeldColumns&) = delete;
    ~HeldColumns() {
        for (Column& c : cols) PyBuffer_Release(&c.view);
    }
};

// The caller's columns as the engine's table: NaN in a float column is a missing cell.
class ColumnTable final : public TableView {
public:
    ColumnTable(PyObject* columns, size_t expected_rows) {
        if (!PyList_Check(columns) && !PyTuple_Check(columns)) fail(PyExc_TypeError, "columns must be a list");
        Py_ssize_t k = PySequence_Fast_GET_SIZE(columns);
        cols_.reserve(static_cast<size_t>(k));
        n_rows_ = expected_rows;
        for (Py_ssize_t i = 0; i < k; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(columns, i);
            Column c;
            if (PyObject_GetBuffer(item, &c.view, PyBUF_RECORDS_RO) != 0) throw PythonError{};
            cols_.push_back(c);
            const Column& held = cols_.back();
            const std::optional<Kind> kind = buffer_kind(held.view.format, held.view.itemsize);
            if (held.view.ndim != 1 || held.view.suboffsets || !kind)
                fail(PyExc_TypeError, "column " + std::to_string(i) +
                                          " must be a 1-D array of floats, integers or booleans");
            cols_.back().kind = *kind;
            cols_.back().n = static_cast<size_t>(held.view.shape[0]);
            cols_.back().stride = held.view.strides ? held.view.strides[0] : held.view.itemsize;
            if (cols_.back().n != n_rows_)
                fail(PyExc_ValueError, "column " + std::to_string(i) + " has " + std::to_string(cols_.back().n) +
                                           " values, expected " + std::to_string(n_rows_));
        }
    }
    ColumnTable(const ColumnTable&) = delete;
    ColumnTable& operator=(const ColumnTable&) = delete;

    size_t n_columns() const { return cols_.size(); }
    size_t n_rows() const override { return n_rows_; }
    size_t min_row_length() const override { return cols_.size(); }

    void gather(size_t pos, const std::string& name, FeatureColumn& out) const override {
        if (pos >= cols_.size())
            stop("row 0 has " + std::to_string(cols_.size()) + " values, but column " + name + " is at position " +
                 std::to_string(pos));
        const Column& c = cols_[pos];
        out.values.resize(c.n);
        out.present.resize(c.n);
        switch (c.kind) {
            case Kind::F32: read_numbers<float>(c, out); break;
            case Kind::F64: read_numbers<double>(c, out); break;
            case Kind::I8: read_numbers<int8_t>(c, out); break;
            case Kind::I16: read_numbers<int16_t>(c, out); break;
            case Kind::I32: read_numbers<int32_t>(c, out); break;
            case Kind::I64: read_numbers<int64_t>(c, out); break;
            case Kind::U8: read_numbers<uint8_t>(c, out); break;
            case Kind::U16: read_numbers<uint16_t>(c, out); break;
            case Kind::U32: read_numbers<uint32_t>(c, out); break;
            case Kind::U64: read_numbers<uint64_t>(c, out); break;
            case Kind::Bool: {
                const char* base = static_cast<const char*>(c.view.buf);
                for (size_t r = 0; r < c.n; ++r) {
                    out.values[r] = base[static_cast<ptrdiff_t>(r) * c.stride] != 0 ? 1.0f : 0.0f;
                    out.present[r] = 1;
                }
                break;
            }
        }
    }

    // Columns cut from one row-major array sit side by side in memory: reading several of
    // them block by block touches each cache line once, not once per column.
    void gather_columns(std::span<const size_t> positions, std::span<FeatureColumn> outs) const override {
        const Kind kind = positions.empty() ? Kind::F64 : cols_[positions[0]].kind;
        bool same = kind == Kind::F64 || kind == Kind::F32;
        for (size_t p : positions) same = same && p < cols_.size() && cols_[p].kind == kind;
        if (!same) {
            for (size_t j = 0; j < positions.size(); ++j) gather(positions[j], "", outs[j]);
            return;
        }
        if (kind == Kind::F64)
            gather_strided_columns<double, true>(strided(positions), n_rows_, outs);
        else
            gather_strided_columns<float, true>(strided(positions), n_rows_, outs);
    }

    // NaN is a missing cell here; a value goes through double to float, as in gather.
    void bin_columns(std::span<const size_t> positions, std::span<const ContinuousBin* const> bins,
                     std::span<uint8_t* const> outs) const override {
        const Kind kind = positions.empty() ? Kind::F64 : cols_[positions[0]].kind;
        bool same = kind == Kind::F64 || kind == Kind::F32;
        for (size_t p : positions) same = same && p < cols_.size() && cols_[p].kind == kind;
        if (!same)
            TableView::bin_columns(positions, bins, outs);
        else if (kind == Kind::F64)
            bin_strided_columns<double, true>(strided(positions), n_rows_, bins, outs);
        else
            bin_strided_columns<float, true>(strided(positions), n_rows_, bins, outs);
    }

private:
    std::vector<StridedColumn> strided(std::span<const size_t> positions) const {
        std::vector<StridedColumn> out(positions.size());
        for (size_t j = 0; j < positions.size(); ++j)
            out[j] = {static_cast<const char*>(cols_[positions[j]].view.buf), cols_[positions[j]].stride};
        return out;
    }

    HeldColumns held_;
    std::vector<Column>& cols_ = held_.cols;
    size_t n_rows_ = 0;
};

std::vector<std::string> read_headers(PyObject* headers) {
    if (!PyList_Check(headers) && !PyTuple_Check(headers)) fail(PyExc_TypeError, "headers must be a list of str");
    std::vector<std::string> out;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(headers); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(headers, i);
        if (!PyUnicode_Check(item)) fail(PyExc_TypeError, "headers must be a list of str");
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (!data) throw PythonError{};
        out.emplace_back(data, static_cast<size_t>(size));
    }
    return out;
}

// The row count all columns must share: the first column's length.
size_t first_length(PyObject* columns) {
    if ((!PyList_Check(columns) && !PyTuple_Check(columns)) || PySequence_Fast_GET_SIZE(columns) == 0)
        fail(PyExc_ValueError, "columns must be a non-empty list of 1-D arrays");
    const Py_ssize_t n = PyObject_Length(PySequence_Fast_GET_ITEM(columns, 0));
    if (n < 0) throw PythonError{};
    return static_cast<size_t>(n);
}

// A writable C-contiguous float64 (rows, cols) array, or nothing for None.
class OutArray {
public:
    OutArray(PyObject* obj, const char* what) {
        if (obj == Py_None) return;
        if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT) != 0) throw PythonError{};
        held_ = true;
        const std::optional<Kind> kind = buffer_kind(view_.format, view_.itemsize);
        if (view_.ndim != 2 || !kind || *kind != Kind::F64)
            fail(PyExc_TypeError, std::string(what) + " must be a writable C-contiguous 2-D float64 array");
    }
    OutArray(const OutArray&) = delete;
    OutArray& operator=(const OutArray&) = delete;
    ~OutArray() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool held() const { return held_; }
    size_t rows() const { return static_cast<size_t>(view_.shape[0]); }
    size_t cols() const { return static_cast<size_t>(view_.shape[1]); }
    double* data() const { return static_cast<double*>(view_.buf); }
    void check(size_t rows_, size_t cols_, const char* what) const {
        if (held_ && (rows() != rows_ || cols() != cols_))
            fail(PyExc_ValueError, std::string(what) + " has shape (" + std::to_string(rows()) + ", " +
                                       std::to_string(cols()) + "), the result (" + std::to_string(rows_) + ", " +
                                       std::to_string(cols_) + ")");
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The engine's interrupt hook for a call without the GIL: take the GIL, let signal handlers
// run (Ctrl-C raises KeyboardInterrupt there), report progress when due, give the GIL back.
// The engine calls it every 10 ms or so from its inner loops and while workers run.
class Watch {
public:
    Watch(GilReleased& gil, PyObject* progress, uint64_t total, const std::atomic<uint64_t>* done)
        : gil_(gil), progress_(progress == Py_None ? nullptr : progress), total_(total), done_(done) {}

    InterruptCheck check() {
        return [this] {
            const auto now = std::chrono::steady_clock::now();
            bool failed = false;
            gil_.with_gil([&] {
                if (PyErr_CheckSignals() != 0) {
                    failed = true;
                    return;
                }
                if (progress_ && done_ && now - last_ >= std::chrono::milliseconds(200)) {
                    last_ = now;
                    PyObject* r = PyObject_CallFunction(progress_, "KK", static_cast<unsigned long long>(done_->load()),
                                                        static_cast<unsigned long long>(total_));
                    if (!r) failed = true;
                    Py_XDECREF(r);
                }
            });
            if (failed) throw Interrupted{};
        };
    }

private:
    GilReleased& gil_;
    PyObject* progress_;
    uint64_t total_;
    const std::atomic<uint64_t>* done_;
    std::chrono::steady_clock::time_point last_{};
};

bool parse(const char* fname, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t lo, Py_ssize_t hi) {
    if (nargs < lo || nargs > hi) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd to %zd positional arguments (%zd given)", fname, lo, hi, nargs);
        return false;
    }
    (void)args;
    return true;
}

// _fit_columns(model, headers, columns, progress=None, n_tree=0): fit_table on the columns.
PyObject* fit_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!parse("_fit_columns", args, nargs, 3, 5)) throw PythonError{};
        PyObject* progress = nargs > 3 ? args[3] : Py_None;
        uint64_t total = 0;
        if (nargs > 4) {
            total = PyLong_AsUnsignedLongLong(args[4]);
            if (PyErr_Occurred()) throw PythonError{};
        }
        if (progress != Py_None && !PyCallable_Check(progress)) fail(PyExc_TypeError, "progress must be callable");
        const std::vector<std::string> headers = read_headers(args[1]);
        const ColumnTable table(args[2], first_length(args[2]));
        Lease lease(args[0], true);
        std::atomic<uint64_t> grown{0};
        {
            GilReleased gil;
            Watch watch(gil, progress, total, &grown);
            lease.model().fit_table(headers, table, watch.check(), &grown);
        }
        Py_RETURN_NONE;
    });
}

// _predict_columns(model, headers, columns, out): the public predict's values, written into
// `out` (float64, (rows, groups - 1)).
PyObject* predict_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!parse("_predict_columns", args, nargs, 4, 4)) throw PythonError{};
        const std::vector<std::string> headers = read_headers(args[1]);
        const ColumnTable table(args[2], first_length(args[2]));
        const OutArray out(args[3], "out");
        if (!out.held()) fail(PyExc_TypeError, "out must be an array");
        Lease lease(args[0], true);
        {
            GilReleased gil;
            Watch watch(gil, Py_None, 0, nullptr);
            const RowLists result = lease.model().predict_table(headers, table, watch.check());
            bool fits = out.rows() == result.n_rows;
            for (size_t r = 0; fits && r < result.n_rows; ++r) fits = result.len[r] == out.cols();
            if (fits) {
                double* dst = out.data();
                for (size_t r = 0; r < result.n_rows; ++r) {
                    const float* src = result.row(r);
                    for (size_t j = 0; j < out.cols(); ++j) *dst++ = static_cast<double>(src[j]);
                }
            } else {
                gil.with_gil([&] {
                    PyErr_Format(PyExc_ValueError, "the model gives %zu rows of %zu values, out has shape (%zu, %zu)",
                                 result.n_rows, result.n_rows ? static_cast<size_t>(result.len[0]) : size_t{0},
                                 out.rows(), out.cols());
                });
                throw PythonError{};
            }
        }
        Py_RETURN_NONE;
    });
}

// Each leaf's control outcome (summary[0][0]), a NaN replaced by the nearest ancestor's
// number, as the uplift of a leaf is. A group's outcome is this plus the leaf's uplift for
// the group, so outcomes and uplift always tell the same story, fallbacks included.
std::vector<float> control_outcomes(const Tree& tree) {
    const std::vector<uint64_t> parent = tree.parents();
    const size_t n = tree.n_nodes();
    std::vector<float> out(n, std::nanf(""));
    for (uint64_t node = 0; node < n; ++node) {
        if (tree.left_children[node]) continue;
        for (uint64_t at = node; at != Tree::kNoParent; at = parent[at]) {
            const std::optional<SplitInfo>& s = tree.split[at];
            if (!s || s->summary.empty() || s->summary[0].empty()) continue;
            if (!std::isnan(s->summary[0][0])) {
                out[node] = s->summary[0][0];
                break;
            }
        }
    }
    return out;
}

void detail(const Forest& forest, const DMatrix& data, const OutArray& spread, const OutArray& outcome,
            const InterruptCheck& interrupted) {
    const size_t n = data.n_rows(), n_trees = forest.trees.size();
    if (n_trees == 0) stop("the model has no trees to predict with; fit it first");
    size_t width = 0;
    std::vector<double> sum, sumsq, out_sum;
    for (size_t t = 0; t < n_trees; ++t) {
        if (interrupted) interrupted();
        const Tree& tree = forest.trees[t].tree;
        RoutedTree routed;
        if (!route_tree(tree, data, routed)) stop("tree " + std::to_string(t) + " gives no common uplift width");
        if (t == 0) {
            width = routed.width;
            spread.check(n, width, "std_out");
            outcome.check(n, width + 1, "outcome_out");
            sum.assign(n * width, 0.0);
            sumsq.assign(spread.held() ? n * width : 0, 0.0);
            out_sum.assign(outcome.held() ? n * (width + 1) : 0, 0.0);
        } else if (routed.width != width) {
            stop("tree " + std::to_string(t) + " gives a different uplift width");
        }
        std::vector<float> control;
        if (outcome.held()) control = control_outcomes(tree);
        for (size_t r = 0; r < n; ++r) {
            const float* u = routed.leaf_uplift(r);
            if (spread.held())
                for (size_t j = 0; j < width; ++j) {
                    const double v = u[j];
                    sum[r * width + j] += v;
                    sumsq[r * width + j] += v * v;
                }
            if (outcome.held()) {
                const size_t leaf = static_cast<size_t>(u - routed.uplift.data()) / width;
                const double base = control[leaf];
                double* sums = out_sum.data() + r * (width + 1);
                sums[0] += base;
                for (size_t j = 0; j < width; ++j) sums[j + 1] += base + static_cast<double>(u[j]);
            }
        }
    }
    const double count = static_cast<double>(n_trees);
    if (spread.held())
        for (size_t i = 0; i < n * width; ++i) {
            const double mean = sum[i] / count;
            spread.data()[i] = std::sqrt(std::max(0.0, sumsq[i] / count - mean * mean));
        }
    if (outcome.held())
        for (size_t i = 0; i < n * (width + 1); ++i) outcome.data()[i] = out_sum[i] / count;
}

// _predict_detail(model, headers, columns, std_out, outcome_out): per row, the spread of the
// trees' uplift estimates (population standard deviation) and the mean over trees of the
// outcome under control and under each group in the row's leaf. Either output may be None.
PyObject* predict_detail(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!parse("_predict_detail", args, nargs, 5, 5)) throw PythonError{};
        const std::vector<std::string> headers = read_headers(args[1]);
        const ColumnTable table(args[2], first_length(args[2]));
        const OutArray spread(args[3], "std_out"), outcome(args[4], "outcome_out");
        Lease lease(args[0], true);
        Forest& model = lease.model();
        {
            GilReleased gil;
            Watch watch(gil, Py_None, 0, nullptr);
            BinsTransaction bins(model.loader);
            const InterruptCheck check = watch.check();
            const StopScope stops(check);
            const DMatrix data = model.loader.from_memory(headers, table);
            detail(model, data, spread, outcome, check);
            bins.commit();
        }
        Py_RETURN_NONE;
    });
}

}  // namespace

PyMethodDef door_methods[] = {
    {"_fit_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_columns)), METH_FASTCALL,
     "_fit_columns(model, headers, columns, progress=None, n_tree=0)\n--\n\nPrivate: fit on 1-D columns."},
    {"_predict_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(predict_columns)), METH_FASTCALL,
     "_predict_columns(model, headers, columns, out)\n--\n\nPrivate: predict 1-D columns into out."},
    {"_predict_detail", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(predict_detail)), METH_FASTCALL,
     "_predict_detail(model, headers, columns, std_out, outcome_out)\n--\n\nPrivate: per-tree spread and outcomes."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorvelin::python
