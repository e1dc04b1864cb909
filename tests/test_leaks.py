"""Repeated calls leave nothing behind. Every operation, the failing ones included, runs many
times between two counts: the interpreter's allocated blocks, the bytes in use on the C heap and
the reference counts of the objects that the calls touch must stay where they were.

Under PYTHONMALLOC=malloc (the sanitizer run) the interpreter counts no blocks and the C heap
belongs to the sanitizer, so both counts stay at their start; the reference counts still apply.
"""

import collections
import csv
import ctypes
import gc
import io
import json
import os
import re
import sys
import threading
import types
from dataclasses import dataclass, field
from typing import Callable

import pytest

import qel_i18n
from qel_i18n import I18N

WARM_UP = 200
CALLS = 2000
# Operations that write files wait for the file system to replace them (a few milliseconds
# each); they run fewer times, which the fixed slack below still tells apart from a leak.
FILE_WARM_UP = 50
FILE_CALLS = 200

# Before each count the type attribute cache is emptied (it keeps the name of every attribute
# lookup alive, so names built at run time, as PyObject_GetAttrString builds them, would
# accumulate in its 4096 slots) and a full collection runs (which also empties the free lists).
# What the slack leaves room for is the few blocks of the counting itself (the figures of the
# first count are alive at the second) and of a cache of the interpreter's that a first use during
# the counted calls may fill. It is fixed, not proportional to the number of calls: a leak of one
# block per call exceeds it twenty times over.
BLOCK_SLACK = 10
HEAP_SLACK = 16 * 1024  # bytes; one leaked native allocation per call exceeds it too

MESSAGES = [f"message {i:02}" for i in range(24)]


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
        )
    ]


def _heap_counter():
    """Bytes in use on the C heap (glibc's main arena), where the module's native containers and
    the host's large objects live, unseen by the block count; None where it cannot be read, or
    where malloc is not glibc's (a sanitizer's), so that an allocation does not show."""
    try:
        libc = ctypes.CDLL(None)
        mallinfo2 = libc.mallinfo2
    except (AttributeError, OSError):
        return None
    mallinfo2.restype = _Mallinfo2
    libc.malloc.restype = ctypes.c_void_p
    libc.free.argtypes = [ctypes.c_void_p]
    before = mallinfo2().uordblks
    probe = libc.malloc(64 * 1024)  # below the size that malloc serves by mmap
    seen = mallinfo2().uordblks - before >= 64 * 1024
    libc.free(probe)
    return (lambda: mallinfo2().uordblks) if seen else None


heap_in_use = _heap_counter()


def fresh(text):
    """An equal str that is not interned (interned strs are immortal: their count never moves)."""
    return (text + "\0")[:-1]


def csv_text(rows):
    buffer = io.StringIO(newline="")
    csv.writer(buffer).writerows(rows)
    return buffer.getvalue()


class Files:
    """The catalogue and source files the cases work on, all under one temporary directory."""

    def __init__(self, root):
        self.root = root
        self.header = ["Position", "0", "1", "2"]
        self.a = self.catalogue("a.csv", "A")
        self.b = self.catalogue("b.csv", "B")
        rows = self.rows("A")
        self.unsorted = self.write("unsorted.csv", csv_text([self.header] + rows[::-1]))
        self.short = self.write("short.csv", "Position,0,1\r\np: 0001,message 00\r\n")
        self.empty = self.write("empty.csv", "")
        self.blank_row = self.write("blank.csv", "Position,0,1\r\n\r\n")
        self.bad_csv = self.write("bad.csv", b"Position,0,1\r\np: 0001,\xff\xfe\r\n")
        source = [f'print(_("{m}"))' for m in MESSAGES]
        source += ['_("say \\"hi\\"") + _(u"caf\\u00e9")', "no marker here", 'N_("x") _("y")']
        self.source = self.write("src.py", "\n".join(source) + "\n")
        self.other_source = self.write(
            "other.py", "\n".join(f'_("{m}")' for m in reversed(MESSAGES)) + "\n"
        )
        self.bad_source = self.write("bad.py", b'_("ok")\n\xff\n')
        self.bad_marker = self.write("marker.py", '_("\\x41")\n')
        self.tree = self.root / "tree"
        (self.tree / "sub").mkdir(parents=True)
        self.write("tree/a.py", '_("message 00")\n')
        self.write("tree/sub/b.py", '_("message 01")\n_("message 02")\n')
        self.write("tree/notes.txt", '_("not scanned")\n')
        self.missing = fresh(str(self.root / "missing.csv"))

    def rows(self, tag, source="src.py"):
        """Translated rows, one per message, as parse would keep them for `source`."""
        rows = [
            [f"{source}: {i + 1:04}", m, f"{tag}:{m}:1", f"{tag}:{m}:2"]
            for i, m in enumerate(MESSAGES)
        ]
        return rows + [[f"{source}: 0098", "message 98", ""], [f"{source}: 0099", "message 99"]]

    def catalogue(self, name, tag):
        return self.write(name, csv_text([self.header] + self.rows(tag)))

    def write(self, name, content):
        path = self.root / name
        path.write_bytes(content.encode("utf8") if isinstance(content, str) else content)
        return fresh(str(path))

    def path(self, name):
        return fresh(str(self.root / name))


