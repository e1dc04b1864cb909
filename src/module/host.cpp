// qel_i18n: host services. Module-level names resolved at the moment of use, the builtins
// fetched at start-up, and the `with` protocol.
#include "module/host.hpp"

#include "module/binding.hpp"
#include "module/fast_paths.hpp"
#include "module/genuine.hpp"

namespace qel_i18n::host {

Services services;
std::uint64_t dict_epoch = 1;

namespace {

int dict_watcher = -1; // -2: none could be had
PyObject *watched_namespace = nullptr;

int on_dict_event(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept {
    ++dict_epoch;
    return 0;
}

/// Looks `name` up on the type of `obj` along its MRO and binds it to `obj`, as the host does
/// for special methods. Empty with no exception set when no class defines it. The MRO and the
/// descriptor are held while they are used: a dict key's __eq__ may replace the one, and the
/// descriptor's __get__ may delete the other from its class.
Ref lookup_special(PyObject *obj, PyObject *name) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    Ref mro = Ref::borrow(type->tp_mro);
    Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro.get()) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref dict = Ref::steal(
            PyType_GetDict(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro.get(), i))));
        if (!dict) {
            return {};
        }
        Ref descr = Ref::borrow(PyDict_GetItemWithError(dict.get(), name));
        if (!descr) {
            if (PyErr_Occurred()) {
                return {};
            }
            continue;
        }
        descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
        if (get == nullptr) {
            return descr;
        }
        // The type stays alive: the MRO held begins with it.
        return Ref::steal(get(descr.get(), obj, reinterpret_cast<PyObject *>(type)));
    }
    return {};
}

/// The NameError of a name that neither the module nor the builtins hold, unless the lookup
/// failed with an exception of its own.
Ref not_defined(PyObject *name) noexcept {
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return {};
}

Ref fetch_builtin(PyObject *name) noexcept {
    PyObject *value = PyDict_GetItemWithError(services.builtins_dict, name);
    return value != nullptr ? Ref::borrow(value) : not_defined(name);
}

} // namespace

int begin_services(PyObject *module) noexcept {
    PyObject *builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) {
        return -1;
    }
    Py_XSETREF(services.builtins, builtins);
    services.builtins_dict = PyModule_GetDict(builtins);
    Py_XSETREF(services.module, Py_NewRef(module));
    Py_XSETREF(services.module_dict, Py_NewRef(PyModule_GetDict(module)));
    Py_XSETREF(services.start_up_bindings, PyDict_New());
    return services.start_up_bindings != nullptr ? 0 : -1;
}

int fetch_lock_type() noexcept {
    if (services.lock_type != nullptr) {
        return 0;
    }
    Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
    if (!thread) {
        return -1;
    }
    Ref type = Ref::steal(PyObject_GetAttrString(thread.get(), "LockType"));
    if (!type) {
        return -1;
    }
    if (!is_thread_lock_type(type.get())) {
        // A replacement bound before start-up: no object is taken for the host's lock, and
        // every lock is entered through its own __enter__ and __exit__.
        return 0;
    }
    Ref acquire = Ref::steal(PyObject_GetAttrString(type.get(), "acquire"));
    Ref release = acquire ? Ref::steal(PyObject_GetAttrString(type.get(), "release")) : Ref();
    Ref exit = release ? Ref::steal(PyObject_GetAttrString(type.get(), "__exit__")) : Ref();
    Ref locked = exit ? Ref::steal(PyObject_GetAttrString(type.get(), "locked")) : Ref();
    if (!locked) {
        return -1;
    }
    services.lock_acquire = acquire.release();
    services.lock_release = release.release();
    services.lock_exit = exit.release();
    services.lock_locked = locked.release();
    services.lock_type = type.release();
    return 0;
}

int fetch_builtins() noexcept {
    Ref property = fetch_builtin(names.property);
    Ref staticmethod = property ? fetch_builtin(names.staticmethod) : Ref();
    Ref open = staticmethod ? fetch_builtin(names.open) : Ref();
    if (!open) {
        return -1;
    }
    Py_XSETREF(services.property, property.release());
    Py_XSETREF(services.staticmethod, staticmethod.release());
    Py_XSETREF(services.open, open.release());
    return 0;
}

void clear_services() noexcept {
    watched_namespace = nullptr;
    Py_CLEAR(services.module);
}

