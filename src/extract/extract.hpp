// qel_i18n: message extraction: the source scanner, the catalogue update and the directory
// extraction.
#pragma once

#include "module/i18n.hpp"

namespace qel_i18n::extract {

Ref make_parse_one_file() noexcept;
Ref make_parse() noexcept;
Ref make_parse_directory() noexcept;

} // namespace qel_i18n::extract
