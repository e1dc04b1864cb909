"""Python code that runs inside the module's calls and changes what the call is working on.

Each case is a hook (an object the module calls back into: a message that compares, a lock, a
rebound service, an os function), an operation that reaches it, and an action the callback takes
(replace or mutate the table, delete the catalogue's attributes, rebind module globals, re-enter
the module, change the class, rename the functions, collect garbage, clear whatever holds the
object, delete the files). The only outcomes allowed are a result or an ordinary exception: no
crash, no sanitizer report, no SystemError, and after a failure the files are as they were, with
no temporary file left. Every hook runs its cases in a child interpreter, so that a crash ends
only that child; a crashing child's cases are then run one by one to name each crashing case.
Under the sanitizers the children fill freed memory, so that a read of it crashes.

Run as a script (`python test_hostile.py HOOK [OPERATION ACTION]`) it is the child.
"""

import contextlib
import gc
import json
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import types
import warnings

import pytest

import qel_i18n
from test_lookup import reference_gettext

PRIVATE = ["_I18N__language_index", "_I18N__filename", "_I18N__data", "_I18N__lock"]
MESSAGES = [f"m{i:03}" for i in range(20)]
TEMPORARY = re.compile(r"\.\d+-\d+\.(tmp|bak)$")


class Context:
    """The state one case works on, in a directory of its own."""

    def __init__(self, directory):
        self.dir = directory
        self.csv = os.path.join(directory, "m.csv")
        self.excess = os.path.join(directory, "m-excess.csv")
        self.source = os.path.join(directory, "a.py")
        self.old_source = os.path.join(directory, "old.py")
        rows = ["Position,0,1,2"]
        rows += [f"a.py: {i + 1:04},{m},t{m},u{m}" for i, m in enumerate(MESSAGES)]
        rows += ["gone.py: 0001,gone,weg,parti"]
        self.write(self.csv, "\r\n".join(rows) + "\r\n")
        self.write(self.excess, "Position,0,1,2\r\nold.py: 0001,older,älter,\r\n")
        self.write(self.source, "".join(f'_("{m}")\n' for m in MESSAGES) + '_("new")\n')
        self.write(self.old_source, "import gettext\n_ = gettext.gettext\nprint(_('x'))\n")
        self.c = qel_i18n.i18n = qel_i18n.I18N(self.csv, 1)
        self.c.gettext(MESSAGES[0])  # builds the probe index of its table
        self.cache = {}
        self.fires = 0
        self.armed = self.busy = False

    @staticmethod
    def write(name, text):
        with open(name, "w", encoding="utf8", newline="") as file:
            file.write(text)

    def table(self):
        return self.c.__dict__.get("_I18N__data")

    def files(self):
        found = {}
        for name in sorted(os.listdir(self.dir)):
            with open(os.path.join(self.dir, name), "rb") as file:
                found[name] = file.read()
        return found


# ---- objects that call back -----------------------------------------------------------------

class Hostile:
    """Stands for `value` and runs the case's action whenever the module asks it anything, or
    only when it uses one of the methods named in `on`."""

    def __init__(self, fire, value, on=None):
        self.fire, self.value, self.on = fire, value, on

    def _ask(self, method):
        if self.on is None or method in self.on:
            self.fire(self)
        return self.value

    def __eq__(self, other): return self._ask("eq") == other
    def __ne__(self, other): return self._ask("ne") != other
    def __lt__(self, other): return self._ask("lt") < other
    def __gt__(self, other): return self._ask("gt") > other
    def __le__(self, other): return self._ask("le") <= other
    def __ge__(self, other): return self._ask("ge") >= other
    def __hash__(self): return hash(self._ask("hash"))
    def __bool__(self): return bool(self._ask("bool"))
    def __len__(self): return len(self._ask("len"))
    def __getitem__(self, index): return self._ask("getitem")[index]
    def __setitem__(self, index, value): self._ask("setitem")[index] = value
    def __iter__(self): return iter(self._ask("iter"))
    def __str__(self): return str(self._ask("str"))
    def __fspath__(self): return os.fspath(self._ask("fspath"))
    def __getattr__(self, name): return getattr(self._ask("getattr"), name)


class HostileInt(int):
    def __new__(cls, fire, value):
        number = super().__new__(cls, value)
        number.fire = fire
        return number

    def __eq__(self, other):
        self.fire(self)
        return int(self) == other

    def __ne__(self, other):
        self.fire(self)
        return int(self) != other

    __hash__ = int.__hash__


class HostileLock:
    def __init__(self, fire):
        self.fire, self.lock = fire, qel_i18n._Lock()

    def __enter__(self):
        self.fire(self)
        return self.lock.__enter__()

    def __exit__(self, *exc):
        self.fire(self)
        return self.lock.__exit__(*exc)

    def locked(self):
        return self.lock.locked()


class Colliding(str):
    """A key that an attribute or cache lookup compares with its own: same hash, own __eq__."""

    def __new__(cls, fire, like):
        key = super().__new__(cls, "x" + str(like))
        key.fire, key.like = fire, like
        return key

    def __hash__(self): return hash(self.like)

    def __eq__(self, other):
        self.fire(self)
        return False


# ---- the hooks, and the operations that reach each -------------------------------------------

def in_place(ctx, make):
    """Replaces the middle element of the indexed table in place."""
    table = ctx.table()
    middle = len(table) // 2
    table[middle] = make(table[middle])


def wrap_reader(ctx, fire, message=False):
    reader = qel_i18n._csv_reader

    def rows(file):
        for row in reader(file):
            fire(row)
            if message and len(row) > 1:
                row[1] = Hostile(fire, row[1])
            yield row

    qel_i18n._csv_reader = rows


def wrap_entries(part, on):
    """A hook: the scan's cache entries (or their occur flags, or rows) made hostile, calling
    only when used `on` the named methods."""

    def hook(ctx, fire):
        scan = qel_i18n._parse_one_file

        def scanned(name, cache):
            scan(name, cache)
            for key, (occur, row) in list(cache.items()):
                entry = [occur, row]
                if part is None:
                    entry = Hostile(fire, entry, on)
                else:
                    entry[part] = Hostile(fire, entry[part], on)
                cache[key] = entry

        qel_i18n._parse_one_file = scanned

    return hook


