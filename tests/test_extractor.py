"""The tools' extractor of Python sources and `qel-i18n update` over it: what it reports, caches
that call back, no leaks, and a module whose globals are rebound around it."""

import csv
import gc
import sys

import pytest

import qel_i18n
from qel_i18n_tools import _native, main

SOURCE = '''\
x = _("plain")
y = _('wrapped '
      "over lines")
z = self._("\\x41\\N{DEGREE SIGN}")  # _("in a comment")
w = f"{_('in a field')}"
_(variable)
ngettext("one", "many", n)
C_("context", "message")
_(f"{x}")
_(b"bytes")
_()
_("" '')
_("\\ud800")
def _(message): return message
'''


def rows_of(path):
    with open(path, newline="", encoding="utf8") as file:
        return list(csv.reader(file))


# Keywords of more than four first bytes take the scan that looks at one byte at a time.
@pytest.mark.parametrize("keywords", [("_", "N_"), ("_", "N_", "A1", "B1", "D1", "E1")])
def test_messages_and_skipped_calls(tmp_path, keywords):
    (tmp_path / "a.py").write_text(SOURCE)
    extractor, cache = _native.Extractor(keywords), {}
    extractor(str(tmp_path / "a.py"), cache)
    name = str(tmp_path / "a.py")
    assert sorted(cache) == [
        (f"{name}: 0001", "plain"),
        (f"{name}: 0002", "wrapped over lines"),
        (f"{name}: 0004", "A°"),
        (f"{name}: 0005", "in a field"),
    ]
    assert [(line, marker, why) for _, line, marker, why in extractor.skipped] == [
        (6, "_", "the message is not a string literal"),
        (7, "ngettext", "plural forms have no row in the catalogue"),
        (8, "C_", "a message with a context has no row in the catalogue"),
        (9, "_", "the message is an f-string"),
        (10, "_", "the message is a bytes literal"),
        (11, "_", "no message"),
        (12, "_", "the message is empty"),
        (13, "_", "the message holds a lone surrogate, which UTF-8 cannot store"),
    ]
    assert (extractor.calls, extractor.files) == (4, 1)


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["-v"], ["src/a.py:6: _(): the message is not a string literal"]),
        ([], ["8 marked call(s) skipped: not a literal message, or a marker the catalogue cannot "
              "hold; -v lists them"]),
        (["-k", "_T_"], ["5 file(s) scanned"]),
    ],
)
def test_update_reports(tmp_path, monkeypatch, capsys, argv, expected):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "a.py").write_text(SOURCE)
    for i in range(4):
        (tmp_path / "src" / f"t{i}.py").write_text(f'_T_("deferred {i}")\n')
    assert main(["update", "m.csv", "src", "--no-fill", *argv]) == 0
    out = capsys.readouterr().out
    assert all(line in out for line in expected)
    found = {row[1] for row in rows_of("m.csv")[1:]}
    assert ("deferred 3" in found) == ("-k" in argv) and "wrapped over lines" in found


def test_other_suffixes_keep_the_module_scanner(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.py").write_text("_('single')\n")
    (tmp_path / "b.pyw").write_text("_('single')\n_(\"double\")\n")
    assert main(["update", "m.csv", ".", "-e", ".py", "-e", ".pyw", "--no-fill"]) == 0
    assert sorted(rows_of("m.csv")[1:]) == [["a.py: 0001", "single"], ["b.pyw: 0002", "double"]]
    capsys.readouterr()


def test_the_module_rebound_around_the_update_changes_nothing(tmp_path, monkeypatch, capsys):
    """The update runs against the tools' own namespace: what another thread binds in the
    module's reaches none of its steps."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.py").write_text('_("one")\n')
    (tmp_path / "b.txt").write_text('_("two")\n')

    def broken(*args, **kwargs):
        raise AssertionError("the module's namespace was used")

    for name in ["_parse_one_file", "parse", "parse_directory", "_csv_writer", "_csv_reader",
                 "_the_pattern", "_load_str", "_glob", "_exists"]:
        monkeypatch.setattr(qel_i18n, name, broken)
    for scanner in ["python", "module"]:
        argv = ["update", "m.csv", ".", "-e", ".py", "-e", ".txt", "--scanner", scanner]
        assert main(argv) == 0, capsys.readouterr()
    assert rows_of("m.csv")[1:] == [["a.py: 0001", "one"], ["b.txt: 0001", "two"]]


class CallsBack:
    """A cache key or entry that runs `action` whenever it is compared or assigned to."""

    def __init__(self, action, hash_of=None):
        self.action, self.hash_of = action, hash_of

    def __hash__(self):
        return hash(self.hash_of)

    def __eq__(self, other):
        self.action()
        return False

    def __setitem__(self, index, value):
        self.action()


@pytest.mark.parametrize("action", ["clear", "reenter", "collect", "raise"])
@pytest.mark.parametrize("where", ["key", "entry"])
def test_caches_that_call_back(tmp_path, action, where):
    name = str(tmp_path / "a.py")
    (tmp_path / "a.py").write_text("".join(f'_("m{i}")\n' for i in range(20)))
    extractor, cache = _native.Extractor(), {}
    key = (f"{name}: 0001", "m0")

    def act():
        if action == "clear":
            cache.clear()
        elif action == "reenter":
            if len(extractor.skipped) < 3:
                extractor.skipped.append(None)
                extractor(name, {})
        elif action == "collect":
            gc.collect()
        else:
            raise KeyError("from the cache")

    if where == "key":
        cache[CallsBack(act, key)] = [False, ["x", "y"]]
    else:
        cache[key] = CallsBack(act)
    try:
        extractor(name, cache)
    except KeyError as error:
        assert action == "raise" and str(error) == "'from the cache'"


def test_no_leaks(tmp_path):
    (tmp_path / "a.py").write_text(SOURCE + "_('\\N{NO SUCH NAME}')\n")
    (tmp_path / "bad.py").write_bytes(b"_('x')\n\xff\n")
    extractor = _native.Extractor(["_", "N_", "C_"])

    def run():
        extractor(str(tmp_path / "a.py"), {})
        for name in ["bad.py", "missing.py"]:
            with pytest.raises((SyntaxError, OSError)):
                extractor(str(tmp_path / name), {})
        extractor.skipped.clear()

    for _ in range(50):
        run()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(500):
        run()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50


@pytest.mark.parametrize(
    "source, lineno, message",
    [
        (b"a = 1\n\n_('caf\xe9')\n", 3, "invalid UTF-8 (byte 0xe9), and no other encoding declared"),
        (b"# coding: nonsense\n_('x')\n", 1, "unknown encoding: nonsense"),
        (b"\xef\xbb\xbf# coding: latin-1\n", 1, "encoding problem: iso-8859-1 with BOM"),
        (b"#!/bin/python\n# vim: fileencoding=ascii\n\n_('\xe9')\n", 4,
         "cannot decode the source as ascii: ordinal not in range(128)"),
    ],
)
def test_undecodable_sources(tmp_path, source, lineno, message):
    (tmp_path / "a.py").write_bytes(source)
    with pytest.raises(SyntaxError) as caught:
        _native.Extractor()(str(tmp_path / "a.py"), {})
    assert (caught.value.filename, caught.value.lineno, caught.value.msg) == (
        str(tmp_path / "a.py"), lineno, message)
