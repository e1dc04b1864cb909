// qel_i18n tools: a Python source file's text, decoded as Python decodes it.
#pragma once

#include "module/i18n.hpp"

#include <string>

namespace qel_i18n::tools {

/// Reads the file `filename` (a str) and gives its text in `text`: UTF-8, with every line ended
/// by a line feed alone, as Python's tokenizer sees it. The encoding is Python's: UTF-8, after a
/// byte order mark too, unless a coding declaration on line 1 or 2 names another. 0, or -1 with
/// OSError set when the file cannot be read, or SyntaxError (its filename and lineno set) when
/// Python could not decode it.
int read_source(PyObject *filename, std::string &text) noexcept;

} // namespace qel_i18n::tools
