// qel_i18n: the probe index of a catalogue object's table: the leading code units of each
// element's message, so that most probes of the lookup's binary search compare two integers
// instead of two strings, and for a sorted table a hash of its runs of equal messages, so that
// a message it holds is found without comparing at all.
#pragma once

#include "module/i18n.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace qel_i18n::catalogue {

/// The first fifteen code units of a str, packed for ordering: big-endian and zero-padded,
/// eight in `high` and seven in the top bits of `low`. Bit 0 of `low` is set when all fifteen
/// fit in one byte; bit 1 marks a message that is no exact str and has no units. Differing
/// packed values order two strings as the strings themselves are ordered; equal ones leave it
/// to a full comparison.
struct Leading {
    std::uint64_t high;
    std::uint64_t low;
};

inline constexpr std::uint64_t leading_narrow = 1;
inline constexpr std::uint64_t leading_none = 2;

Leading leading_units(PyObject *text) noexcept;

/// -1, 0 or 1 as `a` sorts before, equal to or after `b`, given their leading units.
inline int compare_text(const Leading &a_units, PyObject *a, const Leading &b_units,
                        PyObject *b) noexcept {
    if ((a_units.low & b_units.low & leading_narrow) != 0) {
        if (a_units.high != b_units.high) {
            return a_units.high < b_units.high ? -1 : 1;
        }
        if ((a_units.low >> 8) != (b_units.low >> 8)) {
            return (a_units.low >> 8) < (b_units.low >> 8) ? -1 : 1;
        }
    }
    return PyUnicode_Compare(a, b);
}

/// The probes of the table a catalogue object last searched. Position i stands for the element
/// the snapshot holds at i, and is used only while the table still holds that very element
/// there, which every probe checks (InPlace): the index never changes a result. The snapshot
/// holds the elements, so that an address identifies one. Only tables of triples that the
/// collector does not track are indexed (the loader's entries): they can refer to nothing that
/// refers back, so holding them adds no uncollectable cycle.
///
/// For a table sorted by message it also maps each message to the run of elements that hold
/// it: the search's path for a message found in such a table follows from that run alone (an
/// element before the run is smaller, one after it greater), so a hit needs no comparison
/// beyond the one that finds the run, only the check of each element on the path.
struct ProbeIndex {
    struct Free {
        void operator()(void *block) const noexcept { std::free(block); }
    };

    /// A run of equal messages, first..last.
    struct Run {
        size_t first;
        size_t last;
    };

    PyObject *table = nullptr; // identity only, not held
    size_t length = 0;         // the table's length when indexed
    bool usable = false;       // false: the table does not qualify, search it plainly
    Ref snapshot;              // the elements, held
    std::unique_ptr<Leading[], Free> probes;
    // Open addressing by the messages' hashes, for a sorted table: per slot, the top half of
    // the hash with the top bit set (0: an empty slot), then the run's first element, twice,
    // plus one when the run is longer than that element alone.
    std::unique_ptr<std::uint64_t[], Free> runs;
    size_t mask = 0;

    /// The elements as indexed.
    PyObject *const *elements() const noexcept { return PySequence_Fast_ITEMS(snapshot.get()); }

    /// The message of the element at `i`.
    PyObject *message(size_t i) const noexcept { return PyTuple_GET_ITEM(elements()[i], 1); }

    /// The run of a sorted table holding `message` (an exact str); false when there is none.
    bool find(PyObject *message, Run &run) const noexcept;

    bool describes(PyObject *other, size_t other_length) const noexcept {
        return table == other && length == other_length;
    }
};

/// The positions at which a table still holds the element its index has there: only for those
/// do the index's probes stand. Read once, and valid while no host code runs, which could change
/// the table or rebuild the index.
class InPlace {
  public:
    InPlace(PyObject *table, const ProbeIndex &index) noexcept
        : items_(PySequence_Fast_ITEMS(table)), elements_(index.elements()),
          size_(std::min(PyList_GET_SIZE(table), static_cast<Py_ssize_t>(index.length))) {}

    bool operator()(Py_ssize_t i) const noexcept { return i < size_ && items_[i] == elements_[i]; }

    /// The element at `i`, which must be in place.
    PyObject *element(Py_ssize_t i) const noexcept { return elements_[i]; }

  private:
    PyObject *const *items_;
    PyObject *const *elements_;
    Py_ssize_t size_;
};

/// The index for `self`'s current `table` (an exact list), building it if needed; nullptr when
/// there is none to be had (a table that does not qualify, an object without weak references,
/// no memory), with no exception set. It stays valid until host code runs. A reload builds the
/// index of the table it stores, under the object's lock, so that the next lookup finds it.
ProbeIndex *probe_index(PyObject *self, PyObject *table) noexcept;

} // namespace qel_i18n::catalogue
