// qel_i18n tools: the lexer that finds marked calls in Python source.
//
// 1. The text is read as Python's tokenizer reads it, as far as that decides what is code: a
//    comment runs to the end of its line; a string literal (any prefix, any quoting) is one
//    token whose body ends at its closing quote, a backslash keeping the next character in it;
//    an f-string's literal parts are text, and its replacement fields are code again, read up to
//    the `}`, `!` or `:` that closes them at their own bracket depth, format specs being text
//    with fields of their own; a backslash before a line feed joins two lines.
// 2. The tokens go, one at a time, to a small machine that recognises `NAME ( STRING+ )` and
//    `NAME ( STRING+ ,`: a marker name (not one being defined by `def` or `class`), then `(` as
//    the next token, line feeds inside brackets and comments between tokens not counting, then
//    one or more string literals, then `)` or `,`. Any other token after the `(` ends the call as
//    one whose argument is no literal, and is then looked at afresh, so a marker inside the
//    argument is found too.
#include "tools/lexer.hpp"

#include <cstring>

namespace qel_i18n::tools {

void MarkerNames::add(std::string_view name, Kind kind) {
    for (auto &[known, known_kind] : names_) {
        if (known == name) {
            if (kind == keyword) {
                known_kind = keyword;
            }
            return;
        }
    }
    names_.emplace_back(std::string(name), kind);
    if (!name.empty()) {
        first_byte_[static_cast<unsigned char>(name[0])] = true;
    }
}

MarkerNames::Kind MarkerNames::classify(std::string_view word) const noexcept {
    if (word.empty() || !first_byte_[static_cast<unsigned char>(word[0])]) {
        return none;
    }
    for (const auto &[known, kind] : names_) {
        if (known == word) {
            return kind;
        }
    }
    return none;
}

namespace {

/// Python 3.12 nests f-strings at most this deep; deeper ones are read as text.
constexpr int max_fstring_nesting = 150;

bool is_word_byte(unsigned char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c >= 0x80; // non-ASCII outside strings and comments: an identifier
}

bool is_digit(unsigned char c) noexcept { return c >= '0' && c <= '9'; }

/// The prefix letters of a string literal, when `word` is a valid prefix.
struct Prefix {
    bool valid = false;
    bool raw = false;
    bool bytes = false;
    bool format = false;
};

Prefix read_prefix(std::string_view word) noexcept {
    Prefix prefix;
    if (word.size() > 2) {
        return prefix;
    }
    bool unicode = false;
    for (char c : word) {
        switch (c | 0x20) { // lower case
        case 'r':
            if (prefix.raw) {
                return {};
            }
            prefix.raw = true;
            break;
        case 'b':
            if (prefix.bytes) {
                return {};
            }
            prefix.bytes = true;
            break;
        case 'f':
            if (prefix.format) {
                return {};
            }
            prefix.format = true;
            break;
        case 'u':
            if (unicode) {
                return {};
            }
            unicode = true;
            break;
        default:
            return {};
        }
    }
    // `u` stands alone; `b` and `f` never go together.
    if ((unicode && word.size() > 1) || (prefix.bytes && prefix.format)) {
        return {};
    }
    prefix.valid = true;
    return prefix;
}

enum class Token : unsigned char { name, open_paren, close_paren, comma, str, bytes, fstring, other };

/// Where the code of a replacement field stopped.
enum class FieldEnd : unsigned char { text_end, close, conversion, spec };

class Lexer {
  public:
    Lexer(std::string_view text, const MarkerNames &markers, LexedCalls &out) noexcept
        : s_(text.data()), n_(text.size()), markers_(markers), out_(out) {}

    void run() {
        code(false);
        if (state_ != State::idle) {
            feed(Token::other);
        }
    }

  private:
    enum class State : unsigned char { idle, after_marker, first_argument, strings };

    // ---- the call machine (2.) ----

