// qel_i18n: catalogue rows written as the host's csv.writer writes them in its default dialect,
// in a few large writes instead of one per row.
#pragma once

#include "module/i18n.hpp"

namespace qel_i18n::extract {

/// Writes `header` and then the rows of the list `rows` to the text file `file`, byte for byte
/// as `csv.writer(file)` with `writerow` per row would, for as long as each row, when its turn
/// comes, is an exact list or tuple whose cells are exact str (without surrogates, which the
/// file's encoder would refuse) or exact int. Returns how many it wrote, the header counted,
/// so that the host's writer goes on from the first row that is not plain (0: not even the
/// header was); -1 with an exception set on an error of the file.
Py_ssize_t write_rows(PyObject *file, PyObject *header, PyObject *rows) noexcept;

} // namespace qel_i18n::extract
