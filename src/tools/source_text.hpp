// qel_i18n tools: a Python source file's text, decoded as Python decodes it.
#pragma once

#include "module/i18n.hpp"

#include <memory>
#include <string_view>

namespace qel_i18n::tools {

/// A source's text in a buffer of its own, which the file fills without zeroing it first.
struct SourceText {
    std::unique_ptr<char[]> data;
    size_t begin = 0; // after a byte order mark
    size_t size = 0;  // the end of the text in `data`

    std::string_view view() const noexcept { return {data.get() + begin, size - begin}; }
};

/// Reads the file `filename` (a str) and gives its text in `source`: UTF-8, with every line ended
/// by a line feed alone, as Python's tokenizer sees it. The encoding is Python's: UTF-8, after a
/// byte order mark too, unless a coding declaration on line 1 or 2 names another. 0, or -1 with
/// OSError set when the file cannot be read, or SyntaxError (its filename and lineno set) when
/// Python could not decode it.
int read_source(PyObject *filename, SourceText &source) noexcept;

} // namespace qel_i18n::tools
