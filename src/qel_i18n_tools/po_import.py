"""`qel-i18n import-po`: takes the translations of a PO file into one language column, filling
the cells of every row of each message, and reports the entries the catalogue cannot hold."""

from __future__ import annotations

import argparse
import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from qel_i18n_tools.catalogue import quote, read_catalogue, resolve_languages, write_rows
from qel_i18n_tools.errors import ToolError, missing_library

if TYPE_CHECKING:
    import polib


@dataclass
class ImportResult:
    cells: int = 0  # cells given a new value
    messages: int = 0  # entries that changed at least one cell
    untranslated: int = 0
    fuzzy: int = 0  # fuzzy entries skipped
    obsolete: int = 0
    reports: list[str] = field(default_factory=list)


def read_po(path: str) -> polib.POFile:
    """Parses a PO file; its errors name the file (and the line, where the parser gives it)."""
    try:
        import polib
    except ImportError as error:
        raise missing_library("polib", "po") from error
    with open(path, "rb") as file:  # an unreadable file fails here, with its name
        raw = file.read()
    try:
        return polib.pofile(path)
    except UnicodeDecodeError as error:
        # The parser decodes line by line; decode the whole file to find the line.
        line = 0
        try:
            raw.decode(error.encoding)
        except UnicodeDecodeError as whole:
            line = raw.count(b"\n", 0, whole.start) + 1
        raise ToolError(f"{path}:{line}: {error}") from error
    except (OSError, ValueError) as error:
        # "Syntax error in po file NAME(line N): what", as the parser words it
        found = re.search(r"\(line (\d+)\)(?:: (.*))?", str(error))
        if not found:
            raise ToolError(f"{path}: {error}") from error
        detail = f": {found[2]}" if found[2] else ""
        raise ToolError(f"{path}:{found[1]}: syntax error{detail}") from error


def take_entries(
    path: str, po_path: str, language: str, *, fuzzy: bool, overwrite: bool, dry_run: bool
) -> ImportResult:
    """Fills the language's cells from the PO file's entries and writes the catalogue unless
    `dry_run`. A cell is set only when its value changes, so every other cell keeps its bytes."""
    catalogue = read_catalogue(path)
    index = resolve_languages(catalogue, [language])[0]
    po = read_po(po_path)
    groups = catalogue.by_message()
    result = ImportResult()
    for entry in po:
        where = f"{po_path}:{entry.linenum}"
        if entry.obsolete or entry.msgid == "" and entry.msgctxt is None:
            result.obsolete += entry.obsolete
            continue
        if not (entry.msgstr or any(entry.msgstr_plural.values())):
            result.untranslated += 1
            continue
        if entry.fuzzy and not fuzzy:
            result.fuzzy += 1
            continue
        if entry.msgctxt is not None:
            result.reports.append(
                f"{where}: {quote(entry.msgid)} has the context {quote(entry.msgctxt)}, "
                "which the catalogue cannot hold"
            )
        elif entry.msgid_plural:
            result.reports.append(
                f"{where}: {quote(entry.msgid)} has plural forms, which the catalogue cannot hold"
            )
        elif entry.msgid not in groups:
            result.reports.append(f"{where}: {quote(entry.msgid)} is not in {path}")
        else:
            changed = 0
            for row in groups[entry.msgid]:
                current = row.translation(index)
                if (overwrite or not current) and current != entry.msgstr:
                    row.set_translation(index, entry.msgstr)
                    changed += 1
            result.cells += changed
            result.messages += changed > 0
    if result.cells and not dry_run:
        write_rows(path, catalogue.header, (row.cells for row in catalogue.rows))
    return result


def run(args: argparse.Namespace) -> int:
    result = take_entries(
        args.catalogue,
        args.po_file,
        args.lang,
        fuzzy=args.fuzzy,
        overwrite=args.overwrite,
        dry_run=args.dry_run,
    )
    for report in result.reports:
        print(report)
    would = "would be " if args.dry_run else ""
    print(
        f"{args.catalogue}: {result.cells} cell(s) of {result.messages} message(s) {would}"
        f"filled from {args.po_file}; skipped {result.untranslated} untranslated, "
        f"{result.fuzzy} fuzzy, {result.obsolete} obsolete; {len(result.reports)} entry(ies) "
        "not taken"
    )
    return 1 if result.reports else 0
