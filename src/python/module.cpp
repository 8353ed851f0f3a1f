// The extension module: the CausalModel class and the translation of Python arguments and
// results to and from the engine's own types. Nothing here learns anything; every call hands
// converted values to the model and converts the answer back.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "data/config.hpp"
#include "data/data_loader.hpp"
#include "error.hpp"
#include "criteria/linalg.hpp"
#include "forest/forest.hpp"
#include "python/door.hpp"

namespace {

using quorvelin::Forest;
using quorvelin::ModelKind;
using quorvelin::RowLists;
using quorvelin::RowTable;
using quorvelin::StridedTable;
using quorvelin::TableView;
using quorvelin::TreeConfig;

// ---------------------------------------------------------------------------------------------
// Small helpers

// Owns one reference and gives it back on every way out of the scope.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* p) : p_(p) {}
    static Ref borrowed(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Thrown once a Python exception is pending; the call boundary returns NULL with it.
struct PythonError {};
// Thrown from the interrupt check; a KeyboardInterrupt (or the handler's own error) is pending.
struct Interrupted {};

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonError{};
}

// The unqualified name Python shows for an object's type ("int", "ndarray").
std::string type_name(PyObject* obj) {
    const char* full = Py_TYPE(obj)->tp_name;
    const char* dot = std::strrchr(full, '.');
    return dot ? std::string(dot + 1) : std::string(full);
}

[[noreturn]] void raise_not_convertible(const char* arg, PyObject* obj, const char* target) {
    raise_type_error(std::string("argument '") + arg + "': '" + type_name(obj) + "' object cannot be converted to '" +
                     target + "'");
}

[[noreturn]] void raise_str_to_vec(const char* arg) {
    raise_type_error(std::string("argument '") + arg + "': Can't extract `str` to `Vec`");
}

// A TypeError that Python code raised while an argument was being read is reported as a
// problem with that argument; any other pending error is left exactly as raised.
[[noreturn]] void rethrow_for_argument(const char* arg) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref cause(value);
        Py_XDECREF(type);
        Py_XDECREF(tb);
        Ref text(cause ? PyObject_Str(cause.get()) : nullptr);
        if (!text) throw PythonError{};
        PyErr_Format(PyExc_TypeError, "argument '%s': %U", arg, text.get());
        PyObject *t2, *v2, *tb2;
        PyErr_Fetch(&t2, &v2, &tb2);
        PyErr_NormalizeException(&t2, &v2, &tb2);
        if (v2 && cause) PyException_SetCause(v2, cause.release());
        PyErr_Restore(t2, v2, tb2);
    }
    throw PythonError{};
}

// UTF-8 text of a str, or nullptr with a Python error pending.
const char* utf8(PyObject* s, Py_ssize_t& size) { return PyUnicode_AsUTF8AndSize(s, &size); }

std::string str_argument(PyObject* obj, const char* arg) {
    if (!PyUnicode_Check(obj)) raise_not_convertible(arg, obj, "PyString");
    Py_ssize_t size = 0;
    const char* data = utf8(obj, size);
    if (!data) rethrow_for_argument(arg);
    return std::string(data, static_cast<size_t>(size));
}

// Walks the items of a sequence argument in order. Lists and tuples are read in place (a list
// is re-measured at every step, since reading an item may run code that changes it); any
// other sequence goes through the iterator protocol. The callback receives a new reference.
template <class F>
void for_each_item(PyObject* seq, const char* arg, F&& f) {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) f(Ref::borrowed(PyList_GET_ITEM(seq, i)));
        return;
    }
    if (PyTuple_CheckExact(seq)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(seq);
        for (Py_ssize_t i = 0; i < n; ++i) f(Ref::borrowed(PyTuple_GET_ITEM(seq, i)));
        return;
    }
    Ref it(PyObject_GetIter(seq));
    if (!it) rethrow_for_argument(arg);
    for (;;) {
        Ref item(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) rethrow_for_argument(arg);
            return;
        }
        f(std::move(item));
    }
}

