// qel_i18n: the probe index of each catalogue object, kept beside the object (its namespace
// shows nothing) and dropped by a weak-reference callback when the object goes away.
#include "catalogue/probe_index.hpp"
#include "module/fast_paths.hpp"

#include <bit>
#include <cstring>
#include <new>
#include <unordered_map>

namespace qel_i18n::catalogue {

namespace {

struct Entry {
    Ref weakref; // to the catalogue object, whose death calls forget()
    ProbeIndex index;
};

// Allocated once and never destroyed: it holds host references, which must not be released
// by a static destructor after the interpreter has gone.
std::unordered_map<PyObject *, Entry> *entries = nullptr;

// The object searched last and its index, so that the common case finds it without hashing.
PyObject *last_self = nullptr;
ProbeIndex *last_index = nullptr;

PyObject *forget(PyObject *key, PyObject *) noexcept {
    PyObject *self = static_cast<PyObject *>(PyLong_AsVoidPtr(key));
    if (self == last_self) {
        last_self = nullptr;
        last_index = nullptr;
    }
    auto found = entries->find(self);
    if (found != entries->end()) {
        // Released after the erase, so that whatever the release runs sees a consistent map.
        Entry gone = std::move(found->second);
        entries->erase(found);
    }
    Py_RETURN_NONE;
}

PyMethodDef forget_definition = {
    .ml_name = "forget",
    .ml_meth = forget,
    .ml_flags = METH_O,
    .ml_doc = nullptr,
};

/// True for the elements an index can hold: triples the collector does not track, whose items
/// are therefore atomic or untracked themselves, as the loader's entries are.
bool is_atomic_triple(PyObject *element) noexcept {
    return PyTuple_CheckExact(element) && PyTuple_GET_SIZE(element) == 3 &&
           !PyObject_GC_IsTracked(element);
}

/// Eight bytes read as a big-endian number.
std::uint64_t big_endian(const void *bytes) noexcept {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::little) {
        value = __builtin_bswap64(value);
    }
    return value;
}

bool same_text(PyObject *a, PyObject *b) noexcept {
    if (a == b) {
        return true;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * kind) ==
               0;
}

constexpr std::uint64_t low_half = 0xffffffff;

/// The tag of a slot for `hash`: its top half with the top bit set, so that no slot in use is 0.
std::uint64_t slot_tag(Py_hash_t hash) noexcept {
    return (static_cast<std::uint64_t>(hash) | std::uint64_t{1} << 63) & ~low_half;
}

/// The runs of equal messages of `index`'s elements, when they are all exact str, sorted, and
/// few enough to number in a slot. May throw std::bad_alloc.
void fill_runs(ProbeIndex &index) {
    const size_t n = index.length;
    if (n == 0 || n >= (size_t{1} << 31)) {
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        if ((index.probes[i].low & leading_none) != 0 ||
            (i > 0 && compare_text(index.probes[i - 1], index.message(i - 1), index.probes[i],
                                   index.message(i)) > 0)) {
            return; // not sorted in the host's string order: no runs
        }
    }
    size_t slots = 16;
    while (slots < n + n / 4) {
        slots *= 2;
    }
    std::unique_ptr<std::uint64_t[], ProbeIndex::Free> runs(
        static_cast<std::uint64_t *>(std::calloc(slots, sizeof(std::uint64_t))));
    if (!runs) {
        throw std::bad_alloc();
    }
    const size_t mask = slots - 1;
    for (size_t first = 0; first < n;) {
        PyObject *message = index.message(first);
        size_t last = first;
        while (last + 1 < n && same_text(index.message(last + 1), message)) {
            ++last;
        }
        const Py_hash_t hash = PyObject_Hash(message); // a str's hash never fails, and is kept
        size_t slot = static_cast<size_t>(hash) & mask;
        while (runs[slot] != 0) {
            slot = (slot + 1) & mask;
        }
        runs[slot] = slot_tag(hash) | first << 1 | (last > first ? 1 : 0);
        first = last + 1;
    }
    index.runs = std::move(runs);
    index.mask = mask;
}

/// Fills `index` for `table` in one pass over its elements, then its runs. A table that does
/// not qualify is remembered as such. May throw std::bad_alloc.
void fill(ProbeIndex &index, PyObject *table) {
    const Py_ssize_t n = PyList_GET_SIZE(table);
    PyObject *const *items = PySequence_Fast_ITEMS(table);
    Ref snapshot = Ref::steal(PyList_New(n));
    std::unique_ptr<Leading[], ProbeIndex::Free> probes(
        static_cast<Leading *>(std::malloc(static_cast<size_t>(n) * sizeof(Leading) + 1)));
    if (!snapshot || !probes) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    bool usable = true;
    for (Py_ssize_t i = 0; i < n && usable; ++i) {
        usable = is_atomic_triple(items[i]);
        if (usable) {
            PyObject *message = PyTuple_GET_ITEM(items[i], 1);
            probes[i] = PyUnicode_CheckExact(message) ? leading_units(message)
                                                      : Leading{0, leading_none};
            PyList_SET_ITEM(snapshot.get(), i, Py_NewRef(items[i]));
        }
    }
    // The previous snapshot and arrays are released here: atomic triples, whose release runs
    // no code of the host's.
    index = ProbeIndex{};
    index.table = table;
    index.length = static_cast<size_t>(n);
    index.usable = usable;
    if (usable) {
        index.snapshot = std::move(snapshot);
        index.probes = std::move(probes);
        if (fast::runs) {
            fill_runs(index);
        }
    }
}

} // namespace

