// qel_i18n: the source message scanner, _parse_one_file. Reads a source file line by line,
// finds every marked message `_("...")` or `_(u"...")` and records each occurrence in the
// caller's cache under (position text, message).
//
// While `_the_pattern` is the pattern start-up compiled (the host's own engine, of the
// scanner's own text), the scanner finds the pattern's matches itself; once it is rebound, its
// finditer is called. Every marked text goes to `_load_str`, whatever it is bound to: the
// decoder is the host's to call, and what it does (a patched decoder class, an instrumented
// json module) is not the scanner's to guess.
//
// While the scanner matches natively and the file is a text file of the host's own open(),
// the scanner reads it in the line iterator's own steps: a chunk through the binary buffer's
// read1, decoded by the wrapper's own decoder, each time the text decoded so far holds no whole
// line. The whole lines it holds are then scanned at once, their lines counted by the line
// feeds passed: the iterator would hand them over one by one without reading in between. So
// what the scan's host code does to the file, an interruption, or a text that does not decode
// meet the same lines recorded, the same error and the same note as the line-by-line path,
// which a file of another open() takes; when host code run by a line's entries rebinds a
// service, the lines after it are scanned one by one.
#include "extract/extract.hpp"

#include "extract/cache.hpp"

#include "module/fast_paths.hpp"
#include "module/genuine.hpp"
#include "module/files.hpp"
#include "module/function.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace qel_i18n::extract {

namespace {

PyObject *original_pattern = nullptr; // `_the_pattern` as start-up bound it (held)
PyObject *text_io_wrapper = nullptr; // the host's own _io.TextIOWrapper and
PyObject *newline_decoder = nullptr; // _io.IncrementalNewlineDecoder (held), or nullptr when
                                     // open() is not the host's own
host::CachedGlobal pattern_name;
host::CachedGlobal load_str_name;

/// Group 1 of a match: the raw message text, [start, end) of the line.
struct Marker {
    Py_ssize_t start;
    Py_ssize_t end;
};

/// The index of the next code unit `unit` (an ASCII character) in [from, to), or -1. memchr
/// runs over the bytes for every kind: a byte equal to `unit` in another code unit is passed
/// over, and the first byte of the unit's first occurrence is the first such byte there is.
template <typename Char>
Py_ssize_t find_unit(const Char *text, Py_ssize_t from, Py_ssize_t to, char unit) noexcept {
    const char *bytes = reinterpret_cast<const char *>(text);
    const size_t end = static_cast<size_t>(to) * sizeof(Char);
    for (size_t at = static_cast<size_t>(from) * sizeof(Char); at < end;) {
        const void *found = std::memchr(bytes + at, unit, end - at);
        if (found == nullptr) {
            return -1;
        }
        const size_t byte = static_cast<size_t>(static_cast<const char *>(found) - bytes);
        const Py_ssize_t index = static_cast<Py_ssize_t>(byte / sizeof(Char));
        if (text[index] == static_cast<Char>(unit)) {
            return index;
        }
        at = byte + 1;
    }
    return -1;
}

/// The next `_(` at or after `from`, or -1. Underscores are common in code and openings after
/// them are not: find each one, then look at the next character.
template <typename Char>
Py_ssize_t find_opening(const Char *text, Py_ssize_t from, Py_ssize_t length) noexcept {
    while (from + 1 < length) {
        const Py_ssize_t at = find_unit(text, from, length - 1, '_');
        if (at < 0 || text[at + 1] == '(') {
            return at;
        }
        from = at + 1;
    }
    return -1;
}

/// The next match of the pattern `_\(u?"(.*?[^\\])"\)` at or after `from`, exactly as the
/// host's finditer finds it in one line: the leftmost start, `u` taken when a quote follows
/// it, then the shortest group (at least one character, no line feed before its last one, the
/// last one not a backslash) that a `")` follows. In a whole text (`Whole`) the group holds no
/// line feed at all, since in its line nothing could follow one. Moves `from` past the match.
template <bool Whole, typename Char>
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
            if (Whole && last == '\n') {
                break;
            }
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

/// Whether the global `name` (the module namespace, then the builtins) is bound to `original`:
/// 1 or 0, or -1 with an exception set. A name bound nowhere says no, and the line-by-line path
/// reports it where it looks the name up; a failure of the lookup itself (host code run by a
/// key's __eq__, whatever it raises) is raised here, never cleared and met again.
int is_bound_to(PyObject *name, PyObject *original) noexcept {
    PyObject *value = PyDict_GetItemWithError(host::services.module_dict, name);
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(host::services.builtins_dict, name);
    }
    if (value == nullptr) {
        return PyErr_Occurred() ? -1 : 0;
    }
    return value == original ? 1 : 0; // compared at once: nothing has run since the lookup
}

