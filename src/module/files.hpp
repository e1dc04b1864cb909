// qel_i18n: file services shared by the subsystems: reading a catalogue file, a file written
// under a temporary name beside its target that replaces the target only once it is complete,
// and notes that name the place of a failure.
#pragma once

#include "module/host.hpp"

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
    /// Removes a temporary file that was not committed (its failure goes to the pending
    /// exception's notes, or to sys.unraisablehook when none is pending).
    ~Replacement();

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

    /// Brings the written file to the disk (os.fsync), so that a power cut after the
    /// replacement cannot leave an empty or partial target, then replaces the target with it.
    /// 0, or -1 with an exception set (the temporary file is then removed and the target
    /// untouched).
    [[nodiscard]] int commit() noexcept;

    /// The file that commit() replaces: the target, or the file its symbolic link points to.
    PyObject *destination() const noexcept { return destination_.get(); }

  private:
    Ref create(PyObject *target, bool csv) noexcept;
    /// Removes the temporary file. 0, or -1 with an exception set: the removal's own, or the
    /// pending one with a note naming the file left behind.
    int discard() noexcept;

    Ref target_;      // as the caller named it
    Ref destination_; // symbolic links resolved
    Ref temp_;        // the temporary file, while it exists
};

/// The state of a file before it is replaced, so that the replacement can be undone: a hard
/// link to the old file under a temporary name beside it or, where the file system allows no
/// hard link, a copy of it there; or the fact that there was no file.
class Backup {
  public:
    Backup() noexcept = default;
    Backup(const Backup &) = delete;
    Backup &operator=(const Backup &) = delete;
    /// Drops the backup (its failure goes to the pending exception's notes, or to
    /// sys.unraisablehook when none is pending).
    ~Backup();

    /// Records the state of `path`. 0, or -1 with an exception set when the old file can be
    /// neither linked nor copied (nothing could then be put back).
    [[nodiscard]] int keep(PyObject *path) noexcept;

    /// Puts the old file back: replaces the new one with the backup, or, when the file system
    /// refuses that, writes the backup's bytes into it; removes the new file when there was
    /// none. The pending exception is kept; what could not be done is a note on it, and a
    /// backup that could not be put back stays, named in the note.
    void restore() noexcept;

    /// Forgets the old file (removes the backup). 0, or -1 with an exception set: the
    /// removal's own, or the pending one with a note naming the file left behind.
    int drop() noexcept;

  private:
    Ref path_;
    Ref backup_; // the link or the copy, while it exists
    bool absent_ = false;
};

/// True when `path` names a directory, following symbolic links, as os.path.isdir tells:
/// anything that cannot be a path, or cannot be examined, is no directory.
bool is_directory(PyObject *path) noexcept;

/// `head, tail = os.path.split(os.fsdecode(path))`, unpacked as the host unpacks a pair;
/// TypeError unless both parts are str. 0, or -1 with an exception set.
int split_path(PyObject *path, Ref &head, Ref &tail) noexcept;

/// `os.<name>(*args)`, looked up on the host's os module when called (so that a replaced
/// os function is the one used).
Ref call_os(const char *name, std::initializer_list<PyObject *> args) noexcept;

/// `os.path.<name>(*args)`, looked up when called.
Ref call_os_path(const char *name, std::initializer_list<PyObject *> args) noexcept;

/// Reads the catalogue file `name`: opens it for reading, makes `_csv_reader` on it, takes the
/// header row into `header` (StopIteration, as next() raises it, when there is none) and runs
/// `body(rows)` (returning 0 or -1) over the rows after it. Errors get a note naming the file
/// and the reader's line. 0, or -1 with an exception set; 0 also when the file's __exit__
/// suppressed an error, `header` then perhaps still empty.
template <class Body> int read_catalogue(PyObject *name, Ref &header, Body &&body) noexcept;

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

template <class Body> int read_catalogue(PyObject *name, Ref &header, Body &&body) noexcept {
    Ref file = host::open_csv(name, names.mode_read);
    if (!file) {
        return -1;
    }
    return host::with_as(file.get(), [&](PyObject *opened) noexcept {
        Ref make_reader = host::lookup_global(names.csv_reader);
        Ref reader = make_reader ? host::call(make_reader.get(), {opened}) : Ref();
        Ref rows = reader ? Ref::steal(PyObject_GetIter(reader.get())) : Ref();
        if (!rows) {
            return -1;
        }
        header = Ref::steal(PyIter_Next(rows.get()));
        if (!header) {
            return PyErr_Occurred() ? note_reading(name, reader.get()) : raise_empty(name);
        }
        return body(rows.get()) < 0 ? note_reading(name, reader.get()) : 0;
    });
}

} // namespace qel_i18n::files
