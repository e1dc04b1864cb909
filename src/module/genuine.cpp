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

/// `module` is a module made from the C definition named `name` (which Python code cannot
/// make: its modules have no definition).
bool is_extension_module(PyObject *module, const char *name) noexcept {
    PyModuleDef *definition = module != nullptr && PyModule_Check(module)
                                  ? static_cast<PyModuleDef *>(PyModule_GetDef(module))
                                  : nullptr;
    return definition != nullptr && std::strcmp(definition->m_name, name) == 0;
}

/// The module `function` is bound to when it is the C function `function_name` of the
/// extension module `module_name`; nullptr otherwise.
PyObject *module_of(PyObject *function, const char *module_name,
                    const char *function_name) noexcept {
    if (!PyCFunction_Check(function) ||
        std::strcmp(reinterpret_cast<PyCFunctionObject *>(function)->m_ml->ml_name,
                    function_name) != 0) {
        return nullptr;
    }
    PyObject *module = PyCFunction_GET_SELF(function);
    return is_extension_module(module, module_name) ? module : nullptr;
}

} // namespace

bool is_csv_writer(PyObject *function) noexcept {
    return module_of(function, "_csv", "writer") != nullptr;
}

PyObject *io_module_of(PyObject *function) noexcept { return module_of(function, "io", "open"); }

bool is_io_type(PyObject *object, const char *name) noexcept {
    if (!PyType_Check(object)) {
        return false;
    }
    // A static type is made in C; a heap type of the module knows its module (a class made by
    // Python code knows none).
    auto *type = reinterpret_cast<PyTypeObject *>(object);
    if (std::strcmp(type->tp_name, name) != 0) {
        return false;
    }
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
           is_extension_module(reinterpret_cast<PyHeapTypeObject *>(type)->ht_module, "io");
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
