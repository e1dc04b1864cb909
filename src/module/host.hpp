// qel_i18n: host services. The module namespace and builtins lookups made at the moment of
// use, the builtins fetched once at start-up, and the `with` statement as the host runs it.
#pragma once

#include "module/i18n.hpp"

#include <cstdint>
#include <initializer_list>

namespace qel_i18n::host {

/// Process-wide references set by the execution step. The module, its namespace and the
/// builtins are held; the builtins dict is borrowed from them.
struct Services {
    PyObject *module;        // the module object, once start-up has begun
    PyObject *module_dict;   // its namespace; after a failed start-up, kept for the objects made
                             // before the failure, until a new start-up begins
    PyObject *builtins;      // the host's builtins module
    PyObject *builtins_dict; // its namespace
    PyObject *open;          // builtin open, as it was at start-up
    PyObject *property;      // builtin property
    PyObject *staticmethod;  // builtin staticmethod
    PyObject *lock_type;     // the host's own lock type (_thread.LockType); nullptr when a
                             // replacement was bound there before start-up
    PyObject *lock_acquire;  // its acquire, release, __exit__ and locked method descriptors
    PyObject *lock_release;
    PyObject *lock_exit;
    PyObject *lock_locked;
    PyObject *start_up_bindings; // what start-up bound through bind_service, by name
};

extern Services services;

/// Records `module` as the module whose namespace the lookups use, and the host's builtins
/// module. 0, or -1 with an exception set.
int begin_services(PyObject *module) noexcept;

/// Fetches the host's lock type and its methods. 0, or -1 with an exception set.
int fetch_lock_type() noexcept;

/// Fetches the builtins property, staticmethod and open; NameError for a missing one.
int fetch_builtins() noexcept;

/// Forgets the module after a failed start-up, so that the next import makes a new one. Its
/// namespace stays the one that module-level names are looked up in until then: a class or
/// function made before the failure may still be reachable and called.
void clear_services() noexcept;

/// A module-level name: the module namespace first, then the builtins; NameError
/// "name '%U' is not defined" when neither has it.
Ref lookup_global(PyObject *name) noexcept;

/// Binds `value` as `name` in the namespace `dict` and records it as start-up's own, at once:
/// host code that start-up runs later (an import, a constructor) may rebind the name, and a
/// native path stands in only for the object start-up bound. 0, or -1 with an exception set.
int bind_service(PyObject *dict, PyObject *name, PyObject *value) noexcept;

/// The object start-up bound under `name` (`bind_service`), which a native path may stand in
/// for while that name is still bound to it; SystemError when start-up has not bound it yet.
Ref bound_at_start_up(PyObject *name) noexcept;

/// Whether the module namespace is watched and every key of it is an exact str: then looking a
/// name up in it runs no host code, and a lookup skipped changes nothing.
bool namespace_has_str_keys() noexcept;

/// A module-level name looked up as lookup_global does, whose value found in the module
/// namespace is kept while no watched dict has changed (the namespace is watched once start-up
/// has bound it) and every key of the namespace is an exact str.
class CachedGlobal {
  public:
    Ref lookup(PyObject *name) noexcept;

  private:
    PyObject *dict_ = nullptr;  // the namespace the value was found in
    PyObject *value_ = nullptr; // borrowed from it
    std::uint64_t epoch_ = 0;
};

/// Watches the module namespace, once it is bound, for the CachedGlobal lookups.
void watch_namespace() noexcept;

/// `open(file, mode, newline="", encoding="utf8")` through the builtin fetched at start-up.
Ref open_csv(PyObject *file, PyObject *mode) noexcept;

/// `open(file, mode, encoding="utf8")` through the builtin fetched at start-up.
Ref open_text(PyObject *file, PyObject *mode) noexcept;

/// `list.sort(key=key)`. 0, or -1 with an exception set.
int sort_by_key(PyObject *list, PyObject *key) noexcept;

/// Calls `callable(*args)`.
Ref call(PyObject *callable, std::initializer_list<PyObject *> args) noexcept;

/// Calls `obj.<name>(*args)` without making a bound method.
Ref call_method(PyObject *obj, PyObject *name, std::initializer_list<PyObject *> args) noexcept;

/// True when `obj` is a lock of the host's own lock type.
inline bool is_host_lock(PyObject *obj) noexcept {
    return Py_IS_TYPE(obj, reinterpret_cast<PyTypeObject *>(services.lock_type));
}

/// `lock.locked()` for a host lock: 1, 0, or -1 with an exception set.
int lock_is_held(PyObject *lock) noexcept;

/// Guards the C stack on a path that calls back into the host, as the host's own builtins
/// do; false (RecursionError set) when the limit is reached.
class RecursionGuard {
  public:
    RecursionGuard() noexcept
        : entered_(Py_EnterRecursiveCall(" while calling a Python object") == 0) {}
    ~RecursionGuard() {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    explicit operator bool() const noexcept { return entered_; }

  private:
    bool entered_;
};

/// Counts the changes of every dict passed to watch_dict: a value read from such a dict stays
/// what the dict holds for as long as the count has not moved.
extern std::uint64_t dict_epoch;

/// Has changes to `dict` counted in dict_epoch; false (no exception set) when they cannot be.
bool watch_dict(PyObject *dict) noexcept;

/// `sequence[index]`. Exact lists and tuples are read directly (a negative index counting
/// from the end); anything else, and an index out of range, goes through the host's indexing
/// so that its own error is raised. `index_object`, when given, is the same index as a host
/// int, saving its creation.
Ref subscript(PyObject *sequence, Py_ssize_t index, PyObject *index_object = nullptr) noexcept;

/// `first, second = pair`, as the host unpacks a pair, with its messages. 0, or -1 with an
/// exception set.
int unpack_pair(PyObject *pair, Ref &first, Ref &second) noexcept;

/// UnboundLocalError for the local `name` of the plain algorithm, which a `with` block whose
/// __exit__ suppressed an error left unbound. Returns -1.
int raise_unbound(const char *name) noexcept;

/// `getattr(obj, name)`.
inline Ref getattr(PyObject *obj, PyObject *name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

/// The entered state of a `with` block: how to leave it again.
class Context {
  public:
    /// Enters `manager` as the `with` statement does: looks up __enter__ and __exit__ on its
    /// type, then calls __enter__. The host's own lock is entered through its acquire method,
    /// which is what its __enter__ is.
    static int enter(PyObject *manager, Context &context, Ref *entered = nullptr) noexcept;

    /// Leaves the block. After a block that succeeded, calls __exit__(None, None, None) and
    /// returns 0 or -1. After a block that `failed` (its exception set), calls __exit__ with that
    /// exception; returns 0 when __exit__ suppressed it (execution goes on after the block),
    /// otherwise -1 with the exception (or the one __exit__ raised, chained to it) set.
    int exit(bool failed) noexcept;

  private:
    Ref manager_;
    Ref exit_; // the bound __exit__, or empty for the host lock
};

/// Runs `body` (returning 0 or -1) as the block of `with manager:`.
template <class Block> int with_block(PyObject *manager, Block &&body) noexcept {
    Context context;
    if (Context::enter(manager, context) < 0) {
        return -1;
    }
    return context.exit(body() < 0);
}

/// Same, handing the body the result of __enter__.
template <class Block> int with_as(PyObject *manager, Block &&body) noexcept {
    Context context;
    Ref entered;
    if (Context::enter(manager, context, &entered) < 0) {
        return -1;
    }
    return context.exit(body(entered.get()) < 0);
}

} // namespace qel_i18n::host
