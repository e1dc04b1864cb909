// qel_i18n tools: the extension module qel_i18n_tools._native. It runs the module's own update,
// scanner and directory listing against a namespace of its own, in which it binds the host
// services those steps look up as start-up binds them in the module, so that nothing another
// thread does with the module qel_i18n (rebinding `_parse_one_file`, `_load_str`, `_csv_writer`
// or `parse`) changes a run of the tools. Beside them, the Extractor type, the tools' scanner of
// Python sources.
#include "extract/extract.hpp"
#include "module/files.hpp"
#include "module/function.hpp"
#include "module/host.hpp"
#include "tools/extractor.hpp"

namespace qel_i18n::tools {

namespace {

/// `update(csv_filename, filenames, scanner)`: the module's parse(csv_filename, *filenames),
/// each source scanned by `scanner(name, cache)`, or by the module's scanner when `scanner` is
/// None. Returns the cache as the run left it: the rows written are its entries met.
PyObject *update_body(const Bound &bound) noexcept {
    Ref filenames = Ref::steal(PySequence_Tuple(bound.arg[1]));
    if (!filenames) {
        return nullptr;
    }
    std::span<PyObject *const> items(&PyTuple_GET_ITEM(filenames.get(), 0),
                                     static_cast<size_t>(PyTuple_GET_SIZE(filenames.get())));
    PyObject *scanner = bound.arg[2] == Py_None ? nullptr : bound.arg[2];
    Ref cache;
    return extract::update_catalogue(bound.arg[0], items, scanner, &cache) < 0 ? nullptr
                                                                              : cache.release();
}

/// `directory_sources(directory, extend_name, recursive)`: the names parse_directory hands to
/// parse, as a list.
PyObject *directory_sources_body(const Bound &bound) noexcept {
    return extract::directory_sources(bound.arg[0], bound.arg[1], bound.arg[2]).release();
}

constexpr Parameter update_parameters[] = {
    {"csv_filename", Requirement::str, "str"},
    {"filenames", Requirement::any, "Sequence[str]"},
    {"scanner", Requirement::any, "Callable[[str, dict[tuple[str, str], list]], None] | None"},
};

constexpr Signature update_signature = {
    .name = "update",
    .qualname = "update",
    .parameters = update_parameters,
    .required = 3,
    .return_annotation = "dict[tuple[str, str], list]",
    .body = update_body,
};

constexpr Parameter directory_sources_parameters[] = {
    {"directory", Requirement::str, "str"},
    {"extend_name", Requirement::str_or_none, "str | None"},
    {"recursive", Requirement::any, "bool"},
};

constexpr Signature directory_sources_signature = {
    .name = "directory_sources",
    .qualname = "directory_sources",
    .parameters = directory_sources_parameters,
    .required = 3,
    .return_annotation = "list[str]",
    .body = directory_sources_body,
};

/// Binds `module_name.attribute` under `alias`.
int bind_attribute(PyObject *dict, const char *module_name, const char *attribute,
                   PyObject *alias) noexcept {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    Ref value = module ? Ref::steal(PyObject_GetAttrString(module.get(), attribute)) : Ref();
    return value ? host::bind_service(dict, alias, value.get()) : -1;
}

/// A function of this module, named as such.
int bind_function(PyObject *dict, const Signature &signature) noexcept {
    Ref function = make_function(signature, nullptr);
    Ref module_name = function ? Ref::steal(PyUnicode_FromString("qel_i18n_tools._native")) : Ref();
    if (!module_name || PyObject_SetAttr(function.get(), names.dunder_module, module_name.get()) < 0) {
        return -1;
    }
    return PyDict_SetItemString(dict, signature.name, function.get());
}

/// The services the update and the listing look up, then what the tools call.
int bind_namespace(PyObject *dict) noexcept {
    if (bind_attribute(dict, "csv", "reader", names.csv_reader) < 0 ||
        bind_attribute(dict, "csv", "writer", names.csv_writer) < 0 ||
        bind_attribute(dict, "glob", "glob", names.glob) < 0 ||
        bind_attribute(dict, "os.path", "exists", names.exists) < 0 ||
        bind_attribute(dict, "os.path", "sep", names.sep) < 0 ||
        bind_attribute(dict, "json", "loads", names.load_str) < 0) {
        return -1;
    }
    Ref re = Ref::steal(PyImport_ImportModule("re"));
    Ref text = re ? Ref::steal(PyUnicode_FromString(extract::pattern_text)) : Ref();
    Ref pattern = text ? host::call_method(re.get(), names.compile, {text.get()}) : Ref();
    if (!pattern || host::bind_service(dict, names.the_pattern, pattern.get()) < 0) {
        return -1;
    }
    Ref scanner = extract::make_parse_one_file();
    if (!scanner || PyDict_SetItem(dict, names.parse_one_file, scanner.get()) < 0) {
        return -1;
    }
    if (extract::init_update() < 0 || extract::init_directory() < 0 ||
        bind_function(dict, update_signature) < 0 ||
        bind_function(dict, directory_sources_signature) < 0) {
        return -1;
    }
    Ref extractor = make_extractor_type();
    return extractor ? PyDict_SetItemString(dict, "Extractor", extractor.get()) : -1;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) noexcept {
    // Once started, the module is handed out again: its namespace is the one the steps use.
    if (host::services.module != nullptr) {
        return Py_NewRef(host::services.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    return name ? PyModule_NewObject(name.get()) : nullptr;
}

int module_exec(PyObject *module) noexcept {
    if (host::services.module != nullptr) {
        return 0; // the same module, handed out again
    }
    if (host::begin_services(module) < 0 || init_names() < 0 || init_function_type() < 0 ||
        host::fetch_lock_type() < 0 || files::init_files() < 0 || host::fetch_builtins() < 0 ||
        bind_namespace(PyModule_GetDict(module)) < 0) {
        host::clear_services();
        return -1;
    }
    host::watch_namespace();
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "qel_i18n_tools._native",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace

} // namespace qel_i18n::tools

extern "C" PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&qel_i18n::tools::module_definition);
}
