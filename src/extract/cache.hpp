// qel_i18n: the cache of an extraction run: the position text of a marked message and the
// recording of one occurrence under (position text, message). Every scanner records through
// these, so that the cache has the one shape the update reads.
#pragma once

#include "module/i18n.hpp"

namespace qel_i18n::extract {

/// `f"{source_filename}: {line_number:04}"`, made in place.
Ref position_text(PyObject *source_filename, Py_ssize_t line_number) noexcept;

/// Marks (position, message) as met, adding a new entry [True, [position, message]] if the
/// cache has none. The cache's keys and entries may run host code. 0, or -1 with an exception
/// set.
int record(PyObject *cache, PyObject *position, PyObject *message) noexcept;

} // namespace qel_i18n::extract
