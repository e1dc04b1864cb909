"""The one exception type of the tools: an expected failure, with a message that names the file
(and the line) it concerns; which other errors are expected; errors told in one line; and the
optional libraries a verb needs."""

from __future__ import annotations

import csv
import importlib
from types import ModuleType


class ToolError(Exception):
    """A failure the command reports in one line and exits 2 for."""


def require(module: str, extra: str) -> ModuleType:
    """The optional library `module` (a dotted name will do), or an error naming the extra
    that installs it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        library = module.partition(".")[0]
        raise ToolError(
            f"this command needs the {library} library, which the extra [{extra}] installs: "
            f"pip install 'qel_i18n[{extra}]'"
        ) from error


# What the system and the file formats raise for a file: their texts name the file.
_ALWAYS_EXPECTED = (ToolError, OSError, csv.Error, UnicodeError, SyntaxError)
# What the module raises for a catalogue or a source it cannot read, with a note naming the
# file ("while reading the catalogue file 'm.csv', line 3", "while scanning 'a.py', ..."); the
# same types without a note are faults of the tools.
_EXPECTED_WITH_NOTE = (ValueError, TypeError, StopIteration, IndexError)


def is_expected(error: BaseException) -> bool:
    """Whether an error is one of the failures the command reports in one line, rather than a
    fault to report with its traceback."""
    if isinstance(error, _ALWAYS_EXPECTED):
        return True
    return isinstance(error, _EXPECTED_WITH_NOTE) and bool(getattr(error, "__notes__", None))


def describe(error: BaseException) -> str:
    """An error in one line: its type (unless it is ours or the system's, whose texts name the
    file), its text and its notes, which name the file and the line of the module's errors."""
    text = str(error)
    if not isinstance(error, (ToolError, OSError)):
        text = f"{type(error).__name__}: {text}" if text else type(error).__name__
    notes = getattr(error, "__notes__", None) or []
    if notes:
        text += " (" + "; ".join(str(note) for note in notes) + ")"
    return " ".join(text.splitlines())
