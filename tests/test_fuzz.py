"""Bad input for every entry point: random and nearly valid catalogue files, source texts, file
names and argument values of every type. Each call must return, or raise one of the errors its
operation can raise (the same one the plain-Python algorithm raises, where there is one), and a
failed call leaves every file as it was, with no temporary file behind.

The examples per test are sized for CI; for a long search by hand set QEL_I18N_FUZZ_EXAMPLES,
e.g. `QEL_I18N_FUZZ_EXAMPLES=10000 python -m pytest tests/test_fuzz.py`."""

import contextlib
import copy
import csv
import errno
import io
import json
import os
import re
import tempfile
import threading

import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st
from hypothesis.control import currently_in_test_context

import qel_i18n
from qel_i18n import I18N
from test_lookup import reference_gettext

EXAMPLES = int(os.environ.get("QEL_I18N_FUZZ_EXAMPLES", "150"))


def fuzz(share=1.0):
    """Settings of one property test: `share` of the configured example count."""
    return settings(
        max_examples=max(10, int(EXAMPLES * share)),
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                               HealthCheck.filter_too_much],
    )


# The errors each operation may raise on bad input (argument type errors aside).
LOADER_ERRORS = (OSError, UnicodeDecodeError, csv.Error, StopIteration, IndexError)
SCANNER_ERRORS = (OSError, UnicodeDecodeError, json.JSONDecodeError)
# The update also refuses a message the UTF-8 encoder cannot write (a lone surrogate).
UPDATE_ERRORS = LOADER_ERRORS + SCANNER_ERRORS + (UnicodeEncodeError,)
REWRITER_ERRORS = (OSError, UnicodeDecodeError)
# A file name the host's open refuses before the file system sees it: an embedded NUL, or text
# the file system encoding cannot encode.
NAME_ERRORS = (OSError, ValueError)


def outcome(action):
    """("ok", result) or ("error", type, args); counted in the statistics of the run."""
    try:
        result = ("ok", action())
    except Exception as exc:  # noqa: BLE001 - every kind is judged by the caller
        result = ("error", type(exc), exc.args)
    if currently_in_test_context():
        event(result[0] if result[0] == "ok" else result[1].__name__)
    return result


def kind(result):
    """An outcome without its result or error arguments: ("ok",) or ("error", type)."""
    return result[:1] if result[0] == "ok" else result[:2]


@contextlib.contextmanager
def workdir():
    """A fresh directory, also the current one while the example runs, so that a name that
    escaped its checks could reach nothing else."""
    before = os.getcwd()
    with tempfile.TemporaryDirectory() as directory:
        os.chdir(directory)
        try:
            yield directory
        finally:
            os.chdir(before)


def snapshot(directory):
    """Every file below `directory` (names as bytes) with its content."""
    files = {}
    for root, _, names in os.walk(os.fsencode(directory)):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as file:
                files[os.path.relpath(path, os.fsencode(directory))] = file.read()
    return files


def read_rows(path):
    with open(path, newline="", encoding="utf8") as file:
        return list(csv.reader(file))


# ---------------------------------------------------------------------------------------------
# Catalogue files: random bytes, near-CSV text, and CSV written properly and then damaged.

