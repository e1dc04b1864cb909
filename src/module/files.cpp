// qel_i18n: file services shared by the development tools: replacing a file only once its new
// content is complete, and notes on errors.
#include "module/files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>

namespace qel_i18n::files {

namespace {

PyObject *os_module = nullptr; // held for the life of the process
long process_id = 0;
unsigned long temp_counter = 0;

/// How many names to try before giving up on finding a free temporary name.
constexpr int temp_attempts = 100;

Ref os_attribute(const char *name) noexcept {
    return Ref::steal(PyObject_GetAttrString(os_module, name));
}

/// The longest name an entry of `directory` may have, in bytes; NAME_MAX of the usual file
/// systems when the directory does not say.
Py_ssize_t longest_name(PyObject *directory) noexcept {
    constexpr Py_ssize_t usual = 255;
    Ref here = PyUnicode_GET_LENGTH(directory) > 0 ? Ref::borrow(directory)
                                                    : Ref::steal(PyUnicode_FromString("."));
    Ref setting = Ref::steal(PyUnicode_FromString("PC_NAME_MAX"));
    Ref limit = here && setting ? call_os("pathconf", {here.get(), setting.get()}) : Ref();
    Py_ssize_t size = limit ? PyLong_AsSsize_t(limit.get()) : -1;
    if (size <= 0) {
        PyErr_Clear(); // no limit known: the usual one
        return usual;
    }
    return size;
}

/// The bytes `text` takes as a file name (os.fsencode), or -1 with an exception set.
Py_ssize_t encoded_size(PyObject *text) noexcept {
    Ref bytes = call_os("fsencode", {text});
    return bytes ? PyBytes_Size(bytes.get()) : -1;
}

/// A name in `head` beside `tail` (both str) that no file has yet:
/// `.<tail>.<pid>-<n>.<suffix>`. A tail too long to take a dot and the ending with it within
/// `longest` bytes (the directory's longest name) is cut, so that a target whose name is as
/// long as the directory allows still gets a temporary file (the host would refuse the longer
/// name with ENAMETOOLONG).
Ref temporary_name(PyObject *head, PyObject *tail, const char *suffix,
                   Py_ssize_t longest) noexcept {
    Ref ending =
        Ref::steal(PyUnicode_FromFormat(".%ld-%lu.%s", process_id, ++temp_counter, suffix));
    if (!ending) {
        return {};
    }
    // The ending is ASCII, one byte a character; the leading dot takes one more.
    const Py_ssize_t room = longest - 1 - PyUnicode_GET_LENGTH(ending.get());
    Ref kept = Ref::borrow(tail);
    Py_ssize_t size = encoded_size(tail);
    // Every character takes a byte at least, so no more than `room` of them can fit.
    Py_ssize_t length = std::min(PyUnicode_GET_LENGTH(tail), std::max<Py_ssize_t>(room, 0));
    while (size > room && length >= 0) {
        kept = Ref::steal(PyUnicode_Substring(tail, 0, length--));
        size = kept ? encoded_size(kept.get()) : -1;
    }
    if (size < 0) {
        return {};
    }
    Ref name = Ref::steal(PyUnicode_FromFormat(".%U%U", kept.get(), ending.get()));
    return name ? call_os_path("join", {head, name.get()}) : Ref();
}

/// Runs `action` with the pending exception set aside, and restores it afterwards; errors of
/// `action` are dropped.
template <class Action> void keeping_exception(Action &&action) noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    if (action() < 0) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(pending.release());
}

/// Replaces the pending exception, an OSError, by one of the same errno and text that names
/// `target`, as `open(target, ...)` would report it. Other exceptions are left as they are.
int report_as(PyObject *target) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) {
        return -1;
    }
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref number = host::getattr(error.get(), names.errno_);
    Ref text = number ? host::getattr(error.get(), names.strerror) : Ref();
    if (!text || number.get() == Py_None) {
        PyErr_Clear();
        PyErr_SetRaisedException(error.release());
        return -1;
    }
    // The OSError constructor picks the subclass of the errno, as open() does.
    Ref renamed = host::call(PyExc_OSError, {number.get(), text.get(), target});
    if (renamed) {
        PyErr_SetRaisedException(renamed.release());
    }
    return -1;
}