def wrap_writer(ctx, fire):
    make = qel_i18n._csv_writer

    class Writer:
        def __init__(self, file):
            self.writer = make(file)

        def writerow(self, row):
            fire(row)
            return self.writer.writerow(row)

    qel_i18n._csv_writer = Writer


def wrap_pattern(ctx, fire):
    pattern = qel_i18n._the_pattern

    class Pattern:
        def finditer(self, line):
            for match in pattern.finditer(line):
                yield Hostile(fire, match)

    qel_i18n._the_pattern = Pattern()


def wrap_services(ctx, fire):
    for name in ["_exists", "_glob", "_load_str"]:
        real = getattr(qel_i18n, name)
        setattr(qel_i18n, name, lambda *a, real=real, **k: (fire(a), real(*a, **k))[1])
    qel_i18n._sep = Hostile(fire, os.sep)


OS_FUNCTIONS = [(os, "fspath"), (os, "fsencode"), (os, "fsdecode"), (os, "replace"), (os, "link"),
                (os, "stat"), (os, "lstat"), (os, "unlink"), (os, "chmod"), (os.path, "split"),
                (os.path, "realpath"), (os.path, "join"), (os, "open"), (os, "fsync"), (os, "close")]


def wrap_os(ctx, fire):
    for module, name in OS_FUNCTIONS:
        real = getattr(module, name)
        setattr(module, name, lambda *a, real=real, **k: (fire(a), real(*a, **k))[1])


def rebind_loader(ctx, fire):
    real = qel_i18n.I18N

    class Loader:
        @staticmethod
        def load_data_from_file(name, index):
            fire(name)
            return real.load_data_from_file(name, index)

    qel_i18n.I18N = Loader


def set_entry(ctx, key, value):
    ctx.c.__dict__[key] = value


LOOKUPS = ["lookup hit", "lookup miss", "module gettext"]
SETTERS = ["language setter", "filename setter"]
SCANS = ["scan one file", "parse", "parse_directory"]

HOOKS = {
    "a message that compares": (LOOKUPS, lambda ctx, fire: in_place(
        ctx, lambda e: (e[0], Hostile(fire, e[1]), e[2]))),
    "a translation that tests true": (LOOKUPS, lambda ctx, fire: in_place(
        ctx, lambda e: (e[0], e[1], Hostile(fire, e[2])))),
    "an element that is no tuple": (LOOKUPS, lambda ctx, fire: in_place(
        ctx, lambda e: Hostile(fire, list(e), {"getitem"}))),
    "a table that is no list": (LOOKUPS, lambda ctx, fire: set_entry(
        ctx, "_I18N__data", Hostile(fire, list(ctx.table()), {"getitem", "len"}))),
    "a lock that calls": (LOOKUPS + SETTERS, lambda ctx, fire: set_entry(
        ctx, "_I18N__lock", HostileLock(fire))),
    "a stored language index that compares": (LOOKUPS + SETTERS, lambda ctx, fire: set_entry(
        ctx, "_I18N__language_index", HostileInt(fire, 1))),
    "attribute keys that collide": (LOOKUPS + SETTERS, lambda ctx, fire: [
        set_entry(ctx, Colliding(fire, name), None) for name in PRIVATE + ["gettext"]]),
    "a catalogue whose gettext calls": (["module gettext"], lambda ctx, fire: setattr(
        qel_i18n, "i18n", Hostile(fire, ctx.c, {"getattr"}))),
    "a lock factory that calls": (["constructor"], lambda ctx, fire: setattr(
        qel_i18n, "_Lock", lambda: HostileLock(fire))),
    "a loader that calls": (["constructor"] + SETTERS, rebind_loader),
    "a reader that calls between rows": (["constructor", "loader", "parse"] + SETTERS,
                                         wrap_reader),
    "read messages that compare": (["constructor", "loader", "parse"], lambda ctx, fire:
                                   wrap_reader(ctx, fire, message=True)),
    "cache keys that collide": (["scan one file"], lambda ctx, fire: ctx.cache.update(
        {(Colliding(fire, f"{ctx.source}: {i + 1:04}"), m): [False, ["p", m]]
         for i, m in enumerate(MESSAGES)})),
    "entries that call when unpacked": (["parse"], wrap_entries(None, {"iter"})),
    "entries that call when sorted": (["parse"], wrap_entries(None, {"getitem"})),
    "occur flags that call when tested": (["parse"], wrap_entries(0, {"bool"})),
    "rows that call when written": (["parse", "parse_directory"], wrap_entries(1, {"iter"})),
    "rows that call when sorted": (["parse"], wrap_entries(1, {"getitem", "len"})),
    "cached entries that call when marked": (["scan one file"], lambda ctx, fire: ctx.cache.update(
        {(f"{ctx.source}: {i + 1:04}", m): Hostile(fire, [False, ["p", m]], {"setitem"})
         for i, m in enumerate(MESSAGES)})),
    "a pattern whose matches call": (SCANS, wrap_pattern),
    "services that call": (SCANS, wrap_services),
    "a writer that calls": (["parse", "parse_directory"], wrap_writer),
    "os functions that call": (["parse", "replace_gettext"], wrap_os),
    "a file name that calls": (["replace_gettext"], lambda ctx, fire: setattr(
        ctx, "old_source", Hostile(fire, ctx.old_source, {"fspath"}))),
}

