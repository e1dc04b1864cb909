// qel_i18n: what the catalogue's files share among themselves: the class as made, the test
// that it is unchanged, and the lookup entry point that the module gettext calls directly.
#pragma once

#include "module/i18n.hpp"

namespace qel_i18n::catalogue {

/// The class made by make_class (held), for the test that an object is an instance of it.
extern PyTypeObject *catalogue_class;

/// True while the class is as make_class made it, as far as attribute reads on its instances
/// can tell: generic attribute access, bases (object) only, its own gettext, and none of the
/// private attribute names defined on the class. Then reading an instance attribute is a
/// lookup in the instance's own dict that runs no code. A type watcher notices every change.
bool class_is_pristine() noexcept;

/// The entries of an instance dict that the lookups read, in the order they read them.
enum class Attribute : unsigned char { gettext, language_index, lock, data };

/// What has been read of an instance dict: each entry found (borrowed from the dict), and which
/// entries it was found not to hold.
struct ViewEntries {
    PyObject *found[4]; // by Attribute; nullptr when not read, or missing
    unsigned missing;   // one bit per entry read and found missing
};

/// What the lookup reads of an instance of the pristine class, read from its attribute dict
/// lazily: each entry only when the lookup reaches the point where the host reads it, and then
/// once, its failure raised there. What was read is kept for the next lookup on the same
/// object while its dict is the same and no watched dict has changed (host::dict_epoch).
class InstanceView {
  public:
    /// True when `self` is an instance of the pristine class whose attribute dict can be
    /// watched: the entries are then read from that dict (held for the view's life). False
    /// (no exception set) otherwise: the caller takes the plain path.
    bool open(PyObject *self) noexcept;

    /// The entry as the dict holds it, on a view still active: 1 with `value` held, 0 when the
    /// dict has none, -1 with the exception of the read set (a key's __eq__ may raise).
    int own(Attribute entry, Ref &value) noexcept {
        const unsigned index = static_cast<unsigned>(entry);
        if (PyObject *found = entries_.found[index]) {
            value = Ref::borrow(found);
            return 1;
        }
        return (entries_.missing & (1u << index)) != 0 ? 0 : read_own(entry, value);
    }

    /// `self.<name>` of the entry, as the host reads it: the dict's entry, or, when the dict
    /// has none or the view was left, the host's own read (which raises its AttributeError).
    Ref attribute(Attribute entry) noexcept {
        if (PyObject *found = entries_.found[static_cast<unsigned>(entry)]) {
            return Ref::borrow(found);
        }
        return read_attribute(entry);
    }

    /// The entry, borrowed, when it was read before and the dict holds it: nullptr when it has
    /// not been read, is missing, or the view was left. Runs no code.
    PyObject *known(Attribute entry) const noexcept {
        return entries_.found[static_cast<unsigned>(entry)];
    }

    /// False once host code may have run during a read: the rest is read as the host reads it.
    bool active() const noexcept { return active_; }

  private:
    int read_own(Attribute entry, Ref &value) noexcept;
    Ref read_attribute(Attribute entry) noexcept;
    void leave() noexcept;

    PyObject *self_ = nullptr;
    Ref dict_;
    ViewEntries entries_; // set by open
    bool active_ = false;
};

/// The lookup of I18N.gettext for `self`; `view` when one is open on it, else nullptr.
PyObject *translate(PyObject *self, InstanceView *view, PyObject *message) noexcept;

/// The static method's function (making the loader's sort key function first).
Ref make_load_data_from_file() noexcept;

/// The method I18N.gettext.
Ref make_lookup() noexcept;

} // namespace qel_i18n::catalogue
