// qel_i18n: the module definition, its entry points and the two start-up steps. The execution
// step binds the whole namespace, in a fixed order, from the pieces every subsystem provides.
#include "module/files.hpp"
#include "module/function.hpp"
#include "module/host.hpp"

#include "catalogue/catalogue.hpp"
#include "extract/extract.hpp"
#include "rewrite/rewrite.hpp"

namespace qel_i18n {

namespace {

/// The interpreter that first created the module; -1 until then. Kept for the life of the
/// process, also when start-up fails later.
int64_t first_interpreter = -1;

/// The version the module is written for; another host version gets a warning.
constexpr int target_major = 3;
constexpr int target_minor = 12;

/// Copies `spec.<from>` into the module namespace as `to`; a missing attribute is skipped, and
/// so is None when `none_too` is false.
int copy_spec_attribute(PyObject *spec, PyObject *dict, PyObject *from, PyObject *to,
                        bool none_too) noexcept {
    Ref value = host::getattr(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    if (!none_too && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItem(dict, to, value.get());
}

PyObject *module_create(PyObject *spec, PyModuleDef *) noexcept {
    // 1. One interpreter per process.
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return nullptr;
    }
    if (first_interpreter == -1) {
        first_interpreter = current;
    } else if (first_interpreter != current) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
                                           "be loaded into one interpreter per process.");
        return nullptr;
    }
    // 2. Once started, the module is handed out again, with its current bindings.
    if (host::services.module != nullptr) {
        return Py_NewRef(host::services.module);
    }
    // 3. A new module object carrying the spec's attributes.
    if (init_names() < 0) {
        return nullptr;
    }
    Ref name = host::getattr(spec, names.name_);
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject *dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, names.loader, names.dunder_loader, true) < 0 ||
        copy_spec_attribute(spec, dict, names.origin, names.dunder_file, true) < 0 ||
        copy_spec_attribute(spec, dict, names.parent, names.dunder_package, true) < 0 ||
        copy_spec_attribute(spec, dict, names.submodule_search_locations, names.dunder_path,
                            false) < 0) {
        return nullptr;
    }
    return module.release();
}

int warn_on_version_mismatch() noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == target_major && minor == target_minor) {
        return 0;
    }
    return PyErr_WarnFormat(nullptr, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            target_major, target_minor, "qel_i18n", "does not match", major,
                            minor);
}

/// Enters the module in sys.modules under its fixed name, unless that name is taken.
int register_module(PyObject *module) noexcept {
    PyObject *modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, names.module_name);
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    return PyDict_SetItem(modules, names.module_name, module);
}

/// `from <module> import <attribute>`: the attribute, or an already loaded submodule of that
/// name; ImportError "cannot import name ..." otherwise.
Ref import_from(PyObject *module, const char *module_name, PyObject *attribute) noexcept {
    Ref value = host::getattr(module, attribute);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    Ref full = Ref::steal(PyUnicode_FromFormat("%s.%U", module_name, attribute));
    if (!full) {
        return {};
    }
    PyObject *submodule = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
    if (submodule != nullptr) {
        return Ref::borrow(submodule);
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", attribute);
    }
    return {};
}