OPERATIONS = {
    "lookup hit": lambda ctx: ctx.c.gettext(MESSAGES[13]),
    "lookup miss": lambda ctx: ctx.c.gettext("m0125"),
    "module gettext": lambda ctx: qel_i18n.gettext(MESSAGES[13]),
    "language setter": lambda ctx: setattr(ctx.c, "language_index", 2),
    "filename setter": lambda ctx: setattr(ctx.c, "filename", ctx.csv),
    "constructor": lambda ctx: qel_i18n.I18N(ctx.csv, 1),
    "loader": lambda ctx: qel_i18n.I18N.load_data_from_file(ctx.csv, 1),
    "scan one file": lambda ctx: qel_i18n._parse_one_file(ctx.source, ctx.cache),
    "parse": lambda ctx: qel_i18n.parse(ctx.csv, ctx.source),
    "parse_directory": lambda ctx: qel_i18n.parse_directory(ctx.csv, ctx.dir, ".py"),
    "replace_gettext": lambda ctx: qel_i18n.replace_gettext(ctx.old_source),
}


# ---- what the callbacks do -------------------------------------------------------------------

class Name(str):
    """A name that refers back to the function it names."""


def rename_functions(ctx, me):
    for function in module_functions():
        function.__name__ = Name("renamed")
        function.__qualname__ = Name("renamed")
        function.__name__.function = function


def clear_holders(ctx, me):
    for holder in gc.get_referrers(me):
        if type(holder) in (list, dict):
            holder.clear()


def rebind_globals(ctx, me):
    for name in ["_csv_reader", "_csv_writer", "_glob", "_load_str", "_exists", "_sep", "_Lock",
                 "_the_pattern", "I18N", "i18n", "_parse_one_file", "parse"]:
        setattr(qel_i18n, name, None)


def change_class(ctx, me):
    qel_i18n.I18N.gettext = lambda self, message: message
    qel_i18n.I18N._I18N__data = property(lambda self: [])
    qel_i18n.I18N.__getattribute__ = lambda self, name: object.__getattribute__(self, name)


def look_again(ctx):
    """Looks messages up in the catalogue again, unless this thread holds its lock, which is
    not reentrant (a lookup would wait for it for ever, as it would in plain Python)."""
    lock = ctx.c.__dict__.get("_I18N__lock")
    if not (hasattr(lock, "locked") and lock.locked()):
        ctx.c.gettext("a")
        qel_i18n.gettext(MESSAGES[3])


def reenter(ctx, me):
    look_again(ctx)
    lock = ctx.c.__dict__.get("_I18N__lock")
    if not (hasattr(lock, "locked") and lock.locked()):
        ctx.c.language_index = 1
    qel_i18n.parse(ctx.csv, ctx.source)


def replace_table(ctx, me):
    set_entry(ctx, "_I18N__data", [[0, "a", "b"]] * 100)  # not indexed: the index is rebuilt
    look_again(ctx)


def mutate_table(ctx, me):
    ctx.table()[:] = [(2, "a", "b"), object()]
    look_again(ctx)


def clear_and_fail(ctx, me):
    clear_holders(ctx, me)
    raise TypeError("failed after clearing what held it")


def delete_files(ctx, me):
    for name in [ctx.csv, ctx.excess, ctx.source, ctx.old_source]:
        with contextlib.suppress(OSError):
            os.remove(name)


# Name, action, and whether it changes the files itself.
ACTIONS = {
    "replace the table and look again": (replace_table, False),
    "mutate the table and look again": (mutate_table, False),
    "delete the attributes": (lambda ctx, me: ctx.c.__dict__.clear(), False),
    "rebind the attributes": (lambda ctx, me: ctx.c.__dict__.update(
        dict.fromkeys(PRIVATE, "junk")), False),
    "rebind module globals": (rebind_globals, False),
    "change the class": (change_class, False),
    "re-enter the module": (reenter, True),
    "rename the functions": (rename_functions, False),
    "collect garbage": (lambda ctx, me: gc.collect(), False),
    "clear what holds it": (clear_holders, False),
    "clear what holds it and fail": (clear_and_fail, False),
    "delete the files": (delete_files, True),
}


def module_functions():
    return [qel_i18n.gettext, qel_i18n._parse_one_file, qel_i18n.parse, qel_i18n.parse_directory,
            qel_i18n.replace_gettext, qel_i18n.I18N.__init__, qel_i18n.I18N.gettext,
            qel_i18n.I18N.load_data_from_file, qel_i18n.I18N.language_index.fget,
            qel_i18n.I18N.filename.fset]


# ---- the child: one hook's cases -------------------------------------------------------------

@contextlib.contextmanager
def restored():
    """Puts back everything a case may change outside its directory."""
    namespace = dict(vars(qel_i18n))
    cls = qel_i18n.I18N
    members = dict(vars(cls))
    functions = {f: (f.__name__, f.__qualname__) for f in module_functions()}
    os_functions = [(module, name, getattr(module, name)) for module, name in OS_FUNCTIONS]
    try:
        yield
    finally:
        for module, name, function in os_functions:
            setattr(module, name, function)
        vars(qel_i18n).clear()
        vars(qel_i18n).update(namespace)
        for name in set(vars(cls)) - set(members) - {"__weakref__", "__dict__"}:
            delattr(cls, name)
        for name, value in members.items():
            if name not in ("__dict__", "__weakref__", "__doc__"):
                if vars(cls).get(name) is not value:
                    setattr(cls, name, value)
        for function, (name, qualname) in functions.items():
            function.__name__, function.__qualname__ = name, qualname


def run_case(hook, operation, action):
    """One case; returns its outcome as a dict."""
    do, changes_files = ACTIONS[action]
    with tempfile.TemporaryDirectory() as directory, restored():
        ctx = Context(directory)

        def fire(me):
            # Only inside the operation, at most a few times, never from inside its own action.
            if not ctx.armed or ctx.busy or ctx.fires >= 3:
                return
            ctx.fires += 1
            ctx.busy = True
            try:
                do(ctx, me)
            finally:
                ctx.busy = False

        HOOKS[hook][1](ctx, fire)
        before = ctx.files()
        ctx.armed = True
        outcome = {"case": [hook, operation, action]}
        try:
            OPERATIONS[operation](ctx)
            outcome["outcome"] = "result"
        except Exception as exc:
            outcome["outcome"] = type(exc).__name__
        ctx.armed = False
        if outcome["outcome"] != "result" and not changes_files and ctx.files() != before:
            outcome["files"] = "changed by a failed call"
        left = [name for name in os.listdir(directory) if TEMPORARY.search(name)]
        if left:
            outcome["files"] = f"left behind: {left}"
        gc.collect()
    return outcome


