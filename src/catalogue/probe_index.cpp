// qel_i18n: the probe index of each catalogue object, kept beside the object (its namespace
// shows nothing) and dropped by a weak-reference callback when the object goes away.
#include "catalogue/probe_index.hpp"

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

/// Fills `index` for `table`, in one pass over its elements. A table that does not qualify is
/// remembered as such. May throw std::bad_alloc.
void fill(ProbeIndex &index, PyObject *table) {
    const Py_ssize_t n = PyList_GET_SIZE(table);
    PyObject *const *items = PySequence_Fast_ITEMS(table);
    Ref snapshot = Ref::steal(PyList_New(n));
    if (!snapshot) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    bool usable = true;
    for (Py_ssize_t i = 0; i < n && usable; ++i) {
        usable = is_atomic_triple(items[i]);
        if (usable) {
            PyList_SET_ITEM(snapshot.get(), i, Py_NewRef(items[i]));
        }
    }
    // Zeroed pages from calloc cost nothing until a probe first touches them.
    std::unique_ptr<Leading[], ProbeIndex::Free> probes;
    if (usable && n > 0) {
        probes.reset(static_cast<Leading *>(std::calloc(static_cast<size_t>(n), sizeof(Leading))));
        if (!probes) {
            throw std::bad_alloc();
        }
    }
    index.table = table;
    index.length = static_cast<size_t>(n);
    index.usable = usable;
    if (!usable) {
        snapshot = Ref(); // a partial snapshot is no use
    }
    // The previous snapshot and probes are released here, holding atomic triples only.
    std::swap(index.snapshot, snapshot);
    std::swap(index.probes, probes);
}

} // namespace

Leading leading_units(PyObject *text) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const Py_ssize_t count = length < 15 ? length : 15;
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Leading units{0, leading_narrow | leading_filled};
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

void release_probe_index(PyObject *self) noexcept {
    if (entries == nullptr) {
        return;
    }
    auto found = entries->find(self);
    if (found != entries->end()) {
        ProbeIndex gone = std::move(found->second.index);
        found->second.index = ProbeIndex{};
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