int raise_errno(int number, PyObject *target) noexcept {
    errno = number;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, target);
    return -1;
}

Ref open_exclusive(PyObject *name, bool csv) noexcept {
    PyObject *args[] = {name, names.mode_exclusive, names.empty, names.utf8};
    if (csv) {
        return Ref::steal(
            PyObject_Vectorcall(host::services.open, args, 2, constants.kw_newline_encoding));
    }
    PyObject *text_args[] = {name, names.mode_exclusive, names.utf8};
    return Ref::steal(PyObject_Vectorcall(host::services.open, text_args, 2, constants.kw_encoding));
}

} // namespace

int init_files() noexcept {
    if (os_module == nullptr) {
        os_module = PyImport_ImportModule("os");
    }
    Ref pid = os_module != nullptr ? call_os("getpid", {}) : Ref();
    process_id = pid ? PyLong_AsLong(pid.get()) : -1;
    return process_id == -1 && PyErr_Occurred() ? -1 : 0;
}

Ref call_os(const char *name, std::initializer_list<PyObject *> args) noexcept {
    Ref function = os_attribute(name);
    return function ? host::call(function.get(), args) : Ref();
}

Ref call_os_path(const char *name, std::initializer_list<PyObject *> args) noexcept {
    Ref path = os_attribute("path");
    Ref function = path ? Ref::steal(PyObject_GetAttrString(path.get(), name)) : Ref();
    return function ? host::call(function.get(), args) : Ref();
}

Ref Replacement::create(PyObject *target, bool csv) noexcept {
    discard();
    target_ = Ref::borrow(target);
    // Only a path can be replaced; anything else open() accepts (a file descriptor) is
    // written in place.
    Ref path = call_os("fspath", {target});
    if (!path) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            return {};
        }
        PyErr_Clear();
        destination_ = Ref::borrow(target);
        return csv ? host::open_csv(target, names.mode_write)
                   : host::open_text(target, names.mode_write);
    }
    if (PyObject_Length(path.get()) == 0) {
        raise_errno(ENOENT, target);
        return {};
    }
    destination_ = call_os_path("realpath", {path.get()});
    if (!destination_) {
        return {};
    }
    Ref is_directory = call_os_path("isdir", {destination_.get()});
    int directory = is_directory ? PyObject_IsTrue(is_directory.get()) : -1;
    if (directory != 0) {
        if (directory > 0) {
            raise_errno(EISDIR, target);
        }
        return {};
    }
    Ref text = call_os("fsdecode", {destination_.get()});
    Ref parts = text ? call_os_path("split", {text.get()}) : Ref();
    if (!parts) {
        return {};
    }
    PyObject *head = PyTuple_GetItem(parts.get(), 0);
    PyObject *tail = PyTuple_GetItem(parts.get(), 1);
    if (head == nullptr || tail == nullptr) {
        return {};
    }
    // A name the directory cannot hold is refused before anything is written, as open() would
    // refuse it (the cut temporary name would only fail when it replaces the target).
    const Py_ssize_t longest = longest_name(head);
    const Py_ssize_t size = encoded_size(tail);
    if (size < 0) {
        return {};
    }
    if (size > longest) {
        raise_errno(ENAMETOOLONG, target);
        return {};
    }
    for (int attempt = 0; attempt < temp_attempts; ++attempt) {
        Ref temp = temporary_name(head, tail, "tmp", longest);
        if (!temp) {
            return {};
        }
        Ref file = open_exclusive(temp.get(), csv);
        if (file) {
            temp_ = std::move(temp);
            return file;
        }
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError)) {
            report_as(target);
            return {};
        }
        PyErr_Clear();
    }
    raise_errno(EEXIST, target);
    return {};
}

