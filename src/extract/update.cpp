// qel_i18n: the catalogue update, parse.
#include "extract/extract.hpp"

namespace qel_i18n::extract {

namespace {

PyObject *parse_body(const Bound &) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "parse");
    return nullptr;
}

constexpr Parameter parse_parameters[] = {{"csv_filename", Requirement::str, "str"}};

constexpr Signature parse_signature = {
    "parse", "parse", parse_parameters, 1, Rest::collected, Requirement::any, nullptr,
    parse_body};

} // namespace

Ref make_parse() noexcept { return make_function(parse_signature, nullptr); }

} // namespace qel_i18n::extract