// The number of items when it is known without running Python code.
Py_ssize_t known_size(PyObject* seq) {
    if (PyList_CheckExact(seq)) return PyList_GET_SIZE(seq);
    if (PyTuple_CheckExact(seq)) return PyTuple_GET_SIZE(seq);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Argument parsing for the fast-call methods. The wording and the order of the checks follow
// the interpreter's own keyword parser, so a wrong call reads like one to any builtin.

bool parse_arguments(const char* fname, const char* const* names, Py_ssize_t n_names, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw > n_names) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd %sargument%s (%zd given)", fname, n_names,
                     nargs == 0 ? "keyword " : "", n_names == 1 ? "" : "s", nargs + nkw);
        return false;
    }
    auto find_keyword = [&](const char* name) -> PyObject* {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) return args[nargs + k];
        }
        return nullptr;
    };
    Py_ssize_t unused_kw = nkw;
    for (Py_ssize_t i = 0; i < n_names; ++i) {
        PyObject* value = nullptr;
        if (i < nargs) {
            value = args[i];
        } else if (nkw) {
            value = find_keyword(names[i]);
            if (value) --unused_kw;
        }
        if (!value) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", fname, names[i], i + 1);
            return false;
        }
        out[i] = value;
    }
    if (unused_kw > 0) {
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            if (find_keyword(names[i])) {
                PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)", fname,
                             names[i], i + 1);
                return false;
            }
        }
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return false;
            }
            bool known = false;
            for (Py_ssize_t i = 0; i < n_names && !known; ++i)
                known = PyUnicode_CompareWithASCIIString(key, names[i]) == 0;
            if (!known) {
                PyErr_Format(PyExc_TypeError, "'%S' is an invalid keyword argument for %s()", key, fname);
                return false;
            }
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Reading the conf dict. A value that cannot be taken leaves the default in place; whatever
// Python error the attempt raised is dropped.

Ref conf_value(PyObject* conf, const char* key) {
    Ref k(PyUnicode_FromString(key));
    if (!k) {
        PyErr_Clear();
        return Ref();
    }
    PyObject* v = PyDict_GetItemWithError(conf, k.get());
    if (!v) PyErr_Clear();
    return Ref::borrowed(v);
}

void read_string_list(PyObject* conf, const char* key, std::vector<std::string>& field) {
    Ref v = conf_value(conf, key);
    if (!v || PyUnicode_Check(v.get()) || !PySequence_Check(v.get())) return;
    Ref it(PyObject_GetIter(v.get()));
    if (!it) {
        PyErr_Clear();
        return;
    }
    std::vector<std::string> items;
    for (;;) {
        Ref item(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return;
            }
            break;
        }
        if (!PyUnicode_Check(item.get())) return;
        Py_ssize_t size = 0;
        const char* data = utf8(item.get(), size);
        if (!data) {
            PyErr_Clear();
            return;
        }
        items.emplace_back(data, static_cast<size_t>(size));
    }
    field = std::move(items);
}

void read_string(PyObject* conf, const char* key, std::string& field) {
    Ref v = conf_value(conf, key);
    if (!v || !PyUnicode_Check(v.get())) return;
    Py_ssize_t size = 0;
    const char* data = utf8(v.get(), size);
    if (!data) {
        PyErr_Clear();
        return;
    }
    field.assign(data, static_cast<size_t>(size));
}

// Integers come through the index protocol only, so 10.0 is not taken for 10.
void read_size(PyObject* conf, const char* key, uint64_t& field) {
    Ref v = conf_value(conf, key);
    if (!v) return;
    Ref index(PyNumber_Index(v.get()));
    if (!index) {
        PyErr_Clear();
        return;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return;
    }
    field = static_cast<uint64_t>(value);
}

void read_float(PyObject* conf, const char* key, float& field) {
    Ref v = conf_value(conf, key);
    if (!v) return;
    const double value = PyFloat_AsDouble(v.get());
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return;
    }
    field = static_cast<float>(value);
}

