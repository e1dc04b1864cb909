"""`qel-i18n update`: brings a catalogue in step with the sources through the module's own
update, run by the tools' extension module against a namespace of its own, with the Python
sources read by the tools' extractor; carries translations over to the rows of messages that
moved, and says what changed. With `--check` it works on copies and only says whether anything
would change."""

from __future__ import annotations

import argparse
import json
import os
import shutil
import tempfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from qel_i18n_tools import _native
from qel_i18n_tools.arguments import add_catalogue, add_format
from qel_i18n_tools.catalogue import (
    excess_name,
    quote,
    read_catalogue,
    remember_absent,
    write_bytes,
)
from qel_i18n_tools.errors import ToolError, describe
from qel_i18n_tools.fill import FillResult, conflict_records, fill_file, summary
from qel_i18n_tools.safe_write import (
    ensure_writable,
    remove_stale_temporaries,
    temporary_prefix,
)

KEYWORDS = ("_", "N_")
PYTHON_SUFFIX = ".py"

Key = tuple[str, str]  # (position, message)
Scanner = Callable[[str, dict[Key, list[object]]], None]


def sources(paths: Sequence[str], suffixes: Sequence[str], recursive: bool) -> list[str]:
    """The source files of every PATH, in order, each once: a directory's files ending in each
    suffix, found and named as `parse_directory` finds them, a file as given."""
    names: list[str] = []
    for path in paths:
        if os.path.isdir(path):
            for suffix in suffixes:
                names += _native.directory_sources(path, suffix, recursive)
        elif os.path.exists(path):
            names.append(path)
        else:
            raise ToolError(f"{path}: no such file or directory")
    return list(dict.fromkeys(names))


@dataclass
class Extraction:
    """How the sources are read: the scanner for `parse`, and what the extractor skipped."""

    scanner: Scanner | None  # None: the module's scanner for every file
    extractor: _native.Extractor | None = None

    @classmethod
    def choose(cls, kind: str, keywords: Sequence[str], names: Sequence[str]) -> Extraction:
        """The extractor for Python sources (names ending in .py) unless `kind` is "module";
        the module's scanner for the others."""
        if kind == "module":
            return cls(None)
        try:
            extractor = _native.Extractor(tuple(dict.fromkeys([*KEYWORDS, *keywords])))
        except ValueError as error:
            raise ToolError(f"--keyword: {error}") from None
        if all(name.endswith(PYTHON_SUFFIX) for name in names):
            return cls(extractor, extractor)
        module_scanner: Scanner = _native._parse_one_file

        def scan(name: str, cache: dict[Key, list[object]]) -> None:
            (extractor if name.endswith(PYTHON_SUFFIX) else module_scanner)(name, cache)

        return cls(scan, extractor)

    def skipped(self) -> list[tuple[str, int, str, str]]:
        """The marked calls the catalogue cannot take: (file, line, marker, why)."""
        return [] if self.extractor is None else self.extractor.skipped


@dataclass
class Change:
    """What an update did to the catalogue, from its rows before and the cache after."""

    files: int
    rows: int  # (position, message) pairs found: the catalogue's rows after the update
    messages: int  # distinct messages among them
    new: int
    kept: int
    moved: int  # old rows no longer found, gone to the excess file
    lost: int = 0  # those of them whose message no source marks any more
    skipped: list[tuple[str, int, str, str]] = field(default_factory=list)
    messages_new: list[str] = field(default_factory=list)
    messages_moved: list[str] = field(default_factory=list)
    messages_gone: list[str] = field(default_factory=list)


def _positions(keys: Sequence[Key]) -> dict[str, set[str]]:
    """The positions of each message, messages in the order of `keys`."""
    places: dict[str, set[str]] = {}
    for position, message in keys:
        places.setdefault(message, set()).add(position)
    return places


def compare(before: list[Key], after: list[Key], files: int, listing: bool) -> Change:
    """Counts what changed; with `listing`, also names the messages new, moved and gone."""
    kept = len(set(before).intersection(after)) if before else 0
    change = Change(
        files=files,
        rows=len(after),
        messages=len({message for _, message in after}),
        new=len(after) - kept,
        kept=kept,
        moved=len(before) - kept,
    )
    found = {message for _, message in after}
    change.lost = sum(1 for _, message in before if message not in found)
    if listing:
        old, new = _positions(before), _positions(after)
        change.messages_new = [message for message in new if message not in old]
        change.messages_moved = [
            message for message in new if old.get(message, new[message]) != new[message]
        ]
        change.messages_gone = [message for message in old if message not in new]
    return change


