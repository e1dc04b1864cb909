// qel_i18n: the rewriter that switches sources from the standard gettext module.
#pragma once

#include "module/i18n.hpp"

namespace qel_i18n::rewrite {

Ref make_replace_gettext() noexcept;

} // namespace qel_i18n::rewrite