@dataclass
class Case:
    operation: Callable[[], object]
    watched: list = field(default_factory=list)
    raises: tuple = ()  # (exception type, message pattern) that every call must raise
    calls: int = CALLS
    warm_up: int = WARM_UP
    check: Callable[[], None] = lambda: None  # run after the counts


CASES = {}


def case(name):
    def register(make):
        assert name not in CASES
        CASES[name] = make
        return make

    return register


def module_objects():
    """What every case watches: the class, its members and the module's functions."""
    members = vars(I18N)
    return [
        I18N,
        members["__init__"],
        members["gettext"],
        members["load_data_from_file"],
        members["load_data_from_file"].__func__,
        members["filename"].fget,
        members["filename"].fset,
        members["language_index"].fget,
        members["language_index"].fset,
        qel_i18n.i18n,
        qel_i18n.gettext,
        qel_i18n._parse_one_file,
        qel_i18n.parse,
        qel_i18n.parse_directory,
        qel_i18n.replace_gettext,
        qel_i18n._the_pattern,
        qel_i18n._load_str,
    ]


def catalogue_objects(catalogue):
    """The catalogue, its lock and its table, with the first entry and its strings."""
    table = catalogue._I18N__data
    objects = [catalogue, catalogue._I18N__lock, table, catalogue.filename]
    if table:
        objects += [table[0], *table[0]]
    return [o for o in objects if o is not None]


# --- lookups -----------------------------------------------------------------------------


def lookup_case(files, message, expected, *, language=1, via_module=False, prepare=None):
    """Looks `message` up in catalogue A, whose answer must be `expected` (None: the message
    itself), or in what `prepare` makes of it."""
    catalogue = I18N(files.a, language)
    if prepare is not None:
        catalogue = prepare(catalogue)
    message = fresh(message)
    if via_module:
        qel_i18n.i18n = catalogue
        operation = lambda: qel_i18n.gettext(message)
    else:
        operation = lambda: catalogue.gettext(message)
    answer = operation()  # which also builds the probe cache of the table
    assert answer is message if expected is None else answer == expected
    return Case(operation, [message, *catalogue_objects(catalogue)])


@case("I18N.gettext hit")
def _(files):
    return lookup_case(files, "message 07", "A:message 07:1")


@case("I18N.gettext hit on an empty translation")
def _(files):
    return lookup_case(files, "message 98", None)


@case("I18N.gettext hit on a short row")
def _(files):
    return lookup_case(files, "message 99", None)


@case("I18N.gettext miss between entries")
def _(files):
    return lookup_case(files, "message 07 and more", None)


@case("I18N.gettext miss after every entry")
def _(files):
    return lookup_case(files, "zzz", None)


@case("I18N.gettext language 0")
def _(files):
    return lookup_case(files, "message 07", None, language=0)


@case("I18N.gettext raw rows")
def _(files):
    return lookup_case(files, "message 07", "A:message 07:1", language=-1)


