#include "python/tables.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "python/refs.hpp"

namespace quorvelin::python {

namespace {

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

}  // namespace

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

TableArgument::TableArgument(PyObject* arr) {
    if (!open_buffer(arr)) rows_ = convert_table(arr);
}

bool TableArgument::open_buffer(PyObject* arr) {
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

PyObject* rows_to_list(const RowLists& rows) {
    const GcPause pause;
    Ref out(PyList_New(static_cast<Py_ssize_t>(rows.n_rows)));
    if (!out) throw PythonError{};
    for (size_t i = 0; i < rows.n_rows; ++i) {
        // A million rows of lists take a good part of a second: Ctrl-C must not wait for them.
        if (i % 65536 == 65535 && PyErr_CheckSignals() != 0) throw PythonError{};
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

}  // namespace quorvelin::python
