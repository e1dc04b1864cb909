// qel_i18n: I18N.gettext, the lookup on the hot path of every translation. It takes the table
// under the object's lock and binary-searches it by message with bounds that move to the
// middle itself, so that of several equal messages the one the halving reaches first decides.
//
// The shortcuts below change no result: each stands in for the plain path only while the plain
// path could not behave differently. They rest on four caches, each kept where it is named:
//
// 1. The class watcher (catalogue.cpp, class_is_pristine): whether I18N is still as made
//    (generic attribute access, no base but object, its own gettext, none of the private
//    names on the class), so that reading an instance attribute is a lookup in the instance
//    dict that runs no code. Any change to the class, reported by a type watcher, makes it
//    unknown until the next lookup checks the class again.
// 2. The instance view (catalogue.cpp, InstanceView): for the instance looked up last, what
//    its dict holds under `gettext` and the three private names the lookup reads, borrowed.
//    Each entry is read when a lookup first reaches the point where the host reads it (the
//    module gettext's `gettext`, then the index; the lock and the table only for an index
//    other than 0), once, its failure raised there. Used only while the class is as made (1);
//    kept while it is the same object with the same dict and no watched dict has changed
//    (host::dict_epoch; the instance dict is watched). A read that may have run host code (a
//    key's __eq__) holds what it found, and when anything changed meanwhile drops the view.
//    Within a call it is left as soon as host code may run: such a read, comparing a language
//    index that is no exact int, or waiting for the lock, after which everything is read
//    afresh, as the host reads it.
// 3. The cached global (host.cpp, CachedGlobal): the object the module gettext finds under
//    `i18n` in the module namespace, borrowed; kept while no watched dict has changed (the
//    namespace is watched once start-up has bound it).
// 4. The probe index (probe_index.cpp): per catalogue object, for the table it last stored or
//    searched, the elements (held), the leading code units of each message and, for a sorted
//    table, a hash of its runs of equal messages; and the object searched last with its index,
//    which saves the lookup in the map. Rebuilt when the object holds another table or one of
//    another length; dropped with its object (a weak-reference callback). A position counts
//    only while the table still holds there the element the index has (InPlace, in
//    probe_index.hpp), and the index is not used once host code has run, which may have
//    rebuilt or dropped it.
#include "catalogue/catalogue.hpp"
#include "catalogue/instance_view.hpp"
#include "catalogue/probe_index.hpp"
#include "module/fast_paths.hpp"
#include "module/function.hpp"
#include "module/host.hpp"

