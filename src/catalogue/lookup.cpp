// qel_i18n: I18N.gettext, the lookup on the hot path of every translation. It takes the table
// under the object's lock and binary-searches it by message with bounds that move to the
// middle itself, so that of several equal messages the one the halving reaches first decides.
//
// The fast paths below change no result: attributes are read from the instance dict only while
// that is what the host's attribute access would do, the lock is skipped only when taking it
// could not be observed, and cached probes are used only for elements still in place.
#include "catalogue/catalogue.hpp"
#include "catalogue/instance_view.hpp"
#include "catalogue/probe_index.hpp"
#include "module/fast_paths.hpp"
#include "module/function.hpp"
#include "module/host.hpp"

#include <algorithm>

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

/// An attribute the view holds, or read as the host reads it (which also raises its error
/// when the attribute is missing).
Ref attribute(PyObject *self, PyObject *held, PyObject *name) noexcept {
    return held != nullptr ? Ref::borrow(held) : host::getattr(self, name);
}

/// `with self.__lock: data = self.__data`.
Ref current_table(PyObject *self, const InstanceView *view) noexcept {
    Ref lock = view != nullptr ? attribute(self, view->lock, names.private_lock)
                               : host::getattr(self, names.private_lock);
    if (!lock) {
        return {};
    }
    if (fast::lock && view != nullptr && host::is_host_lock(lock.get())) {
        // The GIL is held from this test to the end of the read, and the view was read from
        // the instance dict without running any code that could release it: when the lock is
        // free, no other thread can take it in between, so this is the same as acquiring,
        // reading and releasing. A held lock (a reload in progress) takes the full path below
        // and waits for it.
        int held = host::lock_is_held(lock.get());
        if (held < 0) {
            return {};
        }
        if (!held) {
            return attribute(self, view->data, names.private_data);
        }
    }
    host::RecursionGuard guard;
    if (!guard) {
        return {};
    }
    Ref table;
    int done = host::with_block(lock.get(), [&]() noexcept {
        // Read afresh, as the host reads it: the wait for the lock may have let other threads
        // store a new table, or change the object or its class.
        table = host::getattr(self, names.private_data);
        return table ? 0 : -1;
    });
    if (done == 0 && !table) {
        // A lock whose exit suppressed the error of the read leaves the table unread, as the
        // host leaves a local variable that the block did not bind.
        host::raise_unbound("data");
    }
    return done < 0 || !table ? Ref() : std::move(table);
}