// NumPy's boolean scalar is recognised by its type name so that NumPy need not be imported:
// "numpy.bool_" up to NumPy 1.x, "numpy.bool" from 2.0.
bool is_numpy_bool(PyObject* obj) {
    const char* name = Py_TYPE(obj)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

void read_bool(PyObject* conf, const char* key, bool& field) {
    Ref v = conf_value(conf, key);
    if (!v) return;
    if (PyBool_Check(v.get())) {
        field = v.get() == Py_True;
    } else if (is_numpy_bool(v.get())) {
        const int truth = PyObject_IsTrue(v.get());
        if (truth < 0)
            PyErr_Clear();
        else
            field = truth != 0;
    }
}

TreeConfig read_config(PyObject* conf) {
    TreeConfig c;
    read_string_list(conf, "index", c.index_cols);
    read_string_list(conf, "feature", c.feature_cols);
    read_string_list(conf, "cat", c.cat_cols);
    read_string_list(conf, "treatment", c.treatment_cols);
    read_string(conf, "y", c.y_col);
    read_string(conf, "weight", c.weight_col);
    read_size(conf, "n_bin", c.n_bin);
    read_size(conf, "min_samples_leaf", c.min_samples_leaf);
    read_size(conf, "min_samples_treatment", c.min_samples_treatment);
    read_size(conf, "n_reg", c.n_reg);
    read_float(conf, "alpha", c.alpha);
    read_bool(conf, "normalization", c.normalization);
    read_size(conf, "max_features", c.max_features);
    read_size(conf, "max_depth", c.max_depth);
    read_size(conf, "n_tree", c.n_tree);
    read_float(conf, "subsample", c.subsample);
    read_size(conf, "n_thread", c.n_thread);
    read_bool(conf, "seed_per_tree", c.seed_per_tree);
    // The top value doubles as "no seed", so it can never be asked for explicitly.
    uint64_t seed = std::numeric_limits<uint64_t>::max();
    read_size(conf, "seed", seed);
    if (seed != std::numeric_limits<uint64_t>::max()) c.seed = seed;
    // Opt-in settings; an unknown criterion name stops the construction (check_settings).
    read_string(conf, "evaluation_function", c.evaluation_function);
    read_string(conf, "regression_criterion", c.regression_criterion);
    read_bool(conf, "honesty", c.honesty);
    read_float(conf, "estimation_sample_size", c.estimation_sample_size);
    PyErr_Clear();
    return c;
}

// ---------------------------------------------------------------------------------------------
// Tables

std::vector<std::string> convert_headers(PyObject* headers) {
    if (PyUnicode_Check(headers)) raise_str_to_vec("headers");
    if (!PySequence_Check(headers)) raise_not_convertible("headers", headers, "Sequence");
    std::vector<std::string> out;
    out.reserve(static_cast<size_t>(known_size(headers)));
    for_each_item(headers, "headers", [&](Ref item) {
        if (!PyUnicode_Check(item.get())) raise_not_convertible("headers", item.get(), "PyString");
        Py_ssize_t size = 0;
        const char* data = utf8(item.get(), size);
        if (!data) rethrow_for_argument("headers");
        out.emplace_back(data, static_cast<size_t>(size));
    });
    return out;
}

void push_cell(RowTable& table, PyObject* item) {
    if (PyFloat_CheckExact(item)) {
        table.push(static_cast<float>(PyFloat_AS_DOUBLE(item)), true);
    } else if (item == Py_None) {
        table.push(0.0f, false);
    } else {
        const double value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) rethrow_for_argument("arr");
        table.push(static_cast<float>(value), true);
    }
}