CSV_PIECES = [
    b",", b'"', b'""', b"\r", b"\n", b"\r\n", b"\x00", b"\xef\xbb\xbf", b"a", b"b", b" ", b"\t",
    "é".encode(), "日".encode(), "😀".encode(), b"Position,0,1\r\n", b'"a,b"', b'"x""y"',
    b'"open', b"p.py: 0001,", b"\\",
]
# Not UTF-8: a stray continuation byte, a cut sequence, an encoded surrogate, past U+10FFFF, an
# overlong form, bytes that never occur.
BAD_UTF8 = [b"\x80", b"\xc3", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf", b"\xff", b"\xfe"]
# Inserted at most once: fields past the csv reader's size limit, a long field, many columns,
# many empty rows.
CSV_EXTRAS = [b"", b"x" * 140_000, b'"' + b"z" * 140_000 + b'"', b"y" * 5000, b"," * 3000,
              b"\r\n" * 200]


def insert(data, piece, at):
    """`data` with `piece` inserted at a fraction `at` of its length."""
    cut = int(len(data) * at)
    return data[:cut] + piece + data[cut:]


near_csv = st.builds(
    lambda pieces, extra, bad, at, bad_at: insert(insert(b"".join(pieces), extra, at), bad, bad_at),
    st.lists(st.sampled_from(CSV_PIECES), max_size=40),
    st.sampled_from(CSV_EXTRAS),
    st.one_of(st.just(b""), st.just(b""), st.sampled_from(BAD_UTF8)),
    st.floats(0, 1),
    st.floats(0, 1),
)

cells = st.text(alphabet=[",", '"', "\r", "\n", " ", "a", "b", "é", "😀", "\x00", "\ufeff"],
                max_size=4)


def damaged(text, pieces, at):
    """The CSV text as bytes with some pieces inserted at a fraction `at` of its length."""
    return insert(text.encode("utf8"), b"".join(pieces), at)


def csv_text(rows):
    buffer = io.StringIO(newline="")
    csv.writer(buffer).writerows(rows)
    return buffer.getvalue()


catalogue_rows = st.lists(st.lists(cells, max_size=5), max_size=12)
catalogue_bytes = st.one_of(
    st.binary(max_size=300),
    near_csv,
    catalogue_rows.map(lambda rows: csv_text(rows).encode("utf8")),
    st.builds(damaged, catalogue_rows.map(csv_text),
              st.lists(st.sampled_from(CSV_PIECES + BAD_UTF8 + CSV_EXTRAS[1:]), min_size=1,
                       max_size=3),
              st.floats(0, 1)),
)

language_indexes = st.one_of(
    st.integers(-6, 6),
    st.sampled_from([2**31 - 1, 2**31, -(2**31), 2**63 - 1, 2**63, -(2**63), -(2**63) - 1,
                     10**30, -(10**30)]),
)


def reference_load(name, language_index):
    """The loader's algorithm in plain Python, through the module's csv reader."""
    with open(name, "r", newline="", encoding="utf8") as file:
        rows = iter(qel_i18n._csv_reader(file))
        next(rows)
        if language_index == 0:
            return []
        if language_index == -1:
            return list(rows)
        table = []
        for number, row in enumerate(rows, 2):
            column = language_index + 1
            translation = row[column] if len(row) > column else None
            table.append((number, row[1], translation))
        table.sort(key=lambda item: item[1])
        return table


@fuzz()
@given(data=catalogue_bytes, language_index=language_indexes)
def test_loader_on_bad_catalogues(data, language_index):
    """The loader gives the table or the error the plain algorithm gives, and reads only."""
    with workdir() as directory:
        name = os.path.join(directory, "c.csv")
        with open(name, "wb") as file:
            file.write(data)
        before = snapshot(directory)
        got = outcome(lambda: I18N.load_data_from_file(name, language_index))
        if got[0] == "error":
            assert issubclass(got[1], LOADER_ERRORS), got
        assert got == outcome(lambda: reference_load(name, language_index))
        assert snapshot(directory) == before


def check_lookups(catalogue, extra=()):
    """Looks up every text cell of the catalogue's table and `extra`, as the plain lookup
    does."""
    probes = [""] + list(extra)
    for element in catalogue._I18N__data if isinstance(catalogue._I18N__data, list) else []:
        with contextlib.suppress(Exception):
            probes += [cell for cell in element if type(cell) is str]
    for message in probes:
        assert (outcome(lambda: catalogue.gettext(message))
                == outcome(lambda: reference_gettext(catalogue, message)))


@pytest.mark.parametrize(
    "table, message, expected",
    [
        # A miss on the last candidate ends the search before any ordering comparison.
        ([(2, 0, None)], "", ""),
        ([(2, "a", "A"), (3, 5, None)], "b", "b"),
        ([["p", None]], "x", "x"),
        ([(2, b"a", "A")], "a", "a"),
        # Before it, the order is needed, and the host's error for it propagates.
        ([(2, 5, None), (3, 6, None)], "x", TypeError),
        ([(2, "a", "A"), (3, 5, None)], "a", "A"),
        ([(2, None, None), (3, "b", "B")], "b", TypeError),
    ],
)
def test_lookup_compares_other_messages_only_as_far_as_needed(table, message, expected):
    catalogue = I18N()
    catalogue._I18N__language_index = -1 if isinstance(table[0], list) else 1
    catalogue._I18N__data = table
    got = outcome(lambda: catalogue.gettext(message))
    assert got == outcome(lambda: reference_gettext(catalogue, message))
    assert got[1] == expected
    qel_i18n.i18n = catalogue  # the module function, through the default catalogue
    assert outcome(lambda: qel_i18n.gettext(message)) == got


@fuzz(0.5)
@given(data=catalogue_bytes, first=language_indexes, second=language_indexes,
       by_name=st.booleans(), probes=st.lists(cells, max_size=3))
def test_catalogue_object_on_bad_catalogues(data, first, second, by_name, probes):
    """Construction and the setters on bad catalogues: the loader's error, or a table that
    looks up as the plain lookup does; a failed reload keeps the old table."""
    with workdir() as directory:
        good = os.path.join(directory, "good.csv")
        bad = os.path.join(directory, "bad.csv")
        with open(good, "w", newline="", encoding="utf8") as file:
            file.write("Position,0,1\r\np: 0001,a,A\r\np: 0002,b,B\r\n")
        with open(bad, "wb") as file:
            file.write(data)
        before = snapshot(directory)
        # Construction: an object, or the loader's error.
        made = outcome(lambda: I18N(bad, first))
        assert made[0] == "ok" or made[1:] == outcome(lambda: reference_load(bad, first))[1:]
        if made[0] == "ok":
            check_lookups(made[1], probes)
        # A setter whose load fails keeps the old table, with the new value stored.
        catalogue = I18N(good, 1)
        table = catalogue._I18N__data

        def assign():
            if by_name:
                catalogue.filename = bad
            else:
                catalogue.filename = ""
                catalogue._I18N__filename = bad
                catalogue.language_index = second

        got = outcome(assign)
        index = catalogue.language_index
        expected = outcome(lambda: reference_load(bad, index))
        if got[0] == "error":
            assert issubclass(got[1], LOADER_ERRORS)
            assert got[1:] == expected[1:]
            assert catalogue._I18N__data is table
        elif by_name or second != 1:
            assert ("ok", catalogue._I18N__data) == expected
        assert catalogue.filename == bad and index == (1 if by_name else second)
        check_lookups(catalogue, probes)
        assert snapshot(directory) == before


# ---------------------------------------------------------------------------------------------
# Source files: fragments around marked messages, escapes, imports of gettext, bad UTF-8.

SOURCE_PIECES = [
    '_("', '_(u"', '_(U"', '_(r"', "_(", '")', '"', ")", "(", "_", "u", "\\", '\\"', "\\\\",
    "\\n", "\\t", "\\/", "\\u00e9", "\\ud800", "\\udc00", "\\ud83d\\ude00", "\\x41", "\\0",
    "\\'", "abc", "a", " ", "\t", "\x01", "\x00", "\x7f", "é", "日本", "😀", "\u2028", "\x0c",
    "\n", "\r\n", "\r", "N_", "self.", '", "', ", ", " + ", '_("a")', '_(u"b")', '_("")',
    '_("C:\\\\")', "import gettext", "from gettext import gettext as _", "gettext.gettext(",
    "_ = gettext.gettext", "#", "'",
]
# Long lines: many openings without an end, and many markers on one line.
SOURCE_EXTRAS = ["", '_("' * 300, '_("x")' * 300, "x" * 20_000]

source_bytes = st.one_of(
    st.builds(
        lambda pieces, extra, bad, at, bad_at: insert(
            insert("".join(pieces).encode("utf8"), extra.encode(), at), bad, bad_at),
        st.lists(st.sampled_from(SOURCE_PIECES), max_size=40),
        st.sampled_from(SOURCE_EXTRAS),
        st.one_of(st.just(b""), st.just(b""), st.sampled_from(BAD_UTF8 + [b"\xef\xbb\xbf"])),
        st.floats(0, 1),
        st.floats(0, 1),
    ),
    st.binary(max_size=200),
)


def reference_scan(name, cache):
    """The scanner's algorithm in plain Python, through the module's pattern and decoder."""
    with open(name, "r", encoding="utf8") as file:
        for line_index, line in enumerate(file):
            position = None
            for match in qel_i18n._the_pattern.finditer(line):
                if position is None:
                    position = f"{name}: {line_index + 1:04}"
                message = qel_i18n._load_str('"' + match.groups()[0] + '"')
                key = (position, message)
                if key not in cache:
                    cache[key] = [True, [position, message]]
                else:
                    cache[key][0] = True


class Text(str):
    """A str that is not exactly a str."""


class Number(int):
    """An int that is not exactly an int."""


class Table(dict):
    """A dict that is not exactly a dict."""


class Thing:
    """An object of a type defined here."""


class PathLike(os.PathLike):
    """A name given as a path object."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


class Clearing(list):
    """An entry that empties its cache when the scanner marks it."""

    cache = None

    def __setitem__(self, index, value):
        self.cache.clear()
        super().__setitem__(index, value)

    def __deepcopy__(self, memo):
        return Clearing(copy.deepcopy(list(self), memo))


# Values the caller may have put in its cache under a key the scan meets.
ENTRY_VALUES = {
    "entry": lambda: [False, ["?", "?", "kept"]],
    "empty list": list,
    "tuple": lambda: (False, []),
    "None": lambda: None,
    "dict": dict,
    "text": lambda: "entry",
    "bytearray": lambda: bytearray(b"x"),
    "object": Thing,
    "clearing": lambda: Clearing([False, []]),
}


def build_cache(name, plan):
    cache = {}
    for line, message, value_kind, as_subclass in plan:
        position = f"{name}: {line:04}"
        key = (Text(position), Text(message)) if as_subclass else (position, message)
        cache[key] = ENTRY_VALUES[value_kind]()
    return cache


def bind_clearing(cache):
    for value in cache.values():
        if isinstance(value, Clearing):
            value.cache = cache


cache_plans = st.lists(st.tuples(st.integers(1, 3), st.sampled_from(["a", "b", "abc", "é"]),
                                 st.sampled_from(sorted(ENTRY_VALUES)), st.booleans()),
                       max_size=4)


def cache_state(cache):
    return [(key, type(key[0]), value if not isinstance(value, Thing) else "thing")
            for key, value in cache.items()]


@fuzz()
@given(data=source_bytes, plan=cache_plans)
def test_scanner_on_bad_sources(data, plan):
    """The scanner on bad sources and caches holding entries of any kind gives what the plain
    algorithm gives, error and cache alike."""
    with workdir() as directory:
        name = os.path.join(directory, "s.py")
        with open(name, "wb") as file:
            file.write(data)
        before = snapshot(directory)
        cache = build_cache(name, plan)
        expected_cache = copy.deepcopy(cache)
        bind_clearing(cache)
        bind_clearing(expected_cache)
        got = outcome(lambda: qel_i18n._parse_one_file(name, cache))
        expected = outcome(lambda: reference_scan(name, expected_cache))
        if got[0] == "error" and not plan:
            assert issubclass(got[1], SCANNER_ERRORS), got
        assert got == expected
        # Entries made before an error stay, so the caches agree on both ways out.
        assert cache_state(cache) == cache_state(expected_cache)
        assert snapshot(directory) == before


# ---------------------------------------------------------------------------------------------
# The update: bad catalogue files, old excess files and sources; nothing changes on failure.

UPDATE_SOURCES = ['_("a")', '_("b")', '_(",")', '_("\\"")', '_("\\ud800")', '_("\\x")',
                  '_("a" + "b")', '_("é")', "x = 1", '_(u"a")']


@st.composite
def update_catalogues(draw):
    """Catalogue bytes, some with rows at the positions the scan produces."""
    if draw(st.booleans()):
        return draw(catalogue_bytes)
    header = draw(st.lists(cells, max_size=4))
    rows = draw(st.lists(st.tuples(st.sampled_from(["{s}: 0001", "{s}: 0002", "other: 0001", ""]),
                                   st.sampled_from(["a", "b", ",", '"', "é", ""]),
                                   st.lists(cells, max_size=2)), max_size=8))
    text = csv_text([header] + [[position, message, *rest] for position, message, rest in rows])
    if draw(st.booleans()):
        return damaged(text, draw(st.lists(st.sampled_from(CSV_PIECES + BAD_UTF8), min_size=1,
                                           max_size=2)),
                       draw(st.floats(0, 1)))
    return text.encode("utf8")


def reference_parse(csv_filename, *filenames, scan=reference_scan):
    """The update in plain Python, step by step through the module's csv services, writing in
    place; the excess file is named by the catalogue's name without its extension."""
    cache = {}
    if qel_i18n._exists(csv_filename):
        with open(csv_filename, "r", newline="", encoding="utf8") as file:
            rows = iter(qel_i18n._csv_reader(file))
            header = next(rows)
            for row in rows:
                cache[(row[0], row[1])] = [False, row]
    else:
        header = ("Position", 0, 1)
    for filename in filenames:
        scan(filename, cache)
    contents = list(cache.values())
    contents.sort(key=lambda item: (item[1][1], item[1][0]))
    excess = []
    with open(csv_filename, "w", newline="", encoding="utf8") as file:
        writer = qel_i18n._csv_writer(file)
        writer.writerow(header)
        for occur, data in contents:
            if occur:
                writer.writerow(data)
            else:
                excess.append(data)
    if excess:
        excess_filename = os.path.splitext(csv_filename)[0] + "-excess.csv"
        with open(excess_filename, "w", newline="", encoding="utf8") as file:
            writer = qel_i18n._csv_writer(file)
            writer.writerow(header)
            for row in excess:
                writer.writerow(row)


def state(directory):
    """The files of `directory` with its own name in their content put as <dir>, so that two
    directories can be compared."""
    own = os.fsencode(directory)
    return {name: data.replace(own, b"<dir>") for name, data in snapshot(directory).items()}


def copy_files(source, target):
    """Makes `target` hold the files of `source`, its name in their content changed to
    `target`'s."""
    for name in os.listdir(os.fsencode(target)):
        os.remove(os.path.join(os.fsencode(target), name))
    for name, data in state(source).items():
        with open(os.path.join(os.fsencode(target), name), "wb") as file:
            file.write(data.replace(b"<dir>", os.fsencode(target)))


def old_rows(data):
    """The rows of a catalogue file's bytes, None when the csv layer cannot read them."""
    try:
        with io.TextIOWrapper(io.BytesIO(data), newline="", encoding="utf8") as file:
            return list(csv.reader(file))
    except (UnicodeDecodeError, csv.Error):
        return None


@fuzz()
@given(catalogue=st.none() | update_catalogues(), excess=st.none() | catalogue_bytes,
       sources=st.lists(st.one_of(st.lists(st.sampled_from(UPDATE_SOURCES), max_size=4).map(
           lambda lines: "\n".join(lines).encode("utf8")), source_bytes), max_size=3))
def test_update_on_bad_files(catalogue, excess, sources):
    """The update here and in plain Python writing in place, on the same files in two
    directories: the same error or the same catalogue file; a failure here changes nothing,
    and no row of the old catalogue is lost."""
    with workdir() as ours, tempfile.TemporaryDirectory() as theirs:
        for directory in (ours, theirs):
            names = [os.path.join(directory, f"s{i}.py") for i in range(len(sources))]
            for name, data in zip(names, sources):
                with open(name, "wb") as file:
                    file.write(data)
            if catalogue is not None:
                with open(os.path.join(directory, "m.csv"), "wb") as file:
                    file.write(catalogue.replace(b"{s}", os.fsencode(os.path.join(
                        directory, "s0.py"))))
            if excess is not None:
                with open(os.path.join(directory, "m-excess.csv"), "wb") as file:
                    file.write(excess)
        names = [os.path.join(ours, f"s{i}.py") for i in range(len(sources))]
        csv_name, excess_name = os.path.join(ours, "m.csv"), os.path.join(ours, "m-excess.csv")
        before = state(ours)
        rows = old_rows(snapshot(ours)[b"m.csv"]) if catalogue is not None else None
        got = outcome(lambda: qel_i18n.parse(csv_name, *names))
        expected = outcome(lambda: reference_parse(
            os.path.join(theirs, "m.csv"), *[os.path.join(theirs, f"s{i}.py")
                                             for i in range(len(sources))]))
        # An old excess file is read too when this run moves rows to it.
        if excess is None:
            assert kind(got) == kind(expected)
        if got[0] == "error":
            assert issubclass(got[1], UPDATE_ERRORS), got
            assert state(ours) == before
            return
        after = state(ours)
        if expected[0] == "ok":
            assert after[b"m.csv"] == state(theirs)[b"m.csv"]
        assert set(after) - set(before) <= {b"m.csv", b"m-excess.csv"}
        assert {k: v for k, v in after.items() if k.endswith(b".py")} == {
            k: v for k, v in before.items() if k.endswith(b".py")}
        # No row of the old catalogue is lost: each is in the catalogue or the excess file.
        written = read_rows(csv_name)
        kept = {tuple(row) for row in written[1:]}
        with contextlib.suppress(OSError, UnicodeDecodeError, csv.Error):
            kept |= {tuple(row) for row in read_rows(excess_name)[1:]}
        if catalogue is not None:
            assert written[0] == rows[0]
            assert {tuple(row) for row in rows[1:]} <= kept
            # Without an old excess file or duplicate rows, the excess file is the plain one.
            if excess is None and len({tuple(row[:2]) for row in rows[1:]}) == len(rows) - 1:
                assert after == state(theirs)
        else:
            assert written[0] == ["Position", "0", "1"]
        # A second run with the same sources writes the same catalogue and no excess file.
        qel_i18n.parse(csv_name, *names)
        assert state(ours) == after


class Indexable:
    """A row that can be indexed but has no length."""

    def __init__(self, cells):
        self.cells = cells

    def __getitem__(self, index):
        return self.cells[index]


class Row(list):
    """A row that is not exactly a list."""


class Untestable:
    """An occur item whose truth cannot be taken."""

    def __bool__(self):
        raise ValueError("no truth value")


odd_cells = st.one_of(st.text(max_size=3), st.text(max_size=3).map(Text), st.integers(),
                      st.none(), st.floats(), st.binary(max_size=3),
                      st.tuples(st.text(max_size=2)))
odd_rows = st.one_of(
    st.lists(st.text(max_size=3), min_size=2, max_size=4),
    st.lists(odd_cells, max_size=4), st.lists(odd_cells, max_size=4).map(tuple),
    st.lists(odd_cells, max_size=4).map(Row), st.lists(odd_cells, max_size=4).map(Indexable),
    st.text(max_size=3), st.binary(max_size=3), st.dictionaries(st.integers(0, 2), odd_cells),
    st.integers(), st.none(),
)
odd_keys = st.one_of(st.tuples(st.text(max_size=2), st.text(max_size=2)), st.text(max_size=2),
                     st.integers(), st.none())
odd_entries = st.one_of(
    st.tuples(st.booleans(), odd_rows).map(list), st.tuples(st.booleans(), odd_rows),
    odd_rows.map(lambda row: [Untestable(), row]), st.just([True]), st.just("ab"),
    st.integers(), st.none(),
)


class ReprWriter:
    """A csv writer rebound to one that writes each row's repr."""

    def __init__(self, file):
        self.file = file

    def writerow(self, row):
        return self.file.write(repr(row) + "\n")


class FailingWriter(ReprWriter):
    """A writer that fails on its third row."""

    def writerow(self, row):
        self.count = getattr(self, "count", 0) + 1
        if self.count == 3:
            raise BufferError("writer failed")
        return super().writerow(row)


WRITERS = {"csv": csv.writer, "repr": ReprWriter, "failing": FailingWriter}
EXISTS = {"real": os.path.exists, "claimed": lambda name: not name.endswith("-excess.csv"),
          "denied": lambda name: 0, "untestable": lambda name: Untestable()}


@fuzz()
@given(header=odd_rows, rows=st.lists(odd_rows, max_size=6),
       entries=st.lists(st.tuples(odd_keys, odd_entries), max_size=4),
       language_index=st.integers(-3, 3), fail_after=st.none() | st.integers(0, 7),
       writer=st.sampled_from(sorted(WRITERS)), exists=st.sampled_from(sorted(EXISTS)))
def test_services_that_return_odd_values(header, rows, entries, language_index, fail_after,
                                         writer, exists):
    """The csv reader rebound to one yielding rows of any kind (and perhaps failing on the
    way), the scanner to one storing entries of any kind, the writer and the existence test to
    others: the loader gives what the plain algorithm gives, the update fails as it does or
    writes the same catalogue."""

    def reader(file):
        for number, row in enumerate([header, *rows]):
            if number == fail_after:
                raise LookupError("reader failed")
            yield row

    def scan(filename, cache):
        cache.update(entries)

    saved = (qel_i18n._csv_reader, qel_i18n._parse_one_file, qel_i18n._csv_writer,
             qel_i18n._exists)
    qel_i18n._csv_reader, qel_i18n._parse_one_file = reader, scan
    qel_i18n._csv_writer, qel_i18n._exists = WRITERS[writer], EXISTS[exists]
    try:
        with workdir() as ours, tempfile.TemporaryDirectory() as theirs:
            for directory in (ours, theirs):
                with open(os.path.join(directory, "m.csv"), "wb") as file:
                    file.write(b"read by the rebound reader\r\n")
            got = outcome(lambda: I18N.load_data_from_file(os.path.join(ours, "m.csv"),
                                                           language_index))
            assert got == outcome(lambda: reference_load(os.path.join(theirs, "m.csv"),
                                                         language_index))
            if got[0] == "ok":
                catalogue = I18N()
                catalogue._I18N__language_index = language_index
                catalogue._I18N__data = got[1]
                check_lookups(catalogue, ["a", "p"])
            before = state(ours)
            got = outcome(lambda: qel_i18n.parse(os.path.join(ours, "m.csv"), "s.py"))
            expected = outcome(lambda: reference_parse(os.path.join(theirs, "m.csv"), "s.py",
                                                       scan=scan))
            # Rows of the old catalogue that a later one replaces are kept, in the excess file.
            keys = outcome(lambda: [(row[0], row[1]) for row in rows])
            unique = keys[0] == "ok" and len(set(keys[1])) == len(keys[1])
            if unique:
                assert kind(got) == kind(expected)
            if got[0] == "error":
                assert state(ours) == before
            elif expected[0] == "ok":
                assert state(ours)[b"m.csv"] == state(theirs)[b"m.csv"]
                if unique:
                    assert state(ours) == state(theirs)
    finally:
        (qel_i18n._csv_reader, qel_i18n._parse_one_file, qel_i18n._csv_writer,
         qel_i18n._exists) = saved


class Match:
    """A match whose groups are any values."""

    def __init__(self, groups):
        self._groups = groups

    def groups(self):
        return self._groups


class Pattern:
    """A pattern that finds the given matches on every line with a marker."""

    def __init__(self, groups):
        self.matches = [Match(item) for item in groups]

    def finditer(self, line):
        return iter(self.matches if "_(" in line else [])


odd_messages = st.one_of(
    st.integers(), st.none(), st.floats(), st.booleans(), st.text(max_size=3).map(Text),
    st.tuples(st.text(max_size=2)), st.binary(max_size=3), st.lists(st.integers(), max_size=2),
    st.just("\ud800"), st.just(10**400), st.text(max_size=3),
)
odd_groups = st.lists(st.one_of(st.tuples(st.text(max_size=3)), st.tuples(odd_messages),
                                st.just(()), odd_messages), max_size=3)


@fuzz()
@given(lines=st.lists(st.sampled_from(['_("a")', '_("b") _("a")', "x", '_("\\u00e9")']),
                      max_size=4),
       message=st.none() | odd_messages, groups=st.none() | odd_groups)
def test_decoders_and_patterns_that_return_odd_values(lines, message, groups):
    """`_load_str` and `_the_pattern` rebound to ones giving values of any kind: the scanner
    gives what the plain algorithm gives, the update fails as it does or writes the same
    catalogue."""
    saved = qel_i18n._load_str, qel_i18n._the_pattern
    if message is not None:
        qel_i18n._load_str = lambda text: message
    if groups is not None:
        qel_i18n._the_pattern = Pattern(groups)
    try:
        with workdir() as ours, tempfile.TemporaryDirectory() as theirs:
            for directory in (ours, theirs):
                with open(os.path.join(directory, "s.py"), "w", encoding="utf8") as file:
                    file.write("\n".join(lines))
            cache, expected_cache = {}, {}
            got = outcome(lambda: qel_i18n._parse_one_file(os.path.join(ours, "s.py"), cache))
            assert got == outcome(lambda: reference_scan(os.path.join(ours, "s.py"),
                                                         expected_cache))
            assert cache == expected_cache
            before = state(ours)
            got = outcome(lambda: qel_i18n.parse(os.path.join(ours, "m.csv"),
                                                 os.path.join(ours, "s.py")))
            expected = outcome(lambda: reference_parse(os.path.join(theirs, "m.csv"),
                                                       os.path.join(theirs, "s.py")))
            assert kind(got) == kind(expected)
            assert state(ours) == (before if got[0] == "error" else state(theirs))
    finally:
        qel_i18n._load_str, qel_i18n._the_pattern = saved


class Unprintable:
    """A cell that cannot be written."""

    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "csv_name, header, entries, error",
    [
        # The header is written before the first entry is looked at.
        ("m.csv", None, {"k": [Untestable(), ["p", "a"]]}, csv.Error),
        # An entry is written before the next one is unpacked.
        ("m.csv", ["Position"], {"k1": [True, ["p", "a", Unprintable()]],
                                 "k2": [True, ["p", "b"], "third"]}, RuntimeError),
        ("m.csv", ["Position"], {"k1": [True, ["p", "a", Unprintable()]],
                                 "k2": [Untestable(), ["p", "b"]]}, RuntimeError),
        # The catalogue is opened before anything is written.
        ("", ["Position"], {"k": [Untestable(), ["p", "a"]]}, FileNotFoundError),
        ("missing/m.csv", ["Position"], {"k": [True, ["p", "a"], "third"]}, FileNotFoundError),
        # Errors in entries after the rows written still count.
        ("m.csv", ["Position"], {"k1": [True, ["p", "a"]], "k2": [True, ["p", "b"], "third"]},
         ValueError),
    ],
)
def test_update_errors_come_in_the_order_of_the_steps(tmp_path, monkeypatch, csv_name, header,
                                                      entries, error):
    """Of two faults in one run, the one the update meets first step by step is raised."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "m.csv").write_bytes(b"read by the rebound reader\r\n")
    monkeypatch.setattr(qel_i18n, "_csv_reader", lambda file: iter([header]))
    monkeypatch.setattr(qel_i18n, "_parse_one_file", lambda name, cache: cache.update(entries))
    before = snapshot(tmp_path)
    with pytest.raises(Exception) as caught:
        qel_i18n.parse(csv_name, "s.py")
    assert caught.type is error
    assert snapshot(tmp_path) == before


def model_parse_directory(csv_filename, directory, extend_name=None, recursive=True):
    """Directory extraction as the module does it, through the module's names: the glob's
    names with the directory and separator in front (not for "." or the empty text), names of
    directories left out."""
    pattern = ("**/*" if recursive else "*") + ("" if extend_name is None else extend_name)
    found = qel_i18n._glob(pattern, root_dir=directory, recursive=recursive)
    names = []
    for name in found:
        if directory not in ("", "."):
            name = directory + qel_i18n._sep + name
        is_path = isinstance(name, (str, bytes, os.PathLike))
        if not (is_path and os.path.isdir(name)):
            names.append(name)
    qel_i18n.parse(csv_filename, *names)


odd_names = st.one_of(st.text(max_size=3), st.text(max_size=3).map(Text), st.binary(max_size=3),
                      st.integers(), st.none(), st.just("sub"), st.just("."),
                      st.text(max_size=3).map(PathLike))


@fuzz(0.5)
@given(found=st.one_of(st.lists(odd_names, max_size=4), st.lists(odd_names, max_size=4).map(tuple),
                       st.integers(), st.none()),
       sep=st.one_of(st.just(os.sep), st.text(max_size=2), st.binary(max_size=1), st.integers()),
       directory=st.sampled_from(["", ".", "src", "src/"]),
       extend_name=st.sampled_from([None, "", ".py"]),
       recursive=st.one_of(st.booleans(), st.integers(), st.none(), st.text(max_size=2),
                           st.builds(Thing), st.lists(st.integers(), max_size=2)))
def test_directory_extraction_with_odd_names(found, sep, directory, extend_name, recursive):
    """`_glob` and `_sep` rebound to ones giving values of any kind, and `parse` to one that
    records its arguments: the names handed on are those of the module's rules, and the errors
    those the host raises on the way."""
    calls = []
    saved = qel_i18n._glob, qel_i18n._sep, qel_i18n.parse
    qel_i18n._glob = lambda pattern, root_dir, recursive: found
    qel_i18n._sep = sep
    qel_i18n.parse = lambda *args: calls.append(args)
    try:
        with workdir() as directory_here:
            os.makedirs(os.path.join(directory_here, "src", "sub"))
            got = outcome(lambda: qel_i18n.parse_directory("m.csv", directory, extend_name,
                                                           recursive))
            got_calls, calls[:] = list(calls), []
            expected = outcome(lambda: model_parse_directory("m.csv", directory, extend_name,
                                                             recursive))
            assert got[:2] == expected[:2] and got_calls == calls
            assert snapshot(directory_here) == {}
    finally:
        qel_i18n._glob, qel_i18n._sep, qel_i18n.parse = saved


# ---------------------------------------------------------------------------------------------
# The rewriter: files of near-Python text and bad UTF-8, and names of every kind.

REWRITE_PIECES = [
    b"import gettext", b"_ = gettext.gettext", b"from gettext import gettext as _",
    b"gettext.gettext(", b"import gettextual", b"import gettext_x", b"import qel_i18n", b" ",
    b"\n", b"\r\n", b"\r", b"\t", b"_", b"x", b"2", b"#", b";", b" as gt", b"\x00", "é".encode(),
    "ª".encode(), "٣".encode(), "😀".encode(), b"\xef\xbb\xbf", b"\x80", b"\xc3", b"\xed\xa0\x80",
    b"\xff",
]
rewrite_bytes = st.one_of(st.lists(st.sampled_from(REWRITE_PIECES), max_size=30).map(b"".join),
                          st.binary(max_size=100))

IMPORT_KEY = re.compile(r"import gettext(?!\w)")
FUNC_KEY = re.compile(r"_ = gettext\.gettext(?!\w)")


def rewrite_lines(lines):
    """Rewrites `lines` in place: the keys replaced as whole names on the lines that start with
    one (a byte order mark that starts the first line is no part of it). True when a line
    changed."""
    changed = False
    for i, line in enumerate(lines):
        mark = "\ufeff" if i == 0 and line.startswith("\ufeff") else ""
        for key, replacement in ((IMPORT_KEY, "import qel_i18n"),
                                 (FUNC_KEY, "_ = qel_i18n.gettext")):
            if key.match(line, len(mark)):
                lines[i] = mark + key.sub(replacement, line[len(mark):])
                changed = True
                break
    return changed


def reference_rewrite(data):
    """The bytes a rewrite leaves: the rewritten lines with LF line ends, or the bytes unchanged
    when no line matched. UnicodeDecodeError for text that is not UTF-8."""
    lines = io.TextIOWrapper(io.BytesIO(data), encoding="utf8").readlines()
    return "".join(lines).encode("utf8") if rewrite_lines(lines) else data


def reference_replace(name):
    """The rewriter in plain Python, writing in place."""
    with open(name, "r", encoding="utf8") as file:
        lines = list(file)
    if rewrite_lines(lines):
        with open(name, "w", encoding="utf8") as file:
            file.writelines(lines)


# How a file is named to the rewriter: open() accepts each of these as a path.
NAMINGS = {"str": str, "bytes": os.fsencode, "str subclass": Text, "path-like": PathLike}
# Values open() refuses outright: never an int, which open() would take for a file descriptor.
NOT_NAMES = {"None": None, "float": 1.5, "list": ["a.py"], "tuple": ("a.py",), "dict": {},
             "object": Thing(), "complex": 1j}
namings = st.one_of(st.sampled_from(sorted(NAMINGS)), st.sampled_from(sorted(NAMINGS)),
                    st.sampled_from(sorted(NOT_NAMES)))


@fuzz()
@given(files=st.lists(rewrite_bytes, min_size=1, max_size=3),
       calls=st.lists(st.tuples(st.integers(0, 2), namings), max_size=4))
def test_rewriter_on_bad_files(files, calls):
    """Files rewritten in turn as the plain rules rewrite them, up to the first that cannot be
    read or named; that one and the rest are left as they were."""
    with workdir() as directory:
        paths = []
        for i, data in enumerate(files):
            paths.append(os.path.join(directory, f"r{i}.py"))
            with open(paths[-1], "wb") as file:
                file.write(data)
        arguments = []
        expected_files = dict(enumerate(files))
        expected_error = None
        for index, naming in calls:
            index %= len(files)
            if naming in NOT_NAMES:
                arguments.append(NOT_NAMES[naming])
                expected_error = expected_error or TypeError
                continue
            arguments.append(NAMINGS[naming](paths[index]))
            if expected_error is None:
                try:
                    expected_files[index] = reference_rewrite(expected_files[index])
                except UnicodeDecodeError:
                    expected_error = UnicodeDecodeError
        got = outcome(lambda: qel_i18n.replace_gettext(*arguments))
        if expected_error is None:
            assert got == ("ok", None)
        else:
            assert got[0] == "error" and got[1] is expected_error, got
            assert issubclass(got[1], REWRITER_ERRORS + (TypeError,))
        assert snapshot(directory) == {f"r{i}.py".encode(): expected_files[i]
                                         for i in range(len(files))}


# ---------------------------------------------------------------------------------------------
# File names: NUL, surrogates, dots, directories; every operation that opens a name.

name_texts = st.one_of(
    st.text(alphabet=["a", ".", "-", " ", "\x00", "\ud800", "\udc80", "é", "\\", "~"], max_size=6),
    # names up to and past the longest a directory entry may have
    st.builds(lambda char, count, ending: char * count + ending,
              st.sampled_from(["m", "é", "😀", "\udc80"]), st.integers(1, 260),
              st.sampled_from(["", ".csv", ".py"])),
)


STEPS = [
    (lambda csv_name, source, index: I18N.load_data_from_file(csv_name, index),
     lambda csv_name, source, index: reference_load(csv_name, index)),
    (lambda csv_name, source, index: qel_i18n._parse_one_file(source, {}),
     lambda csv_name, source, index: reference_scan(source, {})),
    (lambda csv_name, source, index: qel_i18n.replace_gettext(source),
     lambda csv_name, source, index: reference_replace(source)),
    (lambda csv_name, source, index: qel_i18n.parse(csv_name, source),
     lambda csv_name, source, index: reference_parse(csv_name, source)),
    (lambda csv_name, source, index: qel_i18n.parse(csv_name),
     lambda csv_name, source, index: reference_parse(csv_name)),
]


@fuzz()
@given(csv_tail=name_texts, source_tail=name_texts, language_index=st.integers(-2, 2),
       existing=st.booleans())
def test_file_names_of_every_kind(csv_tail, source_tail, language_index, existing):
    """Each operation on the same names in two directories, here and in plain Python writing in
    place: both fail with the same error or both succeed with the same files; a failure here
    changes nothing."""
    with workdir() as ours, tempfile.TemporaryDirectory() as theirs:
        if existing:
            with contextlib.suppress(OSError, ValueError):
                with open(os.path.join(ours, source_tail), "w", encoding="utf8") as file:
                    file.write('import gettext\n_("a")\n')
            copy_files(ours, theirs)
        for step, reference in STEPS:
            before = state(ours)
            got = outcome(lambda: step(os.path.join(ours, csv_tail),
                                       os.path.join(ours, source_tail), language_index))
            expected = outcome(lambda: reference(os.path.join(theirs, csv_tail),
                                                 os.path.join(theirs, source_tail), language_index))
            assert kind(got) == kind(expected)
            if got[0] == "error":
                assert issubclass(got[1], UPDATE_ERRORS + NAME_ERRORS), got
                assert state(ours) == before
                copy_files(ours, theirs)  # the plain algorithm may have written part
            else:
                assert state(ours) == state(theirs)


# ---------------------------------------------------------------------------------------------
# Catalogue objects whose private state was replaced by other means.

class Unequal:
    """A stored language index that cannot be compared."""

    def __ne__(self, other):
        raise ArithmeticError("no comparison")

    __eq__ = __ne__
    __hash__ = None


class Forgiving:
    """A lock that suppresses the error of its block."""

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return True


class Refusing:
    """A lock that cannot be entered."""

    def __enter__(self):
        raise BlockingIOError("busy")

    def __exit__(self, *exc_info):
        return False


# Makers of replaced attribute values: each example makes one for either object (or deletes
# the attribute, or leaves what the constructor stored).
STATE_VALUES = {
    "_I18N__language_index": {"0": lambda: 0, "1": lambda: 1, "-1": lambda: -1,
                              "None": lambda: None, "1.0": lambda: 1.0, "True": lambda: True,
                              "text": lambda: "1", "unequal": Unequal, "huge": lambda: 10**400},
    "_I18N__filename": {"none": lambda: "", "file": lambda: "c.csv", "missing": lambda: "gone.csv",
                        "None": lambda: None, "subclass": lambda: Text("c.csv"),
                        "bytes": lambda: b"c.csv", "int": lambda: 7},
    "_I18N__data": {"entries": lambda: [(2, "a", "A"), (3, "b", "")], "empty": list,
                    "rows": lambda: [["p", "a"], ["p", "b", "B"]], "None": lambda: None,
                    "tuple": lambda: ((2, "a", "A"),), "text": lambda: "ab", "int": lambda: 3},
    "_I18N__lock": {"lock": threading.Lock, "rlock": threading.RLock, "None": lambda: None,
                    "forgiving": Forgiving, "refusing": Refusing, "object": Thing},
}


def reference_set_language_index(catalogue, value):
    if value != catalogue._I18N__language_index:
        with catalogue._I18N__lock:
            catalogue._I18N__language_index = value
            if catalogue.filename:
                catalogue._I18N__data = I18N.load_data_from_file(catalogue.filename, value)


def reference_set_filename(catalogue, value):
    catalogue._I18N__filename = value
    with catalogue._I18N__lock:
        if value:
            catalogue._I18N__data = I18N.load_data_from_file(value, catalogue.language_index)


def object_state(catalogue):
    """The attributes of a catalogue object, its lock by type and whether it is held."""
    result = {}
    for name, value in vars(catalogue).items():
        if name == "_I18N__lock":
            held = getattr(value, "locked", None)
            value = (type(value), held() if held and type(value) is not threading.RLock else None)
        elif isinstance(value, (Unequal, Thing)):
            value = type(value)
        result[name] = value
    return result


@fuzz()
@given(state=st.fixed_dictionaries({name: st.sampled_from([None, "missing", *sorted(choices)])
                                    for name, choices in STATE_VALUES.items()}),
       action=st.sampled_from(["language_index", "filename", "gettext"]),
       index=st.integers(-2, 2), filename=st.sampled_from(["", "c.csv", "gone.csv", "e.csv"]),
       message=st.sampled_from(["a", "b", "c", ""]))
def test_catalogue_objects_with_replaced_state(state, action, index, filename, message):
    """Setters and lookups on objects whose private attributes were replaced (or deleted) by
    other means behave as the plain algorithm does with the same attributes."""
    with workdir() as directory:
        with open("c.csv", "w", newline="", encoding="utf8") as file:
            file.write(CATALOGUE)
        with open("e.csv", "w", encoding="utf8"):
            pass
        objects = []
        for _ in range(2):
            catalogue = I18N("c.csv", 1)
            for name, choice in state.items():
                if choice == "missing":
                    delattr(catalogue, name)
                elif choice is not None:
                    setattr(catalogue, name, STATE_VALUES[name][choice]())
            objects.append(catalogue)
        ours, theirs = objects
        if action == "language_index":
            got = outcome(lambda: setattr(ours, "language_index", index))
            expected = outcome(lambda: reference_set_language_index(theirs, index))
        elif action == "filename":
            got = outcome(lambda: setattr(ours, "filename", filename))
            expected = outcome(lambda: reference_set_filename(theirs, filename))
        else:
            got = outcome(lambda: ours.gettext(message))
            expected = outcome(lambda: reference_gettext(theirs, message))
        assert got == expected
        assert object_state(ours) == object_state(theirs)
        assert sorted(os.listdir(directory)) == ["c.csv", "e.csv"]


def test_a_lock_that_suppresses_a_failed_read_of_the_table():
    """The read of the table in the lock's block fails and the lock's exit suppresses the
    error: the lookup then has no table, and says so as the host does for a local variable
    the block did not bind (it raised SystemError, a failure without an exception)."""
    catalogue = I18N()
    catalogue._I18N__language_index = 1
    catalogue._I18N__lock = Forgiving()
    del catalogue._I18N__data
    message = "cannot access local variable 'data' where it is not associated with a value"
    for lookup in (catalogue.gettext, qel_i18n.gettext):
        qel_i18n.i18n = catalogue
        assert outcome(lambda: lookup("a")) == ("error", UnboundLocalError, (message,))
    assert outcome(lambda: reference_gettext(catalogue, "a")) == (
        "error", UnboundLocalError, (message,))
    catalogue._I18N__data = [(2, "a", "A")]
    assert catalogue.gettext("a") == qel_i18n.gettext("a") == "A"


# ---------------------------------------------------------------------------------------------
# Argument values of every type, positionally and by keyword.

def accepts(requirement, value):
    kind = type(value)
    return {"str": kind is str, "int": kind is int, "dict": kind is dict,
            "str or None": kind is str or value is None, "any": True}[requirement]


def values(requirement, opened):
    """Values of every kind that `requirement` refuses (every kind for "any"). For a parameter
    that is `opened`, ints only where no file descriptor can be: below 0 or past a C int (so
    never a bool), in case a check let one through to open()."""
    ints = st.integers(max_value=-1) | st.integers(min_value=2**31) if opened else st.integers()
    kinds = [
        st.floats(), st.binary(max_size=6), st.binary(max_size=4).map(bytearray),
        st.text(max_size=6).map(Text), ints.map(Number), st.lists(st.integers(), max_size=3),
        st.lists(st.integers(), max_size=3).map(tuple),
        st.dictionaries(st.text(max_size=3), st.integers(), max_size=3).map(Table),
        st.builds(object), st.builds(Thing), st.complex_numbers(), st.frozensets(st.integers()),
        st.text(max_size=4).map(PathLike),
    ]
    if not opened:
        kinds.append(st.booleans())
    if requirement not in ("str", "str or None"):
        kinds.append(st.text(max_size=6))
    if requirement != "str or None":
        kinds.append(st.none())
    if requirement != "int":
        kinds += [ints, st.just(10**400)]
    if requirement != "dict":
        kinds.append(st.dictionaries(st.text(max_size=3), st.integers(), max_size=3))
    return st.one_of(kinds)


def type_error(name, requirement, value):
    expected = "str" if requirement == "str or None" else requirement
    return (f"Argument '{name}' has incorrect type (expected {expected}, "
            f"got {type(value).__name__})")


CATALOGUE = "Position,0,1\r\np: 0001,a,A\r\np: 0002,b,B\r\n"


def setup_files(directory):
    os.mkdir(os.path.join(directory, "src"))
    with open(os.path.join(directory, "src", "a.py"), "w", encoding="utf8") as file:
        file.write('_("a")\n')
    with open(os.path.join(directory, "c.csv"), "w", newline="", encoding="utf8") as file:
        file.write(CATALOGUE)


class Made:
    """A valid value that needs the example's files: made once they exist."""

    def __init__(self, make):
        self.make = make


