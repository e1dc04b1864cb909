"""The catalogue file as the tools see it: its header and rows read with the csv module, its
languages by index or label, its excess file, what the lookup shows, and the write that replaces
a file only once its new contents are complete."""

from __future__ import annotations

import csv
import io
import json
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import BinaryIO

import qel_i18n

from qel_i18n_tools.errors import ToolError
from qel_i18n_tools.safe_write import replace_file


@dataclass
class Row:
    """One data row: the line of the file it starts on, and its cells."""

    line: int
    cells: list[str]

    @property
    def position(self) -> str:
        return self.cells[0]

    @property
    def message(self) -> str:
        return self.cells[1]

    def translation(self, language: int) -> str:
        """The row's cell for `language`; a missing cell reads as empty, as the lookup takes it."""
        column = language + 1
        return self.cells[column] if column < len(self.cells) else ""

    def set_translation(self, language: int, text: str) -> None:
        column = language + 1
        if column >= len(self.cells):
            self.cells.extend([""] * (column + 1 - len(self.cells)))
        self.cells[column] = text


@dataclass
class CatalogueFile:
    """A catalogue or excess file: its name, its header row and its data rows."""

    path: str
    header: list[str]
    rows: list[Row]

    def where(self, row: Row) -> str:
        return f"{self.path}:{row.line}"

    def by_message(self) -> dict[str, list[Row]]:
        """The rows of each message, in file order."""
        groups: dict[str, list[Row]] = {}
        for row in self.rows:
            groups.setdefault(row.message, []).append(row)
        return groups


def read_catalogue(path: str, *, strict: bool = True) -> CatalogueFile:
    """Reads a catalogue file. Each data row must hold a position and a message, as the module's
    loader and update require; with `strict` false (the excess file, which the module never
    looks up in) rows without them are left out instead."""
    records: list[Row] = []
    line = 0
    try:
        with open(path, newline="", encoding="utf8") as file:
            reader = csv.reader(file)
            for cells in reader:
                records.append(Row(line + 1, cells))
                line = reader.line_num
    except csv.Error as error:
        raise ToolError(f"{path}:{line + 1}: {error}") from error
    except UnicodeDecodeError as error:
        raise ToolError(f"{path}: after line {line}: {error}") from error
    if not records:
        raise ToolError(f"{path}: the file is empty; a catalogue starts with its header row")
    header, rows = records[0].cells, records[1:]
    if strict:
        for row in rows:
            if len(row.cells) < 2:
                raise ToolError(
                    f"{path}:{row.line}: a row needs a position and a message, "
                    f"this one has {len(row.cells)} cell(s)"
                )
    else:
        rows = [row for row in rows if len(row.cells) >= 2]
    return CatalogueFile(path, header, rows)


def excess_name(catalogue: str) -> str:
    """The excess file beside a catalogue: its name up to its last ".", then "-excess.csv"."""
    dot = catalogue.rfind(".")
    return (catalogue[:dot] if dot >= 0 else catalogue) + "-excess.csv"


def read_excess(catalogue: str) -> CatalogueFile | None:
    """The catalogue's excess file, or None when there is none."""
    path = excess_name(catalogue)
    return read_catalogue(path, strict=False) if os.path.exists(path) else None


def language_label(catalogue: CatalogueFile, language: int) -> str:
    """The header's label of a language column; empty when the header stops before it."""
    column = language + 1
    return catalogue.header[column] if column < len(catalogue.header) else ""


def languages_of(catalogue: CatalogueFile) -> list[int]:
    """Every language column: those the header labels, and any that rows go on to."""
    width = max([len(catalogue.header)] + [len(row.cells) for row in catalogue.rows])
    return list(range(1, width - 1))


def language_name(language: int, label: str) -> str:
    """A language as reports name it: `language 1 (fr)`."""
    return f"language {language} ({label})" if label else f"language {language}"


def resolve_languages(catalogue: CatalogueFile, wanted: Sequence[str] | None) -> list[int]:
    """The language indexes that `--lang` values select: a number is an index (1 for column 2),
    anything else a header label. Every language column when none is given."""
    available = languages_of(catalogue)
    if not wanted:
        return available
    chosen: list[int] = []
    for text in wanted:
        if text.isdigit():
            matches = [int(text)] if int(text) in available else []
        else:
            matches = [i for i in available if language_label(catalogue, i) == text]
        if len(matches) != 1:
            known = ", ".join(
                language_name(i, language_label(catalogue, i)).removeprefix("language ")
                for i in available
            )
            problem = "names several columns" if matches else "is not a language column"
            raise ToolError(f"language {text!r} {problem}; the catalogue has {known or 'none'}")
        if matches[0] not in chosen:
            chosen.append(matches[0])
    return chosen


def shown_translations(path: str, language: int, messages: Iterable[str]) -> dict[str, str | None]:
    """What the module's lookup shows for each message in `language`: the translation, or None
    when it shows the message itself (it returns that very object when it has no translation)."""
    catalogue = qel_i18n.I18N(path, language)
    shown: dict[str, str | None] = {}
    for message in messages:
        result = catalogue.gettext(message)
        shown[message] = None if result is message else result
    return shown


def quote(text: str) -> str:
    """A cell's text on one line of a report, quoted and with its line ends escaped."""
    return json.dumps(text, ensure_ascii=False)


def write_rows(path: str, header: Sequence[str], rows: Iterable[Sequence[str]]) -> None:
    """Writes a catalogue file as the module's update does (UTF-8, the csv module's default
    dialect) through a temporary file that replaces it once complete (`replace_file`)."""

    def write(binary: BinaryIO) -> None:
        file = io.TextIOWrapper(binary, encoding="utf8", newline="")
        writer = csv.writer(file)
        writer.writerow(header)
        writer.writerows(rows)
        file.flush()
        file.detach()  # the binary file stays open for `replace_file` to finish

    replace_file(path, write)
