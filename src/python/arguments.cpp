#include "python/arguments.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "python/refs.hpp"

namespace quorvelin::python {

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

namespace {

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

}  // namespace

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

}  // namespace quorvelin::python
