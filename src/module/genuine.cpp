// qel_i18n: the tests that a bound service is the host's own implementation.
#include "module/genuine.hpp"

#include <cstring>

namespace qel_i18n::host {

namespace {

/// A type made in C under `name` ("module.Type"). A class made by Python code always accepts
/// subclasses (Py_TPFLAGS_BASETYPE) and cannot drop that flag, so a type without it that
/// bears the name was made by the extension module that names it.
bool is_extension_type(PyTypeObject *type, const char *name) noexcept {
    return !PyType_HasFeature(type, Py_TPFLAGS_BASETYPE) && std::strcmp(type->tp_name, name) == 0;
}

/// `value` is an exact str equal to `text`.
bool is_text(PyObject *value, const char *text) noexcept {
    return value != nullptr && PyUnicode_CheckExact(value) &&
           PyUnicode_CompareWithASCIIString(value, text) == 0;
}

} // namespace

bool is_csv_writer(PyObject *function) noexcept {
    if (!PyCFunction_Check(function)) {
        return false;
    }
    PyObject *module = PyCFunction_GET_SELF(function);
    PyModuleDef *definition = module != nullptr && PyModule_Check(module)
                                  ? static_cast<PyModuleDef *>(PyModule_GetDef(module))
                                  : nullptr;
    return definition != nullptr && std::strcmp(definition->m_name, "_csv") == 0 &&
           std::strcmp(reinterpret_cast<PyCFunctionObject *>(function)->m_ml->ml_name,
                       "writer") == 0;
}

int is_json_loads(PyObject *function) noexcept {
    if (!PyFunction_Check(function)) {
        return 0;
    }
    auto *code = reinterpret_cast<PyCodeObject *>(PyFunction_GET_CODE(function));
    if (!is_text(code->co_qualname, "loads")) {
        return 0;
    }
    // The source file the standard library's json package is compiled from: a json module of
    // the application's own that shadows it is not the decoder the native path knows.
    PyObject *library = PySys_GetObject("_stdlib_dir"); // borrowed; no error set when missing
    if (library == nullptr || !PyUnicode_CheckExact(library)) {
        return 0;
    }
#ifdef _WIN32
    Ref source = Ref::steal(PyUnicode_FromFormat("%U\\json\\__init__.py", library));
#else
    Ref source = Ref::steal(PyUnicode_FromFormat("%U/json/__init__.py", library));
#endif
    if (!source) {
        return -1;
    }
    if (!PyUnicode_CheckExact(code->co_filename) ||
        PyUnicode_Compare(code->co_filename, source.get()) != 0) {
        return 0;
    }
    // Its globals are the namespace of the module json made from that file. Looking the names
    // up may run host code (a colliding key's __eq__); each value is compared as soon as it is
    // found, and held for that.
    Ref globals = Ref::borrow(PyFunction_GET_GLOBALS(function));
    Ref name = Ref::borrow(PyDict_GetItemWithError(globals.get(), names.dunder_name));
    if (!name) {
        return PyErr_Occurred() ? -1 : 0;
    }
    if (!is_text(name.get(), "json")) {
        return 0;
    }
    Ref file = Ref::borrow(PyDict_GetItemWithError(globals.get(), names.dunder_file));
    if (!file) {
        return PyErr_Occurred() ? -1 : 0;
    }
    return PyUnicode_CheckExact(file.get()) && PyUnicode_Compare(file.get(), source.get()) == 0;
}

int is_pattern_of(PyObject *pattern, PyObject *text) noexcept {
    if (!is_extension_type(Py_TYPE(pattern), "re.Pattern")) {
        return 0;
    }
    // The type's attributes are its own C members: reading them runs no host code.
    Ref source = Ref::steal(PyObject_GetAttrString(pattern, "pattern"));
    Ref flags = source ? Ref::steal(PyObject_GetAttrString(pattern, "flags")) : Ref();
    if (!flags) {
        return -1;
    }
    constexpr long unicode_flag = 32; // re.UNICODE, which re.compile adds for a str
    return PyUnicode_CheckExact(source.get()) && PyUnicode_Compare(source.get(), text) == 0 &&
           PyLong_CheckExact(flags.get()) && PyLong_AsLong(flags.get()) == unicode_flag;
}

bool is_thread_lock_type(PyObject *type) noexcept {
    return PyType_Check(type) &&
           is_extension_type(reinterpret_cast<PyTypeObject *>(type), "_thread.lock");
}

} // namespace qel_i18n::host
