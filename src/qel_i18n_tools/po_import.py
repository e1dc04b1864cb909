"""`qel-i18n import-po`: takes the translations of a PO file into one language column, filling
the cells of every row of each message. The file is read more strictly than polib reads it
(`po_syntax`); the entries the catalogue cannot hold are findings, and with findings nothing is
written unless --partial."""

from __future__ import annotations

import argparse
import codecs
import json
import os
import re
import tempfile
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from qel_i18n_tools.arguments import add_catalogue, add_dry_run, add_format, add_language
from qel_i18n_tools.catalogue import (
    Row,
    language_label,
    language_name,
    quote,
    read_catalogue,
    resolve_languages,
    write_rows,
)
from qel_i18n_tools.errors import ToolError, require
from qel_i18n_tools.po_syntax import Layout, check_lines, header_layout

if TYPE_CHECKING:
    import polib


# Why an entry is not taken, as reports count them; the first four are findings, which stop
# the import unless --partial.
REASONS = {
    "duplicate": "repeated in the file (no copy is taken)",
    "context": "with a context, which the catalogue cannot hold",
    "plural": "with plural forms, which the catalogue cannot hold",
    "unknown": "whose message is not in the catalogue",
    "untranslated": "untranslated",
    "fuzzy": "fuzzy (--fuzzy takes them)",
    "obsolete": "obsolete",
}
FINDING_REASONS = ("duplicate", "context", "plural", "unknown")


@dataclass
class Skipped:
    """An entry not taken: why (a key of REASONS), its line, its msgid and what a report says."""

    reason: str
    line: int
    msgid: str
    text: str


@dataclass
class PoImportResult:
    cells: int = 0  # cells given a new value
    messages: int = 0  # entries that changed at least one cell
    skipped: list[Skipped] = field(default_factory=list)

    def by_reason(self) -> dict[str, list[Skipped]]:
        """The entries skipped, grouped by reason in the order of REASONS."""
        return {
            reason: entries
            for reason in REASONS
            if (entries := [one for one in self.skipped if one.reason == reason])
        }

    @property
    def findings(self) -> int:
        return sum(1 for one in self.skipped if one.reason in FINDING_REASONS)


MO_MAGIC = (b"\xde\x12\x04\x95", b"\x95\x04\x12\xde")  # 0x950412de in either byte order


def header_charset(path: str, layout: Layout) -> str:
    """The charset the header's Content-Type names, as msgfmt reads it; UTF-8 when it names
    none, or one Python does not know, as polib does."""
    import polib

    for line in polib.unescape("".join(layout.header)).split("\n"):
        name, colon, value = line.partition(":")
        found = re.search(r"charset=([^\s;]+)", value)
        if colon and name.strip().lower() == "content-type" and found:
            try:
                probe = '\n"\\#msgid'.encode(found[1])
            except (LookupError, UnicodeError):
                break
            if probe != b'\n"\\#msgid':
                raise ToolError(
                    f"{path}:{layout.header_line}: the charset {quote(found[1])} does not write ASCII "
                    "as ASCII, which a PO file needs"
                )
            return found[1]
    return "utf-8"


