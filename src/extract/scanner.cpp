// qel_i18n: the source message scanner, _parse_one_file. Reads a source file line by line,
// finds every marked message `_("...")` or `_(u"...")` and records each occurrence in the
// caller's cache under (position text, message).
//
// While `_the_pattern` and `_load_str` are the objects start-up bound, the scanner finds the
// pattern's matches itself and takes a message text without backslash, double quote or control
// character as it is, since JSON decodes such a text to itself; every other text still goes to
// `_load_str`. Once either name is rebound, the pattern's finditer and `_load_str` are called
// for everything.
#include "extract/extract.hpp"

#include "module/fast_paths.hpp"
#include "module/files.hpp"
#include "module/function.hpp"

#include <cstdio>
#include <cstring>

namespace qel_i18n::extract {

namespace {

PyObject *original_pattern = nullptr;  // `_the_pattern` as start-up bound it (held)
PyObject *original_load_str = nullptr; // `_load_str` as start-up bound it (held)
host::CachedGlobal pattern_name;
host::CachedGlobal load_str_name;

/// Group 1 of a match: the raw message text, [start, end) of the line.
struct Marker {
    Py_ssize_t start;
    Py_ssize_t end;
};

/// The next `_(` at or after `from`, or -1.
template <typename Char>
Py_ssize_t find_opening(const Char *text, Py_ssize_t from, Py_ssize_t length) noexcept {
    if constexpr (sizeof(Char) == 1) {
        // Underscores are common in code and openings after them are not: find each one,
        // then look at the next character.
        while (from + 1 < length) {
            const void *found =
                std::memchr(text + from, '_', static_cast<size_t>(length - 1 - from));
            if (found == nullptr) {
                return -1;
            }
            Py_ssize_t at = static_cast<const Char *>(found) - text;
            if (text[at + 1] == '(') {
                return at;
            }
            from = at + 1;
        }
        return -1;
    } else {
        for (Py_ssize_t i = from; i + 1 < length; ++i) {
            if (text[i] == '_' && text[i + 1] == '(') {
                return i;
            }
        }
        return -1;
    }
}

/// The next match of the pattern `_\(u?"(.*?[^\\])"\)` at or after `from`, exactly as the
/// host's finditer finds it: the leftmost start, `u` taken when a quote follows it, then the
/// shortest group (at least one character, no line feed before its last one, the last one not
/// a backslash) that a `")` follows. Moves `from` past the match.
template <typename Char>
bool next_marker(const Char *text, Py_ssize_t length, Py_ssize_t &from, Marker &marker) noexcept {
    for (Py_ssize_t p = find_opening(text, from, length); p >= 0;
         p = find_opening(text, p + 1, length)) {
        Py_ssize_t quote = p + 2;
        if (quote < length && text[quote] == 'u') {
            ++quote;
        }
        if (quote >= length || text[quote] != '"') {
            continue;
        }
        const Py_ssize_t start = quote + 1;
        for (Py_ssize_t end = start + 1; end + 1 < length; ++end) {
            const Char last = text[end - 1];
            if (text[end] == '"' && text[end + 1] == ')' && last != '\\') {
                marker = {start, end};
                from = end + 2;
                return true;
            }
            if (last == '\n') {
                break; // a line feed may only be the group's last character
            }
        }
    }
    from = length;
    return false;
}

/// True when JSON decodes the quoted text to the text itself.
template <typename Char> bool decodes_to_itself(const Char *text, Marker marker) noexcept {
    for (Py_ssize_t i = marker.start; i < marker.end; ++i) {
        const Char c = text[i];
        if (c < 0x20 || c == '"' || c == '\\') {
            return false;
        }
    }
    return true;
}

/// `f"{source_filename}: {line_number:04}"`.
Ref position_text(PyObject *source_filename, Py_ssize_t line_number) noexcept {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%04zd", line_number);
    return Ref::steal(PyUnicode_FromFormat("%U: %s", source_filename, digits));
}

/// Marks (position, message) as met, adding a new entry [True, [position, message]] if the
/// cache has none.
int record(PyObject *cache, PyObject *position, PyObject *message) noexcept {
    Ref key = text_pair(position, message);
    if (!key) {
        return -1;
    }
    Ref entry = Ref::borrow(PyDict_GetItemWithError(cache, key.get()));
    if (entry) {
        return PyObject_SetItem(entry.get(), constants.zero, Py_True);
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    Ref row = Ref::steal(PyList_New(2));
    if (!row) {
        return -1;
    }
    PyList_SET_ITEM(row.get(), 0, Py_NewRef(position));
    PyList_SET_ITEM(row.get(), 1, Py_NewRef(message));
    entry = Ref::steal(PyList_New(2));
    if (!entry) {
        return -1;
    }
    PyList_SET_ITEM(entry.get(), 0, Py_NewRef(Py_True));
    PyList_SET_ITEM(entry.get(), 1, row.release());
    return PyDict_SetItem(cache, key.get(), entry.get());
}

/// True while `_load_str` is the decoder start-up bound. Its lookup happens here only to choose
/// the way of scanning; a missing name is reported where a match looks it up.
bool decoder_is_original() noexcept {
    Ref load = load_str_name.lookup(names.load_str);
    if (!load) {
        PyErr_Clear();
        return false;
    }
    return load.get() == original_load_str;
}

/// One line of one file.
struct Line {
    PyObject *source_filename;
    PyObject *cache;
    PyObject *text;
    Py_ssize_t number; // 1-based
    Ref position;      // made at the first match of the line

    /// Decodes the raw text `raw` of a match (`_load_str('"' + raw + '"')`) and records it.
    int found(PyObject *raw, PyObject *itself) noexcept {
        if (!position && !(position = position_text(source_filename, number))) {
            return -1;
        }
        Ref load = load_str_name.lookup(names.load_str);
        if (!load) {
            return -1;
        }
        Ref message;
        if (itself != nullptr && load.get() == original_load_str) {
            message = Ref::borrow(itself);
        } else {
            Ref opened = Ref::steal(PyNumber_Add(names.quote, raw));
            Ref quoted = opened ? Ref::steal(PyNumber_Add(opened.get(), names.quote)) : Ref();
            message = quoted ? host::call(load.get(), {quoted.get()}) : Ref();
            if (!message) {
                return files::add_note_format("while scanning %R, line %zd, marked text %R",
                                              source_filename, number, raw);
            }
        }
        return record(cache, position.get(), message.get());
    }

    template <typename Char> int scan_natively() noexcept {
        const Char *data = static_cast<const Char *>(PyUnicode_DATA(text));
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        Marker marker;
        for (Py_ssize_t from = 0; next_marker(data, length, from, marker);) {
            Ref raw = Ref::steal(PyUnicode_Substring(text, marker.start, marker.end));
            if (!raw ||
                found(raw.get(), decodes_to_itself(data, marker) ? raw.get() : nullptr) < 0) {
                return -1;
            }
        }
        return 0;
    }

    /// `for match in _the_pattern.finditer(line): ... match.groups()[0] ...`
    int scan_with(PyObject *pattern) noexcept {
        Ref matches = host::call_method(pattern, names.finditer, {text});
        Ref iterator = matches ? Ref::steal(PyObject_GetIter(matches.get())) : Ref();
        if (!iterator) {
            return -1;
        }
        while (PyObject *next = PyIter_Next(iterator.get())) {
            Ref match = Ref::steal(next);
            Ref groups = host::call_method(match.get(), names.groups, {});
            Ref raw = groups ? Ref::steal(PyObject_GetItem(groups.get(), constants.zero)) : Ref();
            if (!raw || found(raw.get(), nullptr) < 0) {
                return -1;
            }
        }
        return PyErr_Occurred() ? -1 : 0;
    }

    int scan() noexcept {
        Ref pattern = pattern_name.lookup(names.the_pattern);
        if (!pattern) {
            return -1;
        }
        if (fast::scanner && pattern.get() == original_pattern && PyUnicode_CheckExact(text) &&
            decoder_is_original()) {
            switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND:
                return scan_natively<Py_UCS1>();
            case PyUnicode_2BYTE_KIND:
                return scan_natively<Py_UCS2>();
            default:
                return scan_natively<Py_UCS4>();
            }
        }
        return scan_with(pattern.get());
    }
};

int scan_file(PyObject *source_filename, PyObject *cache, PyObject *file) noexcept {
    Ref lines = Ref::steal(PyObject_GetIter(file));
    if (!lines) {
        return -1;
    }
    Py_ssize_t number = 0;
    for (;;) {
        Ref text = Ref::steal(PyIter_Next(lines.get()));
        if (!text) {
            if (!PyErr_Occurred()) {
                return 0;
            }
            return files::add_note_format("while scanning %R, after line %zd", source_filename,
                                          number);
        }
        Line line{source_filename, cache, text.get(), ++number, {}};
        if (line.scan() < 0) {
            return -1;
        }
    }
}

PyObject *parse_one_file_body(const Bound &bound) noexcept {
    PyObject *source_filename = bound.arg[0];
    PyObject *cache = bound.arg[1];
    Ref file = host::open_text(source_filename, names.mode_read);
    if (!file) {
        return nullptr;
    }
    int done = host::with_as(file.get(), [&](PyObject *opened) noexcept {
        return scan_file(source_filename, cache, opened);
    });
    return done < 0 ? nullptr : Py_NewRef(Py_None);
}

constexpr Parameter parse_one_file_parameters[] = {
    {"source_filename", Requirement::str, "str"},
    {"cache", Requirement::dict, "dict[tuple[str, str], list]"},
};

constexpr Signature parse_one_file_signature = {
    .name = "_parse_one_file",
    .qualname = "_parse_one_file",
    .parameters = parse_one_file_parameters,
    .required = 2,
    .body = parse_one_file_body,
};

} // namespace

Ref make_parse_one_file() noexcept {
    // The objects that start-up has just bound are the ones the scanner may stand in for.
    Ref pattern = host::bound_at_start_up(names.the_pattern);
    Ref load_str = pattern ? host::bound_at_start_up(names.load_str) : Ref();
    if (!load_str) {
        return {};
    }
    Py_XSETREF(original_pattern, pattern.release());
    Py_XSETREF(original_load_str, load_str.release());
    return make_function(parse_one_file_signature, nullptr);
}

} // namespace qel_i18n::extract
