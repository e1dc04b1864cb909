// qel_i18n: the catalogue update, parse. Loads the rows of the catalogue file, scans the
// sources, and writes the catalogue file (rows met, sorted by message and position) and the
// excess file (rows no longer met).
//
// Nothing is lost on the way: both files are written to temporary files beside them first and
// replace their targets only when both are complete, the excess file first; rows of the old
// catalogue that share a (position, message) key with a later row go to the excess file; and
// translated rows that an earlier run moved to the excess file are carried over.
#include "extract/extract.hpp"

#include "extract/csv_rows.hpp"
#include "module/fast_paths.hpp"
#include "module/genuine.hpp"
#include "module/files.hpp"
#include "module/function.hpp"

#include <algorithm>
#include <new>
#include <vector>

namespace qel_i18n::extract {

namespace {

/// `_csv_writer` as start-up bound it: while it is still bound, rows are written natively.
PyObject *original_writer = nullptr;

/// The sort key of the catalogue's entries, `lambda item: (item[1][1], item[1][0])`.
PyObject *contents_key = nullptr;
/// The sort key of excess rows: (message, position), a missing cell counting as "".
PyObject *excess_key = nullptr;

PyObject *contents_key_body(const Bound &bound) noexcept {
    Ref row = Ref::steal(PyObject_GetItem(bound.arg[0], constants.one));
    Ref message = row ? Ref::steal(PyObject_GetItem(row.get(), constants.one)) : Ref();
    Ref position = message ? Ref::steal(PyObject_GetItem(row.get(), constants.zero)) : Ref();
    return position ? PyTuple_Pack(2, message.get(), position.get()) : nullptr;
}

PyObject *excess_key_body(const Bound &bound) noexcept {
    PyObject *row = bound.arg[0];
    Py_ssize_t length = PyObject_Size(row);
    if (length < 0) {
        return nullptr;
    }
    Ref message = length > 1 ? Ref::steal(PyObject_GetItem(row, constants.one))
                             : Ref::borrow(names.empty);
    Ref position = message && length > 0 ? Ref::steal(PyObject_GetItem(row, constants.zero))
                                         : Ref::borrow(names.empty);
    return message && position ? PyTuple_Pack(2, message.get(), position.get()) : nullptr;
}

constexpr Parameter item_parameter[] = {{"item", Requirement::any, nullptr}};
constexpr Parameter row_parameter[] = {{"row", Requirement::any, nullptr}};

constexpr Signature contents_key_signature = {
    .name = "<lambda>",
    .qualname = "parse.<locals>.<lambda>",
    .parameters = item_parameter,
    .required = 1,
    .body = contents_key_body,
};
constexpr Signature excess_key_signature = {
    .name = "<lambda>",
    .qualname = "parse.<locals>.<lambda>",
    .parameters = row_parameter,
    .required = 1,
    .body = excess_key_body,
};

/// `tuple(row)`, a row's cells as a hashable whole, to tell identical rows.
Ref cells_of(PyObject *row) noexcept { return Ref::steal(PySequence_Tuple(row)); }

PyObject *field_size_limit = nullptr; // csv.field_size_limit (held)

/// ValueError, naming the row's position, when a str cell of `row` is longer than `limit`.
/// Only lists and tuples are looked at, which no host code runs for: the writer reports any
/// other row as it always did.
int refuse_long_cells(PyObject *row, Py_ssize_t limit) noexcept {
    if (!PyList_Check(row) && !PyTuple_Check(row)) {
        return 0;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(row);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *cell = PySequence_Fast_GET_ITEM(row, i);
        if (PyUnicode_Check(cell) && PyUnicode_GET_LENGTH(cell) > limit) {
            PyObject *position = PySequence_Fast_GET_ITEM(row, 0);
            PyErr_Format(PyExc_ValueError,
                         "the row of position %R has a cell of %zd characters, longer than the "
                         "csv reader's field limit (%zd): the catalogue could not be read back",
                         position, PyUnicode_GET_LENGTH(cell), limit);
            return -1;
        }
    }
    return 0;
}

/// Refuses rows the catalogue's loader could not read back: a cell longer than the field
/// limit the host's csv reader applies (csv.field_size_limit(), as it is now).
int refuse_unreadable(PyObject *header, PyObject *lines) noexcept {
    Ref setting = host::call(field_size_limit, {});
    const Py_ssize_t limit = setting ? PyLong_AsSsize_t(setting.get()) : -1;
    if (limit < 0) {
        return PyErr_Occurred() ? -1 : 0;
    }
    if (header != nullptr && refuse_long_cells(header, limit) < 0) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); ++i) { // host code may shorten the list
        if (refuse_long_cells(PyList_GET_ITEM(lines, i), limit) < 0) {
            return -1;
        }
    }
    return 0;
}