@case("I18N.gettext on a subclass instance")
def _(files):
    class Catalogue(I18N):
        pass

    return lookup_case(
        files, "message 07", "A:message 07:1", prepare=lambda c: Catalogue(c.filename, 1)
    )


@case("I18N.gettext with a lock of another type")
def _(files):
    def prepare(catalogue):
        catalogue._I18N__lock = threading.RLock()
        return catalogue

    return lookup_case(files, "message 07", "A:message 07:1", prepare=prepare)


@case("I18N.gettext on a table assigned by hand")
def _(files):
    def prepare(catalogue):
        catalogue._I18N__data = [(0, fresh(m), fresh(m.upper())) for m in MESSAGES[::2]]
        return catalogue

    return lookup_case(files, "message 08", "MESSAGE 08", prepare=prepare)


@case("I18N.gettext through the class, by keyword")
def _(files):
    catalogue = I18N(files.a, 1)
    message = fresh("message 07")
    lookup = I18N.gettext
    return Case(
        lambda: lookup(self=catalogue, message=message), [message, *catalogue_objects(catalogue)]
    )


@case("module gettext hit")
def _(files):
    return lookup_case(files, "message 07", "A:message 07:1", via_module=True)


@case("module gettext miss")
def _(files):
    return lookup_case(files, "not a message", None, via_module=True)


@case("module gettext on the default catalogue")
def _(files):
    message = fresh("message 07")
    return Case(lambda: qel_i18n.gettext(message), [message])


@case("module gettext through another object")
def _(files):
    message = fresh("message 07")
    other = types.SimpleNamespace(gettext=str.upper)
    qel_i18n.i18n = other
    return Case(lambda: qel_i18n.gettext(message), [message, other])


@case("module gettext with an I18N that shadows gettext")
def _(files):
    catalogue = I18N(files.a, 1)
    catalogue.gettext = types.MethodType(I18N.gettext, catalogue)
    qel_i18n.i18n = catalogue
    message = fresh("message 07")
    return Case(lambda: qel_i18n.gettext(message), [message, *catalogue_objects(catalogue)])


# --- property changes and reloads --------------------------------------------------------


@case("filename switched between two files")
def _(files):
    catalogue = I18N(files.a, 1)
    message = fresh("message 07")

    def operation():
        catalogue.filename = files.b
        catalogue.gettext(message)
        catalogue.filename = files.a
        catalogue.gettext(message)

    return Case(operation, [message, files.a, files.b, catalogue, catalogue._I18N__lock])


@case("filename assigned again")
def _(files):
    catalogue = I18N(files.a, 2)

    def operation():
        catalogue.filename = files.a

    return Case(operation, [files.a, catalogue, catalogue._I18N__lock])


@case("filename emptied")
def _(files):
    catalogue = I18N(files.a, 1)

    def operation():
        catalogue.filename = ""

    return Case(operation, catalogue_objects(catalogue))


