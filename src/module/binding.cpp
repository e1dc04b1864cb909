// qel_i18n: the argument binder. One routine, driven by each callable's Signature, produces
// every binding message in a fixed order of checks.
#include "module/function.hpp"

namespace qel_i18n {

namespace {

const char *type_name(PyObject *obj) noexcept { return Py_TYPE(obj)->tp_name; }

/// "f() takes exactly 1 positional argument (2 given)" and its variants.
int raise_count(const Signature &signature, Py_ssize_t minimum, Py_ssize_t maximum, bool too_many,
                Py_ssize_t given) noexcept {
    const char *qualifier;
    Py_ssize_t expected;
    if (minimum == maximum) {
        qualifier = "exactly";
        expected = minimum;
    } else if (too_many) {
        qualifier = "at most";
        expected = maximum;
    } else {
        qualifier = "at least";
        expected = minimum;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 signature.name, qualifier, expected, expected == 1 ? "" : "s", given);
    return -1;
}

int raise_not_strings(const Signature &signature) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.name);
    return -1;
}

int raise_unexpected(const Signature &signature, PyObject *keyword) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name,
                 keyword);
    return -1;
}

bool same_name(PyObject *keyword, PyObject *interned) noexcept {
    // Names written in a call are interned by the host, so the pointer test nearly always
    // decides; the comparison covers names built at run time.
    return keyword == interned ||
           (PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, interned) == 0);
}

/// Index of the keyword argument named `name`, or -1.
Py_ssize_t find_keyword(PyObject *kwnames, Py_ssize_t nkw, PyObject *name) noexcept {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (same_name(PyTuple_GET_ITEM(kwnames, k), name)) {
            return k;
        }
    }
    return -1;
}

/// Index of the named parameter called `keyword`, or -1.
Py_ssize_t find_parameter(const FunctionObject *function, Py_ssize_t count,
                          PyObject *keyword) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (same_name(keyword, function->parameter_names[i])) {
            return i;
        }
    }
    return -1;
}

bool meets(PyObject *obj, Requirement requirement) noexcept {
    switch (requirement) {
    case Requirement::any:
        return true;
    case Requirement::str:
        return PyUnicode_CheckExact(obj);
    case Requirement::str_or_none:
        return PyUnicode_CheckExact(obj) || obj == Py_None;
    case Requirement::int_:
        return PyLong_CheckExact(obj);
    case Requirement::int_or_none:
        return PyLong_CheckExact(obj) || obj == Py_None;
    case Requirement::dict:
        return PyDict_CheckExact(obj);
    }
    return false;
}

const char *required_type_name(Requirement requirement) noexcept {
    switch (requirement) {
    case Requirement::int_:
    case Requirement::int_or_none:
        return "int";
    case Requirement::dict:
        return "dict";
    default:
        return "str";
    }
}

/// The binding of a callable that collects every positional argument and takes no keyword.
int bind_only_positional(const Signature &signature, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames, Bound &bound) noexcept {
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, k))) {
                return raise_not_strings(signature);
            }
        }
        return raise_unexpected(signature, PyTuple_GET_ITEM(kwnames, nkw - 1));
    }
    bound.rest = {args, static_cast<size_t>(nargs)};
    return 0;
}

} // namespace

int bind_arguments(const FunctionObject *function, PyObject *const *args, size_t nargsf,
                   PyObject *kwnames, Bound &bound) noexcept {
    const Signature &signature = *function->signature;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (signature.rest == Rest::only_positional) {
        return bind_only_positional(signature, args, nargs, kwnames, bound);
    }
    const Py_ssize_t count = static_cast<Py_ssize_t>(signature.parameters.size());
    const Py_ssize_t minimum = signature.required;
    const bool collects = signature.rest == Rest::collected;
    const Py_ssize_t maximum = collects ? PY_SSIZE_T_MAX : count;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;

    // 1. Too many positional arguments.
    if (nargs > maximum) {
        return raise_count(signature, minimum, maximum, true, nargs);
    }
    const Py_ssize_t positional = nargs < count ? nargs : count;
    for (Py_ssize_t i = 0; i < positional; ++i) {
        bound.arg[i] = args[i];
    }
    bound.rest = {};
    if (collects && nargs > count) {
        bound.rest = {args + count, static_cast<size_t>(nargs - count)};
    }

    Py_ssize_t consumed = 0;
    if (positional < count) {
        // 2. Required parameters not given by position come from the keywords; the first one
        //    missing reports its own position as the "given" figure.
        for (Py_ssize_t i = positional; i < count; ++i) {
            Py_ssize_t k = nkw > 0 ? find_keyword(kwnames, nkw, function->parameter_names[i]) : -1;
            if (k >= 0) {
                bound.arg[i] = args[nargs + k];
                ++consumed;
            } else if (i < minimum) {
                return raise_count(signature, minimum, maximum, false, i);
            } else {
                // 3. An optional parameter takes its default.
                bound.arg[i] = PyTuple_GET_ITEM(function->defaults, i - minimum);
            }
        }
    }

    // 4. A keyword left over names a positional parameter again, or nothing at all.
    if (consumed < nkw) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(keyword)) {
                return raise_not_strings(signature);
            }
            Py_ssize_t i = find_parameter(function, count, keyword);
            if (i < 0) {
                return raise_unexpected(signature, keyword);
            }
            if (i < positional) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword argument '%U'",
                             signature.name, keyword);
                return -1;
            }
        }
    }

    // 5. Exact type requirements, in parameter order.
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Parameter &parameter = signature.parameters[i];
        if (!meets(bound.arg[i], parameter.requirement)) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         parameter.name, required_type_name(parameter.requirement),
                         type_name(bound.arg[i]));
            return -1;
        }
    }
    return 0;
}

PyObject *check_result(PyObject *result, Requirement requirement) noexcept {
    if (meets(result, requirement)) {
        return result;
    }
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", required_type_name(requirement),
                 type_name(result));
    Py_DECREF(result);
    return nullptr;
}

} // namespace qel_i18n
