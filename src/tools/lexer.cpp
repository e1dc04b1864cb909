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
// 3. While no call is pending at the top level, no token is made: the lexer goes from one place
//    that matters to the next (a string, a comment, a keyword where a word begins, a `(` after a
//    byte that may end a reported marker's name), sixteen or thirty-two bytes at a time. The
//    brackets open where a marker name ends a line, which decide whether the line end ends the
//    statement, are counted then, by a second lexer that reads every token from the start.
#include "tools/lexer.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// Where the compiler can build a function for AVX2 beside the baseline, the scan for the next
// stop takes thirty-two bytes at a time on processors that have it.
#if defined(__SSE2__) && defined(__x86_64__) && defined(__GNUC__)
#define QEL_I18N_WIDE_SCAN 1
#include <immintrin.h>
#else
#define QEL_I18N_WIDE_SCAN 0
#endif

namespace qel_i18n::tools {

void MarkerNames::add(std::string_view name, Kind kind) {
    for (auto &[known, known_kind] : names_) {
        if (known == name) {
            if (kind == keyword) {
                known_kind = keyword;
                rebuild_keyword_bytes();
            }
            return;
        }
    }
    names_.emplace_back(std::string(name), kind);
    if (!name.empty()) {
        first_byte_[static_cast<unsigned char>(name[0])] = true;
        if (name.size() < 32) {
            lengths_[static_cast<unsigned char>(name[0])] |= 1u << name.size();
        }
    }
    rebuild_keyword_bytes();
}

void MarkerNames::rebuild_keyword_bytes() noexcept {
    keyword_first_ = {};
    reported_last_ = {};
    for (const auto &[name, kind] : names_) {
        if (name.empty()) {
            continue;
        }
        if (kind == keyword) {
            keyword_first_[static_cast<unsigned char>(name[0])] = true;
        } else {
            reported_last_[static_cast<unsigned char>(name.back())] = true;
        }
    }
}

MarkerNames::Kind MarkerNames::classify(std::string_view word) const noexcept {
    if (word.empty() || !first_byte_[static_cast<unsigned char>(word[0])]) {
        return none;
    }
    if (word.size() < 32 &&
        !(lengths_[static_cast<unsigned char>(word[0])] >> word.size() & 1u)) {
        return none; // no name of this length begins with this byte
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

/// What a byte of code may begin.
enum class Class : unsigned char {
    other,   // an operator character that is a token of no interest by itself
    blank,   // space, tab, form feed
    word,    // a name or a number; non-ASCII outside strings and comments: an identifier
    quote,   // a string without prefix
    special, // a line feed, comment, backslash, bracket, comma, colon or `!`
};

constexpr std::array<Class, 256> make_byte_classes() noexcept {
    std::array<Class, 256> classes{};
    for (int c = 0; c < 256; ++c) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '_' || c >= 0x80) {
            classes[c] = Class::word;
        }
    }
    classes[' '] = classes['\t'] = classes['\f'] = Class::blank;
    classes['\''] = classes['"'] = Class::quote;
    for (char c : {'\n', '#', '\\', '(', ')', '[', ']', '{', '}', ',', ':', '!'}) {
        classes[static_cast<unsigned char>(c)] = Class::special;
    }
    return classes;
}

constexpr std::array<Class, 256> byte_class = make_byte_classes();

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

#if QEL_I18N_WIDE_SCAN
/// Whether the processor (and the system, for its registers) has AVX2; asked once.
bool has_avx2() noexcept {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}
#endif

enum class Token : unsigned char { name, open_paren, close_paren, comma, str, bytes, fstring, other };

/// Where the code of a replacement field stopped.
enum class FieldEnd : unsigned char { text_end, close, conversion, spec };

class Lexer {
  public:
    /// A lexer of `text`; with `depth_only`, one that only counts the brackets open at the top
    /// level, for depth_at.
    Lexer(std::string_view text, const MarkerNames &markers, LexedCalls &out,
          bool depth_only = false) noexcept
        : s_(text.data()), n_(text.size()), limit_(text.size()), depth_only_(depth_only),
          markers_(markers), out_(out) {
        for (char c : {'\'', '"', '#', '\\'}) {
            fixed_stop_[static_cast<unsigned char>(c)] = true;
        }
        for (char c : {' ', '\t', '\f'}) {
            name_last_[static_cast<unsigned char>(c)] = true;
        }
        for (int c = 0; c < 256; ++c) {
            if (markers.reported_may_end(static_cast<unsigned char>(c))) {
                name_last_[c] = true;
#if defined(__SSE2__)
                if (last_count_ < std::size(last_vectors_)) {
                    last_vectors_[last_count_] = _mm_set1_epi8(static_cast<char>(c));
                    last_bytes_[last_count_] = static_cast<char>(c);
                }
#endif
                ++last_count_;
            }
        }
        for (int c = 0; c < 256; ++c) {
            if (markers.keyword_may_begin(static_cast<unsigned char>(c))) {
                keyword_first_[c] = true;
#if defined(__SSE2__)
                if (first_count_ < std::size(first_vectors_)) {
                    first_vectors_[first_count_] = _mm_set1_epi8(static_cast<char>(c));
                    first_bytes_[first_count_] = static_cast<char>(c);
                }
#endif
                ++first_count_;
            }
        }
#if defined(__SSE2__)
        simd_ = first_count_ >= 1 && first_count_ <= std::size(first_vectors_) &&
                last_count_ <= std::size(last_vectors_);
#endif
#if QEL_I18N_WIDE_SCAN
        wide_ = has_avx2();
#endif
    }