@case("language_index cycled through every kind")
def _(files):
    catalogue = I18N(files.a, 1)
    message = fresh("message 07")

    def operation():
        for index in (2, 0, -1, -2, 1 << 70, 1):
            catalogue.language_index = index
            catalogue.gettext(message)

    return Case(operation, [message, files.a, catalogue, catalogue._I18N__lock], calls=CALLS // 2)


@case("language_index unchanged")
def _(files):
    catalogue = I18N(files.a, 1)

    def operation():
        catalogue.language_index = 1

    return Case(operation, catalogue_objects(catalogue))


@case("language_index set without a file name")
def _(files):
    catalogue = I18N()

    def operation():
        catalogue.language_index = 2
        catalogue.language_index = 1

    return Case(operation, catalogue_objects(catalogue))


@case("I18N constructed, searched and dropped")
def _(files):
    message = fresh("message 07")

    def operation():
        I18N(files.a, 1).gettext(message)

    return Case(operation, [message, files.a])


# --- loading and scanning -----------------------------------------------------------------


@case("load_data_from_file in every mode")
def _(files):
    load = I18N.load_data_from_file

    def operation():
        for index in (1, 2, 0, -1, -2):
            load(files.a, index)

    return Case(operation, [files.a], calls=CALLS // 2)


@case("load_data_from_file sorting")
def _(files):
    return Case(lambda: I18N.load_data_from_file(files.unsorted, 1), [files.unsorted])


@case("load_data_from_file through an instance, by keyword")
def _(files):
    catalogue = I18N()
    return Case(
        lambda: catalogue.load_data_from_file(language_index=1, filename=files.a),
        [files.a, catalogue],
    )


@case("_parse_one_file into a new cache")
def _(files):
    return Case(lambda: qel_i18n._parse_one_file(files.source, {}), [files.source])


@case("_parse_one_file into the same cache")
def _(files):
    cache = {}
    qel_i18n._parse_one_file(files.source, cache)
    key, entry = next(iter(cache.items()))
    return Case(
        lambda: qel_i18n._parse_one_file(files.source, cache),
        [files.source, cache, key, entry, entry[1], *key],
    )


@case("_parse_one_file with the pattern and the decoder rebound")
def _(files):
    qel_i18n._the_pattern = re.compile("(?:" + qel_i18n._the_pattern.pattern + ")")
    qel_i18n._load_str = lambda text: json.loads(text)
    return Case(
        lambda: qel_i18n._parse_one_file(files.source, {}),
        [files.source, qel_i18n._the_pattern, qel_i18n._load_str],
    )


# --- updates and rewriting ----------------------------------------------------------------


@case("parse of an unchanged catalogue")
def _(files):
    target = files.path("parsed.csv")
    return Case(
        lambda: qel_i18n.parse(target, files.source),
        [target, files.source],
        calls=FILE_CALLS,
        warm_up=FILE_WARM_UP,
    )


@case("parse moving translated rows to the excess file and back")
def _(files):
    target = files.write("moving.csv", csv_text([files.header] + files.rows("A", files.source)))

    def operation():
        qel_i18n.parse(target, files.other_source)
        qel_i18n.parse(target, files.source)

    return Case(
        operation,
        [target, files.source, files.other_source],
        calls=FILE_CALLS // 2,
        warm_up=FILE_WARM_UP,
    )


@case("parse of a catalogue with repeated rows")
def _(files):
    target = files.path("repeated.csv")
    rows = files.rows("A", files.source)
    text = csv_text([files.header] + rows + rows[:5])

    def operation():
        with open(target, "w", newline="", encoding="utf8") as file:
            file.write(text)
        qel_i18n.parse(target, files.source)

    return Case(operation, [target, files.source], calls=FILE_CALLS, warm_up=FILE_WARM_UP)


@case("parse through a rebound writer and exists")
def _(files):
    target = files.path("written.csv")
    qel_i18n._csv_writer = lambda file: csv.writer(file)
    qel_i18n._exists = lambda name: os.path.exists(name)
    return Case(
        lambda: qel_i18n.parse(target, files.source),
        [target, files.source],
        calls=FILE_CALLS,
        warm_up=FILE_WARM_UP,
    )


@case("parse_directory")
def _(files):
    target = files.path("tree.csv")
    directory = fresh(str(files.tree))
    suffix = fresh(".py")
    return Case(
        lambda: qel_i18n.parse_directory(target, directory, suffix),
        [target, directory, suffix],
        calls=FILE_CALLS,
        warm_up=FILE_WARM_UP,
    )


@case("replace_gettext rewriting a file")
def _(files):
    name = files.path("uses_gettext.py")
    text = "import gettext\n_ = gettext.gettext\nprint(_('x'))\n"

    def operation():
        with open(name, "w", encoding="utf8") as file:
            file.write(text)
        qel_i18n.replace_gettext(name)

    return Case(operation, [name], calls=FILE_CALLS, warm_up=FILE_WARM_UP)


@case("replace_gettext with nothing to change")
def _(files):
    return Case(lambda: qel_i18n.replace_gettext(files.source, files.other_source), [files.source])


# --- failing calls ------------------------------------------------------------------------


def failing(operation, exception, pattern, watched=(), **options):
    return Case(operation, list(watched), (exception, pattern), **options)


BINDING_ERRORS = {
    "too many arguments": (
        lambda m, c: qel_i18n.gettext(m, m),
        r"^gettext\(\) takes exactly 1 positional argument \(2 given\)$",
    ),
    "too few arguments": (
        lambda m, c: c.gettext(),
        r"^gettext\(\) takes exactly 2 positional arguments \(1 given\)$",
    ),
    "a missing argument given an unknown keyword": (
        lambda m, c: qel_i18n.gettext(msg=m),
        r"^gettext\(\) takes exactly 1 positional argument \(0 given\)$",
    ),
    "an unknown keyword": (
        lambda m, c: qel_i18n.parse_directory(m, m, bogus=m),
        r"^parse_directory\(\) got an unexpected keyword argument 'bogus'$",
    ),
    "a keyword repeating a positional argument": (
        lambda m, c: qel_i18n.parse_directory(m, m, csv_filename=m),
        r"^parse_directory\(\) got multiple values for keyword argument 'csv_filename'$",
    ),
    "a keyword for replace_gettext": (
        lambda m, c: qel_i18n.replace_gettext(m, x=m, y=m),
        r"^replace_gettext\(\) got an unexpected keyword argument 'y'$",
    ),
    "no argument for parse": (
        lambda m, c: qel_i18n.parse(),
        r"^parse\(\) takes at least 1 positional argument \(0 given\)$",
    ),
    "a message of the wrong type": (
        lambda m, c: c.gettext(m.encode()),
        r"^Argument 'message' has incorrect type \(expected str, got bytes\)$",
    ),
    "a bool for language_index": (
        lambda m, c: setattr(c, "language_index", True),
        r"^Argument 'value' has incorrect type \(expected int, got bool\)$",
    ),
    "None for filename": (
        lambda m, c: setattr(c, "filename", None),
        r"^Argument 'value' has incorrect type \(expected str, got NoneType\)$",
    ),
    "None for the constructor's file name": (
        lambda m, c: I18N(None),
        r"^Argument 'csv_filename' has incorrect type \(expected str, got NoneType\)$",
    ),
    "a dict subclass for the cache": (
        lambda m, c: qel_i18n._parse_one_file(m, collections.OrderedDict()),
        r"^Argument 'cache' has incorrect type \(expected dict, got collections.OrderedDict\)$",
    ),
    "a float for load_data_from_file": (
        lambda m, c: I18N.load_data_from_file(m, 1.0),
        r"^Argument 'language_index' has incorrect type \(expected int, got float\)$",
    ),
}

for _name, (_call, _pattern) in BINDING_ERRORS.items():

    def _make(files, call=_call, pattern=_pattern):
        catalogue = I18N(files.a, 1)
        text = fresh("message 07")
        return failing(
            lambda: call(text, catalogue), TypeError, pattern, [text, *catalogue_objects(catalogue)]
        )

    case(f"binding error: {_name}")(_make)


@case("missing file: constructor")
def _(files):
    return failing(
        lambda: I18N(files.missing, 1), FileNotFoundError, "missing.csv", [files.missing]
    )


@case("missing file: filename setter")
def _(files):
    catalogue = I18N(files.a, 1)
    table = catalogue._I18N__data
    message = fresh("message 07")

    def operation():
        catalogue.filename = files.missing

    def check():
        # The lock was released on every way out, and the old table is still the one in use.
        assert not catalogue._I18N__lock.locked()
        assert catalogue._I18N__data is table
        assert catalogue.gettext(message) == "A:message 07:1"

    return failing(
        operation,
        FileNotFoundError,
        "missing.csv",
        [files.missing, message, *catalogue_objects(catalogue)],
        check=check,
    )


@case("missing file: load_data_from_file")
def _(files):
    return failing(
        lambda: I18N.load_data_from_file(files.missing, 1),
        FileNotFoundError,
        "missing.csv",
        [files.missing],
    )


@case("missing file: _parse_one_file")
def _(files):
    return failing(
        lambda: qel_i18n._parse_one_file(files.missing, {}),
        FileNotFoundError,
        "missing.csv",
        [files.missing],
    )


@case("missing file: parse")
def _(files):
    target = files.path("never.csv")
    return failing(
        lambda: qel_i18n.parse(target, files.source, files.missing),
        FileNotFoundError,
        "missing.csv",
        [target, files.missing],
    )


@case("missing file: replace_gettext")
def _(files):
    return failing(
        lambda: qel_i18n.replace_gettext(files.source, files.missing),
        FileNotFoundError,
        "missing.csv",
        [files.source, files.missing],
    )


@case("unwritable catalogue: a message that UTF-8 cannot encode")
def _(files):
    target = files.path("never.csv")
    source = files.write("surrogate.py", '_("message 00") _("\\ud800")\n')
    return failing(
        lambda: qel_i18n.parse(target, source),
        UnicodeEncodeError,
        "surrogates not allowed",
        [target, source],
        check=lambda: not os.path.exists(target) or pytest.fail("catalogue written"),
    )


@case("unwritable catalogue: a directory that does not exist")
def _(files):
    target = files.path("nowhere/never.csv")
    return failing(
        lambda: qel_i18n.parse(target, files.source), FileNotFoundError, "never.csv", [target]
    )


@case("undecodable catalogue: load_data_from_file")
def _(files):
    return failing(
        lambda: I18N.load_data_from_file(files.bad_csv, 1),
        UnicodeDecodeError,
        "utf-8",
        [files.bad_csv],
    )


@case("undecodable catalogue: language_index setter")
def _(files):
    catalogue = I18N(files.a, 1)
    with pytest.raises(UnicodeDecodeError):
        catalogue.filename = files.bad_csv  # stored, though its load fails
    with pytest.raises(UnicodeDecodeError):
        catalogue.language_index = 2

    def operation():
        catalogue.language_index = 1 if catalogue.language_index == 2 else 2

    return failing(
        operation,
        UnicodeDecodeError,
        "utf-8",
        [files.bad_csv, catalogue, catalogue._I18N__lock, catalogue._I18N__data],
        check=lambda: not catalogue._I18N__lock.locked() or pytest.fail("lock left held"),
    )


@case("undecodable catalogue: parse")
def _(files):
    return failing(
        lambda: qel_i18n.parse(files.bad_csv, files.source),
        UnicodeDecodeError,
        "utf-8",
        [files.bad_csv],
    )


@case("undecodable source: _parse_one_file")
def _(files):
    cache = {}
    return failing(
        lambda: qel_i18n._parse_one_file(files.bad_source, cache),
        UnicodeDecodeError,
        "utf-8",
        [files.bad_source, cache],
    )


@case("undecodable source: parse")
def _(files):
    target = files.path("never.csv")
    return failing(
        lambda: qel_i18n.parse(target, files.source, files.bad_source),
        UnicodeDecodeError,
        "utf-8",
        [target, files.bad_source],
    )


@case("undecodable source: replace_gettext")
def _(files):
    return failing(
        lambda: qel_i18n.replace_gettext(files.bad_source),
        UnicodeDecodeError,
        "utf-8",
        [files.bad_source],
    )


@case("undecodable marked message: _parse_one_file")
def _(files):
    return failing(
        lambda: qel_i18n._parse_one_file(files.bad_marker, {}),
        json.JSONDecodeError,
        "Invalid",
        [files.bad_marker],
    )


@case("bad language index: a negative column past the row")
def _(files):
    return failing(
        lambda: I18N.load_data_from_file(files.short, -4),
        IndexError,
        "list index out of range",
        [files.short],
    )


@case("bad language index: a column beyond any index")
def _(files):
    index = -(1 << 70)
    return failing(
        lambda: I18N.load_data_from_file(files.short, index),
        IndexError,
        "cannot fit 'int' into an index-sized integer",
        [files.short, index],
    )


@case("bad language index: setter")
def _(files):
    catalogue = I18N(files.short, 1)

    def operation():
        catalogue.language_index = 1
        catalogue.language_index = -4

    return failing(
        operation,
        IndexError,
        "list index out of range",
        [files.short, catalogue, catalogue._I18N__lock],
        check=lambda: not catalogue._I18N__lock.locked() or pytest.fail("lock left held"),
    )


@case("empty catalogue: load_data_from_file")
def _(files):
    return failing(
        lambda: I18N.load_data_from_file(files.empty, 1), StopIteration, "is empty", [files.empty]
    )


@case("empty catalogue: parse")
def _(files):
    return failing(
        lambda: qel_i18n.parse(files.empty, files.source), StopIteration, "is empty", [files.empty]
    )


@case("blank row: load_data_from_file")
def _(files):
    return failing(
        lambda: I18N.load_data_from_file(files.blank_row, 1),
        IndexError,
        "list index out of range",
        [files.blank_row],
    )


# --- the measurement ----------------------------------------------------------------------


def repeat(operation, exception):
    """A function that calls `operation` n times and returns how many calls raised `exception`."""
    if exception is None:

        def run(n):
            for _ in range(n):
                operation()
            return 0

    else:

        def run(n):
            failed = 0
            for _ in range(n):
                try:
                    operation()
                except exception:
                    failed += 1
            return failed

    return run


def settle():
    sys._clear_type_cache()
    gc.collect()
    return sys.getallocatedblocks(), heap_in_use() if heap_in_use else 0


def references(objects):
    return [sys.getrefcount(o) for o in objects]


def check_first_call(case):
    exception, pattern = case.raises
    with pytest.raises(exception, match=pattern):
        case.operation()


@pytest.fixture
def files(tmp_path):
    return Files(tmp_path)


@dataclass
class Figures:
    blocks: tuple  # allocated blocks before and after
    heap: tuple  # bytes in use on the C heap before and after
    failed: int  # calls that raised the case's exception
    moved: list  # (object, count before, count after) for each watched object whose count moved

    def __str__(self):
        (b0, b1), (h0, h1) = self.blocks, self.heap
        return f"blocks {b0} -> {b1} ({b1 - b0:+}), heap {h0} -> {h1} ({h1 - h0:+})"


def measure(case):
    exception = case.raises[0] if case.raises else None
    run = repeat(case.operation, exception)
    run(case.warm_up)
    watched = case.watched + module_objects()
    settle()  # garbage of earlier tests goes before the references are counted
    refs_before = references(watched)
    blocks_before, heap_before = settle()
    failed = run(case.calls)
    blocks_after, heap_after = settle()
    refs_after = references(watched)
    moved = [(o, b, a) for o, b, a in zip(watched, refs_before, refs_after) if a != b]
    return Figures((blocks_before, blocks_after), (heap_before, heap_after), failed, moved)


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_leave_nothing_behind(name, files):
    case = CASES[name](files)
    if case.raises:
        check_first_call(case)
    figures = measure(case)
    print(f"\n{name}: {case.calls} calls, {figures}")
    assert figures.failed == (case.calls if case.raises else 0)
    assert [(repr(o)[:80], b, a) for o, b, a in figures.moved] == []
    assert figures.blocks[1] - figures.blocks[0] < BLOCK_SLACK
    assert figures.heap[1] - figures.heap[0] < HEAP_SLACK
    # Nor is a temporary file left behind, however the calls ended.
    assert [p.name for p in files.root.rglob(".*")] == []
    case.check()


def test_the_counts_see_a_leak():
    """The counts are not blind: one leaked reference, block or native allocation per call
    each shows."""
    target = fresh("leaked")
    kept = []
    figures = measure(Case(lambda: kept.append(target), [target]))
    assert [(o, a - b) for o, b, a in figures.moved] == [(target, CALLS)]
    if sys.getallocatedblocks() > 0:  # not under PYTHONMALLOC=malloc
        figures = measure(Case(lambda: kept.append([]), []))
        assert figures.blocks[1] - figures.blocks[0] >= CALLS
    if heap_in_use is not None:
        libc = ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p
        libc.free.argtypes = [ctypes.c_void_p]
        pointers = []
        try:
            figures = measure(Case(lambda: pointers.append(libc.malloc(64)), []))
        finally:
            for pointer in pointers:
                libc.free(pointer)
        assert figures.heap[1] - figures.heap[0] >= CALLS * 64
