"""`qel-i18n import-xlsx`: takes the translation cells of a workbook written by `export-xlsx`
back into the catalogue rows with the same position and message, and refuses rows, cells and
sheets a spreadsheet has changed into something else.

A workbook is read within bounds its catalogue sets: its parts may expand to no more than
`limit_for` bytes, checked before openpyxl opens it, and the sheet's rows are taken as its part
holds them, never filled out to the size the sheet claims or to its last cell. Its XML is parsed
only through defusedxml."""

from __future__ import annotations

import argparse
import bisect
import io
import itertools
import json
import os
import re
import zipfile
import zlib
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from qel_i18n_tools.arguments import add_catalogue, add_dry_run, add_format
from qel_i18n_tools.catalogue import (
    CatalogueFile,
    Row,
    excess_name,
    quote,
    read_catalogue,
    write_rows,
)
from qel_i18n_tools.errors import ToolError, require
from qel_i18n_tools.xlsx_export import CATALOGUE_SHEET, EXCESS_SHEET, unescape

if TYPE_CHECKING:
    from openpyxl.workbook.workbook import Workbook
    from openpyxl.worksheet.cell_range import CellRange

_TYPES = {"n": "a number", "d": "a date", "f": "a formula", "b": "a truth value", "e": "an error"}

# The most a workbook's parts may expand to: a constant for what any workbook holds (styles,
# theme, properties, a small catalogue's rows), and a multiple of the size of the catalogue and
# its excess file, which a workbook holds in some 4 to 25 times their bytes (the most once a
# translator has filled many empty language columns with longer texts). openpyxl's element
# trees take up to some 20 times the XML they are read from.
BASE_LIMIT = 8 << 20
LIMIT_FACTOR = 32
# A spreadsheet's most rows, and most cells in a row.
MAX_ROWS = 1_048_576
MAX_COLUMNS = 16_384

# What openpyxl and the zip reader raise for a file they cannot make sense of. A defusedxml
# refusal is a ValueError, an XML syntax error a SyntaxError.
_UNREADABLE = (
    zipfile.BadZipFile,
    zlib.error,
    EOFError,
    OSError,
    SyntaxError,
    ValueError,
    KeyError,
    IndexError,
    TypeError,
    AttributeError,
    NotImplementedError,
)

# A sheet name that could be taken for the catalogue sheet once case, spaces and punctuation
# are set aside: a copy a spreadsheet made ("catalogue (2)", "Copy of catalogue", "catalogue_2").
_LOOKALIKE = re.compile(rf"(copyof)?{CATALOGUE_SHEET}(copy)?[0-9]*")


@dataclass
class XlsxImportResult:
    rows: int = 0  # workbook rows matched to a catalogue row
    cells: int = 0  # catalogue cells given a new value
    findings: list[str] = field(default_factory=list)


def limit_for(catalogue: str) -> int:
    """The most a workbook's parts may expand to for `catalogue`."""
    size = os.path.getsize(catalogue)
    if os.path.exists(excess_name(catalogue)):
        size += os.path.getsize(excess_name(catalogue))
    return BASE_LIMIT + LIMIT_FACTOR * size


def _require_defusedxml() -> None:
    """Refuses to go on unless openpyxl is installed and parses XML through defusedxml, which
    refuses entity declarations and external references whatever the local expat allows."""
    parses_safely = require("openpyxl.xml", "xlsx").DEFUSEDXML
    require("defusedxml", "xlsx")
    if not parses_safely:
        setting = os.environ.get("OPENPYXL_DEFUSEDXML")
        raise ToolError(
            f"openpyxl does not parse XML through defusedxml here (OPENPYXL_DEFUSEDXML={setting}); "
            "import-xlsx reads a workbook only through it"
        )


def _read_archive(workbook: str, limit: int) -> io.BytesIO:
    """The workbook's bytes, once the sizes its parts declare add up to no more than `limit`.
    The zip reader stops every part at its declared size (and a part that holds more then
    fails its checksum), so no more than `limit` bytes can come out of it."""
    with open(workbook, "rb") as file:  # a file, so that any name will do, not only *.xlsx
        data = file.read(limit + 1)
    if len(data) > limit:
        raise ToolError(f"{workbook}: the file is larger than the {limit:,} bytes read for it")
    buffer = io.BytesIO(data)
    try:
        with zipfile.ZipFile(buffer) as archive:
            expanded = sum(info.file_size for info in archive.infolist())
    except _UNREADABLE as error:
        raise ToolError(f"{workbook}: not a workbook qel-i18n can read ({error})") from error
    if expanded > limit:
        raise ToolError(
            f"{workbook}: the workbook's parts expand to {expanded:,} bytes, more than the "
            f"{limit:,} read for this catalogue"
        )
    return buffer