    void run() {
        code(false);
        if (state_ != State::idle) {
            feed(Token::other);
        }
    }

  private:
    enum class State : unsigned char { idle, after_marker, first_argument, strings };

    // ---- the call machine (2.) ----

    /// The line of the byte at `offset`, counted from where the last count stopped: the lexer
    /// asks only for the lines of marker names, which come in the order of the text.
    size_t line_at(size_t offset) noexcept {
        size_t p = counted_;
#if defined(__SSE2__)
        // Each byte lane counts its line feeds down from zero, for at most 255 blocks, and the
        // lanes are then summed.
        const __m128i feeds = _mm_set1_epi8('\n');
        while (p + 16 <= offset) {
            __m128i lanes = _mm_setzero_si128();
            for (int blocks = 0; blocks < 255 && p + 16 <= offset; ++blocks, p += 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s_ + p));
                lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(v, feeds));
            }
            const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
            counted_line_ += static_cast<size_t>(_mm_cvtsi128_si64(sums)) +
                             static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
        }
#endif
        counted_line_ += static_cast<size_t>(std::count(s_ + p, s_ + offset, '\n'));
        counted_ = offset;
        return counted_line_;
    }

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
                    pending_ = {line_at(static_cast<size_t>(word.data() - s_)), word,
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

    /// Hands a token to the call machine. While it waits for a marker, the only tokens that
    /// matter to it are names (and `def` or `class` before them), so the others only end a
    /// definition's name.
    void emit(Token token, std::string_view word = {}, Piece piece = {}) {
        if (state_ == State::idle && token != Token::name) {
            after_definition_ = false;
            return;
        }
        feed(token, word, piece);
    }

    /// True when the word that ends before `end` is `def` or `class`, with only blanks and
    /// continuation lines after it.
    bool defined_at(size_t end) const noexcept {
        for (;;) {
            if (end > 0 && byte_class[static_cast<unsigned char>(s_[end - 1])] == Class::blank) {
                --end;
            } else if (end > 1 && s_[end - 1] == '\n' && s_[end - 2] == '\\') {
                end -= 2;
            } else {
                break;
            }
        }
        size_t begin = end;
        while (begin > 0 && byte_class[static_cast<unsigned char>(s_[begin - 1])] == Class::word) {
            --begin;
        }
        const std::string_view word(s_ + begin, end - begin);
        return word == "def" || word == "class";
    }

    /// The next byte at or after `from` that skip_to_marker looks at: a quote, `#`, a
    /// backslash, `(`, or the first byte of a keyword where a word begins. Sixteen bytes at a
    /// time where SSE2 is there.
    size_t next_stop(size_t from) noexcept {
        size_t p = from;
#if defined(__SSE2__)
        if (simd_) {
            // The stops of the block last looked at are kept: most stops need only a step or
            // two, and the next is then found in the same mask.
            const size_t width = wide_ ? 32 : 16;
            if (from >= block_ && from < block_ + width) {
                const unsigned left = block_mask_ & (~0u << (from - block_));
                if (left != 0) {
                    return block_ + static_cast<size_t>(__builtin_ctz(left));
                }
                p = block_ + width;
            }
            if (p == 0 && n_ > 0) {
                if (stops_at(0)) {
                    return 0;
                }
                p = 1; // the `(` test reads the byte before
            }
            for (; p + width <= n_; p += width) {
                block_ = p;
#if QEL_I18N_WIDE_SCAN
                block_mask_ = wide_ ? wide_block_stops(p) : block_stops(p);
#else
                block_mask_ = block_stops(p);
#endif
                if (block_mask_ != 0) {
                    return p + static_cast<size_t>(__builtin_ctz(block_mask_));
                }
            }
        }
#endif
        for (; p < n_; ++p) {
            if (stops_at(p)) {
                return p;
            }
        }
        return n_;
    }

#if QEL_I18N_WIDE_SCAN
    /// block_stops for thirty-two bytes, where the processor has AVX2.
    __attribute__((target("avx2"))) unsigned wide_block_stops(size_t p) const noexcept {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s_ + p));
        __m256i fixed = _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\'')),
                                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')));
        fixed = _mm256_or_si256(fixed, _mm256_cmpeq_epi8(v, _mm256_set1_epi8('#')));
        fixed = _mm256_or_si256(fixed, _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\')));
        auto mask = static_cast<unsigned>(_mm256_movemask_epi8(fixed));
        if (const auto opens = static_cast<unsigned>(
                _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('('))))) {
            const __m256i before =
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s_ + p - 1));
            __m256i ends = _mm256_or_si256(_mm256_cmpeq_epi8(before, _mm256_set1_epi8(' ')),
                                           _mm256_cmpeq_epi8(before, _mm256_set1_epi8('\t')));
            ends = _mm256_or_si256(ends, _mm256_cmpeq_epi8(before, _mm256_set1_epi8('\f')));
            for (size_t k = 0; k < last_count_; ++k) {
                ends = _mm256_or_si256(
                    ends, _mm256_cmpeq_epi8(before, _mm256_set1_epi8(last_bytes_[k])));
            }
            mask |= opens & static_cast<unsigned>(_mm256_movemask_epi8(ends));
        }
        __m256i first = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(first_bytes_[0]));
        for (size_t k = 1; k < first_count_; ++k) {
            first = _mm256_or_si256(first, _mm256_cmpeq_epi8(v, _mm256_set1_epi8(first_bytes_[k])));
        }
        if (const auto first_mask = static_cast<unsigned>(_mm256_movemask_epi8(first))) {
            const __m256i letter = _mm256_sub_epi8(_mm256_or_si256(v, _mm256_set1_epi8(0x20)),
                                                   _mm256_set1_epi8('a'));
            const __m256i digit = _mm256_sub_epi8(v, _mm256_set1_epi8('0'));
            __m256i word = _mm256_cmpeq_epi8(_mm256_max_epu8(letter, _mm256_set1_epi8(25)),
                                             _mm256_set1_epi8(25));
            word = _mm256_or_si256(word, _mm256_cmpeq_epi8(_mm256_max_epu8(digit, _mm256_set1_epi8(9)),
                                                           _mm256_set1_epi8(9)));
            word = _mm256_or_si256(word, _mm256_cmpeq_epi8(v, _mm256_set1_epi8('_')));
            word = _mm256_or_si256(word, _mm256_cmpgt_epi8(_mm256_setzero_si256(), v));
            const unsigned after_word = (static_cast<unsigned>(_mm256_movemask_epi8(word)) << 1) |
                                        (is_word(s_[p - 1]) ? 1u : 0u);
            mask |= first_mask & ~after_word;
        }
        return mask;
    }
