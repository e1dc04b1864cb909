// qel_i18n: file services shared by the subsystems: replacing a file only once its new content
// is complete, keeping the old one until then, and notes on errors.
#include "module/files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>

#include <fcntl.h>
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
/// file systems when the host cannot tell (no os.pathconf, or the OSError or ValueError by
/// which it says it does not know; no limit). -1 with an exception set on any other failure.
Py_ssize_t longest_name(PyObject *directory) noexcept {
    constexpr Py_ssize_t usual = 255;
    Ref here = PyUnicode_GET_LENGTH(directory) > 0 ? Ref::borrow(directory)
                                                    : Ref::steal(PyUnicode_FromString("."));
    Ref setting = here ? Ref::steal(PyUnicode_FromString("PC_NAME_MAX")) : Ref();
    if (!setting) {
        return -1;
    }
    Ref pathconf = os_attribute("pathconf");
    if (!pathconf) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear(); // a host without it
        return usual;
    }
    Ref limit = host::call(pathconf.get(), {here.get(), setting.get()});
    if (!limit) {
        if (!PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
            return -1;
        }
        PyErr_Clear(); // the host cannot tell: the usual limit
        return usual;
    }
    const Py_ssize_t size = PyLong_AsSsize_t(limit.get());
    if (size == -1 && PyErr_Occurred()) {
        return -1;
    }
    return size > 0 ? size : usual;
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

/// Puts `pending` back as the exception being raised, with a note that says what `what` (a
/// format taking `name` and then the failure) left behind, `failure` being the exception being
/// raised now. Returns -1.
int note_failure(Ref pending, const char *what, PyObject *name) noexcept {
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetRaisedException(pending.release());
    return add_note_format(what, name, failure.get());
}