def read_po(path: str) -> tuple[polib.POFile, Layout]:
    """Parses a PO file once its lines pass `check_lines`; its errors name the file and the
    line. polib reads the very text checked, from a copy in UTF-8."""
    polib = require("polib", "po")
    with open(path, "rb") as file:  # an unreadable file fails here, with its name
        raw = file.read()
    if raw[:4] in MO_MAGIC:
        raise ToolError(f"{path}: a compiled MO file, not a PO file; msgunfmt turns it into one")
    # The charset is in the header entry: find it in the bytes read as Latin-1, where every
    # charset a PO file may use has its ASCII where ASCII has it.
    latin = raw.removeprefix(codecs.BOM_UTF8).decode("latin-1")
    charset = header_charset(path, header_layout(path, latin))
    try:
        text = raw.decode(charset)
    except UnicodeDecodeError as error:
        line = raw.count(b"\n", 0, error.start) + 1
        raise ToolError(f"{path}:{line}: {error}") from error
    layout = check_lines(path, text)
    with tempfile.TemporaryDirectory() as folder:
        copy = os.path.join(folder, "checked.po")
        with open(copy, "w", encoding="utf8", newline="") as file:
            file.write(text)
        try:
            return polib.pofile(copy, encoding="utf8"), layout
        except (OSError, ValueError) as error:
            # "Syntax error in po file NAME(line N): what", as the parser words it
            found = re.search(r"\(line (\d+)\)(?:: (.*))?", str(error))
            if not found:
                raise ToolError(f"{path}: {error}") from error
            detail = f": {found[2]}" if found[2] else ""
            raise ToolError(f"{path}:{found[1]}: syntax error{detail}") from error


def other_language(label: str, named: str) -> bool:
    """Whether a column's label and a PO file's Language name different languages: both are
    given, neither is a number (a column's index stands for no language; export-po writes it
    for an unlabelled column), and they differ in more than case and "-" for "_". A region
    differs from a bare language, since nothing says which region a bare code means: `pt`
    (Portugal's) is not `pt_BR`, and `fr` may be France's or Canada's."""
    if not label or not named or label.isdigit() or named.isdigit():
        return False
    return label.lower().replace("-", "_") != named.lower().replace("-", "_")


def take_entries(
    path: str,
    po_path: str,
    language: str,
    *,
    fuzzy: bool,
    overwrite: bool,
    partial: bool = False,
    force: bool = False,
    dry_run: bool = False,
) -> PoImportResult:
    """Fills the language's cells from the PO file's entries and writes the catalogue unless
    `dry_run`, or unless there are findings and not `partial`. A cell is set only when its value
    changes, so every other cell keeps its bytes."""
    catalogue = read_catalogue(path)
    index = resolve_languages(catalogue, [language])[0]
    po, layout = read_po(po_path)
    label = language_label(catalogue, index)
    named = po.metadata.get("Language", "").strip()
    if other_language(label, named) and not force:
        raise ToolError(
            f"{po_path}:{layout.header_line}: the file's Language is {quote(named)}, not the "
            f"label of {language_name(index, label)}; --force takes it all the same"
        )
    groups = catalogue.by_message()
    result = PoImportResult()
    first: dict[tuple[str | None, str], int] = {}  # the line of each live entry's key
    doubled: set[tuple[str | None, str]] = set()
    for entry in po:
        key = (entry.msgctxt, entry.msgid)
        if not entry.obsolete and key in first:
            doubled.add(key)
            context = (
                f" with the context {quote(entry.msgctxt)}" if entry.msgctxt is not None else ""
            )
            text = f"{quote(entry.msgid)} is also at line {first[key]}{context}"
            line = entry.linenum or layout.first_entry
            result.skipped.append(Skipped("duplicate", line, entry.msgid, text))
        elif not entry.obsolete:
            first[key] = entry.linenum or layout.first_entry
    changes: list[tuple[Row, str]] = []
    for entry in po:
        line = entry.linenum or layout.first_entry

        def skip(reason: str, text: str) -> None:
            result.skipped.append(Skipped(reason, line, entry.msgid, f"{quote(entry.msgid)}{text}"))

        if entry.msgid == "" and entry.msgctxt is None and not entry.obsolete:
            continue  # the header
        if entry.obsolete:
            skip("obsolete", " is obsolete")
        elif not (entry.msgstr or any(entry.msgstr_plural.values())):
            skip("untranslated", " is untranslated")
        elif entry.fuzzy and not fuzzy:
            skip("fuzzy", " is fuzzy")
        elif (entry.msgctxt, entry.msgid) in doubled:
            continue  # skipped above
        elif entry.msgctxt is not None:
            skip(
                "context",
                f" has the context {quote(entry.msgctxt)}, which the catalogue cannot hold",
            )
        elif entry.msgid_plural:
            skip("plural", " has plural forms, which the catalogue cannot hold")
        elif entry.msgid not in groups:
            skip("unknown", f" is not in {path}")
        else:
            changed = 0
            for row in groups[entry.msgid]:
                current = row.translation(index)
                if (overwrite or not current) and current != entry.msgstr:
                    changes.append((row, entry.msgstr))
                    changed += 1
            result.messages += changed > 0
    if result.findings and not partial:
        result.messages = 0
        return result
    for row, text in changes:
        row.set_translation(index, text)
    result.cells = len(changes)
    if changes and not dry_run:
        write_rows(path, catalogue.header, (row.cells for row in catalogue.rows))
    return result