#endif

#if defined(__SSE2__)
    /// The stops among the sixteen bytes at `p` (from 1), as a bit mask.
    unsigned block_stops(size_t p) const noexcept {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s_ + p));
        __m128i fixed = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\'')),
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
        fixed = _mm_or_si128(fixed, _mm_cmpeq_epi8(v, _mm_set1_epi8('#')));
        fixed = _mm_or_si128(fixed, _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(fixed));
        if (const unsigned opens = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('('))))) {
            // A `(` matters after a byte that ends a reported marker's name, or a blank.
            const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s_ + p - 1));
            __m128i ends = _mm_or_si128(_mm_cmpeq_epi8(before, _mm_set1_epi8(' ')),
                                        _mm_cmpeq_epi8(before, _mm_set1_epi8('\t')));
            ends = _mm_or_si128(ends, _mm_cmpeq_epi8(before, _mm_set1_epi8('\f')));
            for (size_t k = 0; k < last_count_; ++k) {
                ends = _mm_or_si128(ends, _mm_cmpeq_epi8(before, last_vectors_[k]));
            }
            mask |= opens & static_cast<unsigned>(_mm_movemask_epi8(ends));
        }
        __m128i first = _mm_cmpeq_epi8(v, first_vectors_[0]);
        for (size_t k = 1; k < first_count_; ++k) {
            first = _mm_or_si128(first, _mm_cmpeq_epi8(v, first_vectors_[k]));
        }
        if (const unsigned first_mask = static_cast<unsigned>(_mm_movemask_epi8(first))) {
            // A word byte: a letter, a digit, '_' or any byte from 0x80.
            const __m128i letter =
                _mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
            const __m128i digit = _mm_sub_epi8(v, _mm_set1_epi8('0'));
            __m128i word =
                _mm_cmpeq_epi8(_mm_max_epu8(letter, _mm_set1_epi8(25)), _mm_set1_epi8(25));
            word = _mm_or_si128(
                word, _mm_cmpeq_epi8(_mm_max_epu8(digit, _mm_set1_epi8(9)), _mm_set1_epi8(9)));
            word = _mm_or_si128(word, _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
            word = _mm_or_si128(word, _mm_cmplt_epi8(v, _mm_setzero_si128()));
            const unsigned after_word = (static_cast<unsigned>(_mm_movemask_epi8(word)) << 1) |
                                        (is_word(s_[p - 1]) ? 1u : 0u);
            mask |= first_mask & ~after_word;
        }
        return mask;
    }
