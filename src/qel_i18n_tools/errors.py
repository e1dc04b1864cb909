"""The one exception type of the tools: an expected failure, with a message that names the file
(and the line) it concerns."""


class ToolError(Exception):
    """A failure the command reports in one line and exits 2 for."""