def child(arguments):
    hook = arguments[0]
    if len(arguments) == 3:
        cases = [(hook, arguments[1], arguments[2])]
    else:
        cases = [(hook, operation, action) for operation in HOOKS[hook][0] for action in ACTIONS]
    for case in cases:
        print(json.dumps(run_case(*case)), flush=True)


# ---- the tests ---------------------------------------------------------------------------------

def child_env():
    """The environment of a child: freed memory is filled under the sanitizers, so that a read
    of it inside the interpreter's own code crashes too."""
    options = os.environ.get("ASAN_OPTIONS", "") + ":max_free_fill_size=4096:free_fill_byte=221"
    return dict(os.environ, ASAN_OPTIONS=options)


def run_child(*arguments):
    return subprocess.run([sys.executable, __file__, *arguments], capture_output=True, text=True,
                          env=child_env(), timeout=600)


def faults(proc, expected):
    """The faults a child showed: crashed cases, SystemErrors, changed or left files."""
    reported = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
    found = [f"{' / '.join(r['case'])}: {r['outcome']} {r.get('files', '')}".strip()
             for r in reported if r["outcome"] == "SystemError" or "files" in r]
    if proc.returncode != 0 or len(reported) != expected:
        found.append(f"crashed (exit {proc.returncode}) after {len(reported)} cases:\n"
                     f"{proc.stderr[-3000:]}")
    return found, reported


@pytest.mark.parametrize("hook", list(HOOKS))
def test_callbacks_cannot_crash_the_module(hook):
    cases = [(operation, action) for operation in HOOKS[hook][0] for action in ACTIONS]
    found, reported = faults(run_child(hook), len(cases))
    if len(reported) < len(cases):
        # The child crashed: every case on its own, to name each one that crashes.
        found = []
        for operation, action in cases:
            found += faults(run_child(hook, operation, action), 1)[0]
    assert not found, "\n".join(found)


@pytest.mark.parametrize("operation", ["parse", "replace_gettext"])
def test_any_failing_os_call_leaves_the_files_as_they_were(tmp_path, monkeypatch, operation):
    """Each os call of the operation fails in turn (the first, the second, ...): a failed call
    leaves the files as they were, and no temporary file is left unless removing it failed."""
    for failing in range(1, 200):
        directory = tmp_path / str(failing)
        directory.mkdir()
        ctx = Context(str(directory))
        before = ctx.files()
        calls = []
        with monkeypatch.context() as patch:
            for module, name in OS_FUNCTIONS:
                def counted(*args, real=getattr(module, name), **kwargs):
                    calls.append(real)
                    if len(calls) == failing:
                        raise OSError(5, "injected failure")
                    return real(*args, **kwargs)
                patch.setattr(module, name, counted)
            with warnings.catch_warnings(record=True) as warned:
                warnings.simplefilter("always")
                try:
                    OPERATIONS[operation](ctx)
                except OSError as error:
                    failed, told = True, " ".join(getattr(error, "__notes__", []))
                else:
                    failed, told = False, " ".join(str(warning.message) for warning in warned)
        if failed:
            assert ctx.files() == before, f"after the failure of os call {failing}"
        if len(calls) < failing:
            assert not failed and ctx.files() != before
            break
        left = [n for n in os.listdir(directory) if TEMPORARY.search(n)]
        # A file left because removing it failed is named, in a note or a warning.
        assert all(name in told for name in left) if calls[failing - 1] is os.unlink else not left
    assert failing > 5  # the operation made os calls, each of which was made to fail