#endif

    /// Whether next_stop stops at `p`.
    bool stops_at(size_t p) const noexcept {
        const auto c = static_cast<unsigned char>(s_[p]);
        if (c == '(') {
            return p > 0 && name_last_[static_cast<unsigned char>(s_[p - 1])];
        }
        return fixed_stop_[c] || (keyword_first_[c] && (p == 0 || !is_word(s_[p - 1])));
    }

    static bool is_word(char c) noexcept {
        return byte_class[static_cast<unsigned char>(c)] == Class::word;
    }

    /// Reports a call of a marker the catalogue cannot hold, found by the name before its `(`
    /// (blanks between).
    void report_before(size_t open) {
        size_t end = open;
        while (end > 0 && byte_class[static_cast<unsigned char>(s_[end - 1])] == Class::blank) {
            --end;
        }
        size_t begin = end;
        while (begin > 0 && is_word(s_[begin - 1])) {
            --begin;
        }
        if (begin == end || !markers_.may_begin(static_cast<unsigned char>(s_[begin]))) {
            return;
        }
        const std::string_view word(s_ + begin, end - begin);
        if (markers_.classify(word) == MarkerNames::unsupported && !defined_at(begin)) {
            out_.calls.push_back({line_at(begin), word, CallKind::unsupported, out_.pieces.size(), 0});
        }
    }

    /// While the call machine waits for a marker at the top level, only a keyword name matters,
    /// and the strings and comments, in which no marker counts. The markers the catalogue
    /// cannot hold, which are only reported, are found by the name before a `(`. Runs to the
    /// next keyword name, for the token loop to read, or to the end of the text.
    void skip_to_marker() {
        size_t p = p_;
        while ((p = next_stop(p)) < n_) {
            switch (s_[p]) {
            case '\'':
            case '"': { // a string, with the prefix before it if there is one
                size_t begin = p;
                while (begin > 0 && p - begin < 3 && is_word(s_[begin - 1])) {
                    --begin;
                }
                Prefix prefix{.valid = true};
                if (begin < p && (begin == 0 || !is_word(s_[begin - 1]))) {
                    if (Prefix given = read_prefix(std::string_view(s_ + begin, p - begin));
                        given.valid) {
                        prefix = given;
                    }
                }
                p_ = p;
                string(prefix); // an f-string's fields may hold calls: the state may change
                p = p_;
                if (state_ != State::idle) {
                    return;
                }
                continue;
            }
            case '#': {
                const void *end = std::memchr(s_ + p, '\n', n_ - p);
                p = end != nullptr ? static_cast<size_t>(static_cast<const char *>(end) - s_) : n_;
                continue;
            }
            case '\\':
                p += at(p + 1, '\n') ? 2 : 1;
                continue;
            case '(':
                report_before(p);
                ++p;
                continue;
            default:
                break;
            }
            // The first byte of a keyword, at a word's start.
            size_t end = p + 1;
            while (end < n_ && is_word(s_[end])) {
                ++end;
            }
            if (markers_.classify(std::string_view(s_ + p, end - p)) == MarkerNames::keyword &&
                !defined_at(p)) {
                p_ = p;
                return;
            }
            p = end;
        }
        p_ = n_;
    }

    /// Reads code up to the end of the text or, in a replacement field, up to the `}`, `!` or
    /// `:` that ends the field's expression (left unread).
    FieldEnd code(bool in_field) {
        int field_depth = 0;
        int &depth = in_field ? field_depth : top_depth_;
        while (p_ < (in_field ? n_ : limit_)) {
            if (!in_field && state_ == State::idle && !depth_only_) {
                after_definition_ = false;
                skip_to_marker();
                if (p_ >= n_) {
                    break;
                }
            }
            const unsigned char c = static_cast<unsigned char>(s_[p_]);
            switch (byte_class[c]) {
            case Class::blank:
                ++p_;
                continue;
            case Class::word: {
                const size_t begin = p_;
                do {
                    ++p_;
                } while (p_ < n_ && byte_class[static_cast<unsigned char>(s_[p_])] == Class::word);
                if (p_ < n_ && (s_[p_] == '\'' || s_[p_] == '"')) {
                    if (Prefix prefix = read_prefix(std::string_view(s_ + begin, p_ - begin));
                        prefix.valid) {
                        string(prefix);
                        continue;
                    }
                }
                if (state_ == State::idle && !markers_.may_begin(c) && c != 'd' && c != 'c') {
                    after_definition_ = false; // a name that is neither a marker nor def/class
                    continue;
                }
                emit(is_digit(c) ? Token::other : Token::name,
                     std::string_view(s_ + begin, p_ - begin));
                continue;
            }
            case Class::quote:
                string({.valid = true});
                continue;
            case Class::other:
                ++p_;
                emit(Token::other);
                continue;
            case Class::special:
                break;
            }
            switch (c) {
            case '\n':
                // The end of a logical line ends a call only between its marker and its `(`:
                // after the `(`, the call's own bracket is open.
                if (!in_field && state_ == State::after_marker && depth_at(p_) == 0) {
                    ++p_;
                    emit(Token::other);
                    continue;
                }
                ++p_;
                continue;
            case '#': {
                const void *end = std::memchr(s_ + p_, '\n', n_ - p_);
                p_ = end != nullptr ? static_cast<size_t>(static_cast<const char *>(end) - s_) : n_;
                continue;
            }
            case '\\':
                p_ += at(p_ + 1, '\n') ? 2 : 1; // a continuation line, or a stray backslash
                if (s_[p_ - 1] == '\\') {
                    emit(Token::other);
                }
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
            default:
                ++p_;
                emit(Token::other);
                continue;
            }
        }
        return FieldEnd::text_end;
    }

    /// The offset of the first `quote`, backslash or (when `line_ends`) line feed at or after
    /// `from`, or n_: where a string body needs a look. Sixteen bytes at a time where SSE2 is
    /// there.
    size_t find_in_string(size_t from, char quote, bool line_ends) const noexcept {
        size_t p = from;
#if defined(__SSE2__)
        const __m128i quotes = _mm_set1_epi8(quote);
        const __m128i backslashes = _mm_set1_epi8('\\');
        const __m128i feeds = line_ends ? _mm_set1_epi8('\n') : quotes;
        for (; p + 16 <= n_; p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s_ + p));
            const __m128i hit = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(v, quotes), _mm_cmpeq_epi8(v, backslashes)),
                _mm_cmpeq_epi8(v, feeds));
            if (const int mask = _mm_movemask_epi8(hit)) {
                return p + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
            }
        }