// The rows of `arr` as optional 32-bit floats, read item by item through the sequence protocol:
// the general path, taken by every table that is not a plain numeric 2-D buffer.
RowTable convert_table(PyObject* arr) {
    if (PyUnicode_Check(arr)) raise_str_to_vec("arr");
    if (!PySequence_Check(arr)) raise_not_convertible("arr", arr, "Sequence");
    RowTable table;
    const size_t n_rows = static_cast<size_t>(known_size(arr));
    if (n_rows > 0) {
        // Sized from the first row when that is cheap to see, capped so that one long first
        // row cannot make the reservation far larger than the table.
        size_t width = 0;
        PyObject* first = PyList_CheckExact(arr) ? PyList_GET_ITEM(arr, 0) : PyTuple_GET_ITEM(arr, 0);
        width = static_cast<size_t>(known_size(first));
        const size_t cap = size_t{1} << 24;
        const size_t cells = width != 0 && n_rows > cap / width ? cap : n_rows * width;
        table.reserve(n_rows, cells);
    }
    for_each_item(arr, "arr", [&](Ref row) {
        PyObject* r = row.get();
        if (PyUnicode_Check(r)) raise_str_to_vec("arr");
        if (!PySequence_Check(r)) raise_not_convertible("arr", r, "Sequence");
        if (PyList_CheckExact(r)) {
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(r); ++j) {
                PyObject* item = PyList_GET_ITEM(r, j);
                if (PyFloat_CheckExact(item) || item == Py_None) {
                    push_cell(table, item);
                } else {
                    Ref keep = Ref::borrowed(item);
                    push_cell(table, keep.get());
                }
            }
        } else {
            for_each_item(r, "arr", [&](Ref item) { push_cell(table, item.get()); });
        }
        table.end_row();
    });
    return table;
}

// The element kind of a buffer's format when it is one plain native-order number the table can
// read in place; nothing for anything else (object, half float, complex, foreign byte order,
// structured records), which then takes the sequence path.
std::optional<StridedTable::Kind> buffer_kind(const char* format, Py_ssize_t itemsize) {
    using Kind = StridedTable::Kind;
    if (!format) format = "B";  // the buffer protocol's default when no format is given
    if (*format == '@' || *format == '=') {
        ++format;
    } else if (*format == '<' || *format == '>' || *format == '!') {
#if PY_LITTLE_ENDIAN
        if (*format != '<') return std::nullopt;
#else
        if (*format == '<') return std::nullopt;
#endif
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
    // The sizes of 'l' and 'L' depend on the prefix, so integers are told apart by the size
    // the exporter reports rather than by the letter.
    auto by_size = [&](Kind k1, Kind k2, Kind k4, Kind k8) -> std::optional<Kind> {
        switch (itemsize) {
            case 1: return k1;
            case 2: return k2;
            case 4: return k4;
            case 8: return k8;
            default: return std::nullopt;
        }
    };
    switch (format[0]) {
        case 'f': return itemsize == 4 ? std::optional<Kind>(Kind::F32) : std::nullopt;
        case 'd': return itemsize == 8 ? std::optional<Kind>(Kind::F64) : std::nullopt;
        case '?': return itemsize == 1 ? std::optional<Kind>(Kind::Bool) : std::nullopt;
        case 'b':
        case 'h':
        case 'i':
        case 'l':
        case 'q': return by_size(Kind::I8, Kind::I16, Kind::I32, Kind::I64);
        case 'B':
        case 'H':
        case 'I':
        case 'L':
        case 'Q': return by_size(Kind::U8, Kind::U16, Kind::U32, Kind::U64);
        default: return std::nullopt;
    }
}

// The table argument of fit and predict. A 2-D buffer of plain numbers (a NumPy array of
// floats, integers or booleans, in any memory order) is read in place, which gives the same
// values as reading its rows as sequences but without a Python object per cell; everything
// else goes through the sequence path. The buffer is held until the object goes, so the
// exporter can neither free nor resize the memory while the loader reads it.
class TableArgument {
public:
    explicit TableArgument(PyObject* arr) {
        if (!open_buffer(arr)) rows_ = convert_table(arr);
    }
    TableArgument(const TableArgument&) = delete;
    TableArgument& operator=(const TableArgument&) = delete;
    ~TableArgument() {
        if (held_) PyBuffer_Release(&view_);
    }

    const TableView& table() const {
        if (strided_) return *strided_;
        return rows_;
    }

private:
    bool open_buffer(PyObject* arr) {
        // str has no buffer, but bytes has one: both keep the sequence path and its TypeErrors.
        if (PyUnicode_Check(arr) || PyBytes_Check(arr) || !PyObject_CheckBuffer(arr)) return false;
        if (PyObject_GetBuffer(arr, &view_, PyBUF_RECORDS_RO) != 0) {
            // An exporter that cannot describe itself this way (NumPy's datetimes, for one)
            // is left to the sequence path, which reports whatever it finds there.
            PyErr_Clear();
            return false;
        }
        held_ = true;
        const std::optional<StridedTable::Kind> kind = buffer_kind(view_.format, view_.itemsize);
        if (view_.ndim != 2 || !view_.shape || view_.suboffsets || !kind) {
            PyBuffer_Release(&view_);
            held_ = false;
            return false;
        }
        // Some exporters (ctypes) leave the strides out even when asked; that means C order.
        const ptrdiff_t col_stride = view_.strides ? view_.strides[1] : view_.itemsize;
        const ptrdiff_t row_stride = view_.strides ? view_.strides[0] : view_.shape[1] * view_.itemsize;
        strided_.emplace(view_.buf, *kind, static_cast<size_t>(view_.shape[0]), static_cast<size_t>(view_.shape[1]),
                         row_stride, col_stride);
        return true;
    }

    Py_buffer view_{};
    bool held_ = false;
    std::optional<StridedTable> strided_;
    RowTable rows_;
};

// Keeps the cyclic garbage collector off for a scope and puts its state back on every exit.
// A million fresh result lists would otherwise set off a run of collections, each walking all
// the lists made so far, none of which can be garbage yet: that was a tenth of a large predict.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() != 0) {}
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    bool was_enabled_;
};