/// One run of parse.
struct Update {
    PyObject *csv_filename;
    std::span<PyObject *const> filenames;
    PyObject *scanner; // scans one source into the cache; nullptr: `_parse_one_file`
    Ref cache;
    Ref header;
    Ref dropped;  // rows of the old catalogue that a later row with the same key replaced
    Ref rows;     // the catalogue's rows, sorted
    Ref excess;   // the excess file's rows, sorted
    Ref excess_filename;

    /// The old catalogue into the cache, each entry not yet met.
    int load() noexcept {
        return files::read_catalogue(csv_filename, header, [&](PyObject *lines) noexcept {
            while (PyObject *next = PyIter_Next(lines)) {
                Ref row = Ref::steal(next);
                Ref position = Ref::steal(PyObject_GetItem(row.get(), constants.zero));
                Ref message = position ? Ref::steal(PyObject_GetItem(row.get(), constants.one)) : Ref();
                Ref key = message ? text_pair(position.get(), message.get()) : Ref();
                if (!key) {
                    return -1;
                }
                // The reader's rows may reach the cache and change its entries: `earlier[1]`
                // is read as the host reads it.
                Ref earlier = Ref::borrow(PyDict_GetItemWithError(cache.get(), key.get()));
                if (earlier) {
                    Ref dropped_row = host::subscript(earlier.get(), 1, constants.one);
                    if (!dropped_row || PyList_Append(dropped.get(), dropped_row.get()) < 0) {
                        return -1;
                    }
                } else if (PyErr_Occurred()) {
                    return -1;
                }
                Ref entry = Ref::steal(PyList_New(2));
                if (!entry) {
                    return -1;
                }
                PyList_SET_ITEM(entry.get(), 0, Py_NewRef(Py_False));
                PyList_SET_ITEM(entry.get(), 1, row.release());
                if (PyDict_SetItem(cache.get(), key.get(), entry.get()) < 0) {
                    return -1;
                }
            }
            return PyErr_Occurred() ? -1 : 0;
        });
    }

    /// Every source, each through the scanner given or else `_parse_one_file` as it is bound at
    /// that moment.
    int scan() noexcept {
        for (PyObject *filename : filenames) {
            Ref parse_one_file = scanner != nullptr ? Ref::borrow(scanner)
                                                    : host::lookup_global(names.parse_one_file);
            if (!parse_one_file || !host::call(parse_one_file.get(), {filename, cache.get()})) {
                return -1;
            }
        }
        return 0;
    }

    /// The entries of the cache, sorted by message and then position.
    Ref sorted_contents() noexcept {
        Ref contents = Ref::steal(PyDict_Values(cache.get()));
        if (!contents) {
            return {};
        }
        int sorted = sort_natively(contents.get());
        if (sorted == 0) {
            sorted = host::sort_by_key(contents.get(), contents_key) == 0 ? 1 : -1;
        }
        return sorted > 0 ? std::move(contents) : Ref();
    }

