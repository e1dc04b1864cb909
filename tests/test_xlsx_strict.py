"""export-xlsx and import-xlsx against workbooks a spreadsheet or an attacker has changed: what
would lose or misplace a translator's edits is a finding, and a workbook too large, too wide,
hostile or broken is an error naming the file and the part."""

import struct
import sys
import zipfile
from pathlib import Path

import pytest

from qel_i18n_tools import main
from test_tools import csv_text, run

openpyxl = pytest.importorskip("openpyxl")

ROWS = [
    ["Position", "0", "fr"],
    ["a.py: 0001", "Save", "Enregistrer"],
    ["a.py: 0002", "Open", "Ouvrir"],
]
SHEET = "xl/worksheets/sheet1.xml"


@pytest.fixture
def catalogue(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("m.csv").write_text(csv_text(ROWS), encoding="utf8", newline="")
    assert main(["export-xlsx", "m.csv", "-o", "m.xlsx"]) == 0
    return "m.csv"


def in_book(change):
    """Edits the workbook through openpyxl: `change(book, catalogue sheet)`."""

    def edit(monkeypatch=None):
        book = openpyxl.load_workbook("m.xlsx")
        change(book, book["catalogue"])
        book.save("m.xlsx")

    return edit


def in_parts(change):
    """Rewrites the workbook's zip with `change` applied to {part name: bytes}."""

    def edit(monkeypatch=None):
        with zipfile.ZipFile("m.xlsx") as archive:
            parts = {info.filename: archive.read(info) for info in archive.infolist()}
        change(parts)
        with zipfile.ZipFile("m.xlsx", "w", zipfile.ZIP_DEFLATED) as archive:
            for name, data in parts.items():
                archive.writestr(name, data)

    return edit


def hidden_behind_a_copy(book, sheet):
    copy = book.copy_worksheet(sheet)
    copy.title = "Catalogue (2)"
    copy["C3"] = "Ouvrez"  # the translator's edit, on the sheet they saw
    sheet.sheet_state = "hidden"
    book.active = 1


def sheet_edit(old, new):
    return in_parts(lambda parts: parts.update({SHEET: parts[SHEET].replace(old, new, 1)}))


def added(xml):
    return sheet_edit(b"</sheetData>", xml + b"</sheetData>")


FINDINGS = [
    (in_book(lambda book, sheet: sheet.merge_cells("C2:C3")), ["cells C2:C3 are merged"]),
    (
        in_book(hidden_behind_a_copy),
        ["sheet catalogue is hidden", "sheet 'Catalogue (2)' could be taken for sheet catalogue"],
    ),
    (in_book(lambda book, sheet: book.create_sheet("notes").append(ROWS[0])), ["'notes' could"]),
    (in_book(lambda book, sheet: book.create_sheet("Copy of Catalogue")), ["'Copy of Catalogue'"]),
    (in_book(lambda book, sheet: sheet.cell(2, 5, "note")), ["cell E2: the cell is outside"]),
    (in_book(lambda book, sheet: sheet.cell(9, 1, "todo")), ["row 9: the row is outside"]),
    (
        in_book(lambda book, sheet: sheet.append(["a.py: 0002", "Open", "Ouvre"])),
        ["row 4: the row repeats the position and message of row 3"],
    ),
    (
        added(b'<row r="1048576"><c r="XFD1048576" t="inlineStr"><is><t>x</t></is></c></row>'),
        ["cell XFD1048576: the cell is outside the catalogue's 3 columns"],
    ),
]


@pytest.mark.parametrize(
    "change, findings",
    FINDINGS,
    ids=["merged", "hidden", "header", "name", "column", "row", "repeated", "far-cell"],
)
def test_findings_leave_the_catalogue_as_it_was(catalogue, capsys, change, findings):
    """None of these workbooks holds an edit to take, not even with --partial: a merge would
    erase the cells it covers, and the hidden sheet is the export's, not the translator's."""
    change()
    before = Path(catalogue).read_bytes()
    for partial in ([], ["--partial"]):
        status, out, _ = run(capsys, "import-xlsx", catalogue, "m.xlsx", *partial)
        assert status == 1 and Path(catalogue).read_bytes() == before
        assert all(finding in out for finding in findings), out


LAUGHS = "".join(f'<!ENTITY l{i} "{f"&l{i - 1};" * 10}">' for i in range(1, 10))


def entity(declarations):
    dtd = f"<!DOCTYPE worksheet [{declarations}]>".encode()
    swap = (b"<t>Enregistrer</t>", b"<t>&l9;</t>")
    return in_parts(lambda parts: parts.update({SHEET: dtd + parts[SHEET].replace(*swap)}))


def declare_less(monkeypatch):
    """The sheet's entry in the zip's central directory declares 100 bytes, not its size."""
    data = bytearray(Path("m.xlsx").read_bytes())
    struct.pack_into("<I", data, data.rindex(SHEET.encode()) - 46 + 24, 100)
    Path("m.xlsx").write_bytes(data)


REFUSALS = [
    (added((b"<row>" + b'<c s="1"/>' * 1000 + b"</row>") * 900), "m.xlsx: the workbook's parts"),
    (declare_less, f"m.xlsx: {SHEET}: Bad CRC-32"),
    (added(b"<row>" + b"<c/>" * 16385 + b"</row>"), f"m.xlsx: {SHEET}: row 4 holds more"),
    (entity(f'<!ENTITY l0 "lol">{LAUGHS}'), f"m.xlsx: {SHEET}: refused: the XML declares"),
    (entity('<!ENTITY l9 SYSTEM "file:///etc/hostname">'), f"m.xlsx: {SHEET}: refused: the XML"),
    (sheet_edit(b"</worksheet>", b""), f"m.xlsx: {SHEET}: no element found"),
    (in_parts(lambda parts: parts.update({"xl/styles.xml": b"<a>"})), "m.xlsx: xl/styles.xml: "),
    (
        lambda monkeypatch: monkeypatch.setitem(sys.modules, "defusedxml", None),
        "this command needs the defusedxml library, which the extra [xlsx] installs",
    ),
    (
        lambda monkeypatch: monkeypatch.setattr(openpyxl.xml, "DEFUSEDXML", False),
        "openpyxl does not parse XML through defusedxml",
    ),
]


@pytest.mark.parametrize(
    "change, error",
    REFUSALS,
    ids=["blank", "declared", "wide", "laughs", "external", "sheet", "styles", "lib", "off"],
)
def test_import_refuses_in_one_line(catalogue, capsys, monkeypatch, change, error):
    change(monkeypatch)
    before = Path(catalogue).read_bytes()
    status, _, err = run(capsys, "import-xlsx", catalogue, "m.xlsx")
    assert status == 2 and err.startswith(f"qel-i18n: error: {error}"), err
    assert err.count("\n") == 1 and Path(catalogue).read_bytes() == before


@pytest.mark.parametrize("text, stored", [("x" * 32768, 32768), ("\x01" * 4682, 32774)])
def test_export_refuses_a_text_no_cell_holds(catalogue, capsys, text, stored):
    """The limit is on the text as stored, where a control character takes seven; a text at
    the limit goes out and comes back whole."""
    Path(catalogue).write_text(csv_text(ROWS + [["b.py: 0001", "Long", text]]), newline="")
    status, _, err = run(capsys, "export-xlsx", catalogue, "-o", "long.xlsx")
    assert status == 2 and not Path("long.xlsx").exists()
    assert f"m.csv:4: the text of column 3 is {stored:,} characters long" in err
    fits = text[: 32767 * len(text) // stored]
    Path(catalogue).write_text(csv_text(ROWS + [["b.py: 0001", "Long", fits]]), newline="")
    before = Path(catalogue).read_bytes()
    assert run(capsys, "export-xlsx", catalogue, "-o", "long.xlsx")[0] == 0
    assert run(capsys, "import-xlsx", catalogue, "long.xlsx")[0] == 0
    assert Path(catalogue).read_bytes() == before