int Replacement::commit() noexcept {
    if (!temp_) {
        return 0; // written in place
    }
    // A replaced file keeps its permission bits; a new one has those open() gave it.
    Ref status = call_os("stat", {destination_.get()});
    if (status) {
        Ref mode = host::getattr(status.get(), names.st_mode);
        Ref mask = Ref::steal(PyLong_FromLong(07777));
        Ref bits = mode && mask ? Ref::steal(PyNumber_And(mode.get(), mask.get())) : Ref();
        if (!bits || !call_os("chmod", {temp_.get(), bits.get()})) {
            discard();
            return -1;
        }
    } else if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
        PyErr_Clear();
    } else {
        discard();
        return -1;
    }
    if (!call_os("replace", {temp_.get(), destination_.get()})) {
        report_as(target_.get());
        discard();
        return -1;
    }
    temp_ = Ref();
    return 0;
}

void Replacement::discard() noexcept {
    if (!temp_) {
        return;
    }
    Ref temp = std::move(temp_);
    keeping_exception([&]() noexcept { return call_os("unlink", {temp.get()}) ? 0 : -1; });
}

void Backup::keep(PyObject *path) noexcept {
    drop();
    keeping_exception([&]() noexcept {
        path_ = Ref::borrow(path);
        Ref status = call_os("lstat", {path});
        if (!status) {
            absent_ = PyErr_ExceptionMatches(PyExc_FileNotFoundError);
            return -1;
        }
        Ref text = call_os("fsdecode", {path});
        Ref parts = text ? call_os_path("split", {text.get()}) : Ref();
        PyObject *head = parts ? PyTuple_GET_ITEM(parts.get(), 0) : nullptr;
        Ref link = head != nullptr ? temporary_name(head, PyTuple_GET_ITEM(parts.get(), 1), "bak",
                                                    longest_name(head))
                                   : Ref();
        if (!link || !call_os("link", {path, link.get()})) {
            return -1;
        }
        link_ = std::move(link);
        return 0;
    });
}

void Backup::restore() noexcept {
    keeping_exception([&]() noexcept {
        if (link_) {
            Ref link = std::move(link_);
            return call_os("replace", {link.get(), path_.get()}) ? 0 : -1;
        }
        if (absent_) {
            absent_ = false;
            return call_os("unlink", {path_.get()}) ? 0 : -1;
        }
        return 0;
    });
}

void Backup::drop() noexcept {
    absent_ = false;
    if (link_) {
        Ref link = std::move(link_);
        keeping_exception([&]() noexcept { return call_os("unlink", {link.get()}) ? 0 : -1; });
    }
}

int add_note(PyObject *note) noexcept {
    PyObject *raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        return -1;
    }
    Ref exception = Ref::steal(raised);
    if (note == nullptr || !host::call_method(exception.get(), names.add_note, {note})) {
        PyErr_Clear(); // the original exception matters more than its note
    }
    PyErr_SetRaisedException(exception.release());
    return -1;
}

int add_note_format(const char *format, ...) noexcept {
    PyObject *raised = PyErr_GetRaisedException();
    va_list arguments;
    va_start(arguments, format);
    Ref note = Ref::steal(PyUnicode_FromFormatV(format, arguments));
    va_end(arguments);
    if (!note) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(raised);
    return add_note(note.get());
}

} // namespace qel_i18n::files

namespace qel_i18n::files {

int note_reading(PyObject *name, PyObject *reader) noexcept {
    PyObject *pending = PyErr_GetRaisedException();
    Ref line = reader != nullptr ? host::getattr(reader, names.line_num) : Ref();
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (line) {
        return add_note_format("while reading the catalogue file %R, line %S", name, line.get());
    }
    return add_note_format("while reading the catalogue file %R", name);
}

int raise_empty(PyObject *name) noexcept {
    PyErr_SetNone(PyExc_StopIteration);
    return add_note_format("while reading the catalogue file %R: it is empty, with no header row",
                           name);
}

} // namespace qel_i18n::files