def _unreadable(workbook: str, buffer: io.BytesIO, error: Exception, part: str = "") -> ToolError:
    """The error for a workbook openpyxl failed on, naming the first XML part that does not
    parse (with the parser openpyxl uses), or else `part` when given."""
    from openpyxl.xml.functions import iterparse

    with zipfile.ZipFile(buffer) as archive:
        for info in archive.infolist():
            if not info.filename.lower().endswith((".xml", ".rels")):
                continue
            try:
                with archive.open(info) as source:
                    for _, element in iterparse(source):
                        element.clear()
            except _UNREADABLE as broken:
                error, part = broken, info.filename
                break
    if str(error).startswith("Unable to read workbook") and isinstance(error.__cause__, Exception):
        error = error.__cause__  # openpyxl's wrapper names no part, and no file for a buffer
    text = " ".join(str(error).splitlines()) or type(error).__name__
    if type(error).__module__.startswith("defusedxml"):
        text = f"refused: the XML declares entities or refers outside the file ({text})"
    where = f"{part}: " if part else "not a workbook qel-i18n can read: "
    return ToolError(f"{workbook}: {where}{text}")


def _text(cell: dict[str, Any], where: str, findings: list[str]) -> str | None:
    """A cell's text (empty for an empty cell); None, with a finding, when a spreadsheet has
    made it something other than text."""
    value: Any = cell["value"]
    if value is None or value == "":
        return ""
    if cell["data_type"] in ("s", "inlineStr") and isinstance(value, str):
        return unescape(value)
    kind = _TYPES.get(cell["data_type"], f"of type {cell['data_type']!r}")
    findings.append(f"{where}{_name(cell)}: the cell holds {kind} ({value!r}), not text")
    return None


def _name(cell: dict[str, Any]) -> str:
    from openpyxl.utils import get_column_letter

    return f"{get_column_letter(cell['column'])}{cell['row']}"


def _width(catalogue: CatalogueFile) -> int:
    """The columns of the catalogue, and of the workbook export-xlsx writes for it."""
    return max([len(catalogue.header)] + [len(row.cells) for row in catalogue.rows])


def _line_ends(text: str) -> str:
    """A text with its line ends as some spreadsheets save them (LibreOffice drops a carriage
    return before a line feed, and turns one alone into a line feed): such a change is the
    spreadsheet's, not the translator's."""
    return text.replace("\r\n", "\n").replace("\r", "\n")


def _first_row(sheet: Any, width: int, workbook: str) -> list[str]:
    """The texts of a sheet's first row up to column `width`, as a header row is compared."""
    if not hasattr(sheet, "_get_source"):
        return []  # a chart sheet
    with sheet._get_source() as source:  # openpyxl reads a whole row at once: bound the rows
        _scan_sheet(source, workbook, sheet._worksheet_path)
    values = next(sheet.iter_rows(max_row=1, max_col=width, values_only=True), ())
    texts = [unescape(value) if isinstance(value, str) else "" for value in values]
    while texts and not texts[-1]:
        texts.pop()
    return texts


def _sheet_findings(book: Workbook, workbook: str, header: list[str]) -> list[str]:
    """A catalogue sheet a spreadsheet does not show, and other sheets a translator could have
    taken for it (by their name, or by their header row): only the catalogue sheet is read."""
    findings = []
    state = book[CATALOGUE_SHEET].sheet_state
    if state != "visible":
        findings.append(
            f"{workbook}: sheet {CATALOGUE_SHEET} is {state}: a spreadsheet does not show it, "
            "so a translator's edits are likely on another sheet"
        )
    for name in book.sheetnames:
        if name in (CATALOGUE_SHEET, EXCESS_SHEET):
            continue
        plain = re.sub(r"[\W_]+", "", name.casefold())
        if (
            _LOOKALIKE.fullmatch(plain)
            or _first_row(book[name], len(header) + 1, workbook) == header
        ):
            findings.append(
                f"{workbook}: sheet {name!r} could be taken for sheet {CATALOGUE_SHEET} (by its "
                f"name or header row); only sheet {CATALOGUE_SHEET} is imported"
            )
    return findings


