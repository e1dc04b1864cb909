"""`qel-i18n fill`: gives an empty cell the translation that the other rows of the same message
(and the excess file's) agree on, and lists the messages where they do not agree."""

from __future__ import annotations

import argparse
import json
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from qel_i18n_tools.arguments import add_catalogue, add_dry_run, add_format, add_languages
from qel_i18n_tools.catalogue import (
    CatalogueFile,
    Row,
    excess_name,
    language_label,
    language_name,
    languages_of,
    quote,
    read_catalogue,
    read_excess,
    resolve_languages,
    shown_translations,
    write_rows,
)


@dataclass
class Conflict:
    """A message whose empty cells of one language have several candidate translations."""

    message: str
    language: int
    empty: list[Row]
    candidates: dict[str, list[str]]  # translation -> where it is found (file:line)


@dataclass
class FillResult:
    filled: int = 0  # cells given a translation
    conflicts: list[Conflict] = field(default_factory=list)
    pruned: list[Row] = field(default_factory=list)  # excess rows no longer needed
    catalogue: CatalogueFile | None = None  # the catalogue filled


def fill_rows(
    catalogue: CatalogueFile, excess: CatalogueFile | None, languages: Sequence[int]
) -> FillResult:
    """Fills the catalogue's rows in memory (an exact message match only: a guessed translation
    would be shown to users, since the catalogue has no mark for one)."""
    result = FillResult()
    old = excess.by_message() if excess else {}
    for message, rows in catalogue.by_message().items():
        for language in languages:
            empty = [row for row in rows if not row.translation(language)]
            if not empty:
                continue
            candidates: dict[str, list[str]] = {}
            sources = [(catalogue, row) for row in rows]
            sources += [(excess, row) for row in old.get(message, []) if excess]
            for source, row in sources:
                if text := row.translation(language):
                    candidates.setdefault(text, []).append(source.where(row))
            if len(candidates) == 1:
                (text,) = candidates
                for row in empty:
                    row.set_translation(language, text)
                result.filled += len(empty)
            elif candidates:
                result.conflicts.append(Conflict(message, language, empty, candidates))
    return result


def prunable(catalogue: CatalogueFile, excess: CatalogueFile) -> list[Row]:
    """The excess rows all of whose translations are in a catalogue row of their message."""
    current = catalogue.by_message()
    return [row for row in excess.rows if _kept_in(row, current.get(row.message))]


def _kept_in(row: Row, rows: list[Row] | None) -> bool:
    """True when every translation of an excess row is in a catalogue row of its message."""
    if not rows:
        return False
    return all(
        any(other.translation(column - 1) == text for other in rows)
        for column, text in enumerate(row.cells[2:], start=2)
        if text
    )


def conflict_records(result: FillResult) -> list[dict[str, Any]]:
    """Each conflict: where its first empty row is, its language and message, the candidates
    with their rows, the empty rows, and the translation the lookup shows today (None: the
    message itself)."""
    catalogue = result.catalogue
    if catalogue is None:
        return []
    records: list[dict[str, Any]] = []
    for language in sorted({conflict.language for conflict in result.conflicts}):
        mine = [conflict for conflict in result.conflicts if conflict.language == language]
        shown = shown_translations(catalogue.path, language, [c.message for c in mine])
        for conflict in mine:
            records.append(
                {
                    "file": catalogue.name,
                    "line": conflict.empty[0].line,
                    "language": language,
                    "label": language_label(catalogue, language),
                    "message": conflict.message,
                    "candidates": [
                        {"text": text, "at": places} for text, places in conflict.candidates.items()
                    ],
                    "empty_at": [catalogue.where(row) for row in conflict.empty],
                    "shown": shown[conflict.message],
                }
            )
    return records


def report_conflicts(result: FillResult) -> None:
    """Prints each conflict (`conflict_records`)."""
    for record in conflict_records(result):
        name = language_name(record["language"], record["label"])
        print(
            f"{record['file']}:{record['line']}: conflict in {name} for "
            f"{quote(record['message'])}: {len(record['candidates'])} different translations, "
            "nothing filled"
        )
        for candidate in record["candidates"]:
            print(f"    {quote(candidate['text'])} at {', '.join(candidate['at'])}")
        print(f"    empty at {', '.join(record['empty_at'])}")
        today = record["shown"]
        print(f"    the lookup shows {quote(today) if today is not None else 'no translation'}")


def fill_file(
    path: str,
    languages: Sequence[str] | None = None,
    *,
    use_excess: bool = True,
    prune: bool = False,
    dry_run: bool = False,
    report: bool = True,
    name: str | None = None,
) -> FillResult:
    """Fills a catalogue file and, with `prune`, drops the excess rows it no longer needs;
    writes nothing on a dry run. The catalogue is written first, so that pruning never removes
    a translation the catalogue does not hold yet. `name` is the catalogue as reports call
    it."""
    catalogue = read_catalogue(path, name=name)
    chosen = resolve_languages(catalogue, languages)
    excess = read_excess(path, name=name) if use_excess or prune else None
    if excess and use_excess and not languages:  # the excess rows may hold further columns
        chosen += [language for language in languages_of(excess) if language not in chosen]
    result = fill_rows(catalogue, excess if use_excess else None, chosen)
    result.catalogue = catalogue
    if prune and excess:
        result.pruned = prunable(catalogue, excess)
    if report:
        report_conflicts(result)
    if not dry_run:
        if result.filled:
            write_rows(path, catalogue.header, (row.cells for row in catalogue.rows), name=name)
        if excess and result.pruned:
            going = {id(row) for row in result.pruned}
            kept = [row.cells for row in excess.rows if id(row) not in going]
            write_rows(excess.path, excess.header, kept, name=excess.name)
    return result


HELP = "carry translations over to empty rows of the same message"

EXAMPLES = """\
  qel-i18n fill --dry-run
  qel-i18n fill locale/messages.csv --lang fr --prune-excess
"""
FINDINGS = "rows of one message have different translations (their empty cells stay empty)"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_catalogue(parser, optional=True)
    add_languages(parser)
    parser.add_argument("--no-excess", action="store_true", help="leave the excess file's rows out")
    parser.add_argument(
        "--prune-excess",
        action="store_true",
        help="remove excess rows whose translations are all in the catalogue",
    )
    add_dry_run(parser)
    add_format(parser)


def run(args: argparse.Namespace) -> int:
    """The verb: fills, reports, and exits 1 when a conflict was found."""
    as_json = args.format == "json"
    result = fill_file(
        args.catalogue,
        args.lang,
        use_excess=not args.no_excess,
        prune=args.prune_excess,
        dry_run=args.dry_run,
        report=not as_json,
    )
    if as_json:
        record = {
            "catalogue": args.catalogue,
            "dry_run": args.dry_run,
            "filled": result.filled,
            "conflicts": conflict_records(result),
            "excess": excess_name(args.catalogue),
            "pruned": [row.line for row in result.pruned],
        }
        print(json.dumps(record, ensure_ascii=False, indent=2))
        return 1 if result.conflicts else 0
    print(summary(args.catalogue, result, prune=args.prune_excess, dry_run=args.dry_run))
    return 1 if result.conflicts else 0


def summary(catalogue: str, result: FillResult, *, prune: bool, dry_run: bool) -> str:
    would = "would be " if dry_run else ""
    text = (
        f"{catalogue}: {result.filled} translation(s) {would}carried over, "
        f"{len(result.conflicts)} conflict(s)"
    )
    if prune:
        text += f"; {excess_name(catalogue)}: {len(result.pruned)} row(s) {would}pruned"
    return text
