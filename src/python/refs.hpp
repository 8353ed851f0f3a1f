#pragma once
// Reference helpers of the binding: an owning reference, the two ways a call unwinds with a
// Python error pending, the TypeErrors of bad arguments, and reading str and sequence arguments.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string>

namespace quorvelin::python {

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

[[noreturn]] inline void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonError{};
}

// The unqualified name Python shows for an object's type ("int", "ndarray").
inline std::string type_name(PyObject* obj) {
    const char* full = Py_TYPE(obj)->tp_name;
    const char* dot = std::strrchr(full, '.');
    return dot ? std::string(dot + 1) : std::string(full);
}

[[noreturn]] inline void raise_not_convertible(const char* arg, PyObject* obj, const char* target) {
    raise_type_error(std::string("argument '") + arg + "': '" + type_name(obj) + "' object cannot be converted to '" +
                     target + "'");
}

[[noreturn]] inline void raise_str_to_vec(const char* arg) {
    raise_type_error(std::string("argument '") + arg + "': Can't extract `str` to `Vec`");
}

// A TypeError that Python code raised while an argument was being read is reported as a
// problem with that argument; any other pending error is left exactly as raised.
[[noreturn]] inline void rethrow_for_argument(const char* arg) {
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
inline const char* utf8(PyObject* s, Py_ssize_t& size) { return PyUnicode_AsUTF8AndSize(s, &size); }

inline std::string str_argument(PyObject* obj, const char* arg) {
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
inline void for_each_item(PyObject* seq, const char* arg, F&& f) {
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
inline Py_ssize_t known_size(PyObject* seq) {
    if (PyList_CheckExact(seq)) return PyList_GET_SIZE(seq);
    if (PyTuple_CheckExact(seq)) return PyTuple_GET_SIZE(seq);
    return 0;
}

}  // namespace quorvelin::python
