// qel_i18n: file services shared by the development tools: a file written under a temporary
// name beside its target that replaces the target only once it is complete, and notes that
// name the place of a failure.
#pragma once

#include "module/i18n.hpp"

#include <string>

namespace qel_i18n::files {

/// Fetches the host's os module for the services below. 0, or -1 with an exception set.
int init_files() noexcept;

/// One file written through a temporary file. write() creates the temporary file, exclusively,
/// in the directory of the target (of the file a symbolic link points to, when the target is
/// one) and runs the body in its `with` block; commit() gives it the permission bits of the file
/// it replaces and replaces the target with os.replace. Until then the target is untouched, and
/// a temporary file that is not committed is removed when the object goes.
class Replacement {
  public:
    Replacement() noexcept = default;
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;
    ~Replacement() { discard(); }

    /// Creates the temporary file, opened as `open(temp, "x", [newline=""], encoding="utf8")`,
    /// and runs `body(file)` (returning 0 or -1) with it open. An error in creating it is
    /// reported as `open(target, "w")` would report it, naming the target. 0, or -1 with an
    /// exception set and the temporary file removed.
    template <class Body> int write(PyObject *target, bool csv, Body &&body) noexcept {
        Ref file = create(target, csv);
        if (!file) {
            return -1;
        }
        int done = host::with_as(file.get(), [&](PyObject *opened) noexcept { return body(opened); });
        if (done < 0) {
            discard();
        }
        return done;
    }

    /// Replaces the target with the written file. 0, or -1 with an exception set (the
    /// temporary file is then removed and the target untouched).
    int commit() noexcept;

    /// The file that commit() replaces: the target, or the file its symbolic link points to.
    PyObject *destination() const noexcept { return destination_.get(); }

  private:
    Ref create(PyObject *target, bool csv) noexcept;
    void discard() noexcept;

    Ref target_;      // as the caller named it
    Ref destination_; // symbolic links resolved
    Ref temp_;        // the temporary file, while it exists
};

/// The state of a file before it is replaced, so that the replacement can be undone: a hard
/// link to the old file under a temporary name (where the file system allows one), or the
/// fact that there was no file.
class Backup {
  public:
    Backup() noexcept = default;
    Backup(const Backup &) = delete;
    Backup &operator=(const Backup &) = delete;
    ~Backup() { drop(); }

    /// Records the state of `path`. Failing to, it records nothing (no exception set).
    void keep(PyObject *path) noexcept;

    /// Puts the old file back, or removes the new one when there was none; the pending
    /// exception is kept.
    void restore() noexcept;

    /// Forgets the old file (removes the link).
    void drop() noexcept;

  private:
    Ref path_;
    Ref link_;
    bool absent_ = false;
};

/// `os.<name>(*args)`, looked up on the host's os module when called (so that a replaced
/// os function is the one used).
Ref call_os(const char *name, std::initializer_list<PyObject *> args) noexcept;

/// `os.path.<name>(*args)`, looked up when called.
Ref call_os_path(const char *name, std::initializer_list<PyObject *> args) noexcept;

/// Notes on the pending exception where reading the catalogue file `name` failed, with the
/// line count of the csv `reader` when it has one. Returns -1.
int note_reading(PyObject *name, PyObject *reader) noexcept;

/// Raises StopIteration, as next() does on a file without rows, noting that the catalogue file
/// `name` is empty. Returns -1.
int raise_empty(PyObject *name) noexcept;

/// Adds `note` (PEP 678) to the exception being raised; keeps the exception as it is when that
/// fails. Always returns -1, for `return add_note(...)` on error paths.
int add_note(PyObject *note) noexcept;

/// The same with a note built by PyUnicode_FromFormat.
int add_note_format(const char *format, ...) noexcept;

} // namespace qel_i18n::files