    void feed(Token token, std::string_view word = {}, Piece piece = {}) {
        for (;;) {
            switch (state_) {
            case State::idle:
                if (token != Token::name) {
                    after_definition_ = false;
                    return;
                }
                if (after_definition_) { // `def _(` defines the marker, it does not call it
                    after_definition_ = false;
                    return;
                }
                if (word == "def" || word == "class") {
                    after_definition_ = true;
                    return;
                }
                if (MarkerNames::Kind kind = markers_.classify(word); kind != MarkerNames::none) {
                    pending_ = {token_line_, word,
                                kind == MarkerNames::keyword ? CallKind::literal
                                                             : CallKind::unsupported,
                                out_.pieces.size(), 0};
                    state_ = State::after_marker;
                }
                return;
            case State::after_marker:
                if (token == Token::open_paren) {
                    if (pending_.kind == CallKind::unsupported) {
                        out_.calls.push_back(pending_);
                        state_ = State::idle;
                    } else {
                        state_ = State::first_argument;
                    }
                    return;
                }
                state_ = State::idle;
                continue; // the token may begin a call itself
            case State::first_argument:
            case State::strings:
                if (token == Token::str) {
                    out_.pieces.push_back(piece);
                    state_ = State::strings;
                    return;
                }
                if (state_ == State::strings &&
                    (token == Token::close_paren || token == Token::comma)) {
                    finish(CallKind::literal);
                    return;
                }
                if (token == Token::bytes || token == Token::fstring) {
                    finish(token == Token::bytes ? CallKind::bytes : CallKind::f_string);
                    return; // an f-string's fields come as tokens of their own
                }
                if (state_ == State::first_argument && token == Token::close_paren) {
                    finish(CallKind::no_argument);
                    return;
                }
                finish(CallKind::not_literal);
                continue;
            }
        }
    }

    void finish(CallKind kind) {
        pending_.kind = kind;
        if (kind == CallKind::literal) {
            pending_.piece_count = out_.pieces.size() - pending_.first_piece;
        } else {
            out_.pieces.resize(pending_.first_piece);
        }
        out_.calls.push_back(pending_);
        state_ = State::idle;
    }

    // ---- the tokens (1.) ----

    bool at(size_t i, char c) const noexcept { return i < n_ && s_[i] == c; }

    /// Reads code up to the end of the text or, in a replacement field, up to the `}`, `!` or
    /// `:` that ends the field's expression (left unread).
    FieldEnd code(bool in_field) {
        int depth = 0;
        while (p_ < n_) {
            const unsigned char c = static_cast<unsigned char>(s_[p_]);
            switch (c) {
            case ' ':
            case '\t':
            case '\f':
                ++p_;
                continue;
            case '\n':
                ++p_;
                if (!in_field && depth == 0) {
                    emit(Token::other); // the end of a logical line
                }
                ++line_;
                continue;
            case '#': {
                const void *end = std::memchr(s_ + p_, '\n', n_ - p_);
                p_ = end != nullptr ? static_cast<size_t>(static_cast<const char *>(end) - s_) : n_;
                continue;
            }
            case '\\':
                if (at(p_ + 1, '\n')) { // a continuation line
                    p_ += 2;
                    ++line_;
                    continue;
                }
                ++p_;
                emit(Token::other);
                continue;
            case '(':
                ++depth;
                ++p_;
                emit(Token::open_paren);
                continue;
            case '[':
            case '{':
                ++depth;
                ++p_;
                emit(Token::other);
                continue;
            case ')':
            case ']':
            case '}':
                if (depth == 0 && in_field && c == '}') {
                    return FieldEnd::close;
                }
                depth -= depth > 0;
                ++p_;
                emit(c == ')' ? Token::close_paren : Token::other);
                continue;
            case ',':
                ++p_;
                emit(Token::comma);
                continue;
            case ':':
                if (depth == 0 && in_field) {
                    return FieldEnd::spec;
                }
                ++p_;
                emit(Token::other);
                continue;
            case '!':
                if (depth == 0 && in_field && !at(p_ + 1, '=')) {
                    return FieldEnd::conversion;
                }
                ++p_;
                emit(Token::other);
                continue;
            case '\'':
            case '"':
                string({.valid = true});
                continue;
            default:
                break;
            }
            if (!is_word_byte(c)) {
                ++p_;
                emit(Token::other);
                continue;
            }
            const size_t begin = p_;
            while (p_ < n_ && is_word_byte(static_cast<unsigned char>(s_[p_]))) {
                ++p_;
            }
            const std::string_view word(s_ + begin, p_ - begin);
            if (at(p_, '\'') || at(p_, '"')) {
                if (Prefix prefix = read_prefix(word); prefix.valid) {
                    string(prefix);
                    continue;
                }
            }
            emit(is_digit(c) ? Token::other : Token::name, word);
        }
        return FieldEnd::text_end;
    }

    void emit(Token token, std::string_view word = {}, Piece piece = {}) {
        token_line_ = line_;
        feed(token, word, piece);
    }