def made(value):
    return value.make() if isinstance(value, Made) else value


a_catalogue = st.just(Made(lambda: I18N("c.csv", 1)))

# Each callable: how it is called, and each parameter as (name, requirement, opened, valid
# values). Valid values name files in the example's directory (the current one).
language_values = st.integers(-3, 3)
CALLABLES = {
    "gettext": (qel_i18n.gettext, [("message", "str", False, st.text())]),
    "I18N.gettext": (I18N.gettext, [("self", "any", False, a_catalogue),
                                    ("message", "str", False, st.text())]),
    "_parse_one_file": (qel_i18n._parse_one_file,
                        [("source_filename", "str", True, st.just("src/a.py")),
                         ("cache", "dict", False, st.builds(dict))]),
    "parse": (qel_i18n.parse, [("csv_filename", "str", True, st.just("m.csv"))]),
    "parse_directory": (qel_i18n.parse_directory,
                        [("csv_filename", "str", True, st.just("m.csv")),
                         ("directory", "str", True, st.just("src")),
                         ("extend_name", "str or None", False, st.sampled_from([None, "", ".py"])),
                         ("recursive", "any", False, values("any", False))]),
    "I18N": (I18N, [("csv_filename", "str", True, st.sampled_from(["", "c.csv"])),
                    ("language_index", "int", False, language_values)]),
    "language_index setter": (I18N.language_index.fset,
                              [("self", "any", False, a_catalogue),
                               ("value", "int", False, language_values)]),
    "filename setter": (I18N.filename.fset,
                        [("self", "any", False, a_catalogue),
                         ("value", "str", True, st.sampled_from(["", "c.csv"]))]),
    "load_data_from_file": (I18N.load_data_from_file,
                            [("filename", "str", True, st.just("c.csv")),
                             ("language_index", "int", False, language_values)]),
    "load_data_from_file on an instance": (
        I18N().load_data_from_file,
        [("filename", "str", True, st.just("c.csv")),
         ("language_index", "int", False, language_values)]),
}