# The reproducers each fault was first found with, as they were reported: each ends in a
# result or an ordinary exception, with the files as they were.
SCRIPTS = {
    "lookup re-entered from a comparison": """
        import qel_i18n
        c = qel_i18n.I18N(); rows = [(i, "m%03d" % i, "t%03d" % i) for i in range(10)]
        c._I18N__language_index = 1; c._I18N__data = rows; c.gettext("m003")
        class Evil:
            def __eq__(self, other):
                c._I18N__data = [[0, "a", "b"]] * 100; c.gettext("a"); return False
            def __lt__(self, other): return True
            __hash__ = object.__hash__
        rows[4] = (0, Evil(), "x"); print(c.gettext("m009"))
    """,
    "a function read while the collector clears it": """
        import qel_i18n
        import weakref
        f = qel_i18n.replace_gettext
        del qel_i18n.replace_gettext
        holder, seen = [], []
        class S(str):
            def __del__(self):
                g = holder[0]() if holder else None
                if g is not None:
                    seen.append((g.__name__, g.__qualname__, repr(g)[:10], g.__code__.co_name))
                    g()
        class W:
            def __del__(self): holder.append(weakref.ref(self.f))
        f.__name__ = S("replace_gettext")
        w = W(); w.f = f; f.w = w
        del f, w
        gc.collect()
        print(seen)
    """,
    "a function reached from a weak-reference callback while cleared": """
        import qel_i18n
        import weakref
        f = qel_i18n.gettext
        del qel_i18n.gettext
        keep = []
        class X: pass
        class W:
            def __del__(self):
                fw = weakref.ref(self.f)
                def cb(_):
                    g = fw()
                    if g is not None:
                        print(g.__qualname__, g.__code__.co_varnames, repr(g)[:10], g("m"))
                keep.append(weakref.ref(self.x, cb))
        w = W(); w.f = f; x = X(); w.x = x; f.x = x; f.w = w
        del f, w, x
        gc.collect()
    """,
    "a function in a cycle through its name is collected": """
        import qel_i18n, weakref
        class Name(str):
            pass
        f = qel_i18n.replace_gettext
        del qel_i18n.replace_gettext
        f.__qualname__ = Name("replace_gettext")
        f.__qualname__.function = f
        gone = weakref.ref(f)
        del f
        gc.collect()
        assert gone() is None
    """,
    "a class that outlives a failed start-up": """
        import threading
        saved = {}
        real_lock = threading.Lock
        def evil_lock():
            saved["I18N"] = sys.modules["qel_i18n"].I18N
            raise RuntimeError("no lock today")
        threading.Lock = evil_lock
        try:
            import qel_i18n
        except RuntimeError as e:
            print("import failed:", e)
        threading.Lock = real_lock
        for call in (lambda: saved["I18N"](), lambda: saved["I18N"]("x.csv", 1),
                     lambda: saved["I18N"].load_data_from_file("x.csv", 1)):
            try:
                call()
            except Exception as e:
                assert not isinstance(e, SystemError), e
        import qel_i18n
        print(qel_i18n.I18N is not saved["I18N"], qel_i18n.gettext("again"))
    """,
    "os.path.split gives no tuple for the backup": """
        import qel_i18n
        d = tempfile.mkdtemp(); cat = os.path.join(d, "m.csv"); src = os.path.join(d, "a.py")
        open(src, "w").write('_("hello")\\n')
        qel_i18n.parse(cat, src); qel_i18n.parse(cat)
        open(src, "w").write('_("other")\\n'); qel_i18n.parse(cat, src)
        real_split, calls = os.path.split, []
        def evil_split(p):
            calls.append(p)
            if p.endswith("m-excess.csv") and calls.count(p) >= 2:
                return object()
            return real_split(p)
        os.path.split = evil_split
        open(src, "w").write('_("third")\\n')
        check_failure(d, lambda: qel_i18n.parse(cat, src))
    """,
    "os.path.split gives no str for the temporary file": """
        import qel_i18n
        d = tempfile.mkdtemp(); cat = os.path.join(d, "m.csv")
        class P:
            __slots__ = ()
            def __fspath__(self): return d
        real_split = os.path.split
        os.path.split = lambda p: (P(), real_split(p)[1])
        check_failure(d, lambda: qel_i18n.parse(cat))
    """,
    "the length of the path fails": """
        import qel_i18n
        d = tempfile.mkdtemp(); cat = os.path.join(d, "m.csv")
        class S(str):
            def __len__(self): raise ValueError("no len")
        real = os.fspath
        os.fspath = lambda p: S(p) if p is cat else real(p)
        check_failure(d, lambda: qel_i18n.parse(cat))
        assert not os.path.exists(cat)
    """,
    "rows change while the catalogue is written": """
        real_open = builtins.open
        state = {"writes": 0}
        class Proxy:
            def __init__(self, f): self.f = f
            def __enter__(self): self.f.__enter__(); return self
            def __exit__(self, *a): return self.f.__exit__(*a)
            def __iter__(self): return iter(self.f)
            def write(self, text):
                state["writes"] += 1
                if state["writes"] == 1 and "victim" in state:
                    state["victim"][0] = Evil()
                return self.f.write(text)
        builtins.open = lambda *a, **k: Proxy(real_open(*a, **k))
        import qel_i18n  # fetches this open at start-up
        builtins.open = real_open
        class Evil:
            def __str__(self):
                state["victim"].clear()
                return "x"
        def fake_parse_one_file(name, cache):
            for i in range(3000):
                r = ["p%05d" % i, "m%05d" % i]
                cache[(r[0], r[1])] = [True, r]
                if i == 2500:
                    state["victim"] = r
        qel_i18n._parse_one_file = fake_parse_one_file
        d = tempfile.mkdtemp()
        qel_i18n.parse(os.path.join(d, "m.csv"), "whatever.py")
    """,
    "an entry whose iteration frees it": """
        import qel_i18n
        box = {}
        class Entry:
            def __getitem__(self, i): return [True, ["p", "m"]][i]
            def __iter__(self):
                box["cache"].clear()
                for r in gc.get_referrers(self):
                    if type(r) is list: r.clear()
                raise TypeError("nope")
        def fake(name, cache):
            box["cache"] = cache
            cache[("p", "m")] = Entry()
        qel_i18n._parse_one_file = fake
        d = tempfile.mkdtemp()
        check_failure(d, lambda: qel_i18n.parse(os.path.join(d, "m.csv"), "x.py"))
    """,
    "a row whose iteration frees it": """
        import qel_i18n
        d = tempfile.mkdtemp(); cat = os.path.join(d, "m.csv")
        class Row:
            def __getitem__(self, i): return ["p", "m"][i]
            def __iter__(self):
                for r in gc.get_referrers(self):
                    if type(r) is list:
                        r[:] = [None if x is self else x for x in r]
                return 42
        def fake_parse_one_file(name, cache):
            cache[("p", "m")] = [True, Row()]
        qel_i18n._parse_one_file = fake_parse_one_file
        check_failure(d, lambda: qel_i18n.parse(cat, "x.py"))
    """,
    "the loader's table changed by its reader": """
        import qel_i18n
        d = tempfile.mkdtemp(); p = os.path.join(d, "c.csv"); open(p, "w").write("h\\n")
        class M: pass
        m = M()
        def reader(f):
            yield ["Position", "0", "1"]
            yield ["p", m, "t"]
            for e in gc.get_referrers(m):
                if type(e) is tuple:
                    for t in gc.get_referrers(e):
                        if type(t) is list:
                            t[0] = (2, "a", None)
                            t.append(object())
            yield ["p", "b", "t"]
        qel_i18n._csv_reader = reader
        try:
            print(qel_i18n.I18N.load_data_from_file(p, 1))
        except TypeError as e:
            print("TypeError", e)
    """,
    "an empty catalogue whose file suppresses the error": """
        real_open = builtins.open
        class F:
            def __init__(self, f): self.f = f
            def __enter__(self): self.f.__enter__(); return self.f
            def __exit__(self, *a): self.f.__exit__(*a); return True
        builtins.open = lambda *a, **k: F(real_open(*a, **k))
        import qel_i18n  # fetches this open at start-up
        builtins.open = real_open
        d = tempfile.mkdtemp(); cat = os.path.join(d, "m.csv")
        real_open(cat, "w").close()
        try:
            qel_i18n.parse(cat)
        except UnboundLocalError as e:
            print(e)
        assert real_open(cat).read() == ""
    """,
    "no hard links, and the catalogue cannot be replaced": """
        import qel_i18n
        d = tempfile.mkdtemp(); cat = os.path.join(d, "m.csv"); src = os.path.join(d, "a.py")
        open(src, "w").write('_("one")\\n'); qel_i18n.parse(cat, src)
        open(src, "w").write('_("two")\\n'); qel_i18n.parse(cat, src)
        def no_link(*a, **k): raise PermissionError(1, "Operation not permitted")
        real_replace = os.replace
        def replace(a, b, **k):
            if os.path.basename(b) == "m.csv": raise PermissionError(1, "Operation not permitted")
            return real_replace(a, b, **k)
        os.link, os.replace = no_link, replace
        open(src, "w").write('_("three")\\n')
        check_failure(d, lambda: qel_i18n.parse(cat, src), exclude="a.py")
    """,
    "the old excess file cannot be put back either": """
        import qel_i18n
        d = tempfile.mkdtemp(); cat = os.path.join(d, "m.csv"); src = os.path.join(d, "a.py")
        open(src, "w").write('_("one")\\n'); qel_i18n.parse(cat, src)
        open(src, "w").write('_("two")\\n'); qel_i18n.parse(cat, src)
        real_replace, calls = os.replace, []
        def replace(a, b, **k):
            calls.append(b)
            if len(calls) > 1: raise PermissionError(13, "Permission denied")
            return real_replace(a, b, **k)
        os.replace = replace
        open(src, "w").write('_("three")\\n')
        check_failure(d, lambda: qel_i18n.parse(cat, src), exclude="a.py")
    """,
    "a source that can be read only once does not decode": """
        import qel_i18n
        r, w = os.pipe()
        os.write(w, b'_("first")\\n\\xff\\n')
        os.close(w)
        cache = {}
        try:
            qel_i18n._parse_one_file("/proc/self/fd/%d" % r, cache)
        except UnicodeDecodeError as e:
            assert e.__notes__ == ["while scanning '/proc/self/fd/%d', after line 0" % r], e
        else:
            raise AssertionError(f"the decoding error was swallowed: {cache}")
    """,
    "a service rebound while start-up runs host code": """
        import csv, threading
        real_lock, written = threading.Lock, []
        def writer(*args, **kwargs):
            written.append(1)
            return csv.writer(*args, **kwargs)
        def lock():  # the default catalogue's lock is made after the services are bound
            module = sys.modules.get("qel_i18n")
            if module is not None and "_csv_writer" in vars(module) and not written:
                module._csv_writer, module._the_pattern = writer, re.compile(r'_\\("(.*?)"\\)')
            return real_lock()
        threading.Lock = lock
        import qel_i18n
        threading.Lock = real_lock
        d = tempfile.mkdtemp(); cat = os.path.join(d, "m.csv"); src = os.path.join(d, "a.py")
        open(src, "w").write('_("one")\\n_(u"two")\\n')
        qel_i18n.parse(cat, src)
        assert written, "the writer bound at start-up stood in for the one rebound"
        assert "two" not in open(cat).read(), "the pattern bound at start-up was used"
    """,
    "services replaced before start-up binds them are not stood in for": """
        import _thread, csv, json, threading  # threading takes its lock type at its import
        real = (csv.writer, json.loads, re.compile, _thread.LockType)
        used = []
        def writer(*args, **kwargs):
            used.append("writer")
            return real[0](*args, **kwargs)
        def compile(text, flags=0):  # the pattern of another text: u"" prefixes not taken
            return real[2](r'_\\("(.*?)"\\)' if text[:1] == "_" else text, flags)
        class Lock:
            def __init__(self): self.inner = _thread.allocate_lock()
            def acquire(self, *a): used.append("acquire"); return self.inner.acquire(*a)
            def release(self): used.append("release"); self.inner.release()
            def locked(self): used.append("locked"); return self.inner.locked()
            def __enter__(self): used.append("enter"); return self.inner.__enter__()
            def __exit__(self, *a): used.append("exit"); return self.inner.__exit__(*a)
        csv.writer, re.compile, _thread.LockType = writer, compile, Lock
        json.loads = lambda s, *a, **k: real[1](s, *a, **k).upper()
        import qel_i18n
        csv.writer, json.loads, re.compile, _thread.LockType = real
        d = tempfile.mkdtemp(); cat = os.path.join(d, "m.csv"); src = os.path.join(d, "a.py")
        open(src, "w").write('_("one")\\n_(u"two")\\n')
        qel_i18n.parse(cat, src)
        text = open(cat).read()
        assert "ONE" in text and "TWO" not in text and used == ["writer"], (text, used)
        c = qel_i18n.I18N()
        c._I18N__language_index, c._I18N__lock = 1, Lock()
        c.gettext("m")
        assert used[1:] == ["enter", "exit"], used
    """,
    "host errors in the writer's own probes are raised, never cleared": """
        import qel_i18n
        real = os.pathconf, os.fspath, os.path.realpath, os.fsdecode
        d = tempfile.mkdtemp(); cat = os.path.join(d, "m.csv")
        class Once:  # a path whose __fspath__ fails the first time
            def __init__(self, p): self.p, self.armed = p, True
            def __fspath__(self):
                if self.armed:
                    self.armed = False
                    raise RuntimeError("once")
                return self.p
        def fail(error):
            def call(*a):
                raise error
            return call
        def fspath(p):
            if p == cat:
                raise TypeError("once")
            return real[1](p)
        for name, replacement, error in [
            ("pathconf", fail(KeyboardInterrupt()), KeyboardInterrupt),
            ("pathconf", fail(AttributeError("inside")), AttributeError),
            ("fspath", fspath, TypeError),
            ("realpath", lambda p: Once(real[2](p)), RuntimeError),
            ("fsdecode", lambda p: Once(real[3](p)), TypeError),
        ]:
            setattr(os.path if name == "realpath" else os, name, replacement)
            try:
                qel_i18n.parse(cat)
            except error:
                pass
            else:
                raise AssertionError(f"{name}: the {error.__name__} was dropped")
            finally:
                os.pathconf, os.fspath, os.path.realpath, os.fsdecode = real
            assert os.listdir(d) == [], (name, os.listdir(d))
        gets = []
        class Get:  # I18N.gettext replaced: the host gets it from the instance only
            def __get__(self, obj, cls):
                gets.append(obj)
                return lambda message: message
        qel_i18n.I18N.gettext = Get()
        assert qel_i18n.gettext("m") == "m" and gets == [qel_i18n.i18n], gets
    """,
    "the scanner and the writer leave host code's decoder and files to it": """
        import json, signal, threading, time
        from unittest import mock
        import qel_i18n
        d = tempfile.mkdtemp(); src = os.path.join(d, "a.py")
        open(src, "w").write('_("one")\\n')
        real_decode = json.JSONDecoder.decode
        upper = lambda self, s, *a, **k: real_decode(self, s, *a, **k).upper()
        with mock.patch.object(json.JSONDecoder, "decode", upper):
            cache = {}
            qel_i18n._parse_one_file(src, cache)
        assert [k[1] for k in cache] == ["ONE"], cache
        # A file that the decoder changes while it is scanned (grown after a last line with no
        # line feed or a CR, cut, rewritten past the first chunk, made undecodable) gives what
        # the line loop gives, which a pattern of host code makes the scanner take.
        real_loads, pattern = qel_i18n._load_str, qel_i18n._the_pattern
        class Pattern:
            def finditer(self, line): return pattern.finditer(line)
        filler = b"#" * 9000 + b"\\n"
        def grow(data): open(src, "ab").write(data)
        def rewrite(f): f.seek(len(filler) + 3); f.write(b"CHGD")
        for text, change in [
            (b'_("one")\\n_("b")', lambda: grow(b'c")\\n_("d")\\n')),
            (b'_("one")\\n_("b")\\r', lambda: grow(b'\\n_("c")\\n')),
            (b'_("one")\\n' + filler + b'_("last")\\n', lambda: os.truncate(src, 20)),
            (b'_("one")\\n' + filler + b'_("last")\\n', lambda: rewrite(open(src, "r+b"))),
            (b'_("one")\\n_("two")', lambda: grow(b"\\xff\\n")),
        ]:
            results = []
            for scanner_pattern in (pattern, Pattern()):
                open(src, "wb").write(text)
                def loads(quoted):
                    if quoted == '"one"':
                        change()
                    return real_loads(quoted)
                qel_i18n._load_str, qel_i18n._the_pattern = loads, scanner_pattern
                cache = {}
                try:
                    qel_i18n._parse_one_file(src, cache)
                    outcome = None
                except UnicodeDecodeError as e:
                    outcome = e.__notes__
                results.append((sorted(cache), outcome))
            assert results[0] == results[1], (text, results)
        qel_i18n._load_str, qel_i18n._the_pattern = real_loads, pattern
        # A pipe read cut off by a signal keeps the lines read before, as a line loop would.
        r, w = os.pipe()
        os.write(w, b'_("first")\\n_("second")\\n')
        def alarm(*a):
            raise TimeoutError("cut off")
        signal.signal(signal.SIGALRM, alarm)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        cache = {}
        try:
            qel_i18n._parse_one_file("/proc/self/fd/%d" % r, cache)
        except TimeoutError as e:
            assert e.__notes__[-1].endswith("after line 2"), e.__notes__
        os.close(w); os.close(r)
        assert sorted(k[1] for k in cache) == ["first", "second"], cache
    """,
    "files of a replaced open() are iterated and written row by row": """
        import builtins
        real_open, log = builtins.open, []
        class Lines:  # what host code's open() gives: lines to iterate, writes to log
            def __init__(self, f): self.f = f
            def __enter__(self): return self
            def __exit__(self, *a): self.f.close()
            def __iter__(self): return iter(self.f)
            def write(self, s): log.append(s); return self.f.write(s)
        builtins.open = lambda file, mode="r", *a, **k: Lines(real_open(file, mode, *a, **k))
        import qel_i18n
        builtins.open = real_open
        d = tempfile.mkdtemp(); cat = os.path.join(d, "m.csv"); src = os.path.join(d, "a.py")
        real_open(src, "w").write('_("one")\\n_("two")\\n')
        qel_i18n.parse(cat, src)
        assert len(log) == 3 and log[2].endswith(",two\\r\\n"), log
    """,
    "a lookup that fails is not cleared and made again": """
        import qel_i18n
        armed = []
        class Key(str):
            def __hash__(self): return hash("_the_pattern")
            def __eq__(self, other):
                if armed:
                    raise armed.pop()("once")  # NameError too: no missing name
                return str.__eq__(self, other)
        pattern = qel_i18n._the_pattern
        del qel_i18n._the_pattern
        vars(qel_i18n)[Key("odd")] = 1  # compared with "_the_pattern" before it is found
        qel_i18n._the_pattern = pattern
        d = tempfile.mkdtemp(); src = os.path.join(d, "a.py")
        open(src, "w").write('_("x")\\n')
        for error in (LookupError, NameError):
            armed.append(error)
            try:
                qel_i18n._parse_one_file(src, {})
            except error:
                pass
            else:
                raise AssertionError(f"the lookup's {error.__name__} was dropped")
    """,
    "a namespace key of another type is compared at every lookup of the plain code": """
        import qel_i18n
        d = tempfile.mkdtemp(); src = os.path.join(d, "a.py")
        open(src, "w").write('_("a")\\nx\\ny\\n_("b")\\nz\\n_("c")')
        def compared(name, call):
            count = []
            class Key(str):
                def __hash__(self): return hash(name)
                def __eq__(self, other): count.append(1); return str.__eq__(self, other)
            namespace = vars(qel_i18n)
            value = namespace.pop(name)
            namespace[Key("odd")] = 1  # met before the name by each lookup
            namespace[name] = value
            count.clear()
            for _ in range(2):
                call()
            calls = len(count)
            del namespace[Key("odd")]
            return calls
        scan = lambda: qel_i18n._parse_one_file(src, {})
        # Once a line for the pattern, once a marked text for the decoder, once a call for i18n.
        assert compared("_the_pattern", scan) == 12
        assert compared("_load_str", scan) == 6
        assert compared("i18n", lambda: qel_i18n.gettext("m")) == 2
    """,
    "a temporary file that cannot be removed is named": """
        import qel_i18n
        d = tempfile.mkdtemp(); cat = os.path.join(d, "m.csv"); src = os.path.join(d, "a.py")
        open(src, "w").write('_("one")\\n')
        class Writer:
            def __init__(self, file): pass
            def writerow(self, row): raise ValueError("no room")
        qel_i18n._csv_writer = Writer
        real_unlink = os.unlink
        os.unlink = lambda *a, **k: (_ for _ in ()).throw(PermissionError(13, "refused"))
        try:
            qel_i18n.parse(cat, src)
        except ValueError as e:
            left = [n for n in os.listdir(d) if n.endswith(".tmp")]
            assert len(left) == 1 and any(left[0] in note for note in e.__notes__), e.__notes__
        os.unlink = real_unlink
    """,
}

