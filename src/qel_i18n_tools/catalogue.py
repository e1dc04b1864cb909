"""The catalogue file as the tools see it: its header and rows read with the csv module, its
languages by index or label, its excess file, what the lookup shows, and the write that replaces
a file only once its new contents are complete."""

from __future__ import annotations

import csv
import hashlib
import io
import json
import os
import re
import shlex
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

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
    """A catalogue or excess file: its name, its header row and its data rows. `name` is the
    file as reports call it (the user's name when `path` is a working copy)."""

    path: str
    header: list[str]
    rows: list[Row]
    name: str = ""

    def __post_init__(self) -> None:
        self.name = self.name or self.path

    def where(self, row: Row) -> str:
        return f"{self.name}:{row.line}"

    def by_message(self) -> dict[str, list[Row]]:
        """The rows of each message, in file order."""
        groups: dict[str, list[Row]] = {}
        for row in self.rows:
            groups.setdefault(row.message, []).append(row)
        return groups


# The longest cell the module's loader reads: the csv module's default field limit.
FIELD_LIMIT = csv.field_size_limit()

# A digest of each file as this run read it, by real path (None: the file did not exist), so
# that no write replaces a file another program changed in the meantime.
_contents_read: dict[str, bytes | None] = {}


def _digest(raw: bytes) -> bytes:
    return hashlib.sha256(raw).digest()


def _decode(path: str, name: str, raw: bytes) -> str:
    """The text of a catalogue file; a decoding error names the line of the bad byte."""
    try:
        return raw.decode("utf8")
    except UnicodeDecodeError as error:
        line = raw.count(b"\n", 0, error.start) + 1
        raise ToolError(f"{name}:{line}: not UTF-8: {error.reason} (byte {error.start})") from None


def parse_rows(text: str, name: str) -> list[Row]:
    """The records of a catalogue file's text, more strictly than the module's loader reads
    them: a quote that a field does not close, a blank line, a row without a position and a
    message, a cell longer than the loader reads are errors naming the line. The loader would
    take a stray quote's following rows as one cell, and fails at a blank line."""
    records: list[Row] = []
    line = 0
    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    try:
        for cells in reader:
            start = line + 1
            line = reader.line_num
            where = f"{name}:{start}"
            if not cells:
                raise ToolError(f"{where}: a blank line, which the module's loader cannot read")
            if len(cells) < 2 and (records or any(mark in cells[0] for mark in ";\t")):
                hint = next(
                    (
                        f"; cells separated by {mark!r}, not ','?"
                        for mark in ";\t"
                        if mark in cells[0]
                    ),
                    "",
                )
                raise ToolError(
                    f"{where}: a row needs a position and a message, this one has "
                    f"{len(cells)} cell(s){hint}"
                )
            if records and not (cells[0] and cells[1]):
                part = "position" if not cells[0] else "message"
                raise ToolError(f"{where}: the row's {part} is empty")
            records.append(Row(start, cells))
    except csv.Error as error:
        problem = str(error)
        if "field larger than field limit" in problem:
            problem = f"a cell longer than the {FIELD_LIMIT} characters the module's loader reads"
        elif "unexpected end of data" in problem:
            problem = "a quote that is never closed"
        elif reader.line_num > line + 1:
            problem += f" on line {reader.line_num}: a quote in this row is never closed?"
        raise ToolError(f"{name}:{line + 1}: {problem}") from None
    return records


def read_catalogue(path: str, *, name: str | None = None) -> CatalogueFile:
    """Reads a catalogue or excess file strictly (`parse_rows`) and remembers its contents, so
    that a later write can make sure no other program changed it. `name` is the file as
    errors call it (`path` by default)."""
    name = name or path
    try:
        with open(path, "rb") as file:
            raw = file.read()
    except OSError as error:
        raise ToolError(f"{name}: {error.strerror or error}") from None
    _contents_read[os.path.realpath(path)] = _digest(raw)
    records = parse_rows(_decode(path, name, raw), name)
    if not records:
        raise ToolError(f"{name}: the file is empty; a catalogue starts with its header row")
    if len(records[0].cells) < 2:
        raise ToolError(f"{name}:1: the header needs a position and a message column")
    return CatalogueFile(path, records[0].cells, records[1:], name)


def ensure_unchanged(path: str, name: str | None = None) -> None:
    """Raises when a file this run read has changed (or appeared, or gone) since."""
    real = os.path.realpath(path)
    if real not in _contents_read:
        return
    try:
        with open(real, "rb") as file:
            now: bytes | None = _digest(file.read())
    except FileNotFoundError:
        now = None
    if now != _contents_read[real]:
        raise ToolError(
            f"{name or path}: changed by another program since qel-i18n read it; nothing "
            "written, run the command again"
        )


def remember_absent(path: str) -> None:
    """Notes that a file does not exist, so that a write fails if one appears meanwhile."""
    if not os.path.exists(path):
        _contents_read[os.path.realpath(path)] = None


