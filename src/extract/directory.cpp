// qel_i18n: the directory extraction, parse_directory.
#include "extract/extract.hpp"

namespace qel_i18n::extract {

namespace {

PyObject *parse_directory_body(const Bound &) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "parse_directory");
    return nullptr;
}

constexpr Parameter parse_directory_parameters[] = {
    {"csv_filename", Requirement::str, "str"},
    {"directory", Requirement::str, "str"},
    {"extend_name", Requirement::str_or_none, "_Optional[str]"},
    {"recursive", Requirement::any, "bool"},
};

constexpr Signature parse_directory_signature = {
    "parse_directory", "parse_directory", parse_directory_parameters, 2, Rest::none,
    Requirement::any, nullptr, parse_directory_body};

} // namespace

Ref make_parse_directory() noexcept {
    Ref defaults = Ref::steal(PyTuple_Pack(2, Py_None, Py_True));
    return defaults ? make_function(parse_directory_signature, defaults.get()) : Ref();
}

} // namespace qel_i18n::extract