/// -1, 0 or 1 as `value` sorts before, equal to or after `message`; -2 with an exception set.
/// Exact strings take one comparison; anything else is compared as the host compares it,
/// equality first, and for order only when `ordered`: on the last candidate a miss ends the
/// search before any ordering comparison (which may fail, as for an int and a str), so it
/// gives 1 without one.
int compare(PyObject *value, PyObject *message, bool ordered) noexcept {
    if (PyUnicode_CheckExact(value)) {
        return PyUnicode_Compare(value, message);
    }
    Ref equal = Ref::steal(PyObject_RichCompare(value, message, Py_EQ));
    int is_equal = equal ? PyObject_IsTrue(equal.get()) : -1;
    if (is_equal != 0) {
        return is_equal < 0 ? -2 : 0;
    }
    if (!ordered) {
        return 1;
    }
    Ref less = Ref::steal(PyObject_RichCompare(value, message, Py_LT));
    int is_less = less ? PyObject_IsTrue(less.get()) : -1;
    return is_less < 0 ? -2 : (is_less ? -1 : 1);
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

/// True when a probe of `element` and its message `value` ran no code of the host's: an exact
/// list's element that is an exact tuple or list, with an exact str as its message.
bool probed_plainly(PyObject *table, PyObject *element, PyObject *value) noexcept {
    return PyList_CheckExact(table) &&
           (PyTuple_CheckExact(element) || PyList_CheckExact(element)) &&
           PyUnicode_CheckExact(value);
}

/// The search state: the bounds, and the probe index while it can be trusted.
struct Search {
    PyObject *table;
    PyObject *message;
    ProbeIndex *index; // dropped once host code has run, which may have rebuilt or replaced it
    Leading units;
    Py_ssize_t low;
    Py_ssize_t high;

    /// The leading units of the element at `middle` while the index may stand for it: the
    /// table still holds there the element the index has, and its message is an exact str.
    const Leading *indexed(Py_ssize_t middle) const noexcept {
        if (index == nullptr || middle >= PyList_GET_SIZE(table) ||
            static_cast<size_t>(middle) >= index->length ||
            PySequence_Fast_ITEMS(table)[middle] != index->elements()[middle]) {
            return nullptr;
        }
        const Leading &probe = index->probes[middle];
        return (probe.low & leading_none) != 0 ? nullptr : &probe;
    }

    /// The answer for a hit on the indexed element at `middle` (an atomic triple, whose
    /// translation runs no code of the host's when tested).
    PyObject *answer(Py_ssize_t middle) const noexcept {
        return translation_of(index->elements()[middle], message);
    }

    /// One step after a probe that did not hit; false when the search ends without a hit.
    bool narrow(Py_ssize_t middle, int order) noexcept {
        if (low == high) {
            return false;
        }
        if (order < 0) {
            low = low == middle ? high : middle;
        } else {
            high = middle;
        }
        return true;
    }

    /// The search from the current bounds.
    PyObject *run() noexcept {
        host::RecursionGuard guard; // comparing other objects than str may call back
        if (!guard) {
            return nullptr;
        }
        for (;;) {
            Py_ssize_t middle = (low + high) / 2;
            int order;
            if (const Leading *probe = indexed(middle)) {
                order = compare_text(*probe, index->message(static_cast<size_t>(middle)), units,
                                     message);
                if (order == 0) {
                    return answer(middle);
                }
            } else {
                Ref element = host::subscript(table, middle);
                Ref value = element ? host::subscript(element.get(), 1, constants.one) : Ref();
                if (!value || !probed_plainly(table, element.get(), value.get())) {
                    index = nullptr;
                }
                order = value ? compare(value.get(), message, low != high) : -2;
                if (order == -2) {
                    return nullptr;
                }
                if (order == 0) {
                    // `data[middle][2]`: the element is read again for its translation.
                    element = host::subscript(table, middle);
                    return element ? translation_of(element.get(), message) : nullptr;
                }
            }
            if (!narrow(middle, order)) {
                return Py_NewRef(message);
            }
        }
    }

    /// The search while every element it reaches is in place, which compares by the leading
    /// units and takes no guard, since nothing in it runs code of the host's; the first element
    /// out of place hands the rest to the full search, from the same bounds.
    PyObject *scan() noexcept {
        PyObject *const *items = PySequence_Fast_ITEMS(table);
        PyObject *const *elements = index->elements();
        const Leading *probes = index->probes.get();
        const Py_ssize_t size =
            std::min(PyList_GET_SIZE(table), static_cast<Py_ssize_t>(index->length));
        for (;;) {
            Py_ssize_t middle = (low + high) / 2;
            if (middle >= size || items[middle] != elements[middle] ||
                (probes[middle].low & leading_none) != 0) {
                return run();
            }
            int order =
                compare_text(probes[middle], PyTuple_GET_ITEM(elements[middle], 1), units, message);
            if (order == 0) {
                return answer(middle);
            }
            if (!narrow(middle, order)) {
                return Py_NewRef(message);
            }
        }
    }

    /// The search for a message that a sorted, indexed table holds in `found`: every element
    /// before the run is smaller and every one after it greater, so the path needs no
    /// comparison, only the check that each element on it is still in place. The first
    /// element out of place hands the rest to the full search, from the same bounds.
    PyObject *follow(const ProbeIndex::Run &found) noexcept {
        // Nothing below runs code of the host's, so the table cannot change meanwhile.
        PyObject *const *items = PySequence_Fast_ITEMS(table);
        PyObject *const *elements = index->elements();
        const Py_ssize_t size =
            std::min(PyList_GET_SIZE(table), static_cast<Py_ssize_t>(index->length));
        const auto first = static_cast<Py_ssize_t>(found.first);
        const auto last = static_cast<Py_ssize_t>(found.last);
        for (;;) {
            Py_ssize_t middle = (low + high) / 2;
            if (middle >= size || items[middle] != elements[middle]) {
                units = leading_units(message);
                return run();
            }
            if (middle >= first && middle <= last) {
                return answer(middle);
            }
            if (!narrow(middle, middle < first ? -1 : 1)) {
                return Py_NewRef(message);
            }
        }
    }
};

PyObject *search(PyObject *self, PyObject *table, PyObject *message) noexcept {
    const bool is_list = PyList_CheckExact(table);
    Py_ssize_t length = is_list ? PyList_GET_SIZE(table) : PyObject_Size(table);
    if (length <= 0) {
        return length < 0 ? nullptr : Py_NewRef(message);
    }
    const bool indexed = fast::leading && is_list;
    Search state{table, message, indexed ? probe_index(self, table) : nullptr, {}, 0, length - 1};
    if (state.index == nullptr) {
        return state.run();
    }
    if (ProbeIndex::Run found; fast::runs && state.index->find(message, found)) {
        return state.follow(found);
    }
    state.units = leading_units(message);
    return state.scan();
}

PyObject *lookup_body(const Bound &bound) noexcept {
    Ref dict;
    InstanceView view;
    if (instance_view(bound.arg[0], dict, view)) {
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

PyObject *translate(PyObject *self, const InstanceView *view, PyObject *message) noexcept {
    Ref language_index =
        view != nullptr ? attribute(self, view->language_index, names.private_language_index)
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
