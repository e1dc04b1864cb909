// qel_i18n tools: the value of a str literal, as Python evaluates its body.
#pragma once

#include <string>
#include <string_view>

namespace qel_i18n::tools {

/// Finds the code point of a character name for `\N{...}`.
class CharacterNames {
  public:
    /// 1 with `code` set, 0 for a name Python does not know, -1 with an exception set.
    virtual int find(std::string_view name, char32_t &code) = 0;

  protected:
    ~CharacterNames() = default;
};

/// Appends the value of a literal's `body` (UTF-8, line feeds only) to `out` as UTF-8, a lone
/// surrogate from an escape encoded in three bytes as the "surrogatepass" handler reads it.
/// A raw body is its value; otherwise every escape Python knows is replaced, and an unknown one
/// kept as written. 1 when done, 0 with `error` set when Python would refuse the literal, -1
/// when `names` failed with an exception set.
int evaluate_literal(std::string_view body, bool raw, CharacterNames &names, std::string &out,
                     std::string &error);

/// Appends `code` to `out` as UTF-8 (surrogates too, in three bytes).
void append_utf8(std::string &out, char32_t code);

} // namespace qel_i18n::tools
