// qel_i18n: file services shared by the subsystems: replacing a file only once its new content
// is complete, keeping the old one until then, and notes on errors.
#include "module/files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>

#include <sys/stat.h>

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

/// The longest name an entry of `directory` (a str) may have, in bytes; NAME_MAX of the usual
/// file systems when the directory does not say.
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
    while (size >= 0 && size > room && length >= 0) {
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

/// Creates a file under a new temporary name beside `path` (whose parts are `head` and
/// `tail`) with `make(name)`, which returns 1 when it made the file, 0 when the name was taken
/// (FileExistsError cleared) or -1 with an exception set. The name, or empty with an exception
/// set.
template <class Make>
Ref create_beside(PyObject *head, PyObject *tail, const char *suffix, Make &&make) noexcept {
    const Py_ssize_t longest = longest_name(head);
    for (int attempt = 0; attempt < temp_attempts; ++attempt) {
        Ref name = temporary_name(head, tail, suffix, longest);
        if (!name) {
            return {};
        }
        int made = make(name.get());
        if (made != 0) {
            return made > 0 ? std::move(name) : Ref();
        }
    }
    errno = EEXIST;
    PyErr_SetFromErrno(PyExc_OSError);
    return {};
}

/// 0 after a FileExistsError (cleared), -1 after any other.
int taken_or_failed() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_FileExistsError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

/// `status.st_mode & 0o7777`: the permission bits of an os.stat result.
Ref permission_bits(PyObject *status) noexcept {
    Ref mode = host::getattr(status, names.st_mode);
    Ref mask = mode ? Ref::steal(PyLong_FromLong(07777)) : Ref();
    return mask ? Ref::steal(PyNumber_And(mode.get(), mask.get())) : Ref();
}

/// `open(name, mode)` in binary mode, through the builtin fetched at start-up.
Ref open_binary(PyObject *name, const char *mode) noexcept {
    Ref mode_text = Ref::steal(PyUnicode_FromString(mode));
    return mode_text ? host::call(host::services.open, {name, mode_text.get()}) : Ref();
}

/// The whole content of the file `name`, as bytes read in binary mode.
Ref read_bytes(PyObject *name) noexcept {
    Ref file = open_binary(name, "rb");
    if (!file) {
        return {};
    }
    Ref content;
    int done = host::with_as(file.get(), [&](PyObject *opened) noexcept {
        content = host::call_method(opened, names.read, {});
        return content ? 0 : -1;
    });
    return done < 0 ? Ref() : std::move(content);
}

/// Writes `content` to the file `name` opened in binary `mode`.
int write_bytes(PyObject *name, const char *mode, PyObject *content) noexcept {
    Ref file = open_binary(name, mode);
    if (!file) {
        return -1;
    }
    return host::with_as(file.get(), [&](PyObject *opened) noexcept {
        return host::call_method(opened, names.write, {content}) ? 0 : -1;
    });
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
    Py_ssize_t length = PyObject_Length(path.get());
    if (length <= 0) {
        if (length == 0) {
            raise_errno(ENOENT, target);
        }
        return {};
    }
    destination_ = call_os_path("realpath", {path.get()});
    if (!destination_) {
        return {};
    }
    if (is_directory(destination_.get())) {
        raise_errno(EISDIR, target);
        return {};
    }
    Ref head, tail;
    if (split_path(destination_.get(), head, tail) < 0) {
        return {};
    }
    // A name the directory cannot hold is refused before anything is written, as open() would
    // refuse it (the cut temporary name would only fail when it replaces the target).
    const Py_ssize_t size = encoded_size(tail.get());
    if (size < 0) {
        return {};
    }
    if (size > longest_name(head.get())) {
        raise_errno(ENAMETOOLONG, target);
        return {};
    }
    Ref file;
    Ref temp = create_beside(head.get(), tail.get(), "tmp", [&](PyObject *name) noexcept {
        file = csv ? host::open_csv(name, names.mode_exclusive)
                   : host::open_text(name, names.mode_exclusive);
        return file ? 1 : taken_or_failed();
    });
    if (!temp) {
        report_as(target);
        return {};
    }
    temp_ = std::move(temp);
    return file;
}

int Replacement::commit() noexcept {
    if (!temp_) {
        return 0; // written in place
    }
    // A replaced file keeps its permission bits; a new one has those open() gave it.
    Ref status = call_os("stat", {destination_.get()});
    if (status) {
        Ref bits = permission_bits(status.get());
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

int Backup::keep(PyObject *path) noexcept {
    drop();
    path_ = Ref::borrow(path);
    Ref status = call_os("lstat", {path});
    if (!status) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            return -1;
        }
        PyErr_Clear();
        absent_ = true;
        return 0;
    }
    Ref head, tail;
    if (split_path(path, head, tail) < 0) {
        return -1;
    }
    // A hard link, where the file system allows one.
    bool refused = false;
    backup_ = create_beside(head.get(), tail.get(), "bak", [&](PyObject *name) noexcept {
        if (call_os("link", {path, name})) {
            return 1;
        }
        refused =
            PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_FileExistsError);
        return taken_or_failed();
    });
    if (backup_ || !refused) {
        return backup_ ? 0 : -1;
    }
    PyErr_Clear();
    // Otherwise a copy, with the old file's bytes and permission bits.
    Ref content = read_bytes(path);
    Ref bits = content ? permission_bits(status.get()) : Ref();
    if (!bits) {
        return -1;
    }
    backup_ = create_beside(head.get(), tail.get(), "bak", [&](PyObject *name) noexcept {
        if (write_bytes(name, "xb", content.get()) == 0) {
            return 1;
        }
        if (taken_or_failed() == 0) {
            return 0;
        }
        keeping_exception([&]() noexcept { return call_os("unlink", {name}) ? 0 : -1; });
        return -1;
    });
    if (backup_ && !call_os("chmod", {backup_.get(), bits.get()})) {
        drop();
        return -1;
    }
    return backup_ ? 0 : -1;
}

