// qel_i18n: signature tables and the one argument binder that every callable uses.
#pragma once

#include "module/i18n.hpp"

#include <span>

namespace qel_i18n {

/// The type an argument (or a checked result) must have. Exact types only: a subclass instance
/// is refused.
enum class Requirement : unsigned char { any, str, str_or_none, int_, int_or_none, dict };

struct Parameter {
    const char *name;
    Requirement requirement;
    const char *annotation; // text stored in __annotations__, or nullptr for none
};

/// The most named parameters any callable has (parse_directory).
inline constexpr Py_ssize_t max_parameters = 4;

/// What the binder hands a body: borrowed pointers, valid for the duration of the call.
struct Bound {
    PyObject *arg[max_parameters];
    std::span<PyObject *const> rest; // positional arguments collected past the named ones
};

using Body = PyObject *(*)(const Bound &) noexcept;

enum class Rest : unsigned char {
    none,           // no collected positional arguments
    collected,      // further positional arguments collected (parse)
    only_positional // everything collected, no keyword accepted at all (replace_gettext)
};

struct Signature {
    const char *name;     // __name__, and the name that the binding messages print
    const char *qualname; // __qualname__
    std::span<const Parameter> parameters = {};
    Py_ssize_t required = 0; // the leading parameters without a default
    Rest rest = Rest::none;
    Requirement result = Requirement::any; // checked on the body's result (any: no check)
    const char *return_annotation = nullptr;
    Body body = nullptr;
    bool guards_itself = false; // the body guards its own calls back into the host; the others
                                // run under a RecursionGuard
};

struct FunctionObject;

/// Binds a vectorcall to the function's parameters, applying every check and message of the
/// binding rules. 0, or -1 with TypeError set.
int bind_arguments(const FunctionObject *function, PyObject *const *args, size_t nargsf,
                   PyObject *kwnames, Bound &bound) noexcept;

/// Applies a signature's result requirement; consumes `result` and returns it, or nullptr with
/// TypeError set.
PyObject *check_result(PyObject *result, Requirement requirement) noexcept;

} // namespace qel_i18n