HELP = "take the translations of a PO file into a language"

EXAMPLES = """\
  qel-i18n import-po locale/messages.csv fr.po --lang fr --dry-run -v
  qel-i18n import-po locale/messages.csv fr.po --lang fr --partial
"""
FINDINGS = "entries the catalogue cannot take (nothing imported unless --partial)"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_catalogue(parser)
    parser.add_argument("po_file", metavar="FILE.po", help="the PO file to take translations from")
    add_language(parser)
    parser.add_argument("--fuzzy", action="store_true", help="take fuzzy translations too")
    parser.add_argument(
        "--overwrite", action="store_true", help="replace translations, not only fill empty cells"
    )
    parser.add_argument(
        "--partial", action="store_true", help="import the entries that match despite findings"
    )
    parser.add_argument(
        "--force",
        action="store_true",
        help="import even when the file's Language differs from the column's label",
    )
    add_dry_run(parser)
    output = parser.add_mutually_exclusive_group()
    output.add_argument(
        "-v", "--verbose", action="store_true", help="list the entries skipped, by reason"
    )
    output.add_argument(
        "-q", "--quiet", action="store_true", help="print only the summary line (and errors)"
    )
    add_format(parser)


def run(args: argparse.Namespace) -> int:
    result = take_entries(
        args.catalogue,
        args.po_file,
        args.lang,
        fuzzy=args.fuzzy,
        overwrite=args.overwrite,
        partial=args.partial,
        force=args.force,
        dry_run=args.dry_run,
    )
    imported = not result.findings or args.partial
    groups = result.by_reason()
    if args.format == "json":
        record = {
            "catalogue": args.catalogue,
            "po_file": args.po_file,
            "dry_run": args.dry_run,
            "imported": imported,
            "cells": result.cells,
            "messages": result.messages,
            "findings": result.findings,
            "skipped": {
                reason: [{"line": one.line, "msgid": one.msgid} for one in entries]
                for reason, entries in groups.items()
            },
        }
        print(json.dumps(record, ensure_ascii=False, indent=2))
        return 1 if result.findings else 0
    if groups and not args.quiet:
        # The findings' entries, which stop the import, always; the others' with -v.
        print(f"skipped, by reason{'' if args.verbose else ' (-v lists every entry)'}:")
        for reason, entries in groups.items():
            finding = reason in FINDING_REASONS
            print(f"    {len(entries)} {REASONS[reason]}{' [finding]' if finding else ''}")
            if args.verbose or finding:
                for one in entries:
                    print(f"        {args.po_file}:{one.line}: {one.text}")
    if not imported:
        print(
            f"{args.catalogue}: nothing imported; {result.findings} finding(s) in "
            f"{args.po_file}, {len(result.skipped)} entries skipped (--partial imports the rest)"
        )
        return 1
    skipped = f"{len(result.skipped)} entries skipped, {result.findings} finding(s)"
    would = "would be " if args.dry_run else ""
    print(
        f"{args.catalogue}: {result.cells} cell(s) of {result.messages} message(s) {would}"
        f"filled from {args.po_file}; {skipped}"
    )
    return 1 if result.findings else 0