    /// `contents.sort(key=contents_key)` without the host, when every entry is a list whose
    /// row is a list holding an exact str position and message: comparing those runs no host
    /// code, so the host's stable sort would give this very order. 1 when sorted, 0 when the
    /// host must sort (it cannot fail).
    static int sort_natively(PyObject *contents) noexcept {
        if constexpr (!fast::sort) {
            return 0;
        }
        struct Item {
            PyObject *message;
            PyObject *position;
            PyObject *entry;
        };
        const Py_ssize_t count = PyList_GET_SIZE(contents);
        std::vector<Item> items;
        try {
            items.reserve(static_cast<size_t>(count));
        } catch (const std::bad_alloc &) {
            return 0;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject *entry = PyList_GET_ITEM(contents, i);
            if (!PyList_CheckExact(entry) || PyList_GET_SIZE(entry) < 2) {
                return 0;
            }
            PyObject *row = PyList_GET_ITEM(entry, 1);
            if (!PyList_CheckExact(row) || PyList_GET_SIZE(row) < 2) {
                return 0;
            }
            PyObject *position = PyList_GET_ITEM(row, 0);
            PyObject *message = PyList_GET_ITEM(row, 1);
            if (!PyUnicode_CheckExact(position) || !PyUnicode_CheckExact(message)) {
                return 0;
            }
            items.push_back({message, position, entry});
        }
        std::stable_sort(items.begin(), items.end(), [](const Item &a, const Item &b) noexcept {
            const int order = PyUnicode_Compare(a.message, b.message);
            return order != 0 ? order < 0 : PyUnicode_Compare(a.position, b.position) < 0;
        });
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyList_SET_ITEM(contents, i, items[static_cast<size_t>(i)].entry);
        }
        return 1;
    }

    /// The entries split, nothing written: `rows` gets the rows met and `unmet` the others, in
    /// the order of `contents`. On an error, `rows` holds the rows met before the failing entry.
    int split(PyObject *contents, Ref &unmet) noexcept {
        rows = Ref::steal(PyList_New(0));
        unmet = Ref::steal(PyList_New(0));
        if (!rows || !unmet) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(contents); ++i) {
            Ref entry = Ref::borrow(PyList_GET_ITEM(contents, i));
            Ref occur, data;
            if (host::unpack_pair(entry.get(), occur, data) < 0) {
                return -1;
            }
            int met = PyObject_IsTrue(occur.get());
            if (met < 0 || PyList_Append(met ? rows.get() : unmet.get(), data.get()) < 0) {
                return -1;
            }
        }
        return 0;
    }

    /// The excess file's rows: those not met, and the rows a later duplicate replaced, before
    /// that row among equal keys (they come earlier in the file).
    int gather_excess(Ref unmet) noexcept {
        if (PyList_GET_SIZE(dropped.get()) == 0) {
            excess = std::move(unmet);
            return 0;
        }
        excess = std::move(dropped);
        Py_ssize_t end = PyList_GET_SIZE(excess.get());
        if (PyList_SetSlice(excess.get(), end, end, unmet.get()) < 0) {
            return -1;
        }
        return host::sort_by_key(excess.get(), excess_key);
    }

    /// The excess file's name: the catalogue's name without its extension, then "-excess.csv".
    int name_excess_file() noexcept {
        Ref parts = files::call_os_path("splitext", {csv_filename});
        Ref root = parts ? Ref::steal(PySequence_GetItem(parts.get(), 0)) : Ref();
        excess_filename = root ? Ref::steal(PyNumber_Add(root.get(), names.excess_suffix)) : Ref();
        return excess_filename ? 0 : -1;
    }

    /// Carries over the translated rows of an existing excess file that this run's rows do not
    /// repeat.
    int merge_old_excess() noexcept {
        Ref exists = host::lookup_global(names.exists);
        Ref found = exists ? host::call(exists.get(), {excess_filename.get()}) : Ref();
        int present = found ? PyObject_IsTrue(found.get()) : -1;
        if (present <= 0) {
            return present;
        }
        Ref going = Ref::steal(PySet_New(nullptr));
        if (!going) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(excess.get()); ++i) {
            Ref row = Ref::borrow(PyList_GET_ITEM(excess.get(), i));
            Ref cells = cells_of(row.get());
            if (!cells || PySet_Add(going.get(), cells.get()) < 0) {
                return -1;
            }
        }
        Py_ssize_t ours = PyList_GET_SIZE(excess.get());
        Ref old_header;
        int done =
            files::read_catalogue(excess_filename.get(), old_header, [&](PyObject *lines) noexcept {
                return carry_over(lines, going.get());
            });
        if (done < 0) {
            // An empty excess file holds no rows to keep.
            if (!old_header && PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyErr_Clear();
                return 0;
            }
            return -1;
        }
        return PyList_GET_SIZE(excess.get()) > ours ? host::sort_by_key(excess.get(), excess_key)
                                                    : 0;
    }

    /// Appends to `excess` each row of `lines` that holds a translation and whose cells are not
    /// in `going` yet.
    int carry_over(PyObject *lines, PyObject *going) noexcept {
        while (PyObject *next = PyIter_Next(lines)) {
            Ref row = Ref::steal(next);
            int keep = translated(row.get());
            if (keep <= 0) {
                if (keep < 0) {
                    return -1;
                }
                continue;
            }
            Ref cells = cells_of(row.get());
            int repeated = cells ? PySet_Contains(going, cells.get()) : -1;
            if (repeated < 0) {
                return -1;
            }
            if (!repeated &&
                (PySet_Add(going, cells.get()) < 0 || PyList_Append(excess.get(), row.get()) < 0)) {
                return -1;
            }
        }
        return PyErr_Occurred() ? -1 : 0;
    }

    /// True when a row holds a non-empty cell after cell 1.
    static int translated(PyObject *row) noexcept {
        Ref cells = cells_of(row);
        if (!cells) {
            return -1;
        }
        for (Py_ssize_t i = 2; i < PyTuple_GET_SIZE(cells.get()); ++i) {
            int filled = PyObject_IsTrue(PyTuple_GET_ITEM(cells.get(), i));
            if (filled != 0) {
                return filled;
            }
        }
        return 0;
    }

    /// Writes `header` and `lines` through `_csv_writer` into a temporary file for `target`.
    /// `prepare`, run once the file is open, fills `lines`; an error it reports is raised after
    /// the lines it gave before failing are written, for an error in writing one of them comes
    /// first when the rows are written one by one as they are taken.
    template <class Prepare>
    int write(files::Replacement &replacement, PyObject *target, Ref &lines,
              Prepare &&prepare) noexcept {
        int done = replacement.write(target, true, [&](PyObject *file) noexcept {
            Ref pending = prepare() < 0 ? Ref::steal(PyErr_GetRaisedException()) : Ref();
            if (pending && !lines) {
                PyErr_SetRaisedException(pending.release());
                return -1;
            }
            if (!pending && refuse_unreadable(header.get(), lines.get()) < 0) {
                return -1;
            }
            if (write_lines(file, lines.get()) < 0) {
                // The first error met is raised, the one of the rows chained to it.
                if (pending) {
                    Ref failure = Ref::steal(PyErr_GetRaisedException());
                    PyException_SetContext(failure.get(), pending.release());
                    PyErr_SetRaisedException(failure.release());
                }
                return -1;
            }
            if (pending) {
                PyErr_SetRaisedException(pending.release());
                return -1;
            }
            return 0;
        });
        return done < 0 ? files::add_note_format("while writing %R", target) : 0;
    }

    /// `header` and then `lines` through `_csv_writer`, a row at a time; natively, as far as
    /// the rows are plain, while `_csv_writer` is the writer start-up bound.
    int write_lines(PyObject *file, PyObject *lines) noexcept {
        Ref make_writer = host::lookup_global(names.csv_writer);
        if (!make_writer) {
            return -1;
        }
        Py_ssize_t written = 0; // the header counted
        if (fast::writer && make_writer.get() == original_writer && header) {
            if ((written = write_rows(file, header.get(), lines)) < 0) {
                return -1;
            }
            if (written > PyList_GET_SIZE(lines)) {
                return 0;
            }
        }
        Ref writer = host::call(make_writer.get(), {file});
        Ref writerow = writer ? host::getattr(writer.get(), names.writerow) : Ref();
        if (!writerow) {
            return -1;
        }
        if (written == 0) {
            if (!header) {
                // The catalogue's `with` block ended by an exception its __exit__ suppressed.
                return host::raise_unbound("header");
            }
            if (!host::call(writerow.get(), {header.get()})) {
                return -1;
            }
            written = 1;
        }
        for (Py_ssize_t i = written - 1; i < PyList_GET_SIZE(lines); ++i) {
            Ref line = Ref::borrow(PyList_GET_ITEM(lines, i)); // writerow may drop the list's
            if (!host::call_method(writer.get(), names.writerow, {line.get()})) {
                return -1;
            }
        }
        return 0;
    }

    /// The catalogue written (the entries split into its rows and the excess rows as it is),
    /// then the excess file, both complete before either replaces its target, the excess file
    /// first; a failure to replace the catalogue puts the old excess file back.
    int write_files(PyObject *contents) noexcept {
        files::Replacement catalogue_file, excess_file;
        Ref unmet;
        if (write(catalogue_file, csv_filename, rows,
                  [&]() noexcept { return split(contents, unmet); }) < 0 ||
            gather_excess(std::move(unmet)) < 0) {
            return -1;
        }
        const bool has_excess = PyList_GET_SIZE(excess.get()) > 0;
        if (has_excess &&
            (name_excess_file() < 0 || merge_old_excess() < 0 ||
             write(excess_file, excess_filename.get(), excess, []() noexcept { return 0; }) < 0)) {
            return -1;
        }
        files::Backup old_excess;
        if (has_excess &&
            (old_excess.keep(excess_file.destination()) < 0 || excess_file.commit() < 0)) {
            return -1;
        }
        if (catalogue_file.commit() < 0) {
            old_excess.restore();
            return -1;
        }
        return old_excess.drop();
    }

    int run() noexcept {
        cache = Ref::steal(PyDict_New());
        dropped = Ref::steal(PyList_New(0));
        if (!cache || !dropped) {
            return -1;
        }
        Ref exists = host::lookup_global(names.exists);
        Ref found = exists ? host::call(exists.get(), {csv_filename}) : Ref();
        int present = found ? PyObject_IsTrue(found.get()) : -1;
        if (present < 0) {
            return -1;
        }
        if (present) {
            if (load() < 0) {
                return -1;
            }
        } else if (!(header = Ref::steal(PyTuple_Pack(3, names.position_header, constants.zero,
                                                      constants.one)))) {
            return -1;
        }
        if (scan() < 0) {
            return -1;
        }
        Ref contents = sorted_contents();
        return contents ? write_files(contents.get()) : -1;
    }
};

