// qel_i18n: the directory extraction, parse_directory. Lists the source files of a directory
// (tree) with the host's glob and hands them all to parse in one call. Names that are
// directories are left out, and an empty directory text stands for the current directory.
#include "extract/extract.hpp"

#include "module/files.hpp"
#include "module/function.hpp"

namespace qel_i18n::extract {

namespace {

PyObject *kw_glob = nullptr; // ("root_dir", "recursive"), held for the life of the process

/// The name handed to parse for one name the glob returned.
Ref source_name(PyObject *directory, bool prefixed, PyObject *name) noexcept {
    if (!prefixed) {
        return Ref::borrow(name);
    }
    Ref sep = host::lookup_global(names.sep);
    Ref head = sep ? Ref::steal(PyNumber_Add(directory, sep.get())) : Ref();
    return head ? Ref::steal(PyNumber_Add(head.get(), name)) : Ref();
}

PyObject *parse_directory_body(const Bound &bound) noexcept {
    PyObject *csv_filename = bound.arg[0];
    Ref source_filenames = directory_sources(bound.arg[1], bound.arg[2], bound.arg[3]);
    if (!source_filenames) {
        return nullptr;
    }
    // 4. One call of parse with all of them.
    Ref parse = host::lookup_global(names.parse);
    if (!parse) {
        return nullptr;
    }
    Py_ssize_t count = PyList_GET_SIZE(source_filenames.get());
    Ref arguments = Ref::steal(PyTuple_New(count + 1));
    if (!arguments) {
        return nullptr;
    }
    PyTuple_SET_ITEM(arguments.get(), 0, Py_NewRef(csv_filename));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(arguments.get(), i + 1,
                         Py_NewRef(PyList_GET_ITEM(source_filenames.get(), i)));
    }
    Ref done = Ref::steal(PyObject_Call(parse.get(), arguments.get(), nullptr));
    return done ? Py_NewRef(Py_None) : nullptr;
}

constexpr Parameter parse_directory_parameters[] = {
    {"csv_filename", Requirement::str, "str"},
    {"directory", Requirement::str, "str"},
    {"extend_name", Requirement::str_or_none, "_Optional[str]"},
    {"recursive", Requirement::any, "bool"},
};

constexpr Signature parse_directory_signature = {
    .name = "parse_directory",
    .qualname = "parse_directory",
    .parameters = parse_directory_parameters,
    .required = 2,
    .body = parse_directory_body,
};

} // namespace

Ref directory_sources(PyObject *directory, PyObject *extend_name, PyObject *recursive) noexcept {
    // 1. The pattern.
    int deep = PyObject_IsTrue(recursive);
    if (deep < 0) {
        return {};
    }
    Ref pattern = Ref::steal(PyUnicode_FromString(deep ? "**/*" : "*"));
    if (pattern && extend_name != Py_None) {
        pattern = Ref::steal(PyNumber_Add(pattern.get(), extend_name));
    }
    if (!pattern) {
        return {};
    }
    // 2. The names, relative to the directory.
    Ref glob = host::lookup_global(names.glob);
    if (!glob) {
        return {};
    }
    PyObject *args[] = {pattern.get(), directory, recursive};
    Ref found = Ref::steal(PyObject_Vectorcall(glob.get(), args, 1, kw_glob));
    Ref iterator = found ? Ref::steal(PyObject_GetIter(found.get())) : Ref();
    if (!iterator) {
        return {};
    }
    // 3. Each name as parse sees it: the directory and a separator in front, except for "."
    //    and the empty text, which both mean the current directory; directories are left out.
    const bool prefixed = PyUnicode_GET_LENGTH(directory) > 0 &&
                          PyUnicode_CompareWithASCIIString(directory, ".") != 0;
    Ref source_filenames = Ref::steal(PyList_New(0));
    if (!source_filenames) {
        return {};
    }
    while (PyObject *next = PyIter_Next(iterator.get())) {
        Ref name = source_name(directory, prefixed, next);
        Py_DECREF(next);
        if (!name || (!files::is_directory(name.get()) &&
                      PyList_Append(source_filenames.get(), name.get()) < 0)) {
            return {};
        }
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return source_filenames;
}

int init_directory() noexcept {
    if (kw_glob == nullptr &&
        (kw_glob = PyTuple_Pack(2, names.root_dir, names.recursive)) == nullptr) {
        return -1;
    }
    return 0;
}

Ref make_parse_directory() noexcept {
    if (init_directory() < 0) {
        return {};
    }
    Ref defaults = Ref::steal(PyTuple_Pack(2, Py_None, Py_True));
    return defaults ? make_function(parse_directory_signature, defaults.get()) : Ref();
}

} // namespace qel_i18n::extract