PyObject* rows_to_list(const RowLists& rows) {
    const GcPause pause;
    Ref out(PyList_New(static_cast<Py_ssize_t>(rows.n_rows)));
    if (!out) throw PythonError{};
    for (size_t i = 0; i < rows.n_rows; ++i) {
        const uint32_t n = rows.len[i];
        const float* values = rows.row(i);
        Ref inner(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!inner) throw PythonError{};
        for (uint32_t j = 0; j < n; ++j) {
            PyObject* f = PyFloat_FromDouble(static_cast<double>(values[j]));
            if (!f) throw PythonError{};
            PyList_SET_ITEM(inner.get(), static_cast<Py_ssize_t>(j), f);
        }
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), inner.release());
    }
    return out.release();
}

// ---------------------------------------------------------------------------------------------
// The exception type of stops, and the boundary every method runs behind.

PyObject* model_error_type = nullptr;

void raise_model_error(const char* message) {
    // Every stop leaves one line on stderr as well, since callers often swallow the exception.
    std::string line(message);
    for (char& ch : line)
        if (ch == '\n' || ch == '\r') ch = ' ';
    std::fprintf(stderr, "quorvelin: %s\n", line.c_str());
    std::fflush(stderr);
    Ref text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (!text) return;
    PyErr_SetObject(model_error_type, text.get());
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
        raise_model_error(e.what());
    } catch (...) {
        raise_model_error("unknown failure");
    }
    return nullptr;
}

quorvelin::InterruptCheck interrupt_check() {
    return [] {
        if (PyErr_CheckSignals() != 0) throw Interrupted{};
    };
}

// ---------------------------------------------------------------------------------------------
// The CausalModel object

struct ModelObject {
    PyObject_HEAD
    Forest* model;
    ModelKind kind;
    // 0: free, n > 0: n shared uses, -1: one exclusive use.
    Py_ssize_t borrow;
};

PyTypeObject* model_type = nullptr;