def excess_name(catalogue: str) -> str:
    """The excess file beside a catalogue: its name up to its last ".", then "-excess.csv"."""
    dot = catalogue.rfind(".")
    return (catalogue[:dot] if dot >= 0 else catalogue) + "-excess.csv"


def read_excess(catalogue: str, *, name: str | None = None) -> CatalogueFile | None:
    """The catalogue's excess file, or None when there is none. `name` is the catalogue as
    errors call it."""
    path = excess_name(catalogue)
    if os.path.exists(path):
        return read_catalogue(path, name=excess_name(name) if name else None)
    remember_absent(path)
    return None


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
    return f"language {language} ({printable(label)})" if label else f"language {language}"


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
            hint = ""
            if not matches:
                label = text if text and not text.isdigit() else "LABEL"
                hint = f"; qel-i18n add-lang {shlex.quote(catalogue.name)} {shlex.quote(label)} adds it"
            raise ToolError(
                f"language {text!r} {problem}; the catalogue has {known or 'none'}{hint}"
            )
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


@dataclass
class Coverage:
    """How much of a language the lookup translates: of the distinct messages, those for which
    it shows a translation."""

    language: int
    label: str
    messages: int
    translated: int
    percent: float  # 100 for a catalogue without messages


def coverage(catalogue: CatalogueFile, language: int, shown: dict[str, str | None]) -> Coverage:
    """The coverage of `language`, from what the lookup shows for each distinct message
    (`shown_translations`)."""
    translated = sum(1 for text in shown.values() if text is not None)
    percent = 100.0 * translated / len(shown) if shown else 100.0
    return Coverage(language, language_label(catalogue, language), len(shown), translated, percent)


# Characters a terminal acts on or that reorder a line: C0 and C1 controls, DEL, the bidi
# marks and overrides, and the Unicode line and paragraph separators.
_CONTROL = re.compile(
    "[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069]"
)


def _escaped(match: re.Match[str]) -> str:
    # The form JSON reads too, so that an escaped report stays valid JSON.
    return f"\\u{ord(match[0]):04x}"


def printable(text: str, *, keep: str = "") -> str:
    """A text as reports print it: every control character escaped (`\\u001b`), but those
    in `keep`."""
    return _CONTROL.sub(lambda match: match[0] if match[0] in keep else _escaped(match), text)


def quote(text: str) -> str:
    """A cell's text on one line of a report, quoted and with its line ends and other control
    characters escaped."""
    return printable(json.dumps(text, ensure_ascii=False))


def same_file(one: str, other: str) -> bool:
    """True when two names lead to one file (or would, for names of files not made yet)."""
    if os.path.realpath(one) == os.path.realpath(other):
        return True
    try:
        return os.path.samefile(one, other)
    except OSError:
        return False


def refuse_output(output: str, catalogue: str, *inputs: str) -> None:
    """Refuses an output file that is the catalogue, its excess file or an input of the run."""
    for protected, what in [
        (catalogue, "the catalogue"),
        (excess_name(catalogue), "the catalogue's excess file"),
        *((name, "an input of this command") for name in inputs),
    ]:
        if same_file(output, protected):
            raise ToolError(f"{output}: the output would replace {what}; nothing written")


def _check_cells(name: str, header: Sequence[str], rows: Sequence[Sequence[str]]) -> None:
    """Refuses to write a cell the module's loader could not read back."""
    for number, cells in enumerate([header, *rows]):
        for column, text in enumerate(cells):
            if len(text) > FIELD_LIMIT:
                what = "the header" if number == 0 else f"the row of {quote(cells[1][:60])}"
                raise ToolError(
                    f"{name}: a cell of {len(text)} characters in column {column + 1} of {what} "
                    f"is longer than the {FIELD_LIMIT} the module's loader reads; nothing written"
                )


def write_rows(
    path: str, header: Sequence[str], rows: Iterable[Sequence[str]], *, name: str | None = None
) -> None:
    """Writes a catalogue file as the module's update does (UTF-8, the csv module's default
    dialect) through a temporary file that replaces it once complete (`replace_file`), once
    sure that no other program changed it since this run read it."""
    rows = list(rows)
    _check_cells(name or path, header, rows)
    buffer = io.StringIO(newline="")
    writer = csv.writer(buffer)
    writer.writerow(header)
    writer.writerows(rows)
    write_bytes(path, buffer.getvalue().encode("utf8"), name=name)


def write_bytes(path: str, contents: bytes, *, name: str | None = None) -> None:
    """Replaces a file this run read with `contents`, unless another program changed it since
    (`ensure_unchanged`); the new contents are what later writes compare with."""
    replace_file(
        path, lambda file: file.write(contents), before_replace=lambda: ensure_unchanged(path, name)
    )
    _contents_read[os.path.realpath(path)] = _digest(contents)
