// qel_i18n: the position text and the recording of one occurrence in an extraction's cache.
#include "extract/cache.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace qel_i18n::extract {

Ref position_text(PyObject *source_filename, Py_ssize_t line_number) noexcept {
    char digits[24] = {'0', '0', '0', '0'};
    char *end = std::to_chars(digits, digits + sizeof digits, line_number).ptr;
    if (end - digits < 4) { // at least four digits, zeros in front
        std::memmove(digits + 4 - (end - digits), digits, static_cast<size_t>(end - digits));
        std::fill(digits, digits + 4 - (end - digits), '0');
        end = digits + 4;
    }
    const int count = static_cast<int>(end - digits);
    const Py_ssize_t name_length = PyUnicode_GET_LENGTH(source_filename);
    Ref text = Ref::steal(
        PyUnicode_New(name_length + 2 + count, PyUnicode_MAX_CHAR_VALUE(source_filename)));
    if (!text || PyUnicode_CopyCharacters(text.get(), 0, source_filename, 0, name_length) < 0) {
        return {};
    }
    const int kind = PyUnicode_KIND(text.get());
    void *data = PyUnicode_DATA(text.get());
    PyUnicode_WRITE(kind, data, name_length, ':');
    PyUnicode_WRITE(kind, data, name_length + 1, ' ');
    for (int i = 0; i < count; ++i) {
        PyUnicode_WRITE(kind, data, name_length + 2 + i, digits[i]);
    }
    return text;
}

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

} // namespace qel_i18n::extract
