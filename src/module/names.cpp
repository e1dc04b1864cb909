// qel_i18n: the interned names and constant objects shared by every subsystem.
#include "module/i18n.hpp"

#include <initializer_list>

namespace qel_i18n {

Names names;
Constants constants;

namespace {

bool built = false;

PyObject *make_tuple_of_names(std::initializer_list<PyObject *> items) noexcept {
    PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (tuple == nullptr) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (PyObject *item : items) {
        PyTuple_SET_ITEM(tuple, i++, Py_NewRef(item));
    }
    return tuple;
}

} // namespace

int init_names() noexcept {
    // Built once per process: a retried start-up reuses them, and they are never freed.
    if (built) {
        return 0;
    }
#define QEL_I18N_MAKE_NAME(field, text)                                                            \
    if (names.field == nullptr && (names.field = PyUnicode_InternFromString(text)) == nullptr) {   \
        return -1;                                                                                 \
    }
    QEL_I18N_NAMES(QEL_I18N_MAKE_NAME)
#undef QEL_I18N_MAKE_NAME

    struct IntConstant {
        PyObject **slot;
        long value;
    };
    for (IntConstant c : {IntConstant{&constants.zero, 0}, IntConstant{&constants.one, 1},
                          IntConstant{&constants.two, 2}, IntConstant{&constants.minus_one, -1}}) {
        if (*c.slot == nullptr && (*c.slot = PyLong_FromLong(c.value)) == nullptr) {
            return -1;
        }
    }
    if (constants.empty_tuple == nullptr &&
        (constants.empty_tuple = PyTuple_New(0)) == nullptr) {
        return -1;
    }
    if (constants.kw_newline_encoding == nullptr &&
        (constants.kw_newline_encoding = make_tuple_of_names({names.newline, names.encoding})) ==
            nullptr) {
        return -1;
    }
    if (constants.kw_encoding == nullptr &&
        (constants.kw_encoding = make_tuple_of_names({names.encoding})) == nullptr) {
        return -1;
    }
    if (constants.kw_key == nullptr &&
        (constants.kw_key = make_tuple_of_names({names.key})) == nullptr) {
        return -1;
    }
    built = true;
    return 0;
}

} // namespace qel_i18n
