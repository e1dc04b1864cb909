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
    // `i18n.gettext` on an instance of the pristine class: what its own dict holds under the
    // name, called as it is; else the class's own lookup, which then runs directly.
    InstanceView view;
    if (view.open(catalogue.get())) {
        Ref own;
        const int found = view.own(Attribute::gettext, own);
        if (found <= 0) {
            return found < 0 ? nullptr : translate(catalogue.get(), &view, bound.arg[0]);
        }
        host::RecursionGuard guard;
        return guard ? host::call(own.get(), {bound.arg[0]}).release() : nullptr;
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
