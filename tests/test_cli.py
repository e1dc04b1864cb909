"""The command's frame: which errors are one line and which are faults shown with their
traceback, the project's settings, the pre-commit hooks, labelled languages, help and output."""

import json
import os
from pathlib import Path

import pytest

from qel_i18n_tools import main, stats
from test_tools import csv_text, rows_of, run


def noted(error, note):
    error.add_note(note)
    return error


ERRORS = [
    (OSError(2, "No such file or directory", "m.csv"), True),
    (UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"), True),
    (noted(StopIteration(), "while reading the catalogue file 'm.csv': it is empty"), True),
    (
        noted(
            IndexError("list index out of range"),
            "while reading the catalogue file 'm.csv', line 2",
        ),
        True,
    ),
    (noted(ValueError("bad"), "while scanning 'a.py', line 2, marked text '\\\\q'"), True),
    (ValueError("bad"), False),
    (KeyError("x"), False),
    (AttributeError("'NoneType' object has no attribute 'x'"), False),
]


@pytest.mark.parametrize("error, expected", ERRORS)
def test_only_expected_errors_are_one_line(tmp_path, capsys, monkeypatch, error, expected):
    def fail(args):
        raise error

    monkeypatch.setattr(stats, "run", fail)
    Path(tmp_path / "m.csv").write_text("Position,0,1\r\n")
    status, out, err = run(capsys, "stats", tmp_path / "m.csv")
    assert (status, out) == (2, "")
    assert err.count("\n") == 1 if expected else "Traceback (most recent call last)" in err
    assert err.splitlines()[-1].startswith("qel-i18n: error: ")
    assert ("please report it" in err) != expected
