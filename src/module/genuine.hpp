// qel_i18n: whether an object start-up bound is the host's own implementation of a service,
// which a native path may then stand in for. Host code can replace a service before start-up
// binds it (a patch made before the import, an import hook met while start-up imports), and
// start-up then binds the replacement: a native path must never stand in for that.
//
// Each test reads only what host code cannot make, the C function or type of an extension
// module, and runs no host code.
#pragma once

#include "module/i18n.hpp"

namespace qel_i18n::host {

/// The C function `writer` of the extension module `_csv` (csv.writer as the host has it).
bool is_csv_writer(PyObject *function) noexcept;

/// The extension module `_io` when `function` is its C function `open` (builtins.open as the
/// host has it), borrowed; nullptr otherwise.
PyObject *io_module_of(PyObject *function) noexcept;

/// A type of the extension module `_io` named `name` ("_io.TextIOWrapper"), not a subclass.
bool is_io_type(PyObject *type, const char *name) noexcept;

/// A pattern compiled by the host's regular expression engine (re.Pattern) from `text`, a
/// str, with the flags re.compile gives a str pattern (re.UNICODE only): 1, 0, or -1 with an
/// exception set.
int is_pattern_of(PyObject *pattern, PyObject *text) noexcept;

/// The lock type of the extension module `_thread` (_thread.LockType).
bool is_thread_lock_type(PyObject *type) noexcept;

} // namespace qel_i18n::host