/// 1 while the scanner matches natively (`_the_pattern` is the one start-up compiled), 0 when
/// not, -1 on an error.
int scans_natively() noexcept {
    if constexpr (!fast::scanner) {
        return 0;
    }
    // A namespace key of another type than str has its __eq__ run by every lookup the line
    // loop makes: then every line is scanned on its own, looking the pattern up.
    if (!host::namespace_has_str_keys()) {
        return 0;
    }
    return is_bound_to(names.the_pattern, original_pattern);
}

/// One line of one file.
struct Line {
    PyObject *source_filename;
    PyObject *cache;
    PyObject *text;
    Py_ssize_t number; // 1-based
    Ref position;      // made at the first match of the line

    /// Decodes the raw text `raw` of a match (`_load_str('"' + raw + '"')`) and records it.
    int found(PyObject *raw) noexcept {
        if (!position && !(position = position_text(source_filename, number))) {
            return -1;
        }
        Ref load = load_str_name.lookup(names.load_str);
        if (!load) {
            return -1;
        }
        Ref opened = Ref::steal(PyNumber_Add(names.quote, raw));
        Ref quoted = opened ? Ref::steal(PyNumber_Add(opened.get(), names.quote)) : Ref();
        Ref message = quoted ? host::call(load.get(), {quoted.get()}) : Ref();
        if (!message) {
            return files::add_note_format("while scanning %R, line %zd, marked text %R",
                                          source_filename, number, raw);
        }
        return record(cache, position.get(), message.get());
    }