# Shared by the scripts, which import the module themselves (some change `open` first).
PRELUDE = """
import builtins, gc, os, re, sys, tempfile

def check_failure(directory, call, exclude=None):
    def files():
        return {n: open(os.path.join(directory, n), "rb").read()
                for n in sorted(os.listdir(directory)) if n != exclude}
    before = files()
    try:
        call()
    except Exception as e:
        assert not isinstance(e, SystemError), e
        assert files() == before, (before, files())
        print(type(e).__name__, e)
    else:
        print("no error")
    left = [n for n in os.listdir(directory) if re.search(r"\\.\\d+-\\d+\\.(tmp|bak)$", n)]
    assert not left, left
"""


@pytest.mark.parametrize("name", list(SCRIPTS))
def test_reported_faults(name):
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(SCRIPTS[name])],
                          capture_output=True, text=True, env=child_env(), timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "SystemError" not in proc.stdout + proc.stderr


# ---- the instance dict read where the host reads it ------------------------------------------

class PlainI18N:
    """The lookup in plain Python, its attributes read by the host itself: through getattr, as
    the attribute instruction of 3.12.1, once specialized, compares a colliding key again after
    the key's __eq__ has raised (SystemError)."""

    def gettext(self, message):
        if getattr(self, "_I18N__language_index") == 0:
            return message
        with getattr(self, "_I18N__lock"):
            data = getattr(self, "_I18N__data")
        return reference_gettext(types.SimpleNamespace(
            _I18N__language_index=1, _I18N__lock=contextlib.nullcontext(), _I18N__data=data),
            message)