@st.composite
def calls(draw):
    """A callable, its arguments (some valid, at least one refused where it has a requirement),
    and how many go by position; the rest go by keyword in a random order."""
    label = draw(st.sampled_from(sorted(CALLABLES)))
    function, parameters = CALLABLES[label]
    checked = [i for i, parameter in enumerate(parameters) if parameter[1] != "any"]
    bad = set(draw(st.lists(st.sampled_from(checked), min_size=1, unique=True)))
    arguments = []
    for i, (name, requirement, opened, valid) in enumerate(parameters):
        value = draw(values(requirement, opened) if i in bad else valid)
        arguments.append((name, requirement, value))
    positional = draw(st.integers(0, len(arguments)))
    keywords = draw(st.permutations(arguments[positional:]))
    # Perhaps one keyword more: a name of no parameter, or of one already given by position.
    given = [name for name, _, _ in arguments[:positional]] + (["self"] if label == "I18N" else [])
    extra = draw(st.none() | st.sampled_from(["bogus", "filenames", *given]))
    if extra is not None:
        keywords.insert(draw(st.integers(0, len(keywords))), (extra, "any", None))
    return label, function, arguments, positional, keywords, extra


# The name each callable's binding messages print.
MESSAGE_NAMES = {"I18N.gettext": "gettext", "I18N": "__init__",
                 "language_index setter": "language_index", "filename setter": "filename",
                 "load_data_from_file on an instance": "load_data_from_file"}