    template <typename Char> int scan_natively() noexcept {
        const Char *data = static_cast<const Char *>(PyUnicode_DATA(text));
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        Marker marker;
        for (Py_ssize_t from = 0; next_marker<false>(data, length, from, marker);) {
            Ref raw = Ref::steal(PyUnicode_Substring(text, marker.start, marker.end));
            if (!raw || found(raw.get()) < 0) {
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
            if (!raw || found(raw.get()) < 0) {
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
        if (fast::scanner && pattern.get() == original_pattern && PyUnicode_CheckExact(text)) {
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

/// The lines of a whole text from index `from` on, the first of them numbered `number`, each
/// scanned as the line iterator would have handed it over.
int scan_lines_from(PyObject *source_filename, PyObject *cache, PyObject *text, Py_ssize_t from,
                    Py_ssize_t number) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    while (from < length) {
        Py_ssize_t end = PyUnicode_FindChar(text, '\n', from, length, 1);
        if (end == -2) {
            return -1;
        }
        end = end < 0 ? length : end + 1;
        Ref line_text = Ref::steal(PyUnicode_Substring(text, from, end));
        if (!line_text) {
            return -1;
        }
        Line line{source_filename, cache, line_text.get(), number++, {}};
        if (line.scan() < 0) {
            return -1;
        }
        from = end;
    }
    return 0;
}

/// The number of line feeds in [from, to).
template <typename Char>
Py_ssize_t count_lines(const Char *data, Py_ssize_t from, Py_ssize_t to) noexcept {
    Py_ssize_t count = 0;
    if constexpr (sizeof(Char) == 1) {
        // Eight bytes at a time. In x a byte is zero where the text has a line feed; the top
        // bit of a byte of `found` is set exactly when that byte of x is zero (no carry crosses
        // a byte, since (b & 0x7f) + 0x7f <= 0xfe). The bytes of `sums` count the line feeds
        // at each byte position, and are added up before one could pass 255.
        constexpr std::uint64_t ones = 0x0101010101010101u, low = 0x7f7f7f7f7f7f7f7fu;
        while (from + 8 <= to) {
            std::uint64_t sums = 0;
            for (int round = 0; round < 255 && from + 8 <= to; ++round, from += 8) {
                std::uint64_t word;
                std::memcpy(&word, data + from, sizeof word);
                const std::uint64_t x = word ^ (ones * '\n');
                const std::uint64_t found = ~(((x & low) + low) | x | low);
                sums += found >> 7;
            }
            // Bytes to 16-bit lanes (each at most 510), then the four lanes added.
            constexpr std::uint64_t lane = 0x00ff00ff00ff00ffu;
            sums = (sums & lane) + ((sums >> 8) & lane);
            count += static_cast<Py_ssize_t>((sums * 0x0001000100010001u) >> 48);
        }
    }
    for (; from < to; ++from) {
        count += data[from] == '\n';
    }
    return count;
}

/// Scans a text of whole lines, the first numbered `first`, as the line-by-line path scans them.
///   1. Find each match in the text; the line feeds before it give its line.
///   2. Record it as that line's scan would (its position text made once per line).
///   3. Recording runs host code (the cache's keys and entries compare and take items), which
///      may rebind a service. The line-by-line path would notice at the next line, so before
///      the first match on a later line, and at the end when lines follow, the services are
///      looked at again; once one is rebound, the lines after the last recording line are
///      scanned one by one.
template <typename Char>
int scan_whole(PyObject *source_filename, PyObject *cache, PyObject *text,
               Py_ssize_t first) noexcept {
    const Char *data = static_cast<const Char *>(PyUnicode_DATA(text));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Line line{source_filename, cache, text, first, {}}; // the line of the latest match
    Py_ssize_t counted = 0;                         // line feeds are counted up to here
    bool recorded = false; // whether host code may have run since the services were looked at
    Marker marker;
    for (Py_ssize_t from = 0; next_marker<true>(data, length, from, marker);) {
        const Py_ssize_t lines = count_lines(data, counted, marker.start);
        if (lines > 0) {
            const int native = recorded ? scans_natively() : 1;
            if (native < 0) {
                return -1;
            }
            if (!native) {
                const Py_ssize_t end = find_unit(data, counted, marker.start, '\n');
                return scan_lines_from(source_filename, cache, text, end + 1, line.number + 1);
            }
            line.number += lines;
            line.position = Ref();
            recorded = false;
        }
        counted = marker.start;
        Ref raw = Ref::steal(PyUnicode_Substring(text, marker.start, marker.end));
        if (!raw || line.found(raw.get()) < 0) {
            return -1;
        }
        recorded = true;
    }
    if (recorded) {
        const Py_ssize_t end = find_unit(data, counted, length, '\n');
        if (end >= 0 && end + 1 < length) {
            const int native = scans_natively();
            if (native <= 0) {
                return native < 0 ? -1
                                  : scan_lines_from(source_filename, cache, text, end + 1,
                                                    line.number + 1);
            }
        }
    }
    return 0;
}

/// Scans `text`, whole lines numbered from `first` on, as the line-by-line path would: natively
/// while the scanner matches natively, else one line at a time.
int scan_text(PyObject *source_filename, PyObject *cache, PyObject *text,
              Py_ssize_t first) noexcept {
    const int native = scans_natively();
    if (native <= 0) {
        return native < 0 ? -1 : scan_lines_from(source_filename, cache, text, 0, first);
    }
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return scan_whole<Py_UCS1>(source_filename, cache, text, first);
    case PyUnicode_2BYTE_KIND:
        return scan_whole<Py_UCS2>(source_filename, cache, text, first);
    default:
        return scan_whole<Py_UCS4>(source_filename, cache, text, first);
    }
}

/// The decoder of `file` when it is a text file of the host's own open(), which the scan may
/// then drive itself; empty (no exception set) when not. The wrapper keeps its decoder to
/// itself: it is found among the objects the wrapper's own traversal visits, which runs no code.
Ref decoder_of(PyObject *file) noexcept {
    if (!fast::whole || text_io_wrapper == nullptr ||
        !Py_IS_TYPE(file, reinterpret_cast<PyTypeObject *>(text_io_wrapper))) {
        return {};
    }
    PyObject *found = nullptr;
    const traverseproc traverse = Py_TYPE(file)->tp_traverse;
    traverse(
        file,
        [](PyObject *object, void *into) noexcept {
            if (Py_IS_TYPE(object, reinterpret_cast<PyTypeObject *>(newline_decoder))) {
                *static_cast<PyObject **>(into) = object;
            }
            return 0;
        },
        &found);
    return Ref::borrow(found);
}

/// The lines a line iterator hands over for `text`: one per line feed, and a last line that no
/// line feed ends.
Py_ssize_t lines_of(PyObject *text) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t lines;
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        lines = count_lines(static_cast<const Py_UCS1 *>(data), 0, length);
        break;
    case PyUnicode_2BYTE_KIND:
        lines = count_lines(static_cast<const Py_UCS2 *>(data), 0, length);
        break;
    default:
        lines = count_lines(static_cast<const Py_UCS4 *>(data), 0, length);
    }
    return length > 0 && PyUnicode_READ_CHAR(text, length - 1) != '\n' ? lines + 1 : lines;
}

/// Scans a text file of the host's own open() as its line iterator hands it over, reading and
/// decoding it in the iterator's own steps: each time the text decoded so far holds no whole
/// line, `buffer.read1(_CHUNK_SIZE)` and the wrapper's own decoder, told of the end when a read
/// gives nothing; the whole lines decoded so far are then scanned at once, which is what the
/// iterator hands over before it reads again. So what the scan's host code does to the file,
/// an interruption or a text that does not decode meet the same lines recorded, the same error
/// and the same note as the line-by-line path. 0, or -1 with an exception set.
int scan_in_chunks(PyObject *source_filename, PyObject *cache, PyObject *file,
                   PyObject *decoder) noexcept {
    Ref buffer = host::getattr(file, names.buffer);
    Ref read = buffer ? host::getattr(buffer.get(), names.read1) : Ref();
    Ref size = read ? host::getattr(file, names.chunk_size) : Ref();
    Ref decode = size ? host::getattr(decoder, names.decode) : Ref();
    Ref pending = decode ? Ref::steal(PyUnicode_New(0, 0)) : Ref(); // no line feed in it
    Ref empty = Ref::borrow(pending.get());
    if (!pending) {
        return -1;
    }
    Ref decoded; // what the decoder gave last, kept until the next read, as the wrapper keeps it
    Py_ssize_t number = 0; // the lines handed over
    for (;;) {
        // Reads until a line ends or the file does. The texts are joined once, at the end: a
        // line of many chunks costs no more than its length.
        Ref pieces = Ref::steal(PyList_New(0));
        if (!pieces || PyList_Append(pieces.get(), pending.get()) < 0) {
            return -1;
        }
        bool end = false, line_end = false;
        while (!end && !line_end) {
            Ref chunk = host::call(read.get(), {size.get()});
            if (chunk && !PyBytes_Check(chunk.get())) {
                PyErr_Format(PyExc_TypeError, "read1() returned %.200s, not bytes",
                             Py_TYPE(chunk.get())->tp_name);
                chunk = Ref();
            }
            end = chunk && PyBytes_GET_SIZE(chunk.get()) == 0;
            decoded = chunk ? host::call(decode.get(), {chunk.get(), end ? Py_True : Py_False})
                            : Ref();
            if (decoded && !PyUnicode_Check(decoded.get())) {
                PyErr_Format(PyExc_TypeError, "decoder returned %.200s, not str",
                             Py_TYPE(decoded.get())->tp_name);
                decoded = Ref();
            }
            if (!decoded || PyList_Append(pieces.get(), decoded.get()) < 0) {
                return files::add_note_format("while scanning %R, after line %zd",
                                              source_filename, number);
            }
            line_end = PyUnicode_FindChar(decoded.get(), '\n', 0,
                                          PyUnicode_GET_LENGTH(decoded.get()), 1) >= 0;
        }
        Ref text = Ref::steal(PyUnicode_Join(empty.get(), pieces.get()));
        pieces = Ref();
        if (!text) {
            return -1;
        }
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
        if (length == 0) {
            return 0;
        }
        // The whole lines; at the end, also the last line that no line feed ends.
        const Py_ssize_t cut =
            end ? length : PyUnicode_FindChar(text.get(), '\n', 0, length, -1) + 1;
        Ref lines = Ref::steal(PyUnicode_Substring(text.get(), 0, cut));
        Ref rest = lines ? Ref::steal(PyUnicode_Substring(text.get(), cut, length)) : Ref();
        if (!rest || scan_text(source_filename, cache, lines.get(), number + 1) < 0) {
            return -1;
        }
        number += lines_of(lines.get());
        pending = std::move(rest);
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
        const int native = scans_natively();
        if (native < 0) {
            return -1;
        }
        Ref decoder = native ? decoder_of(opened) : Ref();
        return decoder ? scan_in_chunks(source_filename, cache, opened, decoder.get())
                       : scan_file(source_filename, cache, opened);
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
    // The pattern start-up bound (not what host code run since may have rebound) is the one
    // the scanner may stand in for, and only when it is the host's own engine's compilation of
    // the scanner's text: what start-up bound may already be a replacement.
    Ref pattern = host::bound_at_start_up(names.the_pattern);
    Ref text = pattern ? Ref::steal(PyUnicode_FromString(pattern_text)) : Ref();
    const int genuine_pattern = text ? host::is_pattern_of(pattern.get(), text.get()) : -1;
    if (genuine_pattern < 0) {
        return {};
    }
    // Reading in the line iterator's own steps needs open() to be the host's own, and the
    // types of the io module that open() belongs to, to know its text files and their decoder.
    Ref wrapper, decoder;
    if (PyObject *io = host::io_module_of(host::services.open)) {
        wrapper = Ref::steal(PyObject_GetAttrString(io, "TextIOWrapper"));
        decoder =
            wrapper ? Ref::steal(PyObject_GetAttrString(io, "IncrementalNewlineDecoder")) : Ref();
        if (!decoder) {
            return {};
        }
        if (!host::is_io_type(wrapper.get(), "_io.TextIOWrapper") ||
            !host::is_io_type(decoder.get(), "_io.IncrementalNewlineDecoder")) {
            wrapper = Ref();
            decoder = Ref();
        }
    }
    Py_XSETREF(original_pattern, genuine_pattern ? pattern.release() : nullptr);
    Py_XSETREF(text_io_wrapper, wrapper.release());
    Py_XSETREF(newline_decoder, decoder.release());
    return make_function(parse_one_file_signature, nullptr);
}

} // namespace qel_i18n::extract
