"""`qel-i18n rewrite`: converts files that use the standard gettext module with the module's
`replace_gettext`, says which it changed, and lists the uses of the gettext module it leaves
(`gettext.bindtextdomain(...)` and the like) with what takes their place."""

from __future__ import annotations

import argparse
import io
import tokenize
from dataclasses import dataclass

import qel_i18n

# What takes the place of each attribute of the gettext module in a program that uses
# qel_i18n; a name not listed has no counterpart.
REPLACEMENTS = {
    "bindtextdomain": "set qel_i18n.i18n.filename to the catalogue file (a CSV file)",
    "textdomain": "nothing needed: the catalogue is one file; remove the call",
    "translation": "bind _ = qel_i18n.gettext and set qel_i18n.i18n.language_index to the "
    "language's column",
    "install": "bind _ = qel_i18n.gettext in each module (nothing goes into builtins)",
    "gettext": "qel_i18n.gettext",
    "dgettext": "qel_i18n.gettext: one catalogue, no domains",
    "ngettext": "no plural support: choose between messages, each marked with _(), in code",
    "dngettext": "no plural support: choose between messages, each marked with _(), in code",
    "pgettext": "no context support: make the message itself distinct",
    "npgettext": "no plural or context support: distinct messages chosen in code",
    "dpgettext": "no context support: make the message itself distinct",
    "dnpgettext": "no plural or context support: distinct messages chosen in code",
    "find": "the catalogue is the file qel_i18n.i18n.filename names",
}
NO_COUNTERPART = "no counterpart in qel_i18n"


@dataclass
class Use:
    """A use of the gettext module left in a file: its line, what it is, what replaces it."""

    line: int
    use: str
    replacement: str


def uses_left(path: str) -> list[Use]:
    """The uses of the gettext module in a Python source, found with the tokenizer, so that
    comments and strings do not count: `gettext.NAME` (not `x.gettext.NAME`), and
    `from gettext import ...`, which the rewrite does not convert."""
    with open(path, "rb") as file:
        tokens = [
            token
            for token in tokenize.tokenize(io.BytesIO(file.read()).readline)
            if token.type not in (tokenize.NL, tokenize.COMMENT)
        ]
    found: list[Use] = []
    for at, token in enumerate(tokens):
        if token.type != tokenize.NAME or token.string != "gettext":
            continue
        before = tokens[at - 1] if at else None
        after = tokens[at + 1 : at + 3]
        if before is not None and before.type == tokenize.NAME and before.string == "from":
            if after and after[0].string == "import":
                found.append(
                    Use(
                        token.start[0],
                        "from gettext import ...",
                        "the rewrite converts only `import gettext`: import qel_i18n and use "
                        "qel_i18n.gettext",
                    )
                )
            continue
        if before is not None and before.string == ".":
            continue  # an attribute of something else
        if len(after) == 2 and after[0].string == "." and after[1].type == tokenize.NAME:
            name = after[1].string
            called = at + 3 < len(tokens) and tokens[at + 3].string == "("
            found.append(
                Use(
                    token.start[0],
                    f"gettext.{name}{'(...)' if called else ''}",
                    REPLACEMENTS.get(name, NO_COUNTERPART),
                )
            )
    return found


def _contents(path: str) -> bytes:
    with open(path, "rb") as file:
        return file.read()


HELP = "convert files from the gettext module to qel_i18n"

EXAMPLES = """\
  qel-i18n rewrite app.py lib/*.py
"""
FINDINGS = (
    "uses of the gettext module are left to convert by hand (listed, with what replaces each)"
)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "files", nargs="+", metavar="FILE", help="a Python source file to rewrite in place"
    )


def run(args: argparse.Namespace) -> int:
    changed = left = unread = 0
    for path in args.files:
        before = _contents(path)
        qel_i18n.replace_gettext(path)
        if _contents(path) != before:
            print(f"rewrote {path}")
            changed += 1
        try:
            uses = uses_left(path)
        except (tokenize.TokenError, SyntaxError) as error:
            line = error.lineno if isinstance(error, SyntaxError) else error.args[1][0]
            print(f"{path}:{line}: not read as Python ({error.args[0]}); look for gettext by hand")
            unread += 1
            continue
        for use in uses:
            print(f"{path}:{use.line}: {use.use}: {use.replacement}")
        left += len(uses)
    summary = f"{changed} of {len(args.files)} file(s) rewritten"
    if left:
        summary += f"; {left} use(s) of the gettext module left to convert by hand"
    if unread:
        summary += f"; {unread} file(s) not read as Python"
    print(summary)
    return 1 if left or unread else 0