bool watch_dict(PyObject *dict) noexcept {
    if (dict_watcher == -1) {
        dict_watcher = PyDict_AddWatcher(on_dict_event);
        if (dict_watcher < 0) {
            PyErr_Clear();
            dict_watcher = -2;
        }
    }
    if (dict_watcher < 0) {
        return false;
    }
    if (PyDict_Watch(dict_watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

Ref lookup_global(PyObject *name) noexcept {
    PyObject *value = PyDict_GetItemWithError(services.module_dict, name);
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(services.builtins_dict, name);
    }
    return value != nullptr ? Ref::borrow(value) : not_defined(name);
}

int bind_service(PyObject *dict, PyObject *name, PyObject *value) noexcept {
    return PyDict_SetItem(services.start_up_bindings, name, value) < 0
               ? -1
               : PyDict_SetItem(dict, name, value);
}

Ref bound_at_start_up(PyObject *name) noexcept {
    PyObject *value = PyDict_GetItemWithError(services.start_up_bindings, name);
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_SystemError, "start-up must bind %U first", name);
    }
    return value != nullptr ? Ref::borrow(value) : Ref();
}

int lock_is_held(PyObject *lock) noexcept {
    PyObject *held = PyObject_Vectorcall(services.lock_locked, &lock, 1, nullptr);
    if (held == nullptr) {
        return -1;
    }
    int result = held == Py_True;
    Py_DECREF(held);
    return result;
}

void watch_namespace() noexcept {
    watched_namespace = watch_dict(services.module_dict) ? services.module_dict : nullptr;
}

bool namespace_has_str_keys() noexcept {
    static PyObject *dict_seen = nullptr;
    static std::uint64_t epoch_seen = 0;
    static bool str_keys = false;
    PyObject *dict = services.module_dict;
    if (dict == nullptr || dict != watched_namespace) {
        return false; // its changes would go unseen
    }
    if (dict_seen != dict || epoch_seen != dict_epoch) {
        str_keys = true;
        Py_ssize_t position = 0;
        PyObject *key;
        while (str_keys && PyDict_Next(dict, &position, &key, nullptr)) {
            str_keys = PyUnicode_CheckExact(key);
        }
        dict_seen = dict;
        epoch_seen = dict_epoch;
    }
    return str_keys;
}

Ref CachedGlobal::lookup(PyObject *name) noexcept {
    if constexpr (!fast::globals) {
        return lookup_global(name);
    }
    PyObject *dict = services.module_dict;
    if (value_ != nullptr && dict_ == dict && epoch_ == dict_epoch) {
        return Ref::borrow(value_);
    }
    // A key's __eq__ may change the dict while it is read; the value found is what the dict
    // holds at the end, and the epoch is read after it.
    PyObject *value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr) {
        value_ = nullptr;
        return PyErr_Occurred() ? Ref() : lookup_global(name);
    }
    if (namespace_has_str_keys()) { // then skipping a lookup skips no host code
        dict_ = dict;
        value_ = value;
        epoch_ = dict_epoch;
    }
    return Ref::borrow(value);
}

Ref subscript(PyObject *sequence, Py_ssize_t index, PyObject *index_object) noexcept {
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        Py_ssize_t length = PySequence_Fast_GET_SIZE(sequence);
        Py_ssize_t position = index < 0 ? index + length : index;
        if (position >= 0 && position < length) {
            return Ref::borrow(PySequence_Fast_GET_ITEM(sequence, position));
        }
    }
    Ref owned;
    if (index_object == nullptr) {
        owned = Ref::steal(PyLong_FromSsize_t(index));
        if (!owned) {
            return {};
        }
        index_object = owned.get();
    }
    return Ref::steal(PyObject_GetItem(sequence, index_object));
}

Ref open_csv(PyObject *file, PyObject *mode) noexcept {
    PyObject *args[] = {file, mode, names.empty, names.utf8};
    return Ref::steal(
        PyObject_Vectorcall(services.open, args, 2, constants.kw_newline_encoding));
}

Ref open_text(PyObject *file, PyObject *mode) noexcept {
    PyObject *args[] = {file, mode, names.utf8};
    return Ref::steal(PyObject_Vectorcall(services.open, args, 2, constants.kw_encoding));
}

