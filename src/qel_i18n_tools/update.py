"""`qel-i18n update`: brings a catalogue in step with the sources through one call of the
module's `parse`, carries translations over to the rows of messages that moved, and says what
changed; with `--check` it works on copies and only says whether anything would."""

from __future__ import annotations

import argparse
import os
import shutil
import tempfile
from collections.abc import Sequence
from dataclasses import dataclass

import qel_i18n

from qel_i18n_tools.catalogue import CatalogueFile, excess_name, quote, read_catalogue
from qel_i18n_tools.errors import ToolError
from qel_i18n_tools.fill import fill_file, summary


def directory_sources(directory: str, suffix: str, recursive: bool) -> list[str]:
    """The files `parse_directory(..., directory, suffix, recursive)` hands to `parse`, found
    and named by that very function: `parse` is looked up in the module when it is called, so
    for the length of this call it is bound to a function that collects the names."""
    found: list[str] = []

    def collect(csv_filename: str, *filenames: str) -> None:
        found.extend(filenames)

    namespace = vars(qel_i18n)
    saved = namespace["parse"]
    namespace["parse"] = collect
    try:
        qel_i18n.parse_directory("", directory, suffix, recursive)
    finally:
        namespace["parse"] = saved
    return found


def sources(paths: Sequence[str], suffixes: Sequence[str], recursive: bool) -> list[str]:
    """The source files of every PATH, in order, each once: a directory's files ending in each
    suffix, a file as given."""
    names: list[str] = []
    for path in paths:
        if os.path.isdir(path):
            for suffix in suffixes:
                names += directory_sources(path, suffix, recursive)
        elif os.path.exists(path):
            names.append(path)
        else:
            raise ToolError(f"{path}: no such file or directory")
    return list(dict.fromkeys(names))


@dataclass
class Change:
    """What an update did to the catalogue, from its rows before and after."""

    files: int
    rows: int  # (position, message) pairs found: the catalogue's rows after the update
    messages: int  # distinct messages among them
    new: int
    kept: int
    moved: int  # old rows no longer found, gone to the excess file
    messages_new: list[str]
    messages_moved: list[str]
    messages_gone: list[str]


def _positions(catalogue: CatalogueFile | None) -> dict[str, set[str]]:
    """The positions of each message, messages in the order of the file."""
    places: dict[str, set[str]] = {}
    for row in catalogue.rows if catalogue else []:
        places.setdefault(row.message, set()).add(row.position)
    return places


def compare(before: CatalogueFile | None, after: CatalogueFile, files: int) -> Change:
    old_rows = before.rows if before else []
    kept = len(
        {(row.position, row.message) for row in old_rows}
        & {(row.position, row.message) for row in after.rows}
    )
    old, new = _positions(before), _positions(after)
    return Change(
        files=files,
        rows=len(after.rows),
        messages=len(new),
        new=len(after.rows) - kept,
        kept=kept,
        moved=len(old_rows) - kept,
        messages_new=[message for message in new if message not in old],
        messages_moved=[
            message for message in new if old.get(message, new[message]) != new[message]
        ],
        messages_gone=[message for message in old if message not in new],
    )


def update_file(catalogue: str, names: Sequence[str]) -> Change:
    """Runs the update on `catalogue` and says what it changed."""
    before = read_catalogue(catalogue) if os.path.exists(catalogue) else None
    if os.path.exists(excess_name(catalogue)):
        read_catalogue(excess_name(catalogue), strict=False)  # an unreadable one stops us here
    qel_i18n.parse(catalogue, *names)
    return compare(before, read_catalogue(catalogue), len(names))


def same_bytes(first: str, second: str) -> bool:
    if not os.path.exists(first) or not os.path.exists(second):
        return os.path.exists(first) == os.path.exists(second)
    with open(first, "rb") as one, open(second, "rb") as other:
        return one.read() == other.read()


def check(catalogue: str, names: Sequence[str], fill: bool) -> int:
    """The update run on copies in a temporary directory; 1 when it would change a file."""
    with tempfile.TemporaryDirectory(prefix="qel-i18n-") as directory:
        copy = os.path.join(directory, "catalogue.csv")
        pairs = [(catalogue, copy), (excess_name(catalogue), excess_name(copy))]
        for (original, duplicate), strict in zip(pairs, (True, False)):
            if os.path.exists(original):
                read_catalogue(original, strict=strict)  # errors name the file, not the copy
                shutil.copyfile(original, duplicate)
        change = update_file(copy, names)
        filled = fill_file(copy, report=False) if fill else None
        changed = [original for original, duplicate in pairs if not same_bytes(original, duplicate)]
    if not changed:
        print(f"{catalogue} is up to date ({change.files} files, {change.rows} messages)")
        return 0
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
    return 1


def run(args: argparse.Namespace) -> int:
    names = sources(args.paths, args.suffixes or [".py"], not args.flat)
    if args.check:
        return check(args.catalogue, names, args.fill)
    change = update_file(args.catalogue, names)
    print(
        f"{change.files} file(s) scanned, {change.rows} marked message(s) found "
        f"({change.messages} distinct)"
    )
    print(
        f"{args.catalogue}: {change.new} row(s) new, {change.kept} kept, "
        f"{change.moved} moved to {excess_name(args.catalogue)}"
    )
    if not args.fill:
        return 0
    filled = fill_file(args.catalogue)
    print(summary(args.catalogue, filled, prune=False, dry_run=False))
    return 1 if filled.conflicts else 0
