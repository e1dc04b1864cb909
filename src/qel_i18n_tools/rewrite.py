"""`qel-i18n rewrite`: converts files that use the standard gettext module with the module's
`replace_gettext`, and says which it changed."""

from __future__ import annotations

import argparse

import qel_i18n


def _contents(path: str) -> bytes:
    with open(path, "rb") as file:
        return file.read()


HELP = "convert files from the gettext module to qel_i18n"

EXAMPLES = """\
  qel-i18n rewrite app.py lib/*.py
"""
FINDINGS = ""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "files", nargs="+", metavar="FILE", help="a Python source file to rewrite in place"
    )


def run(args: argparse.Namespace) -> int:
    changed = 0
    for path in args.files:
        before = _contents(path)
        qel_i18n.replace_gettext(path)
        if _contents(path) != before:
            print(f"rewrote {path}")
            changed += 1
    print(f"{changed} of {len(args.files)} file(s) rewritten")
    return 0
