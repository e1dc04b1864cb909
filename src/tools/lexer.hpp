// qel_i18n tools: the lexer that finds marked calls in Python source. It reads the tokens of a
// source text as Python 3.12 reads them (strings of every form, f-strings and the code in their
// replacement fields, comments, brackets, continuation lines) and reports every call of a marker
// name with what its first argument is. It runs no host code.
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qel_i18n::tools {

/// The body of one string literal, between its quotes.
struct Piece {
    size_t begin;
    size_t end;
    bool raw;
};

/// What the first argument of a marked call is.
enum class CallKind : unsigned char {
    literal,     // one or more adjacent str literals, then `)` or `,`: a message
    not_literal, // an expression of another kind
    f_string,    // an f-string among the literals
    bytes,       // a bytes literal among them
    no_argument, // `_()`
    unsupported, // a marker whose message the catalogue cannot hold (contexts, plurals)
};

struct MarkedCall {
    size_t line;       // of the marker's name, from 1
    std::string_view name;
    CallKind kind;
    size_t first_piece; // the literals of a `literal` call, in LexedCalls::pieces
    size_t piece_count;
};

/// The marker names: keywords, whose first argument is a message, and the names of markers the
/// catalogue cannot hold, whose calls are only reported.
class MarkerNames {
  public:
    enum Kind : unsigned char { none, keyword, unsupported };

    /// A keyword replaces an unsupported marker of the same name.
    void add(std::string_view name, Kind kind);
    Kind classify(std::string_view word) const noexcept;
    /// False when no name begins with the byte `c`.
    bool may_begin(unsigned char c) const noexcept { return first_byte_[c]; }
    /// False when no keyword begins with the byte `c`.
    bool keyword_may_begin(unsigned char c) const noexcept { return keyword_first_[c]; }
    /// False when no reported name ends with the byte `c`.
    bool reported_may_end(unsigned char c) const noexcept { return reported_last_[c]; }

  private:
    void rebuild_keyword_bytes() noexcept;

    std::vector<std::pair<std::string, Kind>> names_;
    std::array<bool, 256> first_byte_{};    // the first bytes of the names, for a quick refusal
    std::array<std::uint32_t, 256> lengths_{}; // by first byte, the lengths below 32, as bits
    std::array<bool, 256> keyword_first_{}; // the first bytes of the keywords
    std::array<bool, 256> reported_last_{}; // the last bytes of the reported names
};

struct LexedCalls {
    std::vector<MarkedCall> calls;
    std::vector<Piece> pieces;
};

/// Finds the marked calls of `text`, UTF-8 with every line ended by a line feed alone (the
/// translation Python makes of CR LF and CR), appending them to `out` in the order of their
/// markers. Text that is not valid Python ends tokens where Python would report its error, and
/// the search goes on.
void find_marked_calls(std::string_view text, const MarkerNames &markers, LexedCalls &out);

} // namespace qel_i18n::tools
