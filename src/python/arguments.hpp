#pragma once
// Argument parsing of the binding: the fast-call methods' positional and keyword arguments, and
// the configuration dict of the constructor.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "data/config.hpp"

namespace quorvelin::python {

// Fills out[0..n_names) from the call's arguments, by position or by name. False, with a
// TypeError set, when they do not fit: the wording and the order of the checks follow the
// interpreter's own keyword parser, so a wrong call reads like one to any builtin.
bool parse_arguments(const char* fname, const char* const* names, Py_ssize_t n_names, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);

// The configuration the conf dict describes. A value that cannot be taken leaves the default in
// place; whatever Python error the attempt raised is dropped.
TreeConfig read_config(PyObject* conf);

}  // namespace quorvelin::python