/// Imports `module_name` and binds each of `attributes` under the paired alias.
int bind_from(PyObject *dict, const char *module_name,
              std::initializer_list<std::pair<PyObject *, PyObject *>> attributes) noexcept {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) {
        return -1;
    }
    for (auto [attribute, alias] : attributes) {
        Ref value = import_from(module.get(), module_name, attribute);
        if (!value || host::bind_service(dict, alias, value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

/// Binds a service that a native path may stand in for (`host::bind_service`).
int bind_service(PyObject *dict, PyObject *name, Ref value) noexcept {
    return value ? host::bind_service(dict, name, value.get()) : -1;
}

int bind(PyObject *dict, PyObject *name, Ref value) noexcept {
    return value ? PyDict_SetItem(dict, name, value.get()) : -1;
}

/// Binds the namespace in its fixed order: the aliases of the host services and `re`, the
/// pattern, the class, the default catalogue and the module functions.
int bind_namespace(PyObject *dict) noexcept {
    Ref attr_reader = Ref::steal(PyUnicode_InternFromString("reader"));
    Ref attr_writer = Ref::steal(PyUnicode_InternFromString("writer"));
    Ref attr_glob = Ref::steal(PyUnicode_InternFromString("glob"));
    Ref attr_loads = Ref::steal(PyUnicode_InternFromString("loads"));
    Ref attr_exists = Ref::steal(PyUnicode_InternFromString("exists"));
    Ref attr_sep = Ref::steal(PyUnicode_InternFromString("sep"));
    Ref attr_lock = Ref::steal(PyUnicode_InternFromString("Lock"));
    Ref attr_optional = Ref::steal(PyUnicode_InternFromString("Optional"));
    if (!attr_reader || !attr_writer || !attr_glob || !attr_loads || !attr_exists ||
        !attr_sep || !attr_lock || !attr_optional) {
        return -1;
    }
    if (bind_from(dict, "csv",
                  {{attr_reader.get(), names.csv_reader}, {attr_writer.get(), names.csv_writer}}) <
            0 ||
        bind_from(dict, "glob", {{attr_glob.get(), names.glob}}) < 0 ||
        bind_from(dict, "json", {{attr_loads.get(), names.load_str}}) < 0 ||
        bind_from(dict, "os.path",
                  {{attr_exists.get(), names.exists}, {attr_sep.get(), names.sep}}) < 0) {
        return -1;
    }
    Ref re = Ref::steal(PyImport_ImportModule("re"));
    if (!re || PyDict_SetItem(dict, names.re, re.get()) < 0) {
        return -1;
    }
    if (bind_from(dict, "threading", {{attr_lock.get(), names.lock_alias}}) < 0 ||
        bind_from(dict, "typing", {{attr_optional.get(), names.optional}}) < 0) {
        return -1;
    }
    Ref pattern = Ref::steal(PyUnicode_FromString(extract::pattern_text));
    if (!pattern ||
        bind_service(dict, names.the_pattern,
                     host::call_method(re.get(), names.compile, {pattern.get()})) < 0) {
        return -1;
    }
    Ref cls = catalogue::make_class();
    if (!cls || PyDict_SetItem(dict, names.class_name, cls.get()) < 0) {
        return -1;
    }
    if (bind(dict, names.i18n, Ref::steal(PyObject_CallNoArgs(cls.get()))) < 0 ||
        bind(dict, names.gettext, catalogue::make_gettext()) < 0 ||
        bind(dict, names.parse_one_file, extract::make_parse_one_file()) < 0 ||
        bind(dict, names.parse, extract::make_parse()) < 0 ||
        bind(dict, names.parse_directory, extract::make_parse_directory()) < 0 ||
        bind(dict, names.replace_gettext, rewrite::make_replace_gettext()) < 0) {
        return -1;
    }
    return 0;
}

int run_execution(PyObject *module) noexcept {
    // From here on the module is the process-wide one; its builtins are the host's.
    if (host::begin_services(module) < 0 ||
        PyObject_SetAttr(module, names.dunder_builtins, host::services.builtins) < 0) {
        return -1;
    }
    // The version check, the interned names, the function type, the host's lock type, the file
    // services, the entry in sys.modules, the builtins fetched once, then the namespace.
    if (warn_on_version_mismatch() < 0 || init_names() < 0 || init_function_type() < 0 ||
        host::fetch_lock_type() < 0 || files::init_files() < 0 || register_module(module) < 0 ||
        host::fetch_builtins() < 0 || bind_namespace(PyModule_GetDict(module)) < 0) {
        return -1;
    }
    host::watch_namespace();
    return 0;
}

int module_exec(PyObject *module) noexcept {
    // A repeated execution (a reload) changes nothing; another module object is refused.
    if (host::services.module != nullptr) {
        if (host::services.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError, "Module 'qel_i18n' has already been imported. "
                                            "Re-initialisation is not supported.");
        return -1;
    }
    if (run_execution(module) < 0) {
        // A failed start-up forgets the half-built module, so that a retry starts afresh.
        host::clear_services();
        return -1;
    }
    return 0;
}

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "qel_i18n",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = no_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace

} // namespace qel_i18n

extern "C" PyMODINIT_FUNC PyInit_qel_i18n(void) {
    return PyModuleDef_Init(&qel_i18n::module_definition);
}

// Some loaders look for the entry point of a package's __init__ module.
extern "C" PyMODINIT_FUNC PyInit___init__(void) { return PyInit_qel_i18n(); }
