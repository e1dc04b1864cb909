"""`qel-i18n import-xlsx`: takes the translation cells of a workbook written by `export-xlsx`
back into the catalogue rows with the same position and message, and refuses rows and cells a
spreadsheet has changed into something else."""

from __future__ import annotations

import argparse
import zipfile
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from qel_i18n_tools.catalogue import Row, quote, read_catalogue, write_rows
from qel_i18n_tools.errors import ToolError, missing_library
from qel_i18n_tools.xlsx_export import CATALOGUE_SHEET, unescape

if TYPE_CHECKING:
    from openpyxl.cell.cell import Cell, MergedCell
    from openpyxl.worksheet.worksheet import Worksheet

_TYPES = {"n": "a number", "d": "a date", "f": "a formula", "b": "a truth value", "e": "an error"}


@dataclass
class ImportResult:
    rows: int = 0  # workbook rows matched to a catalogue row
    cells: int = 0  # catalogue cells given a new value
    findings: list[str] = field(default_factory=list)


def _sheet(path: str) -> Worksheet:
    try:
        from openpyxl import load_workbook
    except ImportError as error:
        raise missing_library("openpyxl", "xlsx") from error
    with open(path, "rb") as file:  # a file, so that any name will do, not only *.xlsx
        try:
            book = load_workbook(file)
        except (zipfile.BadZipFile, KeyError, ValueError) as error:
            raise ToolError(f"{path}: not a workbook qel-i18n can read ({error})") from error
    if CATALOGUE_SHEET not in book.sheetnames:
        raise ToolError(f"{path}: the workbook has no sheet named {CATALOGUE_SHEET!r}")
    return book[CATALOGUE_SHEET]


def _text(cell: Cell | MergedCell, where: str, findings: list[str]) -> str | None:
    """A cell's text (empty for an empty cell); None, with a finding, when a spreadsheet has
    made it something other than text."""
    value: Any = cell.value
    if value is None or value == "":
        return ""
    if cell.data_type in ("s", "inlineStr") and isinstance(value, str):
        return unescape(value)
    kind = _TYPES.get(cell.data_type, f"of type {cell.data_type!r}")
    findings.append(f"{where}{cell.coordinate}: the cell holds {kind} ({value!r}), not text")
    return None


def _line_ends(text: str) -> str:
    """A text with its line ends as some spreadsheets save them (LibreOffice drops a carriage
    return before a line feed, and turns one alone into a line feed): such a change is the
    spreadsheet's, not the translator's."""
    return text.replace("\r\n", "\n").replace("\r", "\n")


def import_xlsx(path: str, workbook: str, *, partial: bool, dry_run: bool) -> ImportResult:
    """Matches each workbook row to the catalogue row with its position and message and takes
    its translation cells. With findings nothing is written, unless `partial`."""
    catalogue = read_catalogue(path)
    sheet = _sheet(workbook)
    where = f"{workbook}: sheet {CATALOGUE_SHEET}, cell "
    result = ImportResult()
    rows = list(sheet.iter_rows())
    header = [_text(cell, where, []) or "" for cell in rows[0]] if rows else []
    while header and not header[-1]:
        header.pop()
    if header != catalogue.header:
        raise ToolError(
            f"{workbook}: the header row {header} is not the header of {path}, "
            f"{catalogue.header}"
        )
    waiting: dict[tuple[str, str], list[Row]] = {}
    for row in catalogue.rows:
        waiting.setdefault((row.position, _line_ends(row.message)), []).append(row)
    changes: list[tuple[Row, int, str]] = []
    for cells in rows[1:]:
        texts = [_text(cell, where, result.findings) for cell in cells]
        if not any(texts) and None not in texts:
            continue  # a row left blank
        position, message = (texts + ["", ""])[:2]
        if position is None or message is None:
            continue  # the finding is made: a position or message that is no text matches nothing
        matches = waiting.get((position, _line_ends(message)))
        if not matches:
            result.findings.append(
                f"{workbook}: sheet {CATALOGUE_SHEET}, row {cells[0].row}: no row of {path} has "
                f"the position {quote(position)} and the message {quote(message)}"
            )
            continue
        target = matches.pop(0)
        result.rows += 1
        for column in range(2, len(texts)):  # columns past the sheet's are left alone
            text = texts[column]
            current = target.translation(column - 1)
            if text is not None and text != current and text != _line_ends(current):
                changes.append((target, column - 1, text))
    if result.findings and not partial:
        return result
    for target, language, text in changes:
        target.set_translation(language, text)
    result.cells = len(changes)
    if changes and not dry_run:
        write_rows(path, catalogue.header, (row.cells for row in catalogue.rows))
    return result


def run(args: argparse.Namespace) -> int:
    result = import_xlsx(args.catalogue, args.workbook, partial=args.partial, dry_run=args.dry_run)
    for finding in result.findings:
        print(finding)
    if result.findings and not args.partial:
        print(f"{args.catalogue}: nothing imported; {len(result.findings)} finding(s)")
        return 1
    would = "would be " if args.dry_run else ""
    print(
        f"{args.catalogue}: {result.cells} cell(s) {would}changed from {result.rows} row(s) of "
        f"{args.workbook}; {len(result.findings)} finding(s)"
    )
    return 1 if result.findings else 0
