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
    "😀", "\u2028", "\x0c", "\n", "\r\n", "\r", "N_", "C_(", '", "',
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


MODES = {
    "as bound": {},
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