def update_file(
    catalogue: str, names: Sequence[str], extraction: Extraction, listing: bool = False
) -> Change:
    """Runs the update on `catalogue` (a working copy: the files are checked before it) and
    says what it changed."""
    before: list[Key] = []
    if os.path.exists(catalogue):
        before = [(row.position, row.message) for row in read_catalogue(catalogue).rows]
    try:
        cache = _native.update(catalogue, names, extraction.scanner)
    except SyntaxError as error:  # a source Python cannot decode
        raise ToolError(f"{error.filename}:{error.lineno}: {error.msg}") from None
    after = [key for key, entry in cache.items() if entry[0]]
    change = compare(before, after, len(names), listing)
    change.skipped = extraction.skipped()
    return change


def same_bytes(first: str, second: str) -> bool:
    if not os.path.exists(first) or not os.path.exists(second):
        return os.path.exists(first) == os.path.exists(second)
    with open(first, "rb") as one, open(second, "rb") as other:
        return one.read() == other.read()


def report_skipped(change: Change, verbose: bool) -> None:
    if verbose:
        for name, line, marker, why in change.skipped:
            print(f"{name}:{line}: {marker}(): {why}")
    if change.skipped:
        hint = "" if verbose else "; -v lists them"
        print(
            f"{len(change.skipped)} marked call(s) skipped: not a literal message, or a marker "
            f"the catalogue cannot hold{hint}"
        )


def _renamed(error: Exception, copies: Sequence[tuple[str, str]]) -> ToolError:
    """An error of the module's update on the working copies, naming the user's files."""
    text = describe(error)
    for original, duplicate in copies:
        text = text.replace(duplicate, original)
    return ToolError(text)


def update(
    catalogue: str, names: Sequence[str], extraction: Extraction, args: argparse.Namespace
) -> int:
    """The update, run on copies in a temporary directory after the catalogue and its excess
    file were read strictly. With `--check` it says whether the files would change; otherwise
    the files that changed replace the user's, the excess file first, so that a run stopped
    between the two leaves a row in both files rather than in neither. Nothing is written when
    the update would move more than half of the rows to the excess file, unless `--force`."""
    excess = excess_name(catalogue)
    files = [(catalogue, "catalogue.csv"), (excess, "catalogue-excess.csv")]
    for original, _ in files:
        if os.path.exists(original):
            read_catalogue(original)
        else:
            remember_absent(original)
        if not args.check:
            ensure_writable(original)
    remove_stale_temporaries(tempfile.gettempdir(), module=False)  # copies of killed runs
    with tempfile.TemporaryDirectory(prefix=temporary_prefix(), suffix=".tmp") as directory:
        copies = [(original, os.path.join(directory, base)) for original, base in files]
        for original, duplicate in copies:
            if os.path.exists(original):
                shutil.copyfile(original, duplicate)
        copy = copies[0][1]
        as_json = args.format == "json"
        try:
            change = update_file(copy, names, extraction, listing=args.check or as_json)
            filled = None
            if args.fill:
                filled = fill_file(copy, report=not (args.check or as_json), name=catalogue)
        except (ToolError, OSError, ValueError) as error:
            raise _renamed(error, copies) from None
        changed = [
            original for original, duplicate in copies if not same_bytes(original, duplicate)
        ]
        # Rows whose message moved to another line are found again: only messages no source
        # marks any more tell of a wrong path.
        too_many = not (args.check or args.force) and 2 * change.lost > change.kept + change.moved
        written = not (args.check or too_many)
        if written:
            for original, duplicate in reversed(copies):
                if original in changed:
                    with open(duplicate, "rb") as file:
                        write_bytes(original, file.read())
        if as_json:  # while the copy is there for the lookup that conflicts name
            record = outcome(catalogue, change, filled, changed, written, too_many)
            print(json.dumps(record, ensure_ascii=False, indent=2))
    if not written:
        status = 1 if too_many or changed else 0
        if not as_json:
            report_check(catalogue, change, filled, changed, args.verbose, too_many)
        return status
    if not as_json:
        report_skipped(change, args.verbose)
        print(
            f"{change.files} file(s) scanned, {change.rows} marked message(s) found "
            f"({change.messages} distinct)"
        )
        print(
            f"{catalogue}: {change.new} row(s) new, {change.kept} kept, "
            f"{change.moved} moved to {excess}"
        )
        if filled is not None:
            print(summary(catalogue, filled, prune=False, dry_run=False))
    return 1 if filled and filled.conflicts else 0


def outcome(
    catalogue: str,
    change: Change,
    filled: FillResult | None,
    changed: list[str],
    written: bool,
    too_many: bool,
) -> dict[str, object]:
    """What `--format json` prints: the update's figures, the messages new, moved and gone,
    the marked calls skipped, the files changed (or that would change), and the conflicts."""
    return {
        "catalogue": catalogue,
        "excess": excess_name(catalogue),
        "files_scanned": change.files,
        "rows": change.rows,
        "messages": change.messages,
        "rows_new": change.new,
        "rows_kept": change.kept,
        "rows_moved": change.moved,
        "messages_new": change.messages_new,
        "messages_moved": change.messages_moved,
        "messages_gone": change.messages_gone,
        "skipped": [
            {"file": name, "line": line, "marker": marker, "reason": why}
            for name, line, marker, why in change.skipped
        ],
        "changed": changed,
        "written": written and bool(changed),
        "refused": too_many,
        "filled": filled.filled if filled else 0,
        "conflicts": conflict_records(filled) if filled else [],
    }