int sort_by_key(PyObject *list, PyObject *key) noexcept {
    PyObject *args[] = {nullptr, list, key};
    Ref done = Ref::steal(PyObject_VectorcallMethod(
        names.sort, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, constants.kw_key));
    return done ? 0 : -1;
}

Ref call(PyObject *callable, std::initializer_list<PyObject *> args) noexcept {
    return Ref::steal(PyObject_Vectorcall(callable, args.begin(), args.size(), nullptr));
}

Ref call_method(PyObject *obj, PyObject *name, std::initializer_list<PyObject *> args) noexcept {
    // One spare slot in front lets the callee prepend without copying.
    PyObject *stack[2 + max_parameters];
    stack[1] = obj;
    size_t n = 1;
    for (PyObject *arg : args) {
        stack[1 + n++] = arg;
    }
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

int unpack_pair(PyObject *pair, Ref &first, Ref &second) noexcept {
    if ((PyList_CheckExact(pair) || PyTuple_CheckExact(pair)) &&
        PySequence_Fast_GET_SIZE(pair) == 2) {
        first = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 1));
        return 0;
    }
    // As the interpreter unpacks an iterable: two items, then the test that none is left.
    Ref held = Ref::borrow(pair); // iterating it may drop every other reference
    Ref iterator = Ref::steal(PyObject_GetIter(pair));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(pair)->tp_iter == nullptr &&
            !PySequence_Check(pair)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(pair)->tp_name);
        }
        return -1;
    }
    Ref *slots[] = {&first, &second};
    for (Py_ssize_t taken = 0; taken < 2; ++taken) {
        *slots[taken] = Ref::steal(PyIter_Next(iterator.get()));
        if (!*slots[taken]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                             taken);
            }
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (!extra) {
        return PyErr_Occurred() ? -1 : 0;
    }
    if (PyList_CheckExact(pair) || PyTuple_CheckExact(pair) || PyDict_CheckExact(pair)) {
        Py_ssize_t size = PyDict_CheckExact(pair) ? PyDict_Size(pair) : Py_SIZE(pair);
        if (size > 2) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", size);
            return -1;
        }
    }
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return -1;
}

int raise_unbound(const char *name) noexcept {
    PyErr_Format(PyExc_UnboundLocalError,
                 "cannot access local variable '%s' where it is not associated with a value", name);
    return -1;
}

int Context::enter(PyObject *manager, Context &context, Ref *entered) noexcept {
    Ref result;
    if (is_host_lock(manager)) {
        result = call(services.lock_acquire, {manager});
        if (!result) {
            return -1;
        }
    } else {
        Ref enter = lookup_special(manager, names.dunder_enter);
        if (!enter) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_TypeError,
                             "'%.200s' object does not support the context manager protocol",
                             Py_TYPE(manager)->tp_name);
            }
            return -1;
        }
        Ref exit = lookup_special(manager, names.dunder_exit);
        if (!exit) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_TypeError,
                             "'%.200s' object does not support the context manager protocol "
                             "(missed __exit__ method)",
                             Py_TYPE(manager)->tp_name);
            }
            return -1;
        }
        result = call(enter.get(), {});
        if (!result) {
            return -1;
        }
        context.exit_ = std::move(exit);
    }
    context.manager_ = Ref::borrow(manager);
    if (entered != nullptr) {
        *entered = std::move(result);
    }
    return 0;
}

int Context::exit(bool failed) noexcept {
    if (!failed) {
        Ref result = exit_ ? call(exit_.get(), {Py_None, Py_None, Py_None})
                           : call(services.lock_release, {manager_.get()});
        return result ? 0 : -1;
    }
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    Ref traceback = Ref::steal(PyException_GetTraceback(exception.get()));
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exception.get()));
    PyObject *tb = traceback ? traceback.get() : Py_None;
    // While __exit__ runs, the exception counts as being handled, so that an exception raised
    // by __exit__ is chained to it as the host's `with` statement chains it.
    Ref previous = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(exception.get());
    Ref result = exit_ ? call(exit_.get(), {type, exception.get(), tb})
                       : call(services.lock_exit, {manager_.get(), type, exception.get(), tb});
    PyErr_SetHandledException(previous.get());
    if (!result) {
        return -1;
    }
    int suppress = PyObject_IsTrue(result.get());
    if (suppress != 0) {
        return suppress > 0 ? 0 : -1;
    }
    PyErr_SetRaisedException(exception.release());
    return -1;
}

} // namespace qel_i18n::host
