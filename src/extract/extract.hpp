// qel_i18n: message extraction: the source scanner, the catalogue update and the directory
// extraction. Besides the module's functions, the steps they are made of, for the tools'
// extension module, which runs them against its own namespace.
#pragma once

#include "module/i18n.hpp"

#include <span>

namespace qel_i18n::extract {

Ref make_parse_one_file() noexcept;
Ref make_parse() noexcept;
Ref make_parse_directory() noexcept;

/// Prepares update_catalogue once `_csv_writer` is bound. 0, or -1 with an exception set.
int init_update() noexcept;

/// The text of the marked-message pattern that start-up compiles as `_the_pattern`.
inline constexpr const char pattern_text[] = R"re(_\(u?"(.*?[^\\])"\))re";

/// The work of parse(csv_filename, *filenames), each source scanned by `scanner(name, cache)`,
/// or by `_parse_one_file` when `scanner` is nullptr; `cache`, when given, receives the cache
/// as the run left it. 0, or -1 with an exception set.
int update_catalogue(PyObject *csv_filename, std::span<PyObject *const> filenames,
                     PyObject *scanner, Ref *cache) noexcept;

/// Prepares directory_sources. 0, or -1 with an exception set.
int init_directory() noexcept;

/// The names parse_directory(csv_filename, directory, extend_name, recursive) hands to parse,
/// in a new list.
Ref directory_sources(PyObject *directory, PyObject *extend_name, PyObject *recursive) noexcept;

} // namespace qel_i18n::extract