def _scan_sheet(source: Any, workbook: str, part: str) -> list[CellRange]:
    """Walks a sheet's part holding no more than the open elements, and returns its merged
    cells, which a read-only sheet does not read. Refuses more rows, or more cells in a row,
    than a spreadsheet holds: openpyxl's parser holds a whole row at once (some 300 bytes a
    cell, where the part may spend 4 bytes on one)."""
    from openpyxl.worksheet.cell_range import CellRange
    from openpyxl.xml.constants import SHEET_MAIN_NS
    from openpyxl.xml.functions import iterparse

    row_tag, cell_tag, merge_tag = (
        f"{{{SHEET_MAIN_NS}}}{tag}" for tag in ("row", "c", "mergeCell")
    )
    merges: list[CellRange] = []
    open_elements: list[Any] = []
    rows = cells = 0
    row = ""  # the row being read, as the part numbers it
    for event, element in iterparse(source, events=("start", "end")):
        if event == "start":
            open_elements.append(element)
            if element.tag == row_tag:
                rows, cells, row = rows + 1, 0, element.get("r", str(rows + 1))
                if rows > MAX_ROWS:
                    raise ToolError(f"{workbook}: {part}: more than {MAX_ROWS:,} rows")
            elif element.tag == cell_tag:
                cells += 1
                if cells > MAX_COLUMNS:
                    raise ToolError(
                        f"{workbook}: {part}: row {row} holds more than {MAX_COLUMNS:,} cells"
                    )
            continue
        open_elements.pop()
        if element.tag == merge_tag:
            merges.append(CellRange(element.get("ref")))
        if open_elements:  # done with: its earlier siblings are gone already
            open_elements[-1].remove(element)
    return merges


def _merged_cells(merges: list[CellRange], width: int) -> Callable[[int, int], bool]:
    """Whether a cell (row, column) of the first `width` columns is in one of `merges`: per
    column, the merges' first rows in order and the greatest last row among them so far,
    looked up by bisection."""
    spans: dict[int, list[tuple[int, int]]] = {}
    for merge in merges:
        for column in range(merge.min_col, min(merge.max_col, width) + 1):
            spans.setdefault(column, []).append((merge.min_row, merge.max_row))
    index = {}
    for column, pairs in spans.items():
        pairs.sort()
        highs = itertools.accumulate((high for _, high in pairs), max)
        index[column] = ([low for low, _ in pairs], list(highs))

    def merged(row: int, column: int) -> bool:
        lows, highs = index.get(column, ([], []))
        at = bisect.bisect_right(lows, row)
        return at > 0 and highs[at - 1] >= row

    return merged


def _rows_parser(book: Any, sheet: Any) -> Any:
    """openpyxl's own parser of a read-only sheet's part, which yields the rows the part holds
    with the cells each holds. The read-only sheet's rows would also fill in every row and cell
    missing up to the last one (a million rows of 16,384 cells for one cell at XFD1048576)."""
    from openpyxl.worksheet._reader import WorkSheetParser

    return WorkSheetParser(
        sheet._get_source(),
        sheet._shared_strings,
        epoch=book.epoch,
        date_formats=book._date_formats,
        timedelta_formats=book._timedelta_formats,
    )


def _open_book(workbook: str, buffer: io.BytesIO) -> Workbook:
    from openpyxl import load_workbook
    from openpyxl.worksheet._read_only import ReadOnlyWorksheet

    try:
        book = load_workbook(buffer, read_only=True, keep_links=False)
    except _UNREADABLE as error:
        raise _unreadable(workbook, buffer, error) from error
    if CATALOGUE_SHEET not in book.sheetnames:
        book.close()
        raise ToolError(f"{workbook}: the workbook has no sheet named {CATALOGUE_SHEET!r}")
    if not isinstance(book[CATALOGUE_SHEET], ReadOnlyWorksheet):
        book.close()
        raise ToolError(f"{workbook}: the sheet named {CATALOGUE_SHEET!r} is not a worksheet")
    return book


def import_xlsx(path: str, workbook: str, *, partial: bool, dry_run: bool) -> XlsxImportResult:
    """Matches each workbook row to the catalogue row with its position and message and takes
    its translation cells. With findings nothing is written, unless `partial`."""
    _require_defusedxml()
    catalogue = read_catalogue(path)
    buffer = _read_archive(workbook, limit_for(path))
    book = _open_book(workbook, buffer)
    try:
        try:
            result = XlsxImportResult(findings=_sheet_findings(book, workbook, catalogue.header))
        except _UNREADABLE as error:
            raise _unreadable(workbook, buffer, error) from error
        sheet: Any = book[CATALOGUE_SHEET]
        part = sheet._worksheet_path
        parser = _rows_parser(book, sheet)
        try:
            with sheet._get_source() as source:
                merges = _scan_sheet(source, workbook, part)
            changes = _read_rows(parser, catalogue, workbook, result)
        except _UNREADABLE as error:
            raise _unreadable(workbook, buffer, error, part) from error
        finally:
            parser.source.close()
    finally:
        book.close()
    for merge in merges:
        result.findings.append(
            f"{workbook}: sheet {CATALOGUE_SHEET}, cells {merge.coord} are merged: a merge "
            "keeps the text of its first cell only, and none of its cells is imported"
        )
    merged = _merged_cells(merges, _width(catalogue))
    changes = [change for change in changes if not merged(change[3], change[1] + 2)]
    if result.findings and not partial:
        return result
    for target, language, text, _ in changes:
        target.set_translation(language, text)
    result.cells = len(changes)
    if changes and not dry_run:
        write_rows(path, catalogue.header, (row.cells for row in catalogue.rows))
    return result


