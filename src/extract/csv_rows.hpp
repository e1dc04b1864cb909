// qel_i18n: catalogue rows written as the host's csv.writer writes them in its default dialect,
// in a few large writes instead of one per row.
#pragma once

#include "module/i18n.hpp"

namespace qel_i18n::extract {

/// Writes `header` and then each row of the list `rows` to the text file `file`, byte for byte
/// as `csv.writer(file)` with `writerow` per row would. Returns 1 when done; 0, having written
/// nothing, when a row is not an exact list or tuple or a cell is neither an exact str (without
/// surrogates, which the file's encoder would refuse) nor an exact int; -1 with an exception
/// set on an error of the file.
int write_rows(PyObject *file, PyObject *header, PyObject *rows) noexcept;

/// Sorts the list `items` stably by (message, position): cells 1 and 0 of each item, or of
/// item[1] of each item when `of_entries`, a missing cell counting as "". Returns 1 when done;
/// 0, having changed nothing, when some item or cell is not an exact list, tuple or str, so
/// that the host's sort has to compare them; -1 with an exception set.
int sort_rows(PyObject *items, bool of_entries) noexcept;

} // namespace qel_i18n::extract
