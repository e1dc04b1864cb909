"""The one exception type of the tools: an expected failure, with a message that names the file
(and the line) it concerns."""


class ToolError(Exception):
    """A failure the command reports in one line and exits 2 for."""


def missing_library(library: str, extra: str) -> ToolError:
    """The error of a verb whose optional library is not installed: it names the extra that
    installs it."""
    return ToolError(
        f"this command needs the {library} library, which the extra [{extra}] installs: "
        f"pip install 'qel_i18n[{extra}]'"
    )
