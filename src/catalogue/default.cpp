// qel_i18n: the module-level gettext, which translates through whatever object the module
// attribute i18n names at the moment of the call.
#include "catalogue/catalogue.hpp"
#include "catalogue/instance_view.hpp"
#include "module/function.hpp"
#include "module/host.hpp"

namespace qel_i18n::catalogue {

namespace {

host::CachedGlobal catalogue_name;

PyObject *gettext_body(const Bound &bound) noexcept {
    Ref catalogue = catalogue_name.lookup(names.i18n);
    if (!catalogue) {
        return nullptr;
    }
    // An instance of the pristine class whose own attributes do not hide the method: the
    // attribute the host would call is the class's own lookup, so run it directly.
    Ref dict;
    InstanceView view;
    if (instance_view(catalogue.get(), dict, view) && !view.shadowed) {
        return translate(catalogue.get(), &view, bound.arg[0]);
    }
    host::RecursionGuard guard;
    if (!guard) {
        return nullptr;
    }
    // `i18n.gettext(message)`, called without making a bound method; the result check of the
    // signature follows.
    return host::call_method(catalogue.get(), names.gettext, {bound.arg[0]}).release();
}

constexpr Parameter gettext_parameters[] = {{"message", Requirement::str, "str"}};

constexpr Signature gettext_signature = {
    .name = "gettext",
    .qualname = "gettext",
    .parameters = gettext_parameters,
    .required = 1,
    .result = Requirement::str_or_none,
    .return_annotation = "str",
    .body = gettext_body,
    .guards_itself = true,
};

} // namespace

Ref make_gettext() noexcept { return make_function(gettext_signature, nullptr); }

} // namespace qel_i18n::catalogue