def report_check(
    catalogue: str,
    change: Change,
    filled: FillResult | None,
    changed: list[str],
    verbose: bool,
    too_many: bool,
) -> None:
    """Says what the update would change, or that nothing would."""
    report_skipped(change, verbose)
    if too_many:
        print(
            f"{catalogue}: {change.lost} of its {change.kept + change.moved} rows have messages "
            f"no source marks any more, and would move to {excess_name(catalogue)}; nothing "
            "written. Are the paths right? --force writes all the same"
        )
        return
    if not changed:
        print(f"{catalogue} is up to date ({change.files} files, {change.rows} messages)")
        return
    print(f"{' and '.join(changed)} would change:")
    for kind, messages in (
        ("new", change.messages_new),
        ("moved", change.messages_moved),
        ("gone", change.messages_gone),
    ):
        for message in messages:
            print(f"    {kind}: {quote(message)}")
    if filled and filled.filled:
        print(f"    {filled.filled} translation(s) would be carried over")
    elif not (change.messages_new or change.messages_moved or change.messages_gone):
        print("    the rows would be rewritten in the order and form the update writes")


HELP = "bring a catalogue in step with the sources"

EXAMPLES = """\
  qel-i18n update                        # the project's settings
  qel-i18n update locale/messages.csv src -k gettext_lazy
  qel-i18n update --check                # in CI, or as a pre-commit hook
"""
FINDINGS = "with --check, the files would change; otherwise, the update would move more than half of the rows to the excess file (nothing written), or rows of one message have translations in conflict"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_catalogue(parser, optional=True)
    parser.add_argument(
        "paths",
        nargs="*",
        metavar="PATH",
        help="a directory or a source file; the `sources` setting by default",
    )
    parser.add_argument(
        "-e",
        "--extension",
        dest="suffixes",
        action="append",
        metavar="SUFFIX",
        help="scan a directory's files ending in SUFFIX (may be repeated; the `suffixes` "
        "setting, else .py, by default)",
    )
    parser.add_argument("--flat", action="store_true", help="do not scan subdirectories")
    parser.add_argument(
        "-k",
        "--keyword",
        dest="keywords",
        action="append",
        metavar="NAME",
        help="a name whose calls mark a message, beside _ and N_ (may be repeated; the "
        "`keywords` setting by default)",
    )
    parser.add_argument(
        "--scanner",
        choices=["python", "module"],
        help="python (the default, unless the `scanner` setting says otherwise): read .py files "
        "as Python reads them, every literal marked call; module: the module's own scanner, "
        "parse_directory's exact catalogue",
    )
    parser.add_argument(
        "-v", "--verbose", action="store_true", help="list the marked calls that were skipped"
    )
    parser.add_argument(
        "--fill",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="carry translations over to new rows of the same message (default)",
    )
    parser.add_argument(
        "--check", action="store_true", help="write nothing; exit 1 when the files would change"
    )
    parser.add_argument(
        "--force",
        action="store_true",
        help="write even when more than half of the catalogue's rows have messages no source "
        "marks any more",
    )
    add_format(parser)


def refuse_written_sources(names: Sequence[str], targets: Sequence[str]) -> None:
    """Refuses a source that is one of the files the update writes, by any name or link: one
    stat of each source, compared with the targets that exist; a source that cannot be
    examined (a link to a target not made yet) by its real path."""
    files = set()
    for target in targets:
        try:
            status = os.stat(target)
        except OSError:
            continue
        files.add((status.st_dev, status.st_ino))
    for name in names:
        try:
            status = os.stat(name)
            written = (status.st_dev, status.st_ino) in files
        except OSError:
            written = any(os.path.realpath(name) == os.path.realpath(t) for t in targets)
        if written:
            raise ToolError(f"{name}: is a source to scan and the file the update writes")


def run(args: argparse.Namespace) -> int:
    suffixes = args.suffixes or [PYTHON_SUFFIX]
    names = sources(args.paths, suffixes, not args.flat)
    if not names:
        raise ToolError(
            f"no source file in {', '.join(args.paths)} (files ending in {', '.join(suffixes)}); "
            "nothing written"
        )
    refuse_written_sources(names, (args.catalogue, excess_name(args.catalogue)))
    extraction = Extraction.choose(args.scanner or "python", args.keywords or [], names)
    return update(args.catalogue, names, extraction, args)
