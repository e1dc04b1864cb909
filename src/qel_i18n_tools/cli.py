"""The command line of `qel-i18n`: assembles the verbs' arguments, fills in what the project's
settings give, runs the verb, and turns an expected failure into one line on standard error
and exit status 2; any other error is a fault of the tools, shown with its traceback."""

from __future__ import annotations

import argparse
import contextlib
import importlib.metadata
import io
import os
import sys
import textwrap
import traceback
from collections.abc import Sequence
from typing import Protocol, TextIO

from qel_i18n_tools import (
    add_lang,
    check,
    fill,
    po_export,
    po_import,
    rename_lang,
    rewrite,
    settings,
    stats,
    update,
    xlsx_export,
    xlsx_import,
)
from qel_i18n_tools.catalogue import printable, read_catalogue, read_excess, refuse_output
from qel_i18n_tools.errors import describe, is_expected
from qel_i18n_tools.lock import LOCK_WAIT, catalogue_lock

PROG = "qel-i18n"


class Verb(Protocol):
    """A verb's module: its one-line help, its arguments and what it runs."""

    HELP: str
    EXAMPLES: str  # indented command lines, one a line
    FINDINGS: str  # what exit status 1 means; empty for a verb that has none

    def add_arguments(self, parser: argparse.ArgumentParser) -> None: ...

    def run(self, args: argparse.Namespace) -> int: ...


VERBS: dict[str, Verb] = {
    "update": update,
    "fill": fill,
    "check": check,
    "stats": stats,
    "add-lang": add_lang,
    "rename-lang": rename_lang,
    "rewrite": rewrite,
    "export-po": po_export,
    "import-po": po_import,
    "export-xlsx": xlsx_export,
    "import-xlsx": xlsx_import,
}


def version() -> str:
    try:
        return importlib.metadata.version("qel_i18n")
    except importlib.metadata.PackageNotFoundError:  # run from a source tree
        return "unknown (not installed)"


def epilog(verb: Verb) -> str:
    """The end of a verb's help: examples, and what its exit statuses mean."""
    statuses = [("0", "success")]
    if verb.FINDINGS:
        statuses.append(("1", verb.FINDINGS))
    statuses.append(("2", "an error, told in one line on standard error"))
    lines = [
        textwrap.fill(text, 78, initial_indent=f"  {code}  ", subsequent_indent=" " * 5)
        for code, text in statuses
    ]
    return f"examples:\n{verb.EXAMPLES}\nexit status:\n" + "\n".join(lines)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Tools for a qel_i18n catalogue: extract, fill, check, count.",
        epilog="`qel-i18n VERB --help` tells more of each verb. The [tool.qel-i18n] table of "
        "the project's pyproject.toml gives the defaults of the options.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
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
    verbs = parser.add_subparsers(
        dest="verb", required=True, metavar="VERB", help="what to do (each has its --help)"
    )
    for name, verb in VERBS.items():
        sub = verbs.add_parser(
            name,
            parents=[common],
            help=verb.HELP,
            description=verb.HELP[:1].upper() + verb.HELP[1:] + ".",
            epilog=epilog(verb),
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        verb.add_arguments(sub)
        sub.set_defaults(run=verb.run)
    return parser


# The verbs that write, and so hold the catalogue's lock (unless they only report).
CATALOGUE_WRITERS = {"update", "fill", "add-lang", "rename-lang", "import-po", "import-xlsx"}
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
        project = settings.find(os.getcwd())
        folder: contextlib.AbstractContextManager[None] = contextlib.nullcontext()
        settings.complete(args, project)
        if args.verb == "update":
            # Run from the project's root with names as it reaches them, normalised: the
            # positions the update writes are the names of the sources as given.
            args.catalogue = settings.from_root(project.root, args.catalogue)
            args.paths = [settings.from_root(project.root, name) for name in args.paths]
            folder = settings.working_directory(project.root)
        if getattr(args, "output", None):
            refuse_output(args.output, args.catalogue)
        with folder, _lock(args):
            _read_strictly(args)
            status: int = args.run(args)
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep the interpreter's final
        # flush of standard output from failing again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as error:
        if not is_expected(error):
            traceback.print_exc()
            print(
                f"{PROG}: error: an unexpected {describe(error)}; this is a fault of qel-i18n, "
                "please report it with the traceback above",
                file=sys.stderr,
            )
            return 2
        if args.traceback:
            traceback.print_exc()
        print(f"{PROG}: error: {describe(error)}", file=sys.stderr)
        return 2
    return status