namespace qel_i18n::catalogue {

namespace {

/// 1 when `value == 0` holds, 0 when not, -1 with an exception set.
int is_zero(PyObject *value) noexcept {
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        return PyLong_AsLongAndOverflow(value, &overflow) == 0 && overflow == 0;
    }
    return PyObject_RichCompareBool(value, constants.zero, Py_EQ);
}

/// `with self.__lock: data = self.__data`.
Ref current_table(PyObject *self, InstanceView *view) noexcept {
    Ref lock = view != nullptr ? view->attribute(Attribute::lock)
                               : host::getattr(self, names.private_lock);
    if (!lock) {
        return {};
    }
    if (view != nullptr && !(fast::lock && view->active() && host::is_host_lock(lock.get()))) {
        view = nullptr; // entering any other lock runs host code
    }
    if (view != nullptr) {
        // The GIL is held from this test to the end of the read, which runs no code for a table
        // the view holds already: when the lock is free, no other thread can take it in
        // between, so this is the same as acquiring, reading and releasing. A table not read
        // yet is read under the lock, as its read may run host code; acquiring a free host lock
        // runs none and lets no other thread in. A held lock (a reload in progress) is waited
        // for, after which the table is read afresh.
        int held = host::lock_is_held(lock.get());
        if (held < 0) {
            return {};
        }
        if (held) {
            view = nullptr;
        } else if (PyObject *data = view->known(Attribute::data)) {
            return Ref::borrow(data);
        }
    }
    host::RecursionGuard guard;
    if (!guard) {
        return {};
    }
    Ref table;
    int done = host::with_block(lock.get(), [&]() noexcept {
        // Without the view, read as the host reads it: the wait for the lock, or entering it,
        // may have let other threads store a new table, or change the object or its class.
        table = view != nullptr ? view->attribute(Attribute::data)
                                : host::getattr(self, names.private_data);
        return table ? 0 : -1;
    });
    if (done == 0 && !table) {
        // A lock whose exit suppressed the error of the read leaves the table unread, as the
        // host leaves a local variable that the block did not bind.
        host::raise_unbound("data");
    }
    return done < 0 || !table ? Ref() : std::move(table);
}

/// What a probe gives besides the order -1, 0 or 1 of the probed message against the one
/// searched for.
constexpr int failed = -2; // an exception is set
constexpr int unknown = 2; // the index cannot tell: the host's probes take over

/// -1, 0 or 1 as `value` sorts before, equal to or after `message`; `failed`. Exact strings
/// take one comparison; anything else is compared as the host compares it, equality first, and
/// for order only when `ordered`: on the last candidate a miss ends the search before any
/// ordering comparison (which may fail, as for an int and a str), so it gives 1 without one.
int compare(PyObject *value, PyObject *message, bool ordered) noexcept {
    if (PyUnicode_CheckExact(value)) {
        return PyUnicode_Compare(value, message);
    }
    Ref equal = Ref::steal(PyObject_RichCompare(value, message, Py_EQ));
    int is_equal = equal ? PyObject_IsTrue(equal.get()) : -1;
    if (is_equal != 0) {
        return is_equal < 0 ? failed : 0;
    }
    if (!ordered) {
        return 1;
    }
    Ref less = Ref::steal(PyObject_RichCompare(value, message, Py_LT));
    int is_less = less ? PyObject_IsTrue(less.get()) : -1;
    return is_less < 0 ? failed : (is_less ? -1 : 1);
}

/// The translation held by a found element, or the message when it holds none.
PyObject *translation_of(PyObject *element, PyObject *message) noexcept {
    if (PyTuple_CheckExact(element) && PyTuple_GET_SIZE(element) > 2) {
        PyObject *translation = PyTuple_GET_ITEM(element, 2);
        if (PyUnicode_CheckExact(translation)) {
            return Py_NewRef(PyUnicode_GET_LENGTH(translation) > 0 ? translation : message);
        }
        if (translation == Py_None) {
            return Py_NewRef(message);
        }
    }
    Ref translation = host::subscript(element, 2, constants.two);
    if (!translation) {
        return nullptr;
    }
    int present = PyObject_IsTrue(translation.get());
    if (present < 0) {
        return nullptr;
    }
    return present ? translation.release() : Py_NewRef(message);
}

/// What the probes through the index share: they run no host code, so that their order never
/// fails, and a hit's answer is read from the element the index holds.
struct IndexedProbe {
    static constexpr bool indexed = true;
    InPlace in_place;
    PyObject *message;

    PyObject *translation(Py_ssize_t middle) const noexcept {
        return translation_of(in_place.element(middle), message);
    }
};

/// Probes a message that a sorted, indexed table holds in the run first..last: every element
/// before the run is smaller and every one after it greater, so its place alone gives the order.
struct RunProbe : IndexedProbe {
    Py_ssize_t first;
    Py_ssize_t last;

    int order(Py_ssize_t middle, bool) const noexcept {
        if (!in_place(middle)) {
            return unknown;
        }
        return middle < first ? -1 : (middle > last ? 1 : 0);
    }
};

/// Probes by the leading code units of the messages, which decide most comparisons without
/// reading the strings.
struct UnitsProbe : IndexedProbe {
    const Leading *probes;
    Leading units;

    int order(Py_ssize_t middle, bool) const noexcept {
        if (!in_place(middle) || (probes[middle].low & leading_none) != 0) {
            return unknown; // out of place, or its message is no exact str
        }
        return compare_text(probes[middle], PyTuple_GET_ITEM(in_place.element(middle), 1), units,
                            message);
    }
};

/// Probes as the host does: `data[middle][1]`, compared with the message. Any table; each
/// probe may run host code, which may change the table, so nothing is kept between probes.
struct HostProbe {
    static constexpr bool indexed = false;
    PyObject *table;
    PyObject *message;

