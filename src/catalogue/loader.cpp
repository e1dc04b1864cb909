// qel_i18n: the catalogue loader, I18N.load_data_from_file. Reads a catalogue file through the
// host's open and csv reader into the table of one language: entries sorted by message, the
// raw data rows, or nothing.
#include "catalogue/catalogue.hpp"
#include "module/files.hpp"
#include "module/function.hpp"

namespace qel_i18n::catalogue {

namespace {

/// The sort key `lambda item: item[1]`.
PyObject *sort_key = nullptr;

PyObject *sort_key_body(const Bound &bound) noexcept {
    return PyObject_GetItem(bound.arg[0], constants.one);
}

constexpr Parameter sort_key_parameters[] = {{"item", Requirement::any, nullptr}};

constexpr Signature sort_key_signature = {
    .name = "<lambda>",
    .qualname = "I18N.load_data_from_file.<locals>.<lambda>",
    .parameters = sort_key_parameters,
    .required = 1,
    .body = sort_key_body,
};

/// The column of a language: language_index + 1 as a host int, and as a C index when it fits.
struct Column {
    Ref object;
    Py_ssize_t index = 0;
    bool fits = true;
    bool negative = false; // when it does not fit: below every C index
};

int make_column(PyObject *language_index, Column &column) noexcept {
    column.object = Ref::steal(PyNumber_Add(language_index, constants.one));
    if (!column.object) {
        return -1;
    }
    column.index = PyLong_AsSsize_t(column.object.get());
    if (column.index == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return -1;
        }
        PyErr_Clear();
        column.fits = false;
        int negative = PyObject_RichCompareBool(column.object.get(), constants.zero, Py_LT);
        if (negative < 0) {
            return -1;
        }
        column.negative = negative != 0;
    }
    return 0;
}

/// One catalogue entry (row number, message, translation) for a data row.
Ref make_entry(PyObject *row, Py_ssize_t row_number, const Column &column) noexcept {
    Py_ssize_t length = PyList_CheckExact(row) ? PyList_GET_SIZE(row) : PyObject_Size(row);
    if (length < 0) {
        return {};
    }
    // A length is never below a negative column, so such a column always tries the cell.
    bool has_cell = column.fits ? length > column.index : column.negative;
    Ref translation;
    if (!has_cell) {
        translation = Ref::borrow(Py_None);
    } else if (column.fits) {
        translation = host::subscript(row, column.index, column.object.get());
    } else {
        translation = Ref::steal(PyObject_GetItem(row, column.object.get()));
    }
    if (!translation) {
        return {};
    }
    Ref message = host::subscript(row, 1, constants.one);
    if (!message) {
        return {};
    }
    Ref number = Ref::steal(PyLong_FromSsize_t(row_number));
    if (!number) {
        return {};
    }
    PyObject *entry = PyTuple_New(3);
    if (entry == nullptr) {
        return {};
    }
    const bool atomic = PyUnicode_CheckExact(message.get()) &&
                        (translation.get() == Py_None || PyUnicode_CheckExact(translation.get()));
    PyTuple_SET_ITEM(entry, 0, number.release());
    PyTuple_SET_ITEM(entry, 1, message.release());
    PyTuple_SET_ITEM(entry, 2, translation.release());
    if (atomic) {
        // A tuple of an int and strings can never be part of a reference cycle; the collector
        // stops tracking such tuples itself on its first pass over them, and doing it now
        // spares the collections a large table would otherwise trigger that work.
        PyObject_GC_UnTrack(entry);
    }
    return Ref::steal(entry);
}

/// The table from the rows after the header: nothing for language 0, the rows themselves in
/// raw-row mode (-1), else an entry per row, sorted by message.
int fill_table(PyObject *rows, PyObject *language_index, PyObject *table) noexcept {
    int is_source_language = PyObject_RichCompareBool(language_index, constants.zero, Py_EQ);
    if (is_source_language != 0) {
        return is_source_language < 0 ? -1 : 0;
    }
    int is_raw = PyObject_RichCompareBool(language_index, constants.minus_one, Py_EQ);
    if (is_raw < 0) {
        return -1;
    }
    if (is_raw) {
        while (PyObject *row = PyIter_Next(rows)) {
            int appended = PyList_Append(table, row);
            Py_DECREF(row);
            if (appended < 0) {
                return -1;
            }
        }
        return PyErr_Occurred() ? -1 : 0;
    }
    Column column;
    if (make_column(language_index, column) < 0) {
        return -1;
    }
    Py_ssize_t row_number = 2;
    while (PyObject *raw = PyIter_Next(rows)) {
        Ref row = Ref::steal(raw);
        Ref entry = make_entry(row.get(), row_number, column);
        if (!entry || PyList_Append(table, entry.get()) < 0) {
            return -1;
        }
        ++row_number;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    // Sorted by the host, stably, on `lambda item: item[1]`.
    return host::sort_by_key(table, sort_key);
}

PyObject *load_body(const Bound &bound) noexcept {
    PyObject *filename = bound.arg[0];
    PyObject *language_index = bound.arg[1];
    Ref table = Ref::steal(PyList_New(0));
    if (!table) {
        return nullptr;
    }
    // The header row is read and discarded.
    Ref header;
    int done = files::read_catalogue(filename, header, [&](PyObject *rows) noexcept {
        return fill_table(rows, language_index, table.get());
    });
    return done < 0 ? nullptr : table.release();
}

constexpr Parameter load_parameters[] = {
    {"filename", Requirement::str, "str"},
    {"language_index", Requirement::int_, "int"},
};

constexpr Signature load_signature = {
    .name = "load_data_from_file",
    .qualname = "I18N.load_data_from_file",
    .parameters = load_parameters,
    .required = 2,
    .return_annotation = "list[tuple]",
    .body = load_body,
};

} // namespace

Ref make_load_data_from_file() noexcept {
    Ref key = make_function(sort_key_signature, nullptr);
    if (!key) {
        return {};
    }
    Py_XSETREF(sort_key, key.release());
    return make_function(load_signature, nullptr);
}

} // namespace qel_i18n::catalogue
