// qel_i18n: the chief header. The owning reference handle and the interned names and constants
// that every part of the module shares.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qel_i18n {

/// Owns one strong reference, or nothing. An empty Ref returned from a function means that an
/// exception is set. Every acquisition says what it is: `steal` takes over a new reference,
/// `borrow` adds one of its own.
class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept {
        PyObject *old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    static Ref steal(PyObject *ptr) noexcept {
        Ref ref;
        ref.ptr_ = ptr;
        return ref;
    }
    static Ref borrow(PyObject *ptr) noexcept {
        Ref ref;
        ref.ptr_ = Py_XNewRef(ptr);
        return ref;
    }

    PyObject *get() const noexcept { return ptr_; }
    /// Hands the reference over to the caller (the one exit at the API boundary).
    PyObject *release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

  private:
    PyObject *ptr_ = nullptr;
};

// Interned strings and constant objects made once at start-up and kept for the life of the
// process. Attribute and keyword names on hot paths are compared by pointer first.
#define QEL_I18N_NAMES(X)                                                                          \
    X(name_, "name")                                                                               \
    X(loader, "loader")                                                                            \
    X(origin, "origin")                                                                            \
    X(parent, "parent")                                                                            \
    X(submodule_search_locations, "submodule_search_locations")                                    \
    X(dunder_loader, "__loader__")                                                                 \
    X(dunder_file, "__file__")                                                                     \
    X(dunder_package, "__package__")                                                               \
    X(dunder_path, "__path__")                                                                     \
    X(dunder_builtins, "__builtins__")                                                             \
    X(dunder_module, "__module__")                                                                 \
    X(dunder_qualname, "__qualname__")                                                             \
    X(dunder_enter, "__enter__")                                                                   \
    X(dunder_exit, "__exit__")                                                                     \
    X(module_name, "qel_i18n")                                                                     \
    X(class_name, "I18N")                                                                          \
    X(property, "property")                                                                        \
    X(staticmethod, "staticmethod")                                                                \
    X(open, "open")                                                                                \
    X(setter, "setter")                                                                            \
    X(compile, "compile")                                                                          \
    X(csv_reader, "_csv_reader")                                                                   \
    X(csv_writer, "_csv_writer")                                                                   \
    X(glob, "_glob")                                                                               \
    X(load_str, "_load_str")                                                                       \
    X(exists, "_exists")                                                                           \
    X(sep, "_sep")                                                                                 \
    X(re, "re")                                                                                    \
    X(lock_alias, "_Lock")                                                                         \
    X(optional, "_Optional")                                                                       \
    X(the_pattern, "_the_pattern")                                                                 \
    X(i18n, "i18n")                                                                                \
    X(gettext, "gettext")                                                                          \
    X(parse_one_file, "_parse_one_file")                                                           \
    X(parse, "parse")                                                                              \
    X(parse_directory, "parse_directory")                                                          \
    X(replace_gettext, "replace_gettext")                                                          \
    X(language_index, "language_index")                                                            \
    X(filename, "filename")                                                                        \
    X(load_data_from_file, "load_data_from_file")                                                  \
    X(private_language_index, "_I18N__language_index")                                             \
    X(private_filename, "_I18N__filename")                                                         \
    X(private_data, "_I18N__data")                                                                 \
    X(private_lock, "_I18N__lock")                                                                 \
    X(sort, "sort")                                                                                \
    X(key, "key")                                                                                  \
    X(newline, "newline")                                                                          \
    X(encoding, "encoding")                                                                        \
    X(utf8, "utf8")                                                                                \
    X(mode_read, "r")                                                                              \
    X(mode_write, "w")                                                                             \
    X(mode_exclusive, "x")                                                                         \
    X(errno_, "errno")                                                                             \
    X(strerror, "strerror")                                                                        \
    X(st_mode, "st_mode")                                                                          \
    X(empty, "")                                                                                   \
    X(quote, "\"")                                                                                 \
    X(position_header, "Position")                                                                 \
    X(excess_suffix, "-excess.csv")                                                                \
    X(finditer, "finditer")                                                                        \
    X(groups, "groups")                                                                            \
    X(writerow, "writerow")                                                                        \
    X(write, "write")                                                                              \
    X(read, "read")                                                                                \
    X(read1, "read1")                                                                              \
    X(buffer, "buffer")                                                                            \
    X(chunk_size, "_CHUNK_SIZE")                                                                   \
    X(decode, "decode")                                                                            \
    X(obj, "obj")                                                                                  \
    X(root_dir, "root_dir")                                                                        \
    X(recursive, "recursive")                                                                      \
    X(add_note, "add_note")                                                                        \
    X(line_num, "line_num")

struct Names {
#define QEL_I18N_DECLARE_NAME(field, text) PyObject *field;
    QEL_I18N_NAMES(QEL_I18N_DECLARE_NAME)
#undef QEL_I18N_DECLARE_NAME
};

struct Constants {
    PyObject *zero;        // the int 0
    PyObject *one;         // the int 1
    PyObject *two;         // the int 2
    PyObject *minus_one;   // the int -1
    PyObject *empty_tuple; // ()
    PyObject *kw_newline_encoding; // ("newline", "encoding"), for opening CSV files
    PyObject *kw_encoding;         // ("encoding",), for opening source files
    PyObject *kw_key;              // ("key",), for list.sort
};

extern Names names;
extern Constants constants;

/// A new pair `(first, second)`. A pair of exact strs is left untracked by the garbage
/// collector, as the collector itself leaves such tuples after its first pass over them: they
/// can never be part of a cycle, and large caches of them would only slow collections down.
inline Ref text_pair(PyObject *first, PyObject *second) noexcept {
    PyObject *pair = PyTuple_Pack(2, first, second);
    if (pair != nullptr && PyUnicode_CheckExact(first) && PyUnicode_CheckExact(second)) {
        PyObject_GC_UnTrack(pair);
    }
    return Ref::steal(pair);
}

/// Builds the interned names and constants once; later calls do nothing. 0, or -1 with an
/// exception set.
int init_names() noexcept;

} // namespace qel_i18n
