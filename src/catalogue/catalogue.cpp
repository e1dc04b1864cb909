// qel_i18n: the class I18N: its constructor and its two properties, whose setters store the
// new value and reload the table under the object's lock. The class is an ordinary host class,
// made by calling the host's `type` with the members in their order of definition.
#include "catalogue/catalogue.hpp"
#include "catalogue/instance_view.hpp"
#include "catalogue/probe_index.hpp"
#include "module/fast_paths.hpp"
#include "module/function.hpp"
#include "module/host.hpp"

#include <cstdint>
#include <tuple>

namespace qel_i18n::catalogue {

PyTypeObject *catalogue_class = nullptr;

namespace {

/// What is known of the class: verified as made, changed since, or changed and not verified.
enum class ClassState : unsigned char { unknown, pristine, altered };

ClassState class_state = ClassState::unknown;
int class_watcher = -1;     // -1: no watcher, so the class is never trusted
PyObject *class_gettext = nullptr; // the class's gettext as made (held)
unsigned long class_changes = 0;   // the changes the watcher has seen

int on_class_modified(PyTypeObject *type) noexcept {
    if (type == catalogue_class) {
        class_state = ClassState::unknown;
        ++class_changes;
    }
    return 0;
}

/// Checks the class and re-arms the watcher. The host tells watchers of a change only while the
/// class has a valid version tag, which an attribute lookup on it assigns. The class is
/// inspected first, then looked up, then the tag must still be valid: inspected and found as
/// made, the lookup finds the class's own gettext through the plain type and runs no host code
/// (a replaced gettext's __get__, a metaclass), which plain Python would not run either. The
/// reads of the class dict run no host code: a class dict has only exact str keys.
ClassState verify_class() noexcept {
    PyTypeObject *type = catalogue_class;
    const unsigned long changes = class_changes;
    bool as_made = Py_IS_TYPE(reinterpret_cast<PyObject *>(type), &PyType_Type) &&
                   type->tp_getattro == PyObject_GenericGetAttr &&
                   PyTuple_GET_SIZE(type->tp_mro) == 2 &&
                   PyTuple_GET_ITEM(type->tp_mro, 1) ==
                       reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    if (as_made) {
        PyObject *own_gettext = PyDict_GetItemWithError(type->tp_dict, names.gettext);
        as_made = own_gettext == class_gettext;
        for (PyObject *name : {names.private_language_index, names.private_filename,
                               names.private_data, names.private_lock}) {
            as_made = as_made && PyDict_GetItemWithError(type->tp_dict, name) == nullptr;
        }
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return ClassState::unknown;
        }
    }
    if (!as_made) {
        // Without a valid tag a change back to the class as made would go unnoticed: verify
        // again at the next lookup.
        return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && class_changes == changes
                   ? ClassState::altered
                   : ClassState::unknown;
    }
    if (!host::getattr(reinterpret_cast<PyObject *>(type), names.gettext)) {
        PyErr_Clear(); // only a lack of memory: the plain path then meets it again
        return ClassState::unknown;
    }
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) || class_changes != changes) {
        return ClassState::unknown; // changes would go unnoticed, or went on: trust nothing
    }
    return ClassState::pristine;
}

/// Watches the new class; without a watcher the class is simply never trusted.
void watch_class(PyTypeObject *type) noexcept {
    if (class_watcher < 0) {
        class_watcher = PyType_AddWatcher(on_class_modified);
    }
    if (class_watcher < 0 || PyType_Watch(class_watcher, reinterpret_cast<PyObject *>(type)) < 0) {
        PyErr_Clear();
        class_watcher = -1;
    }
    class_state = ClassState::unknown;
}

int store(PyObject *self, PyObject *name, PyObject *value) noexcept {
    return PyObject_SetAttr(self, name, value);
}

/// `I18N.load_data_from_file`, resolved through the module-level name I18N.
Ref loader() noexcept {
    Ref cls = host::lookup_global(names.class_name);
    return cls ? host::getattr(cls.get(), names.load_data_from_file) : Ref();
}

/// `self.__data = I18N.load_data_from_file(<filename>, <language_index>)`, where the caller
/// supplies the two arguments after the loader has been resolved, in the host's order of
/// evaluation.
template <class Arguments> int reload(PyObject *self, Arguments &&arguments) noexcept {
    Ref load = loader();
    if (!load) {
        return -1;
    }
    Ref filename, language_index;
    if (arguments(filename, language_index) < 0) {
        return -1;
    }
    Ref table = host::call(load.get(), {filename.get(), language_index.get()});
    if (!table || store(self, names.private_data, table.get()) < 0) {
        return -1;
    }
    // The index of the new table is built now, under the lock, not at the next lookup; the old
    // table's elements go with it.
    if (fast::leading && PyList_CheckExact(table.get())) {
        probe_index(self, table.get());
    }
    return 0;
}

