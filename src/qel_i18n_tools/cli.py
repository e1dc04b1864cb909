"""The command line of `qel-i18n`: parses the arguments, runs the verb, and turns an expected
failure into one line on standard error and exit status 2."""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
import traceback
from collections.abc import Sequence
from typing import TextIO

from qel_i18n_tools import (
    add_lang,
    check,
    fill,
    po_export,
    po_import,
    rewrite,
    stats,
    update,
    xlsx_export,
    xlsx_import,
)
from qel_i18n_tools.catalogue import printable, read_catalogue, read_excess, refuse_output
from qel_i18n_tools.errors import describe
from qel_i18n_tools.lock import LOCK_WAIT, catalogue_lock

PROG = "qel-i18n"


def _percent(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0.0 <= value <= 100.0:
        raise argparse.ArgumentTypeError(f"not a percentage from 0 to 100: {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Tools for a qel_i18n catalogue: extract, fill, check, count."
    )
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--traceback", action="store_true", help="show the traceback of an error")
    common.add_argument(
        "--lock-wait",
        type=float,
        default=LOCK_WAIT,
        metavar="SECONDS",
        help="how long a verb that writes waits for another run's lock on the catalogue "
        f"(default {LOCK_WAIT:g})",
    )
    verbs = parser.add_subparsers(dest="verb", required=True, metavar="VERB")

    def verb(name: str, runner: object, help: str) -> argparse.ArgumentParser:
        sub = verbs.add_parser(name, parents=[common], help=help, description=help)
        sub.set_defaults(run=runner)
        return sub

    def languages(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "--lang",
            action="append",
            metavar="L",
            help="a language by index (1 for column 2) or header label; every one by default",
        )

    sub = verb("update", update.run, "bring a catalogue in step with the sources")
    sub.add_argument("catalogue", metavar="CATALOGUE")
    sub.add_argument("paths", nargs="+", metavar="PATH", help="a directory or a source file")
    sub.add_argument(
        "-e",
        "--extension",
        dest="suffixes",
        action="append",
        metavar="SUFFIX",
        help="scan a directory's files ending in SUFFIX (default .py; may be repeated)",
    )
    sub.add_argument("--flat", action="store_true", help="do not scan subdirectories")
    sub.add_argument(
        "-k",
        "--keyword",
        dest="keywords",
        action="append",
        metavar="NAME",
        help="a name whose calls mark a message, beside _ and N_ (may be repeated)",
    )
    sub.add_argument(
        "--scanner",
        choices=["python", "module"],
        default="python",
        help="python (default): read .py files as Python reads them, every literal marked call; "
        "module: the module's own scanner, parse_directory's exact catalogue",
    )
    sub.add_argument(
        "-v", "--verbose", action="store_true", help="list the marked calls that were skipped"
    )
    sub.add_argument(
        "--fill",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="carry translations over to new rows of the same message (default)",
    )
    sub.add_argument(
        "--check", action="store_true", help="write nothing; exit 1 when the files would change"
    )
    sub.add_argument(
        "--force",
        action="store_true",
        help="write even when more than half of the catalogue's rows would move to the excess file",
    )

    sub = verb("fill", fill.run, "carry translations over to empty rows of the same message")
    sub.add_argument("catalogue", metavar="CATALOGUE")
    languages(sub)
    sub.add_argument("--no-excess", action="store_true", help="leave the excess file's rows out")
    sub.add_argument(
        "--prune-excess",
        action="store_true",
        help="remove excess rows whose translations are all in the catalogue",
    )
    sub.add_argument("--dry-run", action="store_true", help="report, write nothing")

    sub = verb("check", check.run, "find translations that break placeholders or disagree")
    sub.add_argument("catalogue", metavar="CATALOGUE")
    languages(sub)
    sub.add_argument(
        "--min-percent",
        type=_percent,
        metavar="P",
        help="fail when a language has fewer than P percent of its messages translated",
    )
    sub.add_argument("--format", choices=["text", "json", "github"], default="text")

    sub = verb("stats", stats.run, "how complete each language is")
    sub.add_argument("catalogue", metavar="CATALOGUE")
    sub.add_argument("--json", action="store_true", help="print one JSON object")

    sub = verb("add-lang", add_lang.run, "add a language column and print its index")
    sub.add_argument("catalogue", metavar="CATALOGUE")
    sub.add_argument("label", metavar="LABEL")

    sub = verb("rewrite", rewrite.run, "convert files from the gettext module to qel_i18n")
    sub.add_argument("files", nargs="+", metavar="FILE")

    sub = verb("export-po", po_export.run, "write one language as a PO file for translation tools")
    sub.add_argument("catalogue", metavar="CATALOGUE")
    sub.add_argument(
        "--lang", required=True, metavar="L", help="the language, by index or header label"
    )
    sub.add_argument("-o", "--output", required=True, metavar="FILE.po")
    sub.add_argument(
        "--template", action="store_true", help="write a template (POT): every msgstr empty"
    )

    sub = verb("import-po", po_import.run, "take the translations of a PO file into a language")
    sub.add_argument("catalogue", metavar="CATALOGUE")
    sub.add_argument("po_file", metavar="FILE.po")
    sub.add_argument(
        "--lang", required=True, metavar="L", help="the language, by index or header label"
    )
    sub.add_argument("--fuzzy", action="store_true", help="take fuzzy translations too")
    sub.add_argument(
        "--overwrite", action="store_true", help="replace translations, not only fill empty cells"
    )
    sub.add_argument(
        "--partial", action="store_true", help="import the entries that match despite findings"
    )
    sub.add_argument(
        "--force",
        action="store_true",
        help="import even when the file's Language differs from the column's label",
    )
    sub.add_argument("--dry-run", action="store_true", help="report, write nothing")

    sub = verb("export-xlsx", xlsx_export.run, "write the catalogue as a workbook for translators")
    sub.add_argument("catalogue", metavar="CATALOGUE")
    sub.add_argument("-o", "--output", required=True, metavar="FILE.xlsx")

    sub = verb("import-xlsx", xlsx_import.run, "take the translations of a workbook back")
    sub.add_argument("catalogue", metavar="CATALOGUE")
    sub.add_argument("workbook", metavar="FILE.xlsx")
    sub.add_argument(
        "--partial", action="store_true", help="import the rows that match despite findings"
    )
    sub.add_argument("--dry-run", action="store_true", help="report, write nothing")
    return parser


# The verbs that write, and so hold the catalogue's lock (unless they only report).
CATALOGUE_WRITERS = {"update", "fill", "add-lang", "import-po", "import-xlsx"}
WRITING = CATALOGUE_WRITERS | {"export-po", "export-xlsx"}


def _lock(args: argparse.Namespace) -> contextlib.AbstractContextManager[None]:
    if args.verb not in WRITING or getattr(args, "dry_run", False) or getattr(args, "check", False):
        return contextlib.nullcontext()
    # The exports only read the catalogue: the lock keeps them from reading it halfway
    # through another run's update, where the directory allows one.
    return catalogue_lock(args.catalogue, args.lock_wait, required=args.verb in CATALOGUE_WRITERS)


def _read_strictly(args: argparse.Namespace) -> None:
    """Every verb first reads the catalogue and its excess file strictly, so that a slip the
    module's loader would take wrongly (or fail at) stops it before anything else. `update`
    does it itself, once it knows its sources."""
    catalogue = getattr(args, "catalogue", None)
    if catalogue is None or args.verb == "update":
        return
    read_catalogue(catalogue)
    read_excess(catalogue)


class _Escaping(io.TextIOBase):
    """A text stream that escapes the control characters of what is written to it (but line
    feeds and tabs), so that no text from a file can move the cursor or recolour a terminal."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def write(self, text: str) -> int:
        self.stream.write(printable(text, keep="\n\t"))
        return len(text)

    def flush(self) -> None:
        self.stream.flush()

    def fileno(self) -> int:
        return self.stream.fileno()


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (the process's arguments by default); returns the exit
    status: 0 clean, 1 findings, 2 an error."""
    streams = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = _Escaping(sys.stdout), _Escaping(sys.stderr)
    try:
        return _main(argv)
    finally:
        sys.stdout, sys.stderr = streams


def _main(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        if getattr(args, "output", None):
            refuse_output(args.output, args.catalogue)
        with _lock(args):
            _read_strictly(args)
            status: int = args.run(args)
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the interpreter's final
        # flush of standard output from failing again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as error:
        if args.traceback:
            traceback.print_exc()
        print(f"{PROG}: error: {describe(error)}", file=sys.stderr)
        return 2
    return status
