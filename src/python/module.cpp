// The extension module: the CausalModel type, the exception type of stops and the boundary every
// method runs behind. Arguments, tables and references are converted by arguments.cpp,
// tables.cpp and refs.hpp; nothing here learns anything.
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
#include <string_view>
#include <utility>
#include <vector>

#include "data/config.hpp"
#include "data/data_loader.hpp"
#include "error.hpp"
#include "criteria/linalg.hpp"
#include "forest/forest.hpp"
#include "python/arguments.hpp"
#include "python/door.hpp"
#include "python/refs.hpp"
#include "python/tables.hpp"

namespace {

using namespace quorvelin::python;

using quorvelin::Forest;
using quorvelin::ModelKind;
using quorvelin::RowLists;
using quorvelin::RowTable;
using quorvelin::StridedTable;
using quorvelin::TableView;
using quorvelin::TreeConfig;

// ---------------------------------------------------------------------------------------------
// The exception type of stops, and the boundary every method runs behind.

PyObject* model_error_type = nullptr;

void raise_model_error(std::string_view message) {
    // Every stop leaves one line on stderr as well, since callers often swallow the exception.
    // Written by length: a name or path holding a NUL must not cut the line short.
    std::string line = "quorvelin: ";
    line.append(message);
    for (size_t i = 11; i < line.size(); ++i)
        if (line[i] == '\n' || line[i] == '\r') line[i] = ' ';
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
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
    } catch (const quorvelin::Stop& e) {
        raise_model_error(e.message);
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
    quorvelin::prepare_thread_exceptions();
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!model_error_type) {
        // An ordinary Exception, exported by name: pools and executors pickle a worker's error
        // back to the caller by reference to this attribute, and callers can catch it directly.
        model_error_type = PyErr_NewException("quorvelin.ModelError", PyExc_Exception, nullptr);
        if (!model_error_type) return nullptr;
    }
    Py_INCREF(model_error_type);
    if (PyModule_AddObject(module.get(), "ModelError", model_error_type) < 0) {
        Py_DECREF(model_error_type);
        return nullptr;
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
