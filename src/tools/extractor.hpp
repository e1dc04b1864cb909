// qel_i18n tools: the Extractor type, the tools' scanner of Python sources.
#pragma once

#include "module/host.hpp"

namespace qel_i18n::tools {

/// A new Extractor type. Called once per start-up of the tools' module.
Ref make_extractor_type() noexcept;

} // namespace qel_i18n::tools