@fuzz(2)
@given(call=calls())
def test_argument_types_are_checked_before_anything_runs(call):
    """Refused types are reported in parameter order, after a keyword that fits no parameter
    still open, and before anything of the body runs."""
    label, function, arguments, positional, keywords, extra = call
    with workdir() as directory:
        setup_files(directory)
        before = snapshot(directory)
        got = outcome(lambda: function(*[made(value) for _, _, value in arguments[:positional]],
                                       **{name: made(value) for name, _, value in keywords}))
        if extra is None:
            name, requirement, value = next(
                argument for argument in arguments if not accepts(argument[1], argument[2]))
            message = type_error(name, requirement, value)
        elif extra in ("bogus", "filenames"):
            message = (f"{MESSAGE_NAMES.get(label, label)}() got an unexpected keyword "
                       f"argument '{extra}'")
        else:
            message = (f"{MESSAGE_NAMES.get(label, label)}() got multiple values for keyword "
                       f"argument '{extra}'")
        assert got == ("error", TypeError, (message,)), label
        assert snapshot(directory) == before


@fuzz()
@given(sources=st.lists(st.one_of(st.just("src/a.py"), values("str", True)), min_size=1,
                        max_size=4))
def test_source_names_are_checked_as_the_scan_reaches_them(sources):
    """A source name of another type than str is refused by the scan, before anything is
    written."""
    with workdir() as directory:
        setup_files(directory)
        before = snapshot(directory)
        got = outcome(lambda: qel_i18n.parse("c.csv", *sources))
        refused = [value for value in sources if type(value) is not str]
        if refused:
            assert got == ("error", TypeError,
                           (type_error("source_filename", "str", refused[0]),))
            assert snapshot(directory) == before
        else:
            assert got == ("ok", None)


