// qel_i18n tools: the value of a str literal. The escapes are those of Python 3.12's str
// literals: a backslash before a line feed joins the lines; \\ \' \" \a \b \f \n \r \t \v; one to
// three octal digits (up to \777); \x with two hex digits, \u with four, \U with eight (at most
// 10FFFF); \N{name}, names and aliases as unicodedata knows them; any other backslash stays.
#include "tools/literal.hpp"

namespace qel_i18n::tools {

void append_utf8(std::string &out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

namespace {

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
        return (c | 0x20) - 'a' + 10;
    }
    return -1;
}

/// `digits` hex digits at `body[i]`, or false when there are fewer.
bool read_hex(std::string_view body, size_t i, int digits, char32_t &code) noexcept {
    code = 0;
    for (int k = 0; k < digits; ++k) {
        int value = i + k < body.size() ? hex_value(body[i + k]) : -1;
        if (value < 0) {
            return false;
        }
        code = code * 16 + static_cast<char32_t>(value);
    }
    return true;
}

} // namespace

int evaluate_literal(std::string_view body, bool raw, CharacterNames &names, std::string &out,
                     std::string &error) {
    if (raw) {
        out += body;
        return 1;
    }
    size_t i = 0;
    while (i < body.size()) {
        const size_t slash = body.find('\\', i);
        if (slash == std::string_view::npos) {
            out += body.substr(i);
            break;
        }
        out += body.substr(i, slash - i);
        i = slash + 1;
        if (i >= body.size()) { // the lexer never ends a body so; kept as written
            out += '\\';
            break;
        }
        const char c = body[i++];
        char32_t code = 0;
        switch (c) {
        case '\n':
            continue;
        case '\\':
        case '\'':
        case '"':
            out += c;
            continue;
        case 'a':
            out += '\a';
            continue;
        case 'b':
            out += '\b';
            continue;
        case 'f':
            out += '\f';
            continue;
        case 'n':
            out += '\n';
            continue;
        case 'r':
            out += '\r';
            continue;
        case 't':
            out += '\t';
            continue;
        case 'v':
            out += '\v';
            continue;
        case 'x':
        case 'u':
        case 'U': {
            const int digits = c == 'x' ? 2 : c == 'u' ? 4 : 8;
            if (!read_hex(body, i, digits, code)) {
                error = std::string("truncated \\") + (c == 'x' ? "xXX" : c == 'u' ? "uXXXX" : "UXXXXXXXX") +
                        " escape";
                return 0;
            }
            if (code > 0x10FFFF) {
                error = "illegal Unicode character";
                return 0;
            }
            i += static_cast<size_t>(digits);
            append_utf8(out, code);
            continue;
        }
        case 'N': {
            const size_t close = i < body.size() && body[i] == '{' ? body.find('}', i) : body.npos;
            if (close == body.npos || close == i + 1) {
                error = "malformed \\N character escape";
                return 0;
            }
            int found = names.find(body.substr(i + 1, close - i - 1), code);
            if (found <= 0) {
                if (found == 0) {
                    error = "unknown Unicode character name";
                }
                return found;
            }
            i = close + 1;
            append_utf8(out, code);
            continue;
        }
        default:
            break;
        }
        if (c >= '0' && c <= '7') {
            code = static_cast<char32_t>(c - '0');
            for (int k = 0; k < 2 && i < body.size() && body[i] >= '0' && body[i] <= '7'; ++k) {
                code = code * 8 + static_cast<char32_t>(body[i++] - '0');
            }
            append_utf8(out, code);
            continue;
        }
        // An escape Python does not know stays as written (it warns).
        out += '\\';
        out += c;
    }
    return 1;
}

} // namespace qel_i18n::tools
