"""The scanner's own matching and decoding give exactly what the host's pattern and JSON decoder
give: each generated source is scanned with the services as start-up bound them and again with
equivalent objects rebound in their place, and the caches, errors and written files compared."""

import json
import os
import re

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import qel_i18n

FRAGMENTS = [
    '_("', '_(u"', '_(U"', "_(", '")', '"', ")", "(", "_", "u", "\\", '\\"', "\\\\", "\\n",
    "\\u00e9", "\\ud800", "\\ud83d\\ude00", "\\x41", "\\/", "abc", " ", "\t", "\x01", "é", "日本",
    "😀", "\u2028", "\x0c", "\n", "\r\n", "\r", "N_", "C_(", '", "', '_("a\n")', '\r")',
]

sources = st.lists(st.sampled_from(FRAGMENTS), max_size=40).map("".join)


def fresh_pattern():
    """A pattern object equal to the start-up one but not the same object."""
    re.purge()
    pattern = re.compile(qel_i18n._the_pattern.pattern)
    assert pattern is not qel_i18n._the_pattern
    return pattern


def wrapped_loads(text):
    return json.loads(text)


class Text(str):
    """A str the module does not take for a plain one: its rows are sorted and written by the
    host."""


def loads_to_text(text):
    return Text(json.loads(text))


MODES = {
    "as bound": {},
    "decoder gives str subclasses": {"_load_str": lambda: loads_to_text},
    "pattern rebound": {"_the_pattern": fresh_pattern},
    "decoder rebound": {"_load_str": lambda: wrapped_loads},
    "both rebound": {"_the_pattern": fresh_pattern, "_load_str": lambda: wrapped_loads},
}


def outcome(action):
    try:
        return ("ok", action())
    except Exception as exc:
        return ("error", type(exc), str(exc), getattr(exc, "__notes__", None))


def in_mode(mode, action):
    saved = {name: getattr(qel_i18n, name) for name in MODES[mode]}
    for name, make in MODES[mode].items():
        setattr(qel_i18n, name, make())
    try:
        return outcome(action)
    finally:
        for name, value in saved.items():
            setattr(qel_i18n, name, value)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=sources)
def test_scans_agree(tmp_path, text):
    path = tmp_path / "source.py"
    path.write_bytes(text.encode("utf8", "surrogatepass"))

    def scan():
        cache = {}
        result = outcome(lambda: qel_i18n._parse_one_file(str(path), cache))
        return result, cache

    results = {mode: in_mode(mode, scan) for mode in MODES}
    reference = results["both rebound"]
    for mode, result in results.items():
        assert result == reference, mode


# Long sources: runs of one character of each width, marked messages and line ends, long
# enough to span the text layer's chunks, with an undecodable byte at a random place or none.
runs = st.tuples(st.sampled_from(["x", "é", "日", "😀", '_("m") ', '_("日\\n")', "\n", "\r\n", "\r"]),
                 st.integers(1, 3000)).map(lambda run: run[0] * run[1])


@st.composite
def long_sources(draw):
    data = "".join(draw(st.lists(st.one_of(st.sampled_from(FRAGMENTS), runs), max_size=16)))
    data = data.encode("utf8")
    cut = draw(st.none() | st.integers(0, len(data)))
    return data if cut is None else data[:cut] + b"\xff" + data[cut:]


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=long_sources())
def test_long_scans_agree_into_a_callers_cache(tmp_path, data):
    """Also the entries a decoding error leaves in a cache the caller passed, and its note."""
    path = tmp_path / "source.py"
    path.write_bytes(data)

    def scan():
        cache = {("kept", "entry"): [False, ["kept", "entry"]]}
        return outcome(lambda: qel_i18n._parse_one_file(str(path), cache)), cache

    results = {mode: in_mode(mode, scan) for mode in MODES}
    for mode, result in results.items():
        assert result == results["both rebound"], mode


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(texts=st.lists(sources, min_size=1, max_size=3))
def test_written_files_agree(tmp_path, texts):
    names = []
    for i, text in enumerate(texts):
        path = tmp_path / f"s{i}.py"
        path.write_bytes(text.encode("utf8", "surrogatepass"))
        names.append(str(path))
    catalogue = tmp_path / "m.csv"

    def run():
        if catalogue.exists():
            os.remove(catalogue)
        result = outcome(lambda: qel_i18n.parse(str(catalogue), *names))
        return result, catalogue.read_bytes() if catalogue.exists() else None

    results = {mode: in_mode(mode, run) for mode in MODES}
    reference = results["both rebound"]
    for mode, result in results.items():
        assert result == reference, mode


@pytest.mark.parametrize("mode", list(MODES))
def test_modes_do_rebind(mode):
    seen = {}
    in_mode(mode, lambda: seen.update(pattern=qel_i18n._the_pattern, loads=qel_i18n._load_str))
    assert (seen["pattern"] is not qel_i18n._the_pattern) == ("_the_pattern" in MODES[mode])
    assert (seen["loads"] is not qel_i18n._load_str) == ("_load_str" in MODES[mode])


cells = st.text(alphabet=[",", '"', "\r", "\n", " ", "a", "b", "é", "日", "😀", "\t", "\x00"],
                max_size=5)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(header=st.lists(cells, max_size=4),
       rows=st.lists(st.lists(cells, min_size=2, max_size=4), max_size=30),
       sources=st.lists(st.sampled_from(['_("a")', '_("b")', '_(",")', '_("\\"")']), max_size=6))
def test_native_writing_agrees_with_the_host(tmp_path, header, rows, sources):
    import csv

    source = tmp_path / "a.py"
    source.write_text("\n".join(sources) + "\n", encoding="utf8")
    catalogue, excess = tmp_path / "m.csv", tmp_path / "m-excess.csv"
    # Some rows take the scanned positions, so that both output files get rows.
    rows = [[str(source) + f": {i % 3 + 1:04}", *row[1:]] if i % 2 else row
            for i, row in enumerate(rows)]

    def run():
        for path in (catalogue, excess):
            if path.exists():
                path.unlink()
        with open(catalogue, "w", newline="", encoding="utf8") as file:
            writer = csv.writer(file)
            writer.writerow(header)
            writer.writerows(rows)
        result = outcome(lambda: qel_i18n.parse(str(catalogue), str(source)))
        return result, [p.read_bytes() if p.exists() else None for p in (catalogue, excess)]

    def text_cells(which):
        """A reader whose rows numbered `which(i)` (the header is 0) have cells of a str
        subclass."""
        return lambda file: ([Text(cell) for cell in row] if which(i) else row
                             for i, row in enumerate(csv.reader(file)))

    native = run()
    try:
        qel_i18n._csv_reader = text_cells(lambda i: True)  # the host writes every row
        hosted = run()
        qel_i18n._csv_reader = text_cells(lambda i: i % 3 == 2)  # and goes on from the first
        mixed = run()
    finally:
        qel_i18n._csv_reader = csv.reader
    assert native == hosted == mixed
