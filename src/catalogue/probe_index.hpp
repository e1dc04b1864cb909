// qel_i18n: the probe index of a catalogue object's table: the leading code units of each
// element's message, so that most probes of the lookup's binary search compare two integers
// instead of two strings.
#pragma once

#include "module/i18n.hpp"

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace qel_i18n::catalogue {

/// The first fifteen code units of a str, packed for ordering: big-endian and zero-padded,
/// eight in `high` and seven in the top bits of `low`. Bit 0 of `low` is set when all fifteen
/// fit in one byte, and bit 1 once the units are filled in; bit 2 marks a message that is no
/// exact str and has no units. Differing packed values order two strings as the strings
/// themselves are ordered; equal ones leave it to a full comparison.
struct Leading {
    std::uint64_t high;
    std::uint64_t low;
};

inline constexpr std::uint64_t leading_narrow = 1;
inline constexpr std::uint64_t leading_filled = 2;
inline constexpr std::uint64_t leading_none = 4;

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
/// there, which every probe checks: the index never changes a result. The snapshot holds the
/// elements, so that an address identifies one. Only tables of triples that the collector does
/// not track are indexed (the loader's entries): they can refer to nothing that refers back, so
/// holding them adds no uncollectable cycle. The leading units of an element are filled in when
/// it is first probed, so that building the index costs little more than the snapshot.
struct ProbeIndex {
    struct Free {
        void operator()(Leading *probes) const noexcept { std::free(probes); }
    };

    PyObject *table = nullptr; // identity only, not held
    size_t length = 0;         // the table's length when indexed
    bool usable = false;       // false: the table does not qualify, search it plainly
    Ref snapshot;              // the elements, held
    std::unique_ptr<Leading[], Free> probes; // zeroed: nothing filled in yet

    /// The elements as indexed.
    PyObject *const *elements() const noexcept { return PySequence_Fast_ITEMS(snapshot.get()); }

    /// The message of the element at `i`.
    PyObject *message(size_t i) const noexcept { return PyTuple_GET_ITEM(elements()[i], 1); }

    /// The leading units of the element at `i`; leading_none set when its message is no exact
    /// str, which only a full comparison can order.
    const Leading &probe(size_t i) noexcept {
        Leading &units = probes[i];
        if ((units.low & leading_filled) == 0) {
            PyObject *text = message(i);
            units = PyUnicode_CheckExact(text) ? leading_units(text)
                                               : Leading{0, leading_filled | leading_none};
        }
        return units;
    }

    bool describes(PyObject *other, size_t other_length) const noexcept {
        return table == other && length == other_length;
    }
};

/// The index for `self`'s current `table` (an exact list), building it if needed; nullptr when
/// there is none to be had (a table that does not qualify, an object without weak references,
/// no memory), with no exception set. It stays valid until host code runs.
ProbeIndex *probe_index(PyObject *self, PyObject *table) noexcept;

/// Releases the index of `self`, whose table has just been replaced: the old table's elements
/// then go with the old table, not at the next lookup.
void release_probe_index(PyObject *self) noexcept;

} // namespace qel_i18n::catalogue
