"""The one exception type of the tools: an expected failure, with a message that names the file
(and the line) it concerns, and errors told in one line."""

from __future__ import annotations


class ToolError(Exception):
    """A failure the command reports in one line and exits 2 for."""


def missing_library(library: str, extra: str) -> ToolError:
    """The error of a verb whose optional library is not installed: it names the extra that
    installs it."""
    return ToolError(
        f"this command needs the {library} library, which the extra [{extra}] installs: "
        f"pip install 'qel_i18n[{extra}]'"
    )


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