@fuzz()
@given(stored=st.one_of(values("any", False), st.integers(), st.text()),
       attribute=st.sampled_from(["language_index", "filename", "gettext"]))
def test_results_are_checked(stored, attribute):
    """The getters and the module gettext return only an exact int or str (or None)."""
    expected_type = int if attribute == "language_index" else str
    if attribute == "gettext":
        class Catalogue:
            def gettext(self, message):
                return stored

        saved = qel_i18n.i18n
        qel_i18n.i18n = Catalogue()
        try:
            got = outcome(lambda: qel_i18n.gettext("x"))
        finally:
            qel_i18n.i18n = saved
    else:
        catalogue = I18N()
        setattr(catalogue, f"_I18N__{attribute}", stored)
        got = outcome(lambda: getattr(catalogue, attribute))
    if type(stored) is expected_type or stored is None:
        assert got == ("ok", stored)
    else:
        assert got == ("error", TypeError, (
            f"Expected {expected_type.__name__}, got {type(stored).__name__}",))


def name_of_size(size, char, ending=""):
    """A file name of exactly `size` bytes: as many `char` as fit, topped up with "m"."""
    stem = char * ((size - len(ending)) // len(char.encode()))
    return "m" * (size - len(ending) - len(stem.encode())) + stem + ending


@pytest.mark.parametrize("char", ["m", "é", "😀"])
def test_names_as_long_as_a_directory_entry_allows(tmp_path, monkeypatch, char):
    """The temporary files beside the catalogue, the excess file and a rewritten source fit
    the same limit as the names they stand for."""
    limit = os.pathconf(tmp_path, "PC_NAME_MAX")
    source = tmp_path / name_of_size(limit, char, ".py")
    source.write_text('import gettext\n_("a")\n', encoding="utf8")
    stem = name_of_size(limit - len("-excess.csv"), char)
    catalogue, excess = tmp_path / (stem + ".csv"), tmp_path / (stem + "-excess.csv")
    catalogue.write_bytes(b"Position,0,1\r\nold: 0001,gone,weg\r\n")
    qel_i18n.parse(str(catalogue), str(source))
    assert catalogue.read_bytes() == f"Position,0,1\r\n{source}: 0002,a\r\n".encode()
    assert excess.read_bytes() == b"Position,0,1\r\nold: 0001,gone,weg\r\n"
    qel_i18n.replace_gettext(str(source))
    assert source.read_bytes() == b'import qel_i18n\n_("a")\n'
    assert sorted(os.listdir(tmp_path)) == sorted([source.name, catalogue.name, excess.name])

    # A name one byte longer is refused as open() refuses it, before any row is written (a row
    # the encoder refuses would fail otherwise).
    bad_source = tmp_path / "bad.py"
    bad_source.write_text('_("\\ud800")\n', encoding="utf8")
    before = snapshot(tmp_path)
    with pytest.raises(OSError) as caught:
        qel_i18n.parse(str(tmp_path / name_of_size(limit + 1, char, ".csv")), str(bad_source))
    assert caught.value.errno == errno.ENAMETOOLONG
    assert snapshot(tmp_path) == before
    bad_source.unlink()

    # The old excess file is kept aside under a name of its own: a catalogue that cannot be
    # replaced puts it back.
    catalogue.write_bytes(b"Position,0,1\r\nnew: 0001,gone,neu\r\n")
    before = snapshot(tmp_path)
    original = os.replace

    def replace(source, target):
        if os.fspath(target) == str(catalogue):
            raise PermissionError(13, "Permission denied", target)
        return original(source, target)

    monkeypatch.setattr(os, "replace", replace)
    with pytest.raises(PermissionError):
        qel_i18n.parse(str(catalogue))
    assert snapshot(tmp_path) == before
