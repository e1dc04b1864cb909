// qel_i18n: the gettext import rewriter, replace_gettext.
#include "rewrite/rewrite.hpp"

namespace qel_i18n::rewrite {

namespace {

PyObject *replace_gettext_body(const Bound &) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "replace_gettext");
    return nullptr;
}

constexpr Signature replace_gettext_signature = {
    "replace_gettext", "replace_gettext", {}, 0, Rest::only_positional, Requirement::any, nullptr,
    replace_gettext_body};

} // namespace

Ref make_replace_gettext() noexcept { return make_function(replace_gettext_signature, nullptr); }

} // namespace qel_i18n::rewrite
