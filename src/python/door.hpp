#pragma once
// The private door of the extension: underscore-prefixed functions through which the tools
// package hands whole NumPy columns to the engine and gets predictions back in a caller's
// array, with the GIL released while the engine works. The public CausalModel surface is
// untouched; these functions only borrow the model inside a CausalModel object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "forest/forest.hpp"

namespace quorvelin::python {

// Provided by the module. The model inside a CausalModel object under the object's borrow
// rules, or nullptr with a Python error set (not a CausalModel, already borrowed).
Forest* lease_model(PyObject* obj, bool exclusive);
// Gives a lease back; exactly once per successful lease_model.
void return_model(PyObject* obj, bool exclusive);
// Sets the module's own error for an engine stop, as the public methods do.
void raise_stop(const char* message);

// Provided by the door: the module's function table (door functions only).
extern PyMethodDef door_methods[];

}  // namespace quorvelin::python