#endif
        for (; p < n_; ++p) {
            const char c = s_[p];
            if (c == quote || c == '\\' || (line_ends && c == '\n')) {
                return p;
            }
        }
        return n_;
    }

    /// One string literal, its opening quote at p_.
    void string(Prefix prefix) {
        const char quote = s_[p_];
        const bool triple = at(p_ + 1, quote) && at(p_ + 2, quote);
        p_ += triple ? 3 : 1;
        if (prefix.format) {
            feed_string(Token::fstring);
            fstring_body(quote, triple, prefix.raw);
            return;
        }
        const size_t begin = p_;
        for (;;) {
            p_ = find_in_string(p_, quote, !triple);
            if (p_ >= n_ || s_[p_] == '\n') { // unterminated: Python stops with an error here
                feed_string(Token::other);
                return;
            }
            if (s_[p_] == '\\') {
                p_ += p_ + 1 < n_ ? 2 : 1;
                continue;
            }
            if (closes(quote, triple)) {
                const Piece piece{begin, p_, prefix.raw};
                p_ += triple ? 3 : 1;
                feed_string(prefix.bytes ? Token::bytes : Token::str, piece);
                return;
            }
            ++p_;
        }
    }

    /// A string token goes to the call machine only while a call waits for its argument.
    void feed_string(Token token, Piece piece = {}) {
        if (state_ == State::idle) {
            after_definition_ = false;
            return;
        }
        feed(token, {}, piece);
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
            if (c == '\n' && !triple) {
                emit(Token::other); // unterminated
                break;
            }
            if (c == '\\') {
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
        p_ += at(p_ + 1, '{') || at(p_ + 1, '}') || p_ + 1 >= n_ ? 1 : 2;
    }

    /// A replacement field after its `{`: the expression, a conversion, a format spec.
    void field(char quote, bool triple, bool raw) {
        emit(Token::other);
        FieldEnd end = code(true);
        if (end == FieldEnd::conversion) {
            ++p_;
            while (p_ < n_ && byte_class[static_cast<unsigned char>(s_[p_])] == Class::word) {
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
            if (c == '\n' && !triple) {
                return;
            }
            if (c == '\\') {
                skip_escape(raw);
            } else if (c == '{') {
                ++p_;
                field(quote, triple, raw);
            } else {
                ++p_;
            }
        }
    }

    /// The brackets open at the top level before `offset`, a token's start at the top level:
    /// a second lexer counts them, going on from where it last stopped. Only a marker name at
    /// the end of a line asks (a line end inside brackets does not end the statement).
    int depth_at(size_t offset) {
        static const MarkerNames no_markers;
        if (!depth_lexer_) {
            depth_lexer_ = std::make_unique<Lexer>(std::string_view(s_, n_), no_markers,
                                                   depth_lexer_calls_, true);
        }
        depth_lexer_->limit_ = offset;
        depth_lexer_->code(false);
        return depth_lexer_->top_depth_;
    }

    const char *s_;
    size_t n_;
    size_t limit_;           // the top level is read up to here
    bool depth_only_;
    int top_depth_ = 0;      // the brackets open at the top level, when depth_only_
    std::unique_ptr<Lexer> depth_lexer_;
    LexedCalls depth_lexer_calls_;
    std::array<bool, 256> fixed_stop_{};   // the bytes next_stop finds anywhere,
    std::array<bool, 256> keyword_first_{}; // and those it finds where a word begins
    std::array<bool, 256> name_last_{};     // the bytes before a `(` that next_stop finds
    size_t first_count_ = 0;                // how many first bytes of keywords there are
    size_t last_count_ = 0;                 // and last bytes of reported names
#if defined(__SSE2__)
    bool simd_ = false; // the sixteen-byte scan, when there are few enough of those bytes
    bool wide_ = false; // thirty-two bytes at a time
    __m128i first_vectors_[4];
    __m128i last_vectors_[4];
    char first_bytes_[4] = {};
    char last_bytes_[4] = {};
    size_t block_ = static_cast<size_t>(-1); // the block last scanned
    unsigned block_mask_ = 0;                // and its stops
#endif
    size_t p_ = 0;
    size_t counted_ = 0;      // the lines are counted up to here,
    size_t counted_line_ = 1; // and this is the line there
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