// Holds a borrow of one object for the length of a call and gives it back on every exit.
class Borrow {
public:
    enum Mode { Shared, Exclusive };
    Borrow(ModelObject* obj, Mode mode) : obj_(obj) {
        if (mode == Shared) {
            if (obj->borrow < 0) fail("Already mutably borrowed");
            ++obj->borrow;
        } else {
            if (obj->borrow != 0) fail("Already borrowed");
            obj->borrow = -1;
        }
        mode_ = mode;
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (mode_ == Shared)
            --obj_->borrow;
        else
            obj_->borrow = 0;
    }

private:
    [[noreturn]] static void fail(const char* message) {
        PyErr_SetString(PyExc_RuntimeError, message);
        throw PythonError{};
    }
    ModelObject* obj_;
    Mode mode_ = Shared;
};

PyObject* wrap_model(PyTypeObject* type, ModelKind kind, std::unique_ptr<Forest> model) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) throw PythonError{};
    auto* self = reinterpret_cast<ModelObject*>(obj);
    self->model = model.release();
    self->kind = kind;
    self->borrow = 0;
    return obj;
}

PyObject* model_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"name", "conf", nullptr};
        PyObject *name_obj = nullptr, *conf = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:CausalModel", const_cast<char**>(kwlist), &name_obj, &conf))
            throw PythonError{};
        const std::string name = str_argument(name_obj, "name");
        if (!PyDict_Check(conf)) raise_not_convertible("conf", conf, "PyDict");
        const ModelKind kind = quorvelin::model_kind(name);
        TreeConfig config = read_config(conf);
        return wrap_model(type, kind, quorvelin::new_model(kind, std::move(config)));
    });
}

void model_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<ModelObject*>(obj);
    delete self->model;
    self->model = nullptr;
    PyTypeObject* type = Py_TYPE(obj);
    type->tp_free(obj);
    Py_DECREF(type);
}

ModelObject* as_model(PyObject* self) {
    if (!model_type || !PyObject_TypeCheck(self, model_type)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not a CausalModel", Py_TYPE(self)->tp_name);
        throw PythonError{};
    }
    auto* obj = reinterpret_cast<ModelObject*>(self);
    // Only reachable if an instance was made without the constructor.
    if (!obj->model) quorvelin::stop("the CausalModel object holds no model");
    return obj;
}

PyObject* model_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"name", "path"};
        PyObject* a[2];
        if (!parse_arguments("load", names, 2, args, nargs, kwnames, a)) throw PythonError{};
        ModelObject* obj = as_model(self);
        Borrow borrow(obj, Borrow::Shared);
        const std::string name = str_argument(a[0], "name");
        const std::string path = str_argument(a[1], "path");
        // The name is checked before the file is opened, so a bad name never touches the disk.
        const ModelKind kind = quorvelin::model_kind(name);
        return wrap_model(model_type, kind, quorvelin::load_model(kind, path));
    });
}

PyObject* model_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"path"};
        PyObject* a[1];
        if (!parse_arguments("save", names, 1, args, nargs, kwnames, a)) throw PythonError{};
        ModelObject* obj = as_model(self);
        Borrow borrow(obj, Borrow::Shared);
        const std::string path = str_argument(a[0], "path");
        obj->model->save(path);
        Py_RETURN_NONE;
    });
}

PyObject* model_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"headers", "arr"};
        PyObject* a[2];
        if (!parse_arguments("fit", names, 2, args, nargs, kwnames, a)) throw PythonError{};
        ModelObject* obj = as_model(self);
        Borrow borrow(obj, Borrow::Exclusive);
        const std::vector<std::string> headers = convert_headers(a[0]);
        const TableArgument arr(a[1]);
        obj->model->fit_table(headers, arr.table(), interrupt_check());
        Py_RETURN_NONE;
    });
}

PyObject* model_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"headers", "arr"};
        PyObject* a[2];
        if (!parse_arguments("predict", names, 2, args, nargs, kwnames, a)) throw PythonError{};
        ModelObject* obj = as_model(self);
        Borrow borrow(obj, Borrow::Exclusive);
        const std::vector<std::string> headers = convert_headers(a[0]);
        const TableArgument arr(a[1]);
        const RowLists result = obj->model->predict_table(headers, arr.table(), interrupt_check());
        return rows_to_list(result);
    });
}