def _read_rows(
    parser: Any, catalogue: CatalogueFile, workbook: str, result: XlsxImportResult
) -> list[tuple[Row, int, str, int]]:
    """Reads the sheet's rows: checks the header row, matches each other row to a catalogue
    row, and returns the translation cells that differ, with the sheet row each comes from. Cells
    past the catalogue's columns, and rows past its rows that match none of them, are
    findings; columns past the sheet's last are left alone."""
    where = f"{workbook}: sheet {CATALOGUE_SHEET}, cell "
    width = _width(catalogue)
    height = 1 + len(catalogue.rows)
    rows = parser.parse()
    number, cells = next(rows, (1, []))
    if number != 1:  # no header row: the first row read is a data row
        rows, cells = itertools.chain([(number, cells)], rows), []
    header = [""] * max([0] + [cell["column"] for cell in cells])
    for cell in cells:
        header[cell["column"] - 1] = _text(cell, where, []) or ""
    while header and not header[-1]:
        header.pop()
    if header != catalogue.header:
        raise ToolError(
            f"{workbook}: the header row {header} is not the header of {catalogue.path}, "
            f"{catalogue.header}"
        )
    waiting: dict[tuple[str, str], list[Row]] = {}
    for row in catalogue.rows:
        waiting.setdefault((row.position, _line_ends(row.message)), []).append(row)
    taken: dict[tuple[str, str], int] = {}  # the sheet row that took each position and message
    changes: list[tuple[Row, int, str, int]] = []
    last = len(header)  # the sheet's last column within the catalogue's
    for number, cells in rows:
        texts: list[str | None] = [""] * width
        filled = []  # the row's cells that are not empty
        for cell in cells:
            empty = cell["value"] is None or cell["value"] == ""
            if not empty:
                filled.append(_name(cell))
            if cell["column"] <= width:
                last = max(last, cell["column"])
                texts[cell["column"] - 1] = _text(cell, where, result.findings)
            elif not empty:
                result.findings.append(
                    f"{where}{_name(cell)}: the cell is outside the catalogue's {width} "
                    f"columns and holds {cell['value']!r}; it is not imported"
                )
        if not any(texts) and None not in texts:
            continue  # a row left blank
        position, message = texts[:2]
        if position is None or message is None:
            continue  # the finding is made: a position or message that is no text matches nothing
        key = (position, _line_ends(message))
        matches = waiting.get(key)
        if not matches:
            if key in taken:
                problem = f"the row repeats the position and message of row {taken[key]}"
            elif number > height:
                problem = (
                    f"the row is outside the catalogue's {height} rows and matches none of "
                    f"them (cells {', '.join(filled)})"
                )
            else:
                problem = (
                    f"no row of {catalogue.path} has the position {quote(position)} and the "
                    f"message {quote(message)}"
                )
            result.findings.append(f"{workbook}: sheet {CATALOGUE_SHEET}, row {number}: {problem}")
            continue
        target = matches.pop(0)
        taken.setdefault(key, number)
        result.rows += 1
        for column in range(2, width):
            text = texts[column]
            current = target.translation(column - 1)
            if text is not None and text != current and text != _line_ends(current):
                changes.append((target, column - 1, text, number))
    return [change for change in changes if change[1] + 2 <= last]  # the column of a language


HELP = "take the translations of a workbook back"

EXAMPLES = """\
  qel-i18n import-xlsx locale/messages.csv messages.xlsx --dry-run
"""
FINDINGS = (
    "rows or cells a spreadsheet changed into something else (nothing imported unless --partial)"
)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_catalogue(parser)
    parser.add_argument(
        "workbook", metavar="FILE.xlsx", help="the workbook export-xlsx wrote, as translated"
    )
    parser.add_argument(
        "--partial", action="store_true", help="import the rows that match despite findings"
    )
    add_dry_run(parser)
    add_format(parser)


def run(args: argparse.Namespace) -> int:
    result = import_xlsx(args.catalogue, args.workbook, partial=args.partial, dry_run=args.dry_run)
    if args.format == "json":
        record = {
            "catalogue": args.catalogue,
            "workbook": args.workbook,
            "dry_run": args.dry_run,
            "imported": args.partial or not result.findings,
            "rows": result.rows,
            "cells": result.cells,
            "findings": result.findings,
        }
        print(json.dumps(record, ensure_ascii=False, indent=2))
        return 1 if result.findings else 0
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
