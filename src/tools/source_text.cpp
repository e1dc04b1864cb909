// qel_i18n tools: a Python source file's text, decoded as Python decodes it.
//
// 1. The bytes are read whole with the file system's calls; the interpreter's lock is released
//    while they are read.
// 2. The encoding is found as the interpreter's tokenizer finds it: a UTF-8 byte order mark,
//    then a coding declaration in a comment on line 1, or on line 2 when line 1 holds no code;
//    names that mean UTF-8 or Latin-1 are normalised as the tokenizer normalises them. A mark
//    and a declaration of another encoding contradict each other.
// 3. UTF-8 is checked here; another encoding goes through the host's codec and comes back as
//    UTF-8. A byte that cannot be decoded is reported with its line.
// 4. CR LF and lone CR become line feeds, as the tokenizer translates them.
#include "tools/source_text.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qel_i18n::tools {

namespace {

int raise_os_error(PyObject *filename, int error) noexcept {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    return -1;
}

/// 1. The file's bytes, in a buffer that the file fills (not zeroed first).
int read_bytes(PyObject *filename, SourceText &source) noexcept {
    PyObject *encoded_path = nullptr;
    if (!PyUnicode_FSConverter(filename, &encoded_path)) {
        return -1;
    }
    Ref path = Ref::steal(encoded_path);
    const int fd = open(PyBytes_AS_STRING(path.get()), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return raise_os_error(filename, errno);
    }
    struct CloseOnExit {
        int fd;
        ~CloseOnExit() { close(fd); }
    } closer{fd};
    struct stat info;
    if (fstat(fd, &info) != 0) {
        return raise_os_error(filename, errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return raise_os_error(filename, EISDIR);
    }
    // A regular file of known size is read in one call that asks for one byte more: a shorter
    // answer is its end. Anything else is read until a read gives nothing.
    const bool sized = S_ISREG(info.st_mode) && info.st_size > 0;
    try {
        size_t capacity = static_cast<size_t>(sized ? info.st_size : 0) + 1;
        source.data.reset(new char[capacity]);
        size_t filled = 0;
        for (;;) {
            if (filled == capacity) {
                std::unique_ptr<char[]> larger(new char[capacity * 2]);
                std::memcpy(larger.get(), source.data.get(), filled);
                source.data = std::move(larger);
                capacity *= 2;
            }
            const size_t wanted = capacity - filled;
            ssize_t count;
            Py_BEGIN_ALLOW_THREADS
            count = read(fd, source.data.get() + filled, wanted);
            Py_END_ALLOW_THREADS
            if (count > 0) {
                filled += static_cast<size_t>(count);
                if (sized && static_cast<size_t>(count) < wanted) {
                    break;
                }
            } else if (count == 0) {
                break;
            } else if (errno != EINTR) {
                return raise_os_error(filename, errno);
            } else if (PyErr_CheckSignals() < 0) {
                return -1;
            }
        }
        source.begin = 0;
        source.size = filled;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

/// The line of byte `offset`, from 1, every CR LF, CR and LF ending one.
Py_ssize_t line_of(std::string_view bytes, size_t offset) noexcept {
    Py_ssize_t line = 1;
    for (size_t i = 0; i < offset && i < bytes.size(); ++i) {
        if (bytes[i] == '\n' || (bytes[i] == '\r' && (i + 1 >= bytes.size() || bytes[i + 1] != '\n'))) {
            ++line;
        }
    }
    return line;
}

int raise_syntax_error(PyObject *filename, Py_ssize_t line, const std::string &message) noexcept {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                               "replace"));
    Ref error = text ? Ref::steal(PyObject_CallFunction(PyExc_SyntaxError, "O(OnOO)", text.get(),
                                                        filename, line, Py_None, Py_None))
                     : Ref();
    if (error) {
        PyErr_SetObject(PyExc_SyntaxError, error.get());
    }
    return -1;
}

bool is_blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\f'; }

bool is_name_char(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_' || c == '.';
}

/// The encoding a coding declaration names, normalised; empty when `line` declares none.
/// `holds_code` tells whether the line holds anything but blanks and a comment.
std::string coding_spec(std::string_view line, bool &holds_code) {
    size_t i = 0;
    while (i < line.size() && is_blank(line[i])) {
        ++i;
    }
    holds_code = i < line.size() && line[i] != '#';
    if (holds_code) {
        return {};
    }
    for (; i + 6 <= line.size(); ++i) {
        if (line.compare(i, 6, "coding") != 0) {
            continue;
        }
        size_t t = i + 6;
        if (t >= line.size() || (line[t] != ':' && line[t] != '=')) {
            continue;
        }
        do {
            ++t;
        } while (t < line.size() && (line[t] == ' ' || line[t] == '\t'));
        const size_t begin = t;
        while (t < line.size() && is_name_char(line[t])) {
            ++t;
        }
        if (t == begin) {
            continue;
        }
        std::string spec(line.substr(begin, t - begin));
        std::string head; // the first 12 characters, lower case, '_' read as '-'
        for (size_t k = 0; k < spec.size() && k < 12; ++k) {
            const char c = spec[k];
            head += c == '_' ? '-' : (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c;
        }
        const std::string_view h(head);
        if (h == "utf-8" || h.starts_with("utf-8-")) {
            return "utf-8";
        }
        if (h == "latin-1" || h == "iso-8859-1" || h == "iso-latin-1" ||
            h.starts_with("latin-1-") || h.starts_with("iso-8859-1-") ||
            h.starts_with("iso-latin-1-")) {
            return "iso-8859-1";
        }
        return spec;
    }
    return {};
}

/// The end of the line that starts at `from`, and the start of the next one.
void split_line(std::string_view bytes, size_t from, size_t &end, size_t &next) noexcept {
    end = from;
    while (end < bytes.size() && bytes[end] != '\n' && bytes[end] != '\r') {
        ++end;
    }
    next = end;
    if (next < bytes.size()) {
        next += bytes[next] == '\r' && next + 1 < bytes.size() && bytes[next + 1] == '\n' ? 2 : 1;
    }
}

/// The offset of the first byte that is not valid UTF-8 (as Python's strict decoder reads it),
/// or npos.
size_t invalid_utf8(std::string_view bytes) noexcept {
    const auto *b = reinterpret_cast<const unsigned char *>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
#if defined(__SSE2__)
        if (i + 32 <= n) { // thirty-two ASCII bytes at a time
            const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
            const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i + 16));
            if (_mm_movemask_epi8(_mm_or_si128(first, second)) == 0) {
                i += 32;
                continue;
            }
        }
#endif
        if (i + 8 <= n) { // eight ASCII bytes at a time
            uint64_t word;
            std::memcpy(&word, b + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = b[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t need;
        unsigned char low = 0x80, high = 0xBF; // the second byte's range
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF; // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return i;
        }
        if (i + need >= n || b[i + 1] < low || b[i + 1] > high) {
            return i;
        }
        for (size_t k = 2; k <= need; ++k) {
            if (b[i + k] < 0x80 || b[i + k] > 0xBF) {
                return i;
            }
        }
        i += need + 1;
    }
    return std::string_view::npos;
}

/// 4. Line ends as the tokenizer sees them.
void translate_line_ends(SourceText &source) noexcept {
    char *text = source.data.get();
    const void *first = std::memchr(text + source.begin, '\r', source.size - source.begin);
    if (first == nullptr) {
        return;
    }
    size_t out = static_cast<size_t>(static_cast<const char *>(first) - text);
    for (size_t in = out; in < source.size; ++in) {
        if (text[in] == '\r') {
            text[out++] = '\n';
            in += in + 1 < source.size && text[in + 1] == '\n';
        } else {
            text[out++] = text[in];
        }
    }
    source.size = out;
}

/// 3. The text in another encoding, through the host's codec.
int decode_with_codec(PyObject *filename, const std::string &encoding, Py_ssize_t spec_line,
                      std::string_view bytes, SourceText &source) {
    Ref decoded = Ref::steal(PyUnicode_Decode(bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                              encoding.c_str(), "strict"));
    if (!decoded) {
        if (PyErr_ExceptionMatches(PyExc_LookupError)) {
            PyErr_Clear();
            return raise_syntax_error(filename, spec_line, "unknown encoding: " + encoding);
        }
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            return -1;
        }
        Ref error = Ref::steal(PyErr_GetRaisedException());
        Py_ssize_t start = 0;
        Ref reason = Ref::steal(PyUnicodeDecodeError_GetReason(error.get()));
        if (!reason || PyUnicodeDecodeError_GetStart(error.get(), &start) < 0) {
            return -1;
        }
        const char *why = PyUnicode_AsUTF8(reason.get());
        if (why == nullptr) {
            return -1;
        }
        return raise_syntax_error(filename, line_of(bytes, static_cast<size_t>(start)),
                                  "cannot decode the source as " + encoding + ": " + why);
    }
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(decoded.get(), "utf-8", "surrogatepass"));
    if (!encoded) {
        return -1;
    }
    const auto size = static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()));
    source.data.reset(new char[size + 1]);
    std::memcpy(source.data.get(), PyBytes_AS_STRING(encoded.get()), size);
    source.begin = 0;
    source.size = size;
    return 0;
}

