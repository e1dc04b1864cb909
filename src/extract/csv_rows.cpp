// qel_i18n: catalogue rows written as the host's csv.writer writes them (comma, double quotes
// doubled, a field quoted only when it holds a comma, a quote, CR or LF, a lone empty field
// written as "", records ended by CR LF).
#include "extract/csv_rows.hpp"
#include "module/host.hpp"


namespace qel_i18n::extract {

namespace {

/// Rows per write: large enough that the file's write is rarely called, small enough that no
/// chunk grows large.
constexpr Py_ssize_t rows_per_write = 2048;

bool is_row(PyObject *row) noexcept { return PyList_CheckExact(row) || PyTuple_CheckExact(row); }

bool has_surrogate(PyObject *text) noexcept {
    const int kind = PyUnicode_KIND(text);
    if (kind == PyUnicode_1BYTE_KIND) {
        return false;
    }
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xd800 && c <= 0xdfff) {
            return true;
        }
    }
    return false;
}

bool writable_cell(PyObject *cell) noexcept {
    return (PyUnicode_CheckExact(cell) && !has_surrogate(cell)) || PyLong_CheckExact(cell);
}

bool writable_row(PyObject *row) noexcept {
    if (!is_row(row)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(row); ++i) {
        if (!writable_cell(PySequence_Fast_GET_ITEM(row, i))) {
            return false;
        }
    }
    return true;
}

bool needs_quotes(PyObject *text) noexcept {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == ',' || c == '"' || c == '\r' || c == '\n') {
            return true;
        }
    }
    return false;
}

struct Chunk {
    Ref pieces;
    PyObject *comma;
    PyObject *end;
    PyObject *two_quotes; // a lone empty field, and a quote inside a quoted one

    int add(PyObject *piece) noexcept { return PyList_Append(pieces.get(), piece); }

    int add_field(PyObject *cell) noexcept {
        Ref text = PyUnicode_CheckExact(cell) ? Ref::borrow(cell) : Ref::steal(PyObject_Str(cell));
        if (!text) {
            return -1;
        }
        if (!needs_quotes(text.get())) {
            return add(text.get());
        }
        Ref inner = Ref::steal(PyUnicode_Replace(text.get(), names.quote, two_quotes, -1));
        return inner && add(names.quote) == 0 && add(inner.get()) == 0 ? add(names.quote) : -1;
    }

    int add_row(PyObject *row) noexcept {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(row);
        if (n == 1) {
            PyObject *only = PySequence_Fast_GET_ITEM(row, 0);
            if (PyUnicode_CheckExact(only) && PyUnicode_GET_LENGTH(only) == 0) {
                return add(two_quotes) == 0 ? add(end) : -1;
            }
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            if ((i > 0 && add(comma) < 0) || add_field(PySequence_Fast_GET_ITEM(row, i)) < 0) {
                return -1;
            }
        }
        return add(end);
    }

    int flush(PyObject *file) noexcept {
        if (PyList_GET_SIZE(pieces.get()) == 0) {
            return 0;
        }
        Ref text = Ref::steal(PyUnicode_Join(names.empty, pieces.get()));
        if (!text || !host::call_method(file, names.write, {text.get()})) {
            return -1;
        }
        pieces = Ref::steal(PyList_New(0));
        return pieces ? 0 : -1;
    }
};

} // namespace

Py_ssize_t write_rows(PyObject *file, PyObject *header, PyObject *rows) noexcept {
    if (!writable_row(header)) {
        return 0;
    }
    Ref comma = Ref::steal(PyUnicode_FromString(","));
    Ref end = Ref::steal(PyUnicode_FromString("\r\n"));
    Ref two_quotes = Ref::steal(PyUnicode_FromString("\"\""));
    Chunk chunk{Ref::steal(PyList_New(0)), comma.get(), end.get(), two_quotes.get()};
    if (!comma || !end || !two_quotes || !chunk.pieces || chunk.add_row(header) < 0) {
        return -1;
    }
    // Each row is tested just before it is taken in: a chunk's write runs host code, which may
    // change the rows still to come. Between the test and the taking, nothing runs any.
    Py_ssize_t i = 0;
    for (; i < PyList_GET_SIZE(rows) && writable_row(PyList_GET_ITEM(rows, i)); ++i) {
        if (chunk.add_row(PyList_GET_ITEM(rows, i)) < 0 ||
            ((i + 1) % rows_per_write == 0 && chunk.flush(file) < 0)) {
            return -1;
        }
    }
    return chunk.flush(file) < 0 ? -1 : i + 1;
}

} // namespace qel_i18n::extract
