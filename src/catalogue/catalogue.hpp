// qel_i18n: the translation catalogue: the loader, the class I18N with its lookup, and the
// module-level gettext that translates through the default catalogue.
#pragma once

#include "module/i18n.hpp"

namespace qel_i18n::catalogue {

/// The class I18N, built through the host's `type` with its five members in order.
Ref make_class() noexcept;

/// The module function gettext.
Ref make_gettext() noexcept;

} // namespace qel_i18n::catalogue
