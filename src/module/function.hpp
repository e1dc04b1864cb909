// qel_i18n: the function type behind every callable the module exposes.
#pragma once

#include "module/binding.hpp"

namespace qel_i18n {

/// A host-visible function made at start-up from a Signature. It behaves like a Python function
/// where callers can tell: vectorcall, descriptor binding through PyMethod_New, and the
/// attributes __name__, __qualname__, __module__, __doc__, __annotations__, __defaults__,
/// __kwdefaults__, __code__ and __dict__. The code object is never run: it declares the
/// parameters, so that inspect.signature() and help() read them as they read a Python function's.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature *signature;
    PyObject *parameter_names[max_parameters]; // interned, for keyword matching
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations; // dict of text values
    PyObject *defaults;    // tuple, or nullptr when the function has none
    PyObject *code;        // parameter names, counts and flags, for introspection
    PyObject *dict;
    PyObject *weakreflist;
};

/// Creates the function type; called once per start-up. 0, or -1 with an exception set.
int init_function_type() noexcept;

/// A new function for `signature`. `defaults` (borrowed, may be nullptr) holds the values of
/// the parameters after the required ones.
Ref make_function(const Signature &signature, PyObject *defaults) noexcept;

} // namespace qel_i18n
