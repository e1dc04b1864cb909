// qel_i18n: the function type. Every callable of the module (module functions, methods,
// property accessors, the static method and the loader's sort key) is one of these objects,
// driven by its Signature table.
#include "module/function.hpp"
#include "module/host.hpp"

#include <cstddef>

namespace qel_i18n {

namespace {

PyTypeObject *function_type = nullptr;

FunctionObject *as_function(PyObject *self) noexcept {
    return reinterpret_cast<FunctionObject *>(self);
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
    FunctionObject *self = as_function(callable);
    Bound bound;
    if (bind_arguments(self, args, nargsf, kwnames, bound) < 0) {
        return nullptr;
    }
    const Signature &signature = *self->signature;
    PyObject *result;
    if (signature.guards_itself) {
        result = signature.body(bound);
    } else {
        // The body calls back into the host, which may call us again.
        host::RecursionGuard guard;
        result = guard ? signature.body(bound) : nullptr;
    }
    if (result == nullptr || signature.result == Requirement::any) {
        return result;
    }
    return check_result(result, signature.result);
}

/// Binds like a Python function: no instance (or None) gives the function itself.
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    FunctionObject *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    for (PyObject *name : f->parameter_names) {
        Py_VISIT(name);
    }
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    return 0;
}

/// Breaks the cycles the function may be part of. As CPython's functions do, it stays callable
/// and readable afterwards, since a finalizer or weak-reference callback of the same cycle can
/// still reach it: the name and qualified name become the empty string, and what the binder
/// and the code object need (parameter names, defaults, code), which holds only constants that
/// can take part in no cycle, is kept.
int function_clear(PyObject *self) noexcept {
    FunctionObject *f = as_function(self);
    Py_SETREF(f->name, Py_NewRef(names.empty));
    Py_SETREF(f->qualname, Py_NewRef(names.empty));
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    FunctionObject *f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    for (PyObject *&name : f->parameter_names) {
        Py_CLEAR(name);
    }
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *get_name(PyObject *self, void *) noexcept {
    return Py_NewRef(as_function(self)->name);
}

int set_text(PyObject *&slot, PyObject *value, const char *what) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject *self, PyObject *value, void *) noexcept {
    return set_text(as_function(self)->name, value, "__name__");
}

PyObject *get_qualname(PyObject *self, void *) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

int set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    return set_text(as_function(self)->qualname, value, "__qualname__");
}

PyObject *get_annotations(PyObject *self, void *) noexcept {
    FunctionObject *f = as_function(self);
    if (f->annotations == nullptr && (f->annotations = PyDict_New()) == nullptr) {
        return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject *self, PyObject *value, void *) noexcept {
    FunctionObject *f = as_function(self);
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(f->annotations, Py_XNewRef(value));
    return 0;
}

PyObject *get_defaults(PyObject *self, void *) noexcept {
    PyObject *defaults = as_function(self)->defaults;
    return Py_NewRef(defaults != nullptr ? defaults : Py_None);
}

PyObject *get_kwdefaults(PyObject *, void *) noexcept { return Py_NewRef(Py_None); }

PyObject *get_code(PyObject *self, void *) noexcept {
    return Py_NewRef(as_function(self)->code);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    .name = "qel_i18n.function",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = function_slots,
};

/// The annotations dict: each annotated parameter in order, then "return".
Ref make_annotations(const Signature &signature) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return {};
    }
    auto add = [&](const char *key, const char *text) noexcept {
        Ref value = Ref::steal(PyUnicode_FromString(text));
        return value ? PyDict_SetItemString(dict.get(), key, value.get()) : -1;
    };
    for (const Parameter &parameter : signature.parameters) {
        if (parameter.annotation != nullptr && add(parameter.name, parameter.annotation) < 0) {
            return {};
        }
    }
    if (signature.return_annotation != nullptr &&
        add("return", signature.return_annotation) < 0) {
        return {};
    }
    return dict;
}

/// The positional arguments collected past the named parameters carry this name wherever a
/// callable collects them (parse, replace_gettext).
constexpr const char *collected_name = "filenames";

/// A code object that declares the function's parameters as a Python function of the same
/// signature would: an empty code object, then code.replace() with the names, counts and flags.
Ref make_code(const Signature &signature, PyObject *const *parameter_names,
              PyObject *qualname) noexcept {
    Ref empty = Ref::steal(
        reinterpret_cast<PyObject *>(PyCode_NewEmpty("<qel_i18n>", signature.name, 1)));
    if (!empty) {
        return {};
    }
    const Py_ssize_t named = static_cast<Py_ssize_t>(signature.parameters.size());
    const bool collects = signature.rest != Rest::none;
    Ref varnames = Ref::steal(PyTuple_New(named + (collects ? 1 : 0)));
    if (!varnames) {
        return {};
    }
    for (Py_ssize_t i = 0; i < named; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(parameter_names[i]));
    }
    if (collects) {
        PyObject *name = PyUnicode_InternFromString(collected_name);
        if (name == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(varnames.get(), named, name);
    }
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (collects ? CO_VARARGS : 0);
    Ref argcount = Ref::steal(PyLong_FromSsize_t(named));
    Ref nlocals = Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames.get())));
    Ref flag_value = Ref::steal(PyLong_FromLong(flags));
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    Ref keywords = Ref::steal(PyDict_New());
    if (!argcount || !nlocals || !flag_value || !replace || !keywords ||
        PyDict_SetItemString(keywords.get(), "co_argcount", argcount.get()) < 0 ||
        PyDict_SetItemString(keywords.get(), "co_nlocals", nlocals.get()) < 0 ||
        PyDict_SetItemString(keywords.get(), "co_varnames", varnames.get()) < 0 ||
        PyDict_SetItemString(keywords.get(), "co_flags", flag_value.get()) < 0 ||
        PyDict_SetItemString(keywords.get(), "co_qualname", qualname) < 0) {
        return {};
    }
    return Ref::steal(PyObject_Call(replace.get(), constants.empty_tuple, keywords.get()));
}

} // namespace

int init_function_type() noexcept {
    if (function_type != nullptr) {
        return 0;
    }
    function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_spec));
    return function_type != nullptr ? 0 : -1;
}

Ref make_function(const Signature &signature, PyObject *defaults) noexcept {
    Ref annotations = make_annotations(signature);
    if (!annotations) {
        return {};
    }
    FunctionObject *f = PyObject_GC_New(FunctionObject, function_type);
    if (f == nullptr) {
        return {};
    }
    f->vectorcall = function_vectorcall;
    f->signature = &signature;
    for (PyObject *&name : f->parameter_names) {
        name = nullptr;
    }
    f->name = nullptr;
    f->qualname = nullptr;
    f->module = Py_NewRef(names.module_name);
    f->doc = Py_NewRef(Py_None);
    f->annotations = annotations.release();
    f->defaults = Py_XNewRef(defaults);
    f->code = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    Ref function = Ref::steal(reinterpret_cast<PyObject *>(f));

    for (size_t i = 0; i < signature.parameters.size(); ++i) {
        if ((f->parameter_names[i] = PyUnicode_InternFromString(signature.parameters[i].name)) ==
            nullptr) {
            return {};
        }
    }
    if ((f->name = PyUnicode_FromString(signature.name)) == nullptr ||
        (f->qualname = PyUnicode_FromString(signature.qualname)) == nullptr ||
        (f->code = make_code(signature, f->parameter_names, f->qualname).release()) == nullptr) {
        return {};
    }
    // Tracked once every field is set, so that the collector never sees it half made.
    PyObject_GC_Track(f);
    return function;
}

} // namespace qel_i18n