void Backup::restore() noexcept {
    keeping_exception([&]() noexcept {
        if (absent_) {
            absent_ = false;
            return call_os("unlink", {path_.get()}) ? 0 : -1;
        }
        if (!backup_ || call_os("replace", {backup_.get(), path_.get()})) {
            backup_ = Ref();
            return 0;
        }
        // The file system refuses the replacement: the old bytes are written back in place.
        PyErr_Clear();
        Ref content = read_bytes(backup_.get());
        int done = content ? write_bytes(path_.get(), "wb", content.get()) : -1;
        drop();
        return done;
    });
}

void Backup::drop() noexcept {
    absent_ = false;
    if (backup_) {
        Ref backup = std::move(backup_);
        keeping_exception([&]() noexcept { return call_os("unlink", {backup.get()}) ? 0 : -1; });
    }
}

bool is_directory(PyObject *path) noexcept {
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) {
        PyErr_Clear();
        return false;
    }
    Ref bytes = Ref::steal(encoded);
    struct stat status;
    return ::stat(PyBytes_AS_STRING(bytes.get()), &status) == 0 && S_ISDIR(status.st_mode);
}

int split_path(PyObject *path, Ref &head, Ref &tail) noexcept {
    Ref text = call_os("fsdecode", {path});
    Ref parts = text ? call_os_path("split", {text.get()}) : Ref();
    if (!parts || host::unpack_pair(parts.get(), head, tail) < 0) {
        return -1;
    }
    if (!PyUnicode_Check(head.get()) || !PyUnicode_Check(tail.get())) {
        PyErr_Format(PyExc_TypeError, "os.path.split() gave %.200s and %.200s, not two str",
                     Py_TYPE(head.get())->tp_name, Py_TYPE(tail.get())->tp_name);
        return -1;
    }
    return 0;
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
