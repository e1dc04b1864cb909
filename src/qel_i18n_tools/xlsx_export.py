"""`qel-i18n export-xlsx`: the catalogue as a workbook whose every cell is text, so that no
spreadsheet turns a message into a number, a date or a formula; only the translation cells are
open for editing."""

from __future__ import annotations

import argparse
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING

from qel_i18n_tools.arguments import add_catalogue
from qel_i18n_tools.catalogue import CatalogueFile, read_catalogue, read_excess
from qel_i18n_tools.errors import ToolError, require
from qel_i18n_tools.safe_write import replace_file

if TYPE_CHECKING:
    from openpyxl.worksheet.worksheet import Worksheet

CATALOGUE_SHEET = "catalogue"
EXCESS_SHEET = "excess"
# The most characters a workbook cell holds, counted as a spreadsheet counts them (UTF-16 code
# units). openpyxl cuts a longer text without a word, and an import would take the cut back.
CELL_LIMIT = 32767

# Spreadsheets read `_xHHHH_` in a text as the character U+HHHH: that is how a workbook holds
# the control characters XML cannot, and a carriage return, which XML reads as a line feed. An
# underscore that starts such a form in the text itself is written `_x005F_`.
_ESCAPED = re.compile(r"_x[0-9A-Fa-f]{4}_")
_UNSAFE = re.compile(r"[\x00-\x08\x0b-\x1f\ufffe\uffff]")
# Read back are only the forms this export writes. openpyxl has already turned `_x005F_` into
# `_` in texts a spreadsheet saved (shared strings), but not in those it wrote itself, so other
# `_xHHHH_` forms are left as they read: they stand for themselves.
_WRITTEN = re.compile(r"_x(00[01][0-9A-Fa-f]|005[Ff]|[Ff]{3}[EeFf])_")


def escape(text: str) -> str:
    """A cell's text as a workbook stores it: `_xHHHH_` for a character XML cannot carry, and
    for the underscore that starts a text of that form already."""
    text = _ESCAPED.sub(lambda match: "_x005F" + match[0], text)
    return _UNSAFE.sub(lambda match: f"_x{ord(match[0]):04X}_", text)


def unescape(text: str) -> str:
    """The text of a workbook cell, the `_xHHHH_` forms `escape` writes read back."""
    return _WRITTEN.sub(lambda match: chr(int(match[1], 16)), text)


def _stored(text: str, table: CatalogueFile, line: int, column: int) -> str:
    """A cell's text as the workbook stores it; an error when it does not fit in a cell."""
    stored = escape(text)
    length = len(stored.encode("utf-16-le")) // 2
    if length > CELL_LIMIT:
        raise ToolError(
            f"{table.path}:{line}: the text of column {column} is {length:,} characters long as "
            f"a workbook stores it, and a workbook cell holds at most {CELL_LIMIT:,}"
        )
    return stored


def _width(texts: Sequence[str], least: int, most: int) -> int:
    longest = max((len(line) for text in texts for line in text.splitlines() or [""]), default=0)
    return max(least, min(most, longest + 2))


def fill_sheet(sheet: Worksheet, table: CatalogueFile, *, editable: bool) -> None:
    """Writes the header and rows, every cell as text, the header frozen, the sheet protected;
    with `editable`, the translation cells (also those a row does not reach) are left open."""
    from openpyxl.styles import Alignment, Protection
    from openpyxl.utils import get_column_letter

    records = [table.header] + [row.cells for row in table.rows]
    lines = [1] + [row.line for row in table.rows]
    width = max(len(cells) for cells in records)
    wrapped = Alignment(wrap_text=True, vertical="top")
    is_open = Protection(locked=False)
    for number, (line, cells) in enumerate(zip(lines, records), start=1):
        for column in range(1, width + 1):
            text = cells[column - 1] if column <= len(cells) else ""
            if not text and (number == 1 or column <= 2 or not editable):
                continue
            cell = sheet.cell(row=number, column=column)
            if text:
                cell.value = _stored(text, table, line, column)
                cell.data_type = "s"  # also for "=1+1", which would be taken for a formula
            cell.number_format = "@"  # what a translator types stays text
            if number > 1:
                cell.alignment = wrapped
                if editable and column > 2:
                    cell.protection = is_open
    for column in range(1, width + 1):
        texts = [cells[column - 1] for cells in records if column <= len(cells)]
        sheet.column_dimensions[get_column_letter(column)].width = (
            _width(texts, 12, 40) if column == 1 else _width(texts, 20, 60)
        )
    sheet.freeze_panes = "A2"
    sheet.protection.sheet = True  # without a password: a guard against slips, not a lock


def export_xlsx(path: str, output: str) -> int:
    """Writes the catalogue (and its excess file's rows, on a sheet of their own) as a
    workbook; returns the number of rows written."""
    Workbook = require("openpyxl", "xlsx").Workbook
    catalogue = read_catalogue(path)
    excess = read_excess(path)
    book = Workbook()
    sheet = book.active
    assert sheet is not None
    sheet.title = CATALOGUE_SHEET
    fill_sheet(sheet, catalogue, editable=True)
    if excess and excess.rows:
        fill_sheet(book.create_sheet(EXCESS_SHEET), excess, editable=False)
    replace_file(output, book.save)
    return len(catalogue.rows)


HELP = "write the catalogue as a workbook for translators"

EXAMPLES = """\
  qel-i18n export-xlsx -o messages.xlsx
"""
FINDINGS = ""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_catalogue(parser, optional=True)
    parser.add_argument(
        "-o", "--output", required=True, metavar="FILE.xlsx", help="the workbook to write"
    )


def run(args: argparse.Namespace) -> int:
    rows = export_xlsx(args.catalogue, args.output)
    print(f"{args.output}: {rows} row(s) from {args.catalogue}")
    return 0
