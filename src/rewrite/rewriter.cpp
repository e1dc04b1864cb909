// qel_i18n: the gettext import rewriter, replace_gettext. Switches source files from the
// standard gettext module to this one, line by line: a line that starts with
// "import gettext" or "_ = gettext.gettext" has that key replaced wherever it occurs as a whole
// name (the next character is no letter, digit or underscore). A UTF-8 byte order mark that
// starts a file is no part of its first line's text for that test, and stays in the file. A file
// is written back, through a temporary file that then replaces it, only when a line changed.
#include "rewrite/rewrite.hpp"

#include "module/files.hpp"
#include "module/function.hpp"

namespace qel_i18n::rewrite {

namespace {

struct Key {
    const char *text;
    const char *replacement;
};

constexpr Key import_key = {"import gettext", "import qel_i18n"};
constexpr Key func_key = {"_ = gettext.gettext", "_ = qel_i18n.gettext"};

/// The key found at `at` counts when it ends the line or is followed by a character that
/// cannot continue a name.
bool ends_name(PyObject *line, Py_ssize_t at, Py_ssize_t key_length) noexcept {
    Py_ssize_t after = at + key_length;
    if (after >= PyUnicode_GET_LENGTH(line)) {
        return true;
    }
    Py_UCS4 next = PyUnicode_READ_CHAR(line, after);
    return !(Py_UNICODE_ISALNUM(next) || next == '_');
}

/// True when `line` starts with `key` as a whole name.
bool starts_with(PyObject *line, PyObject *key) noexcept {
    return PyUnicode_Tailmatch(line, key, 0, PY_SSIZE_T_MAX, -1) == 1 &&
           ends_name(line, 0, PyUnicode_GET_LENGTH(key));
}

/// `line` with every whole-name occurrence of `key` replaced.
Ref replace_key(PyObject *line, PyObject *key, PyObject *replacement) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(line);
    const Py_ssize_t key_length = PyUnicode_GET_LENGTH(key);
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) {
        return {};
    }
    Py_ssize_t copied = 0; // the end of the text already in `pieces`
    for (Py_ssize_t from = 0;;) {
        Py_ssize_t at = PyUnicode_Find(line, key, from, length, 1);
        if (at == -2) {
            return {};
        }
        if (at < 0) {
            break;
        }
        from = at + key_length;
        if (!ends_name(line, at, key_length)) {
            continue;
        }
        Ref before = Ref::steal(PyUnicode_Substring(line, copied, at));
        if (!before || PyList_Append(pieces.get(), before.get()) < 0 ||
            PyList_Append(pieces.get(), replacement) < 0) {
            return {};
        }
        copied = from;
    }
    Ref rest = Ref::steal(PyUnicode_Substring(line, copied, length));
    if (!rest || PyList_Append(pieces.get(), rest.get()) < 0) {
        return {};
    }
    return Ref::steal(PyUnicode_Join(names.empty, pieces.get()));
}

struct Keys {
    Ref import_text, import_replacement, func_text, func_replacement;

    int make() noexcept {
        import_text = Ref::steal(PyUnicode_FromString(import_key.text));
        import_replacement = Ref::steal(PyUnicode_FromString(import_key.replacement));
        func_text = Ref::steal(PyUnicode_FromString(func_key.text));
        func_replacement = Ref::steal(PyUnicode_FromString(func_key.replacement));
        return import_text && import_replacement && func_text && func_replacement ? 0 : -1;
    }

    /// The first line as rewritten: a byte order mark before it is kept, outside its text.
    Ref rewrite_first(PyObject *line, bool &changed) const noexcept {
        constexpr Py_UCS4 byte_order_mark = 0xFEFF;
        if (!PyUnicode_Check(line) || PyUnicode_GET_LENGTH(line) == 0 ||
            PyUnicode_READ_CHAR(line, 0) != byte_order_mark) {
            return rewrite(line, changed);
        }
        Ref text = Ref::steal(PyUnicode_Substring(line, 1, PyUnicode_GET_LENGTH(line)));
        bool text_changed = false;
        Ref rewritten = text ? rewrite(text.get(), text_changed) : Ref();
        if (!rewritten || !text_changed) {
            return rewritten ? Ref::borrow(line) : Ref();
        }
        changed = true;
        Ref mark = Ref::steal(PyUnicode_FromOrdinal(byte_order_mark));
        return mark ? Ref::steal(PyUnicode_Concat(mark.get(), rewritten.get())) : Ref();
    }

    /// The line as rewritten, and whether it changed. A line changes by one key at most.
    Ref rewrite(PyObject *line, bool &changed) const noexcept {
        if (!PyUnicode_Check(line)) {
            return Ref::borrow(line);
        }
        if (starts_with(line, import_text.get())) {
            changed = true;
            return replace_key(line, import_text.get(), import_replacement.get());
        }
        if (starts_with(line, func_text.get())) {
            changed = true;
            return replace_key(line, func_text.get(), func_replacement.get());
        }
        return Ref::borrow(line);
    }
};

/// Reads, rewrites and (when a line changed) replaces one file.
int rewrite_file(const Keys &keys, PyObject *name) noexcept {
    Ref lines = Ref::steal(PyList_New(0));
    if (!lines) {
        return -1;
    }
    bool has_changed = false;
    Ref input = host::open_text(name, names.mode_read);
    if (!input) {
        return -1;
    }
    int read = host::with_as(input.get(), [&](PyObject *file) noexcept {
        Ref iterator = Ref::steal(PyObject_GetIter(file));
        if (!iterator) {
            return -1;
        }
        while (PyObject *next = PyIter_Next(iterator.get())) {
            Ref line = PyList_GET_SIZE(lines.get()) == 0 ? keys.rewrite_first(next, has_changed)
                                                         : keys.rewrite(next, has_changed);
            Py_DECREF(next);
            if (!line || PyList_Append(lines.get(), line.get()) < 0) {
                return -1;
            }
        }
        return PyErr_Occurred() ? files::add_note_format("while rewriting %R", name) : 0;
    });
    if (read < 0 || !has_changed) {
        return read;
    }
    files::Replacement output;
    int written = output.write(name, false, [&](PyObject *file) noexcept {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) {
            Ref line = Ref::borrow(PyList_GET_ITEM(lines.get(), i));
            if (!host::call_method(file, names.write, {line.get()})) {
                return -1;
            }
        }
        return 0;
    });
    return written < 0 ? -1 : output.commit();
}

PyObject *replace_gettext_body(const Bound &bound) noexcept {
    Keys keys;
    if (keys.make() < 0) {
        return nullptr;
    }
    for (PyObject *name : bound.rest) {
        if (rewrite_file(keys, name) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

constexpr Signature replace_gettext_signature = {
    .name = "replace_gettext",
    .qualname = "replace_gettext",
    .rest = Rest::only_positional,
    .body = replace_gettext_body,
};

} // namespace

Ref make_replace_gettext() noexcept { return make_function(replace_gettext_signature, nullptr); }

} // namespace qel_i18n::rewrite