int decode(PyObject *filename, SourceText &source) {
    const std::string_view bytes = source.view();
    // 2. The encoding.
    const bool bom = bytes.starts_with("\xEF\xBB\xBF");
    const size_t start = bom ? 3 : 0;
    std::string spec;
    Py_ssize_t spec_line = 1;
    size_t from = start;
    for (Py_ssize_t line = 1; line <= 2 && from < bytes.size() && spec.empty(); ++line) {
        size_t end, next;
        split_line(bytes, from, end, next);
        bool holds_code = false;
        spec = coding_spec(std::string_view(bytes).substr(from, end - from), holds_code);
        spec_line = line;
        if (holds_code) {
            break;
        }
        from = next;
    }
    if (bom && !spec.empty() && spec != "utf-8") {
        return raise_syntax_error(filename, spec_line, "encoding problem: " + spec + " with BOM");
    }
    if (!spec.empty() && spec != "utf-8") {
        if (decode_with_codec(filename, spec, spec_line, bytes, source) < 0) {
            return -1;
        }
    } else {
        // 3. UTF-8, checked in place.
        const size_t bad = invalid_utf8(std::string_view(bytes).substr(start));
        if (bad != std::string_view::npos) {
            char byte[8];
            std::snprintf(byte, sizeof byte, "0x%02x",
                          static_cast<unsigned char>(bytes[start + bad]));
            return raise_syntax_error(
                filename, line_of(bytes, start + bad),
                std::string("invalid UTF-8 (byte ") + byte + ")" +
                    (spec.empty() ? ", and no other encoding declared" : ""));
        }
        source.begin = start;
    }
    translate_line_ends(source);
    return 0;
}

} // namespace

int read_source(PyObject *filename, SourceText &source) noexcept {
    if (read_bytes(filename, source) < 0) {
        return -1;
    }
    try {
        return decode(filename, source);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
}

} // namespace qel_i18n::tools