    /// One string literal, its opening quote at p_.
    void string(Prefix prefix) {
        const size_t first_line = line_;
        const char quote = s_[p_];
        const bool triple = at(p_ + 1, quote) && at(p_ + 2, quote);
        p_ += triple ? 3 : 1;
        if (prefix.format) {
            token_line_ = first_line;
            feed(Token::fstring);
            fstring_body(quote, triple, prefix.raw);
            return;
        }
        const size_t begin = p_;
        for (;;) {
            if (p_ >= n_) { // unterminated: Python stops with an error here
                token_line_ = first_line;
                feed(Token::other);
                return;
            }
            const char c = s_[p_];
            if (c == '\\') {
                line_ += at(p_ + 1, '\n');
                p_ += p_ + 1 < n_ ? 2 : 1;
                continue;
            }
            if (c == '\n') {
                if (!triple) {
                    token_line_ = first_line;
                    feed(Token::other);
                    return;
                }
                ++line_;
            } else if (c == quote && (!triple || (at(p_ + 1, quote) && at(p_ + 2, quote)))) {
                const Piece piece{begin, p_, prefix.raw};
                p_ += triple ? 3 : 1;
                token_line_ = first_line;
                feed(prefix.bytes ? Token::bytes : Token::str, {}, piece);
                return;
            }
            ++p_;
        }
    }

    /// True at the closing quote(s) of a string opened with `quote`.
    bool closes(char quote, bool triple) const noexcept {
        return at(p_, quote) && (!triple || (at(p_ + 1, quote) && at(p_ + 2, quote)));
    }

    /// The rest of an f-string after its opening quote.
    void fstring_body(char quote, bool triple, bool raw) {
        ++fstring_nesting_;
        while (p_ < n_) {
            const char c = s_[p_];
            if (closes(quote, triple)) {
                p_ += triple ? 3 : 1;
                emit(Token::other);
                break;
            }
            if (c == '\n') {
                if (!triple) {
                    emit(Token::other); // unterminated
                    break;
                }
                ++line_;
                ++p_;
            } else if (c == '\\') {
                skip_escape(raw);
            } else if (c == '{' && fstring_nesting_ <= max_fstring_nesting) {
                if (at(p_ + 1, '{')) {
                    p_ += 2;
                } else {
                    ++p_;
                    field(quote, triple, raw);
                }
            } else {
                ++p_;
            }
        }
        --fstring_nesting_;
    }

    /// A backslash in an f-string's text: it keeps a quote or a line feed in the text, but
    /// never a brace, which still opens or closes a field; `\N{...}` is one escape.
    void skip_escape(bool raw) {
        if (!raw && at(p_ + 1, 'N') && at(p_ + 2, '{')) {
            const void *end = std::memchr(s_ + p_, '}', n_ - p_);
            const void *line_end = std::memchr(s_ + p_, '\n', n_ - p_);
            if (end != nullptr && (line_end == nullptr || end < line_end)) {
                p_ = static_cast<size_t>(static_cast<const char *>(end) - s_) + 1;
                return;
            }
        }
        if (at(p_ + 1, '{') || at(p_ + 1, '}') || p_ + 1 >= n_) {
            ++p_;
            return;
        }
        line_ += at(p_ + 1, '\n');
        p_ += 2;
    }

    /// A replacement field after its `{`: the expression, a conversion, a format spec.
    void field(char quote, bool triple, bool raw) {
        emit(Token::other);
        FieldEnd end = code(true);
        if (end == FieldEnd::conversion) {
            ++p_;
            while (p_ < n_ && is_word_byte(static_cast<unsigned char>(s_[p_]))) {
                ++p_;
            }
            end = at(p_, ':') ? FieldEnd::spec : at(p_, '}') ? FieldEnd::close : FieldEnd::text_end;
        }
        if (end == FieldEnd::spec) {
            ++p_;
            format_spec(quote, triple, raw);
        }
        if (at(p_, '}')) {
            ++p_;
        }
        emit(Token::other);
    }

    /// A format spec: text up to the `}` of its field (left unread), with fields of its own.
    void format_spec(char quote, bool triple, bool raw) {
        while (p_ < n_ && !at(p_, '}') && !closes(quote, triple)) {
            const char c = s_[p_];
            if (c == '\n') {
                if (!triple) {
                    return;
                }
                ++line_;
                ++p_;
            } else if (c == '\\') {
                skip_escape(raw);
            } else if (c == '{') {
                ++p_;
                field(quote, triple, raw);
            } else {
                ++p_;
            }
        }
    }

    const char *s_;
    size_t n_;
    size_t p_ = 0;
    size_t line_ = 1;
    size_t token_line_ = 1;
    int fstring_nesting_ = 0;
    const MarkerNames &markers_;
    LexedCalls &out_;

    State state_ = State::idle;
    bool after_definition_ = false;
    MarkedCall pending_{};
};

} // namespace

void find_marked_calls(std::string_view text, const MarkerNames &markers, LexedCalls &out) {
    Lexer(text, markers, out).run();
}

} // namespace qel_i18n::tools