PyObject *parse_body(const Bound &bound) noexcept {
    return update_catalogue(bound.arg[0], bound.rest, nullptr, nullptr) < 0 ? nullptr : Py_NewRef(Py_None);
}

constexpr Parameter parse_parameters[] = {{"csv_filename", Requirement::str, "str"}};

constexpr Signature parse_signature = {
    .name = "parse",
    .qualname = "parse",
    .parameters = parse_parameters,
    .required = 1,
    .rest = Rest::collected,
    .body = parse_body,
};

} // namespace

int update_catalogue(PyObject *csv_filename, std::span<PyObject *const> filenames,
                     PyObject *scanner, Ref *cache) noexcept {
    Update update{csv_filename, filenames, scanner, {}, {}, {}, {}, {}, {}};
    if (update.run() < 0) {
        return -1;
    }
    if (cache != nullptr) {
        *cache = std::move(update.cache);
    }
    return 0;
}

int init_update() noexcept {
    // The writer start-up bound (not what host code run since may have rebound) is the one
    // the native writer may stand in for, and only when it is the host's own csv.writer
    // writing to files of the host's own open(), whose writes no host code sees one by one.
    Ref writer = host::bound_at_start_up(names.csv_writer);
    if (!writer) {
        return -1;
    }
    const bool genuine = host::is_csv_writer(writer.get()) &&
                         host::io_module_of(host::services.open) != nullptr;
    Py_XSETREF(original_writer, genuine ? writer.release() : nullptr);
    Ref csv = Ref::steal(PyImport_ImportModule("csv"));
    Ref limit = csv ? Ref::steal(PyObject_GetAttrString(csv.get(), "field_size_limit")) : Ref();
    if (!limit) {
        return -1;
    }
    Py_XSETREF(field_size_limit, limit.release());
    Ref contents = make_function(contents_key_signature, nullptr);
    Ref rows = contents ? make_function(excess_key_signature, nullptr) : Ref();
    if (!rows) {
        return -1;
    }
    Py_XSETREF(contents_key, contents.release());
    Py_XSETREF(excess_key, rows.release());
    return 0;
}

Ref make_parse() noexcept {
    return init_update() < 0 ? Ref() : make_function(parse_signature, nullptr);
}

} // namespace qel_i18n::extract
