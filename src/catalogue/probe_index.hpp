// qel_i18n: a probe cache for the lookup's binary search over one catalogue object's table.
#pragma once

#include "module/i18n.hpp"

#include <cstdint>
#include <vector>

namespace qel_i18n::catalogue {

/// The first fifteen code units of a str, packed for ordering: big-endian and zero-padded,
/// eight in `high` and seven in the top bits of `low`, whose lowest bit is set when all fifteen
/// fit in one byte. Then differing packed values order two strings as the strings themselves
/// are ordered; equal ones leave it to a full comparison.
struct Leading {
    std::uint64_t high;
    std::uint64_t low;
};

Leading leading_units(PyObject *text) noexcept;

/// -1, 0 or 1 as `a` sorts before, equal to or after `b`, given their leading units.
inline int compare_text(const Leading &a_units, PyObject *a, const Leading &b_units,
                        PyObject *b) noexcept {
    if ((a_units.low & b_units.low & 1) != 0) {
        if (a_units.high != b_units.high) {
            return a_units.high < b_units.high ? -1 : 1;
        }
        if ((a_units.low >> 8) != (b_units.low >> 8)) {
            return (a_units.low >> 8) < (b_units.low >> 8) ? -1 : 1;
        }
    }
    return PyUnicode_Compare(a, b);
}

/// The probes of the table a catalogue object last searched. Position i of the cache stands for
/// the element the snapshot holds at i, and is used only while the table still holds that very
/// element there, which every search checks: the cache never changes a result. It is rebuilt
/// when the object's table is another one.
///
/// For a table sorted by message it also maps each message to the run of elements that hold
/// it: the search's path for a message found in such a table follows from that run alone (an
/// element before the run is smaller, one after it greater), so a hit needs no comparison
/// beyond the one that finds the run, only the check of each element on the path.
struct ProbeIndex {
    struct Run {
        Py_hash_t hash;
        PyObject *message;
        std::uint32_t first; // the run of equal messages, first..last; first > last: empty slot
        std::uint32_t last;
    };

    PyObject *table = nullptr; // identity only, not held
    size_t length = 0;         // the table's length when indexed
    bool usable = false;       // false: the table does not qualify, search it plainly
    Ref snapshot;              // the elements, held, so that their addresses identify them
    std::vector<Leading> probes;     // per element: leading_units(its message)
    std::vector<PyObject *> answers; // per element: its translation when that is a non-empty
                                     // str, else nullptr (the message itself is the answer)
    std::vector<Run> runs;           // open addressing by hash; empty unless the table is sorted
    size_t mask = 0;

    /// The elements as indexed.
    PyObject *const *elements() const noexcept { return PySequence_Fast_ITEMS(snapshot.get()); }

    /// The message of the element at `i`.
    PyObject *message(size_t i) const noexcept { return PyTuple_GET_ITEM(elements()[i], 1); }

    /// The run holding `message`, or nullptr (also when the table is not sorted).
    const Run *find(PyObject *message) const noexcept;

    bool describes(PyObject *other, size_t other_length) const noexcept {
        return table == other && length == other_length;
    }
};

/// The index for `self`'s current `table` (an exact list), building it if needed; nullptr when
/// there is none to be had (an object without weak references, no memory), with no exception
/// set.
const ProbeIndex *probe_index(PyObject *self, PyObject *table) noexcept;

} // namespace qel_i18n::catalogue
