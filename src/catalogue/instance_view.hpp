// qel_i18n: what the catalogue's files share among themselves: the class as made, the test
// that it is unchanged, and the lookup entry point that the module gettext calls directly.
#pragma once

#include "module/i18n.hpp"

#include <cstdint>

namespace qel_i18n::catalogue {

/// The class made by make_class (held), for the test that an object is an instance of it.
extern PyTypeObject *catalogue_class;

/// True while the class is as make_class made it, as far as attribute reads on its instances
/// can tell: generic attribute access, bases (object) only, its own gettext, and none of the
/// private attribute names defined on the class. Then reading an instance attribute is a
/// lookup in the instance's own dict that runs no code. A type watcher notices every change.
bool class_is_pristine() noexcept;

/// What the lookup reads of an instance of the pristine class: what its attribute dict holds
/// under the names the lookup reads (borrowed from the dict; nullptr when missing).
struct InstanceView {
    bool shadowed; // the instance holds a "gettext" of its own
    PyObject *language_index;
    PyObject *lock;
    PyObject *data;
};

/// Fills `view` when `self` is an instance of the pristine class, `dict` then holding its
/// attribute dict for the duration of the call; false (no exception set) otherwise, and when
/// the dict cannot be watched or changed while it was read. The entries are read again only
/// after the dict has changed. The view stays valid only while no host code runs.
bool instance_view(PyObject *self, Ref &dict, InstanceView &view) noexcept;

/// The lookup of I18N.gettext for `self`; `view` when instance_view gave one, else nullptr.
PyObject *translate(PyObject *self, const InstanceView *view, PyObject *message) noexcept;

/// The static method's function (making the loader's sort key function first).
Ref make_load_data_from_file() noexcept;

/// The method I18N.gettext.
Ref make_lookup() noexcept;

} // namespace qel_i18n::catalogue
