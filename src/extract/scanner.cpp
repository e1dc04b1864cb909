// qel_i18n: the source message scanner, _parse_one_file.
#include "extract/extract.hpp"

namespace qel_i18n::extract {

namespace {

PyObject *parse_one_file_body(const Bound &) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "_parse_one_file");
    return nullptr;
}

constexpr Parameter parse_one_file_parameters[] = {
    {"source_filename", Requirement::str, "str"},
    {"cache", Requirement::dict, "dict[tuple[str, str], list]"},
};

constexpr Signature parse_one_file_signature = {
    "_parse_one_file", "_parse_one_file", parse_one_file_parameters, 2, Rest::none,
    Requirement::any, nullptr, parse_one_file_body};

} // namespace

Ref make_parse_one_file() noexcept { return make_function(parse_one_file_signature, nullptr); }

} // namespace qel_i18n::extract