def put_colliding_key(obj, name, errors):
    """Puts before `name` in the instance dict a key of the same hash, which counts the times it
    is compared and raises the first of `errors` left."""
    compared = []

    class Key(str):
        def __hash__(self):
            return hash(name)

        def __eq__(self, other):
            compared.append(other)
            if errors:
                raise errors.pop()(f"raised by a key compared with {name}")
            return str.__eq__(self, other)

    attributes = vars(obj)
    value = attributes.pop(name, None)
    attributes[Key("odd")] = 1
    if value is not None:
        attributes[name] = value
    return compared


# Which lookup, the entry a key collides with, the language index, and whether the entry is
# missing. The lookup reads the index, then, for another index than 0, the lock and the table;
# the module gettext reads the instance's own gettext first. Each read is made once per call,
# its error raised; none is made early.
@pytest.mark.parametrize("via, name, language_index, missing, error", [
    ("method", "_I18N__language_index", 0, False, LookupError),
    ("method", "_I18N__lock", 0, False, LookupError),
    ("method", "_I18N__data", 0, False, LookupError),
    ("module", "_I18N__data", 0, False, LookupError),
    ("module", "gettext", 0, False, LookupError),
    ("method", "_I18N__lock", 1, False, LookupError),
    ("module", "_I18N__data", 1, False, LookupError),
    ("method", "_I18N__lock", 1, True, LookupError),
    ("module", "_I18N__data", 1, True, LookupError),
    ("method", "_I18N__language_index", 1, False, AttributeError),
    ("module", "_I18N__data", 1, False, AttributeError),
])
def test_instance_dict_read_as_the_host_reads_it(monkeypatch, via, name, language_index, missing,
                                                  error):
    def outcome(obj, call):
        for key, value in [("_I18N__language_index", language_index), ("_I18N__filename", ""),
                           ("_I18N__data", [(0, "m", "t")]), ("_I18N__lock", qel_i18n._Lock())]:
            setattr(obj, key, value)
        if missing:
            delattr(obj, name)
        errors = []
        compared = put_colliding_key(obj, name, errors)
        compared.clear()
        errors.append(error)
        results = []
        for _ in range(3):  # then with a key that no longer raises, which each read compares
            try:
                results.append(call("m"))
            except (LookupError, AttributeError) as e:
                named = (e.name, e.obj is obj) if isinstance(e, AttributeError) else None
                results.append((type(e), str(e).replace("PlainI18N", "I18N"), named))
        return results, len(compared)

    catalogue = qel_i18n.I18N()
    monkeypatch.setattr(qel_i18n, "i18n", catalogue)
    plain = PlainI18N()
    if via == "module":
        assert outcome(catalogue, qel_i18n.gettext) == outcome(plain, lambda m: plain.gettext(m))
    else:
        assert outcome(catalogue, lambda m: qel_i18n.I18N.gettext(catalogue, m)) == outcome(
            plain, lambda m: PlainI18N.gettext(plain, m))


if __name__ == "__main__":
    child(sys.argv[1:])