/// Removes the file `name` that an operation made and no longer needs. A failure is never
/// lost: with an exception pending it becomes a note on that exception, naming the file left
/// behind; with none (the operation itself succeeded) it is a RuntimeWarning. 0, or -1 with an
/// exception set (always -1 while an exception is pending; otherwise only when the warning is
/// turned into an error).
int remove_made_file(PyObject *name) noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    const bool failing = static_cast<bool>(pending);
    if (!call_os("unlink", {name}) && !PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
        if (!failing) {
            Ref failure = Ref::steal(PyErr_GetRaisedException());
            return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                    "the file %R, no longer needed, was left behind: %S", name,
                                    failure.get());
        }
        return note_failure(std::move(pending), "the file %R was left behind: %S", name);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
    return failing ? -1 : 0;
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
Ref create_beside(PyObject *head, PyObject *tail, Py_ssize_t longest, const char *suffix,
                  Make &&make) noexcept {
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
/// Writes `content` to the opened `file` in its `with` block. 0, or -1 with an exception set.
int write_to(PyObject *file, PyObject *content) noexcept {
    return host::with_as(file, [&](PyObject *opened) noexcept {
        return host::call_method(opened, names.write, {content}) ? 0 : -1;
    });
}

int write_bytes(PyObject *name, const char *mode, PyObject *content) noexcept {
    Ref file = open_binary(name, mode);
    return file ? write_to(file.get(), content) : -1;
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
    // written in place. A str or bytes is a path whatever os.fspath says of it.
    Ref path = call_os("fspath", {target});
    if (!path) {
        if (PyUnicode_Check(target) || PyBytes_Check(target) ||
            !PyErr_ExceptionMatches(PyExc_TypeError)) {
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
    // The real path as a str, decoded once: what realpath gave may run host code each time
    // it is read as a path.
    Ref real = call_os_path("realpath", {path.get()});
    destination_ = real ? call_os("fsdecode", {real.get()}) : Ref();
    if (!destination_) {
        return {};
    }
    if (!PyUnicode_Check(destination_.get())) {
        PyErr_Format(PyExc_TypeError, "os.fsdecode() gave %.200s, not str",
                     Py_TYPE(destination_.get())->tp_name);
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
    const Py_ssize_t longest = longest_name(head.get());
    if (longest < 0) {
        return {};
    }
    if (size > longest) {
        raise_errno(ENAMETOOLONG, target);
        return {};
    }
    Ref file;
    Ref temp = create_beside(head.get(), tail.get(), longest, "tmp", [&](PyObject *name) noexcept {
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

/// `os.fsync` on the file `name`, through a descriptor of its own: the data written through
/// any file object, closed since, reaches the disk. 0, or -1 with an exception set.
int sync_file(PyObject *name) noexcept {
    Ref flags = Ref::steal(PyLong_FromLong(O_RDONLY | O_CLOEXEC));
    Ref descriptor = flags ? call_os("open", {name, flags.get()}) : Ref();
    if (!descriptor) {
        return -1;
    }
    const bool synced = static_cast<bool>(call_os("fsync", {descriptor.get()}));
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    if (!call_os("close", {descriptor.get()})) {
        if (pending) { // the failed sync came first
            Ref failure = Ref::steal(PyErr_GetRaisedException());
            PyException_SetContext(failure.get(), pending.release());
            PyErr_SetRaisedException(failure.release());
        }
        return -1;
    }
    PyErr_SetRaisedException(pending.release());
    return synced ? 0 : -1;
}

int Replacement::commit() noexcept {
    if (!temp_) {
        return 0; // written in place
    }
    if (sync_file(temp_.get()) < 0) {
        discard();
        return -1;
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

Replacement::~Replacement() {
    const bool failing = PyErr_Occurred() != nullptr;
    if (discard() < 0 && !failing) {
        PyErr_WriteUnraisable(nullptr); // no one left to raise it to
    }
}

int Replacement::discard() noexcept {
    if (!temp_) {
        return PyErr_Occurred() ? -1 : 0;
    }
    Ref temp = std::move(temp_);
    return remove_made_file(temp.get());
}

int Backup::keep(PyObject *path) noexcept {
    if (drop() < 0) {
        return -1;
    }
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
    const Py_ssize_t longest = longest_name(head.get());
    if (longest < 0) {
        return -1;
    }
    // A hard link, where the file system allows one.
    bool refused = false;
    backup_ = create_beside(head.get(), tail.get(), longest, "bak", [&](PyObject *name) noexcept {
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
    backup_ = create_beside(head.get(), tail.get(), longest, "bak", [&](PyObject *name) noexcept {
        Ref file = open_binary(name, "xb");
        if (!file) {
            return taken_or_failed();
        }
        // Made: whatever fails from here on (even a FileExistsError) removes it.
        return write_to(file.get(), content.get()) == 0 ? 1 : remove_made_file(name);
    });
    if (backup_ && !call_os("chmod", {backup_.get(), bits.get()})) {
        drop();
        return -1;
    }
    return backup_ ? 0 : -1;
}

void Backup::restore() noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    if (absent_) {
        absent_ = false;
        PyErr_SetRaisedException(pending.release());
        remove_made_file(path_.get());
        return;
    }
    if (!backup_ || call_os("replace", {backup_.get(), path_.get()})) {
        backup_ = Ref();
        PyErr_SetRaisedException(pending.release());
        return;
    }
    // The file system refuses the replacement: the old bytes are written back in place.
    Ref refused = Ref::steal(PyErr_GetRaisedException());
    Ref content = read_bytes(backup_.get());
    if (content && write_bytes(path_.get(), "wb", content.get()) == 0) {
        PyErr_SetRaisedException(pending.release());
        drop();
        return;
    }
    // Neither way worked: the backup, the only copy of the old file, stays where it is.
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    if (failure) {
        PyException_SetContext(failure.get(), refused.release()); // the replacement refused first
    }
    PyErr_SetRaisedException(failure.release());
    Ref kept = std::move(backup_);
    note_failure(std::move(pending), "the old file could not be put back; it is kept as %R: %S",
                 kept.get());
}

Backup::~Backup() {
    const bool failing = PyErr_Occurred() != nullptr;
    if (drop() < 0 && !failing) {
        PyErr_WriteUnraisable(nullptr); // no one left to raise it to
    }
}

int Backup::drop() noexcept {
    absent_ = false;
    if (!backup_) {
        return PyErr_Occurred() ? -1 : 0;
    }
    Ref backup = std::move(backup_);
    return remove_made_file(backup.get());
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