Leading leading_units(PyObject *text) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const Py_ssize_t count = length < 15 ? length : 15;
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    if (kind == PyUnicode_1BYTE_KIND) {
        // The common case: the units are the bytes themselves. A text of fifteen or more has
        // sixteen bytes to read, its terminating zero counted; a shorter one is padded.
        const auto *bytes = static_cast<const unsigned char *>(data);
        unsigned char padded[16] = {};
        if (count < 15) {
            std::memcpy(padded, bytes, static_cast<size_t>(count));
            bytes = padded;
        }
        return {big_endian(bytes), (big_endian(bytes + 8) & ~std::uint64_t{0xff}) | leading_narrow};
    }
    Leading units{0, leading_narrow};
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_UCS4 unit = PyUnicode_READ(kind, data, i);
        if (unit > 0xff) {
            units.low &= ~leading_narrow;
        }
        std::uint64_t byte = unit & 0xff;
        if (i < 8) {
            units.high |= byte << (56 - 8 * i);
        } else {
            units.low |= byte << (56 - 8 * (i - 8));
        }
    }
    return units;
}

bool ProbeIndex::find(PyObject *text, Run &run) const noexcept {
    if (!runs) {
        return false;
    }
    const Py_hash_t hash = PyObject_Hash(text);
    const std::uint64_t tag = slot_tag(hash);
    for (size_t slot = static_cast<size_t>(hash) & mask;; slot = (slot + 1) & mask) {
        const std::uint64_t entry = runs[slot];
        if (entry == 0) {
            return false;
        }
        const size_t first = (entry & low_half) >> 1;
        if ((entry & ~low_half) == tag && same_text(message(first), text)) {
            run = {first, first};
            while ((entry & 1) != 0 && run.last + 1 < length &&
                   same_text(message(run.last + 1), text)) {
                ++run.last;
            }
            return true;
        }
    }
}

ProbeIndex *probe_index(PyObject *self, PyObject *table) noexcept {
    const size_t length = static_cast<size_t>(PyList_GET_SIZE(table));
    if (self == last_self && last_index->describes(table, length)) {
        return last_index->usable ? last_index : nullptr;
    }
    try {
        if (entries == nullptr) {
            entries = new std::unordered_map<PyObject *, Entry>();
        }
        auto found = entries->find(self);
        Entry *entry;
        if (found != entries->end()) {
            entry = &found->second;
        } else {
            Ref key = Ref::steal(PyLong_FromVoidPtr(self));
            Ref callback =
                key ? Ref::steal(PyCFunction_New(&forget_definition, key.get())) : Ref();
            Ref weakref = callback ? Ref::steal(PyWeakref_NewRef(self, callback.get())) : Ref();
            if (!weakref) {
                PyErr_Clear();
                return nullptr;
            }
            entry = &(*entries)[self];
            entry->weakref = std::move(weakref);
        }
        if (!entry->index.describes(table, length)) {
            fill(entry->index, table);
        }
        last_self = self;
        last_index = &entry->index;
        return last_index->usable ? last_index : nullptr;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

} // namespace qel_i18n::catalogue
