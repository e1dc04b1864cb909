// qel_i18n: the probe cache of each catalogue object, kept beside the object (its namespace
// shows nothing) and dropped by a weak-reference callback when the object goes away.
#include "catalogue/probe_index.hpp"

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

PyMethodDef forget_definition = {"forget", forget, METH_O, nullptr};

void fill_runs(ProbeIndex &index);

/// True for the entries the loader makes: (row number, message, translation or None).
bool is_plain_entry(PyObject *element) noexcept {
    if (!PyTuple_CheckExact(element) || PyTuple_GET_SIZE(element) != 3) {
        return false;
    }
    PyObject *number = PyTuple_GET_ITEM(element, 0);
    PyObject *translation = PyTuple_GET_ITEM(element, 2);
    return PyLong_CheckExact(number) && PyUnicode_CheckExact(PyTuple_GET_ITEM(element, 1)) &&
           (translation == Py_None || PyUnicode_CheckExact(translation));
}

/// Fills `index` for `table`. Only tables of plain entries are indexed: their elements can
/// refer to nothing that could refer back, so holding them adds no uncollectable cycle. A
/// table that does not qualify is remembered as such. May throw std::bad_alloc.
void fill(ProbeIndex &index, PyObject *table) {
    Py_ssize_t n = PyList_GET_SIZE(table);
    PyObject **items = PySequence_Fast_ITEMS(table);
    std::vector<Leading> probes;
    Ref snapshot;
    bool usable = true;
    for (Py_ssize_t i = 0; i < n && usable; ++i) {
        usable = is_plain_entry(items[i]);
    }
    std::vector<PyObject *> answers;
    if (usable) {
        probes.resize(static_cast<size_t>(n));
        answers.resize(static_cast<size_t>(n));
        snapshot = Ref::steal(PyList_GetSlice(table, 0, n));
        if (!snapshot) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
    }
    index.table = table;
    index.length = static_cast<size_t>(n);
    index.usable = usable;
    std::swap(index.snapshot, snapshot);
    std::swap(index.probes, probes);
    std::swap(index.answers, answers);
    index.runs.clear();
    index.mask = 0;
    if (!usable) {
        return; // the previous snapshot and arrays are released here
    }
    PyObject *const *held = index.elements();
    bool sorted = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *message = PyTuple_GET_ITEM(held[i], 1);
        PyObject *translation = PyTuple_GET_ITEM(held[i], 2);
        index.probes[i] = leading_units(message);
        index.answers[i] =
            translation != Py_None && PyUnicode_GET_LENGTH(translation) > 0 ? translation : nullptr;
        sorted = sorted && (i == 0 || PyUnicode_Compare(index.message(i - 1), message) <= 0);
    }
    if (sorted && n > 0 && n < static_cast<Py_ssize_t>(UINT32_MAX)) {
        fill_runs(index);
    }
}

bool same_text(PyObject *a, PyObject *b) noexcept {
    if (a == b) {
        return true;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * kind) ==
               0;
}

/// The runs of a sorted table. May throw std::bad_alloc.
void fill_runs(ProbeIndex &index) {
    const size_t n = index.probes.size();
    size_t slots = 16;
    while (slots < 2 * n) {
        slots *= 2;
    }
    index.runs.assign(slots, ProbeIndex::Run{0, nullptr, 1, 0});
    index.mask = slots - 1;
    for (size_t first = 0; first < n;) {
        PyObject *message = index.message(first);
        size_t last = first;
        while (last + 1 < n && same_text(index.message(last + 1), message)) {
            ++last;
        }
        Py_hash_t hash = PyObject_Hash(message); // a str's hash never fails, and is kept
        size_t slot = static_cast<size_t>(hash) & index.mask;
        while (index.runs[slot].first <= index.runs[slot].last) {
            slot = (slot + 1) & index.mask;
        }
        index.runs[slot] = {hash, message, static_cast<std::uint32_t>(first),
                            static_cast<std::uint32_t>(last)};
        first = last + 1;
    }
}

} // namespace

const ProbeIndex::Run *ProbeIndex::find(PyObject *message) const noexcept {
    if (runs.empty()) {
        return nullptr;
    }
    Py_hash_t hash = PyObject_Hash(message);
    for (size_t slot = static_cast<size_t>(hash) & mask;; slot = (slot + 1) & mask) {
        const Run &run = runs[slot];
        if (run.first > run.last) {
            return nullptr;
        }
        if (run.hash == hash && same_text(run.message, message)) {
            return &run;
        }
    }
}

Leading leading_units(PyObject *text) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const Py_ssize_t count = length < 15 ? length : 15;
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Leading units{0, 1};
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_UCS4 unit = PyUnicode_READ(kind, data, i);
        if (unit > 0xff) {
            units.low &= ~std::uint64_t{1};
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

const ProbeIndex *probe_index(PyObject *self, PyObject *table) noexcept {
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