// Pickling goes through the model's text: unpickling builds a fresh model of the same kind and
// __setstate__ replaces it with the one the text describes, trained or not.
PyObject* model_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ModelObject* obj = as_model(self);
        Borrow borrow(obj, Borrow::Shared);
        const std::string state = quorvelin::model_state(*obj->model);
        Ref text(PyUnicode_DecodeUTF8(state.data(), static_cast<Py_ssize_t>(state.size()), "strict"));
        if (!text) throw PythonError{};
        return Py_BuildValue("(O(s{})O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), quorvelin::model_name(obj->kind),
                             text.get());
    });
}

PyObject* model_setstate(PyObject* self, PyObject* state) {
    return guarded([&]() -> PyObject* {
        ModelObject* obj = as_model(self);
        Borrow borrow(obj, Borrow::Exclusive);
        const std::string text = str_argument(state, "state");
        std::unique_ptr<Forest> model = quorvelin::model_from_state(obj->kind, text);
        delete obj->model;
        obj->model = model.release();
        Py_RETURN_NONE;
    });
}

PyMethodDef model_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_reduce)), METH_NOARGS, nullptr},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_setstate)), METH_O, nullptr},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_load)), METH_FASTCALL | METH_KEYWORDS,
     "load($self, name, path)\n--\n\n"},
    {"save", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_save)), METH_FASTCALL | METH_KEYWORDS,
     "save($self, path)\n--\n\n"},
    {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_fit)), METH_FASTCALL | METH_KEYWORDS,
     "fit($self, headers, arr)\n--\n\n"},
    {"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_predict)),
     METH_FASTCALL | METH_KEYWORDS, "predict($self, headers, arr)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot model_slots[] = {
    {Py_tp_doc, const_cast<char*>("CausalModel(name, conf)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(model_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
    {Py_tp_methods, model_methods},
    {0, nullptr},
};

PyType_Spec model_spec = {
    "quorvelin.CausalModel",
    sizeof(ModelObject),
    0,
    Py_TPFLAGS_DEFAULT,
    model_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvelin",
    "",
    -1,
    quorvelin::python::door_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// What the private door needs from the CausalModel object: its model, under the same borrow
// rules as the public methods, and the module's error for an engine stop.
namespace quorvelin::python {

Forest* lease_model(PyObject* obj, bool exclusive) {
    if (!model_type || !PyObject_TypeCheck(obj, model_type)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not a CausalModel", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    auto* self = reinterpret_cast<ModelObject*>(obj);
    if (!self->model || (exclusive ? self->borrow != 0 : self->borrow < 0)) {
        PyErr_SetString(PyExc_RuntimeError, !self->model ? "the CausalModel object holds no model"
                                            : exclusive  ? "Already borrowed"
                                                         : "Already mutably borrowed");
        return nullptr;
    }
    self->borrow = exclusive ? -1 : self->borrow + 1;
    return self->model;
}

void return_model(PyObject* obj, bool exclusive) {
    auto* self = reinterpret_cast<ModelObject*>(obj);
    self->borrow = exclusive ? 0 : self->borrow - 1;
}

void raise_stop(const char* message) { raise_model_error(message); }

}  // namespace quorvelin::python

PyMODINIT_FUNC PyInit_quorvelin(void) {
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!model_error_type) {
        // Derived from BaseException so that a blanket `except Exception` does not hide a failed
        // fit. Reachable only through the exceptions it raises.
        model_error_type = PyErr_NewException("quorvelin.ModelError", PyExc_BaseException, nullptr);
        if (!model_error_type) return nullptr;
    }
    if (!model_type) {
        model_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&model_spec));
        if (!model_type) return nullptr;
    }
    Py_INCREF(model_type);
    if (PyModule_AddObject(module.get(), "CausalModel", reinterpret_cast<PyObject*>(model_type)) < 0) {
        Py_DECREF(model_type);
        return nullptr;
    }
    return module.release();
}
