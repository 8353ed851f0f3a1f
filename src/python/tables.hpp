#pragma once
// Table conversion of the binding: the headers argument, the table argument (a buffer read in
// place or rows read item by item) and the per-row lists of a prediction.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "criteria/linalg.hpp"
#include "data/data_loader.hpp"

namespace quorvelin::python {

std::vector<std::string> convert_headers(PyObject* headers);

// The element kind of a buffer's format when it is one plain native-order number that can be
// read in place; nothing for anything else.
std::optional<StridedTable::Kind> buffer_kind(const char* format, Py_ssize_t itemsize);

// The table argument of fit and predict. A 2-D buffer of plain numbers (a NumPy array of
// floats, integers or booleans, in any memory order) is read in place, which gives the same
// values as reading its rows as sequences but without a Python object per cell; everything
// else goes through the sequence path. The buffer is held until the object goes, so the
// exporter can neither free nor resize the memory while the loader reads it.
class TableArgument {
public:
    explicit TableArgument(PyObject* arr);
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
    bool open_buffer(PyObject* arr);

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

// A new list of lists of floats, one per row.
PyObject* rows_to_list(const RowLists& rows);

}  // namespace quorvelin::python