    int order(Py_ssize_t middle, bool last) const noexcept {
        Ref element = host::subscript(table, middle);
        Ref value = element ? host::subscript(element.get(), 1, constants.one) : Ref();
        return value ? compare(value.get(), message, !last) : failed;
    }
    PyObject *translation(Py_ssize_t middle) const noexcept {
        // `data[middle][2]`: the element is read again for its translation.
        Ref element = host::subscript(table, middle);
        return element ? translation_of(element.get(), message) : nullptr;
    }
};

PyObject *search_by_host(PyObject *table, PyObject *message, Py_ssize_t low,
                         Py_ssize_t high) noexcept;

/// The binary search over the candidates low..high, the same for every probe:
///
/// 1. Probe the middle, (low + high) / 2: `probe.order` orders its message against the one
///    searched for.
/// 2. Equal: the answer is the element's translation, or the message when it has none.
/// 3. Otherwise, when low equals high, the message is not in the table.
/// 4. Smaller: low moves to the middle, or to high when it is there already (high is then
///    low + 1, and the last candidate is probed alone next). Greater: high moves to the middle.
///
/// The bounds move to the middle itself, not past it, so that of several equal messages the
/// one the halving reaches first decides. An indexed probe that cannot tell hands the search
/// on to the host's probes, from the same bounds.
template <class Probe>
PyObject *bisect(const Probe &probe, PyObject *table, PyObject *message, Py_ssize_t low,
                 Py_ssize_t high) noexcept {
    for (;;) {
        const Py_ssize_t middle = (low + high) / 2;
        const int order = probe.order(middle, low == high);
        if (order == 0) {
            return probe.translation(middle);
        }
        if (order == failed) {
            return nullptr;
        }
        if (Probe::indexed && order == unknown) {
            return search_by_host(table, message, low, high);
        }
        if (low == high) {
            return Py_NewRef(message);
        }
        if (order < 0) {
            low = low == middle ? high : middle;
        } else {
            high = middle;
        }
    }
}

/// The search by the host's probes, guarded: comparing other objects than str may call back.
PyObject *search_by_host(PyObject *table, PyObject *message, Py_ssize_t low,
                         Py_ssize_t high) noexcept {
    host::RecursionGuard guard;
    return guard ? bisect(HostProbe{table, message}, table, message, low, high) : nullptr;
}

/// `data` searched for `message`: through the object's probe index while the table is an
/// exact list that has one, by the host's probes otherwise.
PyObject *search(PyObject *self, PyObject *table, PyObject *message) noexcept {
    const bool is_list = PyList_CheckExact(table);
    Py_ssize_t length = is_list ? PyList_GET_SIZE(table) : PyObject_Size(table);
    if (length <= 0) {
        return length < 0 ? nullptr : Py_NewRef(message);
    }
    const ProbeIndex *index = fast::leading && is_list ? probe_index(self, table) : nullptr;
    if (index == nullptr) {
        return search_by_host(table, message, 0, length - 1);
    }
    // Nothing from here to a probe that cannot tell runs host code.
    const InPlace in_place(table, *index);
    if (ProbeIndex::Run found; fast::runs && index->find(message, found)) {
        const RunProbe probe{{in_place, message},
                             static_cast<Py_ssize_t>(found.first),
                             static_cast<Py_ssize_t>(found.last)};
        return bisect(probe, table, message, 0, length - 1);
    }
    const UnitsProbe probe{{in_place, message}, index->probes.get(), leading_units(message)};
    return bisect(probe, table, message, 0, length - 1);
}

PyObject *lookup_body(const Bound &bound) noexcept {
    InstanceView view;
    if (view.open(bound.arg[0])) {
        return translate(bound.arg[0], &view, bound.arg[1]);
    }
    host::RecursionGuard guard;
    return guard ? translate(bound.arg[0], nullptr, bound.arg[1]) : nullptr;
}

constexpr Parameter lookup_parameters[] = {
    {"self", Requirement::any, nullptr},
    {"message", Requirement::str, "str"},
};

constexpr Signature lookup_signature = {
    .name = "gettext",
    .qualname = "I18N.gettext",
    .parameters = lookup_parameters,
    .required = 2,
    .body = lookup_body,
    .guards_itself = true,
};

} // namespace

PyObject *translate(PyObject *self, InstanceView *view, PyObject *message) noexcept {
    Ref language_index = view != nullptr ? view->attribute(Attribute::language_index)
                                         : host::getattr(self, names.private_language_index);
    if (!language_index) {
        return nullptr;
    }
    // Comparing anything but an exact int with 0 runs host code, which may rebind or free what
    // the view holds (borrowed from the instance dict), on this thread or on another that it
    // lets run: the lock and the table are then read afresh, as the host reads them.
    if (!PyLong_CheckExact(language_index.get())) {
        view = nullptr;
    }
    int source_language = is_zero(language_index.get());
    if (source_language != 0) {
        return source_language < 0 ? nullptr : Py_NewRef(message);
    }
    Ref table = current_table(self, view);
    return table ? search(self, table.get(), message) : nullptr;
}

Ref make_lookup() noexcept { return make_function(lookup_signature, nullptr); }

} // namespace qel_i18n::catalogue