/// The truth of the `filename` property.
int filename_is_set(PyObject *self) noexcept {
    Ref filename = host::getattr(self, names.filename);
    return filename ? PyObject_IsTrue(filename.get()) : -1;
}

PyObject *init_body(const Bound &bound) noexcept {
    PyObject *self = bound.arg[0];
    PyObject *csv_filename = bound.arg[1];
    PyObject *language_index = bound.arg[2];
    if (store(self, names.private_language_index, language_index) < 0 ||
        store(self, names.private_filename, csv_filename) < 0) {
        return nullptr;
    }
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty || store(self, names.private_data, empty.get()) < 0) {
        return nullptr;
    }
    Ref make_lock = host::lookup_global(names.lock_alias);
    Ref lock = make_lock ? host::call(make_lock.get(), {}) : Ref();
    if (!lock || store(self, names.private_lock, lock.get()) < 0) {
        return nullptr;
    }
    if (PyUnicode_GET_LENGTH(csv_filename) > 0) {
        int done = reload(self, [&](Ref &filename, Ref &index) noexcept {
            filename = Ref::borrow(csv_filename);
            index = Ref::borrow(language_index);
            return 0;
        });
        if (done < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject *get_language_index(const Bound &bound) noexcept {
    return PyObject_GetAttr(bound.arg[0], names.private_language_index);
}

PyObject *set_language_index(const Bound &bound) noexcept {
    PyObject *self = bound.arg[0];
    PyObject *value = bound.arg[1];
    Ref current = host::getattr(self, names.private_language_index);
    if (!current) {
        return nullptr;
    }
    Ref differs = Ref::steal(PyObject_RichCompare(value, current.get(), Py_NE));
    int changed = differs ? PyObject_IsTrue(differs.get()) : -1;
    if (changed <= 0) {
        return changed < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref lock = host::getattr(self, names.private_lock);
    if (!lock) {
        return nullptr;
    }
    int done = host::with_block(lock.get(), [&]() noexcept {
        if (store(self, names.private_language_index, value) < 0) {
            return -1;
        }
        int has_file = filename_is_set(self);
        if (has_file <= 0) {
            return has_file;
        }
        return reload(self, [&](Ref &filename, Ref &index) noexcept {
            filename = host::getattr(self, names.filename);
            index = Ref::borrow(value);
            return filename ? 0 : -1;
        });
    });
    return done < 0 ? nullptr : Py_NewRef(Py_None);
}

PyObject *get_filename(const Bound &bound) noexcept {
    return PyObject_GetAttr(bound.arg[0], names.private_filename);
}

PyObject *set_filename(const Bound &bound) noexcept {
    PyObject *self = bound.arg[0];
    PyObject *value = bound.arg[1];
    if (store(self, names.private_filename, value) < 0) {
        return nullptr;
    }
    Ref lock = host::getattr(self, names.private_lock);
    if (!lock) {
        return nullptr;
    }
    int done = host::with_block(lock.get(), [&]() noexcept {
        if (PyUnicode_GET_LENGTH(value) == 0) {
            return 0;
        }
        return reload(self, [&](Ref &filename, Ref &index) noexcept {
            filename = Ref::borrow(value);
            index = host::getattr(self, names.language_index);
            return index ? 0 : -1;
        });
    });
    return done < 0 ? nullptr : Py_NewRef(Py_None);
}

constexpr Parameter init_parameters[] = {
    {"self", Requirement::any, nullptr},
    {"csv_filename", Requirement::str, "str"},
    {"language_index", Requirement::int_, "int"},
};
constexpr Parameter self_only[] = {{"self", Requirement::any, nullptr}};
constexpr Parameter int_value[] = {
    {"self", Requirement::any, nullptr},
    {"value", Requirement::int_, "int"},
};
constexpr Parameter str_value[] = {
    {"self", Requirement::any, nullptr},
    {"value", Requirement::str, "str"},
};

constexpr Signature init_signature = {
    .name = "__init__",
    .qualname = "I18N.__init__",
    .parameters = init_parameters,
    .required = 1,
    .body = init_body,
};
constexpr Signature language_index_getter = {
    .name = "language_index",
    .qualname = "I18N.language_index",
    .parameters = self_only,
    .required = 1,
    .result = Requirement::int_or_none,
    .return_annotation = "int",
    .body = get_language_index,
};
constexpr Signature language_index_setter = {
    .name = "language_index",
    .qualname = "I18N.language_index",
    .parameters = int_value,
    .required = 2,
    .body = set_language_index,
};
constexpr Signature filename_getter = {
    .name = "filename",
    .qualname = "I18N.filename",
    .parameters = self_only,
    .required = 1,
    .result = Requirement::str_or_none,
    .return_annotation = "str",
    .body = get_filename,
};
constexpr Signature filename_setter = {
    .name = "filename",
    .qualname = "I18N.filename",
    .parameters = str_value,
    .required = 2,
    .body = set_filename,
};

/// Stores a newly made member in the class namespace.
int add_member(PyObject *ns, PyObject *name, Ref value) noexcept {
    return value ? PyDict_SetItem(ns, name, value.get()) : -1;
}

} // namespace

bool class_is_pristine() noexcept {
    if (class_state == ClassState::unknown && class_watcher >= 0) {
        class_state = verify_class();
    }
    return class_state == ClassState::pristine;
}

namespace {

/// The attribute name of each entry, by Attribute.
PyObject *entry_name(Attribute entry) noexcept {
    static constexpr PyObject *Names::*entry_names[] = {
        &Names::gettext, &Names::private_language_index, &Names::private_lock,
        &Names::private_data};
    return names.*entry_names[static_cast<unsigned>(entry)];
}

/// The entries read of the object looked up last, borrowed from its dict: kept while that dict
/// is watched and unchanged.
struct CachedView {
    PyObject *self = nullptr;
    PyObject *dict = nullptr;
    std::uint64_t epoch = 0;
    ViewEntries entries{};
} cached_view;

bool is_cached(PyObject *self, PyObject *dict) noexcept {
    return cached_view.self == self && cached_view.dict == dict &&
           cached_view.epoch == host::dict_epoch;
}

/// Whether every key of `dict` is an exact str. Then a read of the dict compares no key by
/// host code, and skipping it changes nothing; a key of another type has its __eq__ run by
/// every read the host makes, so the entries of such a dict are read afresh each time.
bool has_str_keys(PyObject *dict) noexcept {
    Py_ssize_t position = 0;
    PyObject *key;
    while (PyDict_Next(dict, &position, &key, nullptr)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

/// As the host's attribute read does with an AttributeError raised while it reads (a key's
/// __eq__ may raise one): names the attribute and the object on it, unless it names some
/// already. Returns an empty Ref, the exception set.
Ref add_attribute_context(PyObject *self, PyObject *name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return {};
    }
    Ref error = Ref::steal(PyErr_GetRaisedException());
    const auto *fields = reinterpret_cast<PyAttributeErrorObject *>(error.get());
    if (PyErr_GivenExceptionMatches(error.get(), PyExc_AttributeError) &&
        fields->name == nullptr && fields->obj == nullptr &&
        (PyObject_SetAttr(error.get(), names.name_, name) < 0 ||
         PyObject_SetAttr(error.get(), names.obj, self) < 0)) {
        return {};
    }
    PyErr_SetRaisedException(error.release());
    return {};
}

/// The AttributeError of the host's generic attribute read of `name`, which an instance of the
/// class lacks.
Ref raise_missing(PyObject *self, PyObject *name) noexcept {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                 catalogue_class->tp_name, name);
    return add_attribute_context(self, name);
}

} // namespace

bool InstanceView::open(PyObject *self) noexcept {
    // The class is tested first: testing it may run host code, which may change self's class.
    if (!fast::view || !class_is_pristine() || Py_TYPE(self) != catalogue_class) {
        return false;
    }
    dict_ = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict_) {
        PyErr_Clear();
        return false;
    }
    self_ = self;
    if (is_cached(self, dict_.get())) {
        entries_ = cached_view.entries;
    } else {
        // Watched before anything is read from it: a read counts only while no change of the
        // dict is seen.
        if (!host::watch_dict(dict_.get())) {
            return false;
        }
        // Kept for the next lookups only while reading the dict runs no host code.
        cached_view = CachedView{};
        if (has_str_keys(dict_.get())) {
            cached_view = {self, dict_.get(), host::dict_epoch, {}};
        }
        entries_ = {};
    }
    active_ = true;
    return true;
}

int InstanceView::read_own(Attribute entry, Ref &value) noexcept {
    // Reading the dict runs no host code while its keys are all str, but a key of another type
    // whose hash collides with the name has its __eq__ run, which may change the dict (and free
    // entries read before), the class, or the object's class or dict, or let other threads do
    // so. So the value found is held at once, and when anything changed meanwhile the view is
    // left: the rest of the lookup reads as the host reads. A failure is the host's own read
    // failing, at the point where the host reads: it is raised.
    const std::uint64_t epoch = host::dict_epoch;
    const unsigned long changes = class_changes;
    PyObject *found = PyDict_GetItemWithError(dict_.get(), entry_name(entry));
    value = Ref::borrow(found);
    if (found == nullptr && PyErr_Occurred()) {
        leave();
        return -1;
    }
    if (host::dict_epoch != epoch || class_changes != changes ||
        Py_TYPE(self_) != catalogue_class) {
        leave();
        return found != nullptr;
    }
    Ref current = Ref::steal(PyObject_GenericGetDict(self_, nullptr));
    if (current.get() != dict_.get()) {
        if (!current) {
            PyErr_Clear(); // no dict to be had: the host's own reads report what is wrong
        }
        leave();
        return found != nullptr;
    }
    // Kept for the next lookups unless a lookup run meanwhile (by the key's __eq__) made the
    // cache another object's.
    const unsigned index = static_cast<unsigned>(entry);
    const unsigned missing = found != nullptr ? 0u : 1u << index;
    entries_.found[index] = found;
    entries_.missing |= missing;
    if (is_cached(self_, dict_.get())) {
        cached_view.entries.found[index] = found;
        cached_view.entries.missing |= missing;
    }
    return found != nullptr;
}

Ref InstanceView::read_attribute(Attribute entry) noexcept {
    if (!active_) {
        return host::getattr(self_, entry_name(entry));
    }
    // The read of the dict is the host's read (the class holds none of these names): a name
    // the dict lacks is the host's AttributeError, without reading the dict again.
    Ref value;
    const int found = own(entry, value);
    if (found == 0) {
        return raise_missing(self_, entry_name(entry));
    }
    return found > 0 ? std::move(value) : add_attribute_context(self_, entry_name(entry));
}

void InstanceView::leave() noexcept {
    active_ = false;
    entries_ = {};
    cached_view = {};
}

Ref make_class() noexcept {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.get(), names.dunder_module, names.module_name) < 0 ||
        PyDict_SetItem(ns.get(), names.dunder_qualname, names.class_name) < 0) {
        return {};
    }
    Ref defaults = Ref::steal(PyTuple_Pack(2, names.empty, constants.zero));
    if (!defaults) {
        return {};
    }
    Ref init_name = Ref::steal(PyUnicode_InternFromString("__init__"));
    if (!init_name ||
        add_member(ns.get(), init_name.get(), make_function(init_signature, defaults.get())) < 0) {
        return {};
    }
    // Each property is stored first with its getter alone, then replaced by the result of its
    // setter(), as the decorator form does.
    for (auto [name, getter, setter] :
         {std::tuple{names.language_index, &language_index_getter, &language_index_setter},
          std::tuple{names.filename, &filename_getter, &filename_setter}}) {
        Ref get = make_function(*getter, nullptr);
        Ref prop = get ? host::call(host::services.property, {get.get()}) : Ref();
        if (!prop || PyDict_SetItem(ns.get(), name, prop.get()) < 0) {
            return {};
        }
        Ref set = make_function(*setter, nullptr);
        if (!set ||
            add_member(ns.get(), name, host::call_method(prop.get(), names.setter, {set.get()})) <
                0) {
            return {};
        }
    }
    Ref load = make_load_data_from_file();
    if (!load || add_member(ns.get(), names.load_data_from_file,
                            host::call(host::services.staticmethod, {load.get()})) < 0) {
        return {};
    }
    Ref lookup = make_lookup();
    if (!lookup || PyDict_SetItem(ns.get(), names.gettext, lookup.get()) < 0) {
        return {};
    }
    Ref cls = host::call(reinterpret_cast<PyObject *>(&PyType_Type),
                         {names.class_name, constants.empty_tuple, ns.get()});
    if (cls) {
        Py_XSETREF(catalogue_class, reinterpret_cast<PyTypeObject *>(Py_NewRef(cls.get())));
        Py_XSETREF(class_gettext, lookup.release());
        watch_class(catalogue_class);
    }
    return cls;
}

} // namespace qel_i18n::catalogue
