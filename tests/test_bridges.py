"""The roads to translators and in from gettext: export-po/import-po (checked with GNU msgfmt),
export-xlsx/import-xlsx, and the example application's move from the gettext module."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from qel_i18n_tools import main
from test_tools import csv_text, rows_of, run

polib = pytest.importorskip("polib")
openpyxl = pytest.importorskip("openpyxl")

ROWS = [
    ["Position", "0", "fr"],
    ["a.py: 0001", "Save", "Enregistrer"],
    ["a.py: 0002", "Save", ""],
    ["b.py: 0003", "Open", "Ouvrir"],
    ["b.py: 0004", "Open", "Ouvre"],
    ["b.py: 0010", "Hello {name}", "Bonjour {nom}"],
    ["b.py: 0011", "%(n)d files", "%(n)d fichiers"],
    ["b.py: 0012", "Line\n", "Ligne"],
    ["c.py: 0100", "Quit"],
]


@pytest.fixture
def catalogue(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("m.csv").write_text(csv_text(ROWS), encoding="utf8", newline="")
    return "m.csv"


def msgfmt(path):
    """`msgfmt -c --check-format` on a file: its diagnostics (none is a pass)."""
    if not shutil.which("msgfmt"):
        if os.environ.get("CI"):
            pytest.fail("msgfmt is missing (apt-get install gettext)")
        pytest.skip("msgfmt is missing")
    done = subprocess.run(
        ["msgfmt", "-c", "--check-format", "-o", os.devnull, str(path)],
        capture_output=True,
        text=True,
    )
    return done.returncode, done.stderr


def test_export_po_entries_flags_and_msgfmt(catalogue, capsys):
    assert run(capsys, "export-po", catalogue, "--lang", "fr", "-o", "fr.po")[0] == 0
    po = polib.pofile("fr.po")
    assert po.metadata["Language"] == "fr"
    entries = {entry.msgid: entry for entry in po}
    assert list(entries) == ["Save", "Open", "Hello {name}", "%(n)d files", "Line\n", "Quit"]
    save, opened = entries["Save"], entries["Open"]
    assert (save.msgstr, save.fuzzy, save.occurrences) == (
        "Enregistrer",
        False,
        [("a.py", "1"), ("a.py", "2")],
    )
    assert opened.fuzzy and '"Ouvre" at b.py:4' in opened.tcomment
    assert entries["Hello {name}"].flags == ["fuzzy", "python-brace-format"]
    assert entries["%(n)d files"].flags == ["python-format"]
    assert entries["Line\n"].fuzzy and entries["Quit"].msgstr == ""
    assert msgfmt("fr.po") == (0, "")
    assert main(["export-po", catalogue, "--lang", "1", "--template", "-o", "m.pot"]) == 0
    assert {entry.msgstr for entry in polib.pofile("m.pot")} == {""}
    assert msgfmt("m.pot") == (0, "")


@pytest.mark.parametrize("fuzzy", [False, True])
def test_po_round_trip_into_an_empty_language(catalogue, capsys, fuzzy):
    main(["export-po", catalogue, "--lang", "fr", "-o", "fr.po"])
    assert main(["add-lang", catalogue, "xx"]) == 0
    argv = ["import-po", catalogue, "fr.po", "--lang", "xx", "--force"] + ["--fuzzy"] * fuzzy
    capsys.readouterr()
    status, out, _ = run(capsys, *argv, "--json")
    skipped = {reason: len(entries) for reason, entries in json.loads(out)["skipped"].items()}
    assert status == 0 and skipped == {"untranslated": 1} | ({} if fuzzy else {"fuzzy": 3})
    entries = {entry.msgid: entry for entry in polib.pofile("fr.po")}
    for _, message, *cells in rows_of(catalogue)[1:]:
        entry = entries[message]
        assert (cells + ["", ""])[1] == (entry.msgstr if fuzzy or not entry.fuzzy else "")
    assert [row[3] for row in rows_of(catalogue)[1:3]] == ["Enregistrer"] * 2


def test_import_po_reports_what_it_cannot_take(catalogue, capsys):
    po = polib.POFile()
    po.metadata = {"Content-Type": "text/plain; charset=UTF-8"}
    for entry in [
        polib.POEntry(msgid="Quit", msgstr="Quitter"),
        polib.POEntry(msgid="Save", msgstr="Sauver"),  # a translated cell stays
        polib.POEntry(msgid="Unknown", msgstr="Inconnu"),
        polib.POEntry(msgid="Open", msgctxt="menu", msgstr="Ouvrir"),
        polib.POEntry(msgid="file", msgid_plural="files", msgstr_plural={0: "f", 1: "fs"}),
        polib.POEntry(msgid="Old", msgstr="Vieux", obsolete=True),
    ]:
        po.append(entry)
    po.save("edited.po")
    before = Path(catalogue).read_bytes()
    argv = ["import-po", catalogue, "edited.po", "--lang", "1", "--partial"]
    assert "is obsolete" not in run(capsys, *argv, "--dry-run")[1]
    status, out, _ = run(capsys, *argv, "--dry-run", "-v")
    assert status == 1 and Path(catalogue).read_bytes() == before
    lines = out.splitlines()
    starts = {entry.msgid: entry.linenum for entry in polib.pofile("edited.po")}
    want = [f"edited.po:{starts[msgid]}" for msgid in ["Open", "file", "Unknown", "Old"]]
    assert [line.split(": ")[0].strip() for line in lines[2:9:2]] == want
    assert "context" in lines[1] and "plural" in lines[3] and "not in the catalogue" in lines[5]
    assert lines[7] == "    1 obsolete" and "not in m.csv" in lines[6]
    assert "2 cell(s) of 2 message(s) would be filled" in lines[9] and "3 finding(s)" in lines[9]
    assert run(capsys, *argv, "--dry-run", "--quiet")[1] == lines[9] + "\n"
    assert main(argv + ["--overwrite"]) == 1
    rows = rows_of(catalogue)
    assert rows[1][2] == rows[2][2] == "Sauver" and rows[-1] == ["c.py: 0100", "Quit", "Quitter"]
    # Rows the import did not change keep their bytes.
    assert Path(catalogue).read_bytes().split(b"\r\n")[3:8] == before.split(b"\r\n")[3:8]


@pytest.mark.parametrize(
    "text, where",
    [
        ('msgid "x"\nmsgstr "y"\nnonsense\n', 'bad.po:3: keyword "nonsense" unknown'),
        (b'msgid "x"\nmsgstr "\xff"\n', "bad.po:2: "),
    ],
)
def test_import_po_errors_write_nothing(catalogue, capsys, text, where):
    Path("bad.po").write_bytes(text if isinstance(text, bytes) else text.encode())
    before = Path(catalogue).read_bytes()
    status, _, err = run(capsys, "import-po", catalogue, "bad.po", "--lang", "1")
    assert status == 2 and err.startswith(f"qel-i18n: error: {where}")
    assert Path(catalogue).read_bytes() == before


@pytest.mark.parametrize(
    "module, argv, extra",
    [
        ("polib", ["export-po", "m.csv", "--lang", "1", "-o", "x.po"], "po"),
        ("openpyxl", ["export-xlsx", "m.csv", "-o", "x.xlsx"], "xlsx"),
    ],
)
def test_missing_library_names_the_extra(catalogue, capsys, monkeypatch, module, argv, extra):
    monkeypatch.setitem(sys.modules, module, None)
    status, _, err = run(capsys, *argv)
    assert status == 2 and f"pip install 'qel_i18n[{extra}]'" in err


TRICKY = [
    ["x: 0001", "=1+1", ""],
    ["x: 0002", "007", "sept"],
    ["x: 0003", "3/4\r\n", ""],
    ["x: 0004", "_x0041_ \x1b[0m", "\x01"],
]


def test_xlsx_cells_are_text_and_only_translations_open(catalogue, capsys):
    rows = ROWS + TRICKY
    Path(catalogue).write_text(csv_text(rows), encoding="utf8", newline="")
    Path("m-excess.csv").write_text(
        csv_text([ROWS[0], ["old: 0001", "Gone", "Parti"]]), encoding="utf8", newline=""
    )
    before = Path(catalogue).read_bytes()
    assert main(["export-xlsx", catalogue, "-o", "m.xlsx"]) == 0
    book = openpyxl.load_workbook("m.xlsx")
    sheet, excess = book["catalogue"], book["excess"]
    assert sheet.freeze_panes == "A2" and sheet.protection.sheet and excess.protection.sheet
    assert [cell.value for cell in excess[2]] == ["old: 0001", "Gone", "Parti"]
    for line in sheet.iter_rows(min_row=2):
        assert all(cell.data_type == "s" for cell in line if cell.value is not None)
        assert [cell.protection.locked for cell in line] == [True, True, False]
    assert run(capsys, "import-xlsx", catalogue, "m.xlsx")[0] == 0
    edit_workbook("m.xlsx", {"B12": "3/4\n"})  # a carriage return LibreOffice drops
    assert run(capsys, "import-xlsx", catalogue, "m.xlsx")[0] == 0
    assert Path(catalogue).read_bytes() == before


def edit_workbook(path, changes):
    book = openpyxl.load_workbook(path)
    for coordinate, value in changes.items():
        book["catalogue"][coordinate] = value
    book.save(path)


def test_xlsx_import_takes_edits_and_refuses_mangled_cells(catalogue, capsys):
    main(["export-xlsx", catalogue, "-o", "m.xlsx"])
    # Meanwhile the catalogue gains a row and loses one; the rest still match.
    rows = ROWS[:2] + ROWS[3:] + [["d.py: 0001", "New"]]
    Path(catalogue).write_text(csv_text(rows), encoding="utf8", newline="")
    edit_workbook("m.xlsx", {"C9": "Quitter", "C4": "Ouvre", "B6": "Hello {you}", "C7": 7})
    before = Path(catalogue).read_bytes()
    status, out, _ = run(capsys, "import-xlsx", catalogue, "m.xlsx")
    assert status == 1 and Path(catalogue).read_bytes() == before
    assert "cell C7: the cell holds a number (7)" in out and "row 6: no row of m.csv" in out
    assert "row 3:" in out  # the row the catalogue lost
    assert run(capsys, "import-xlsx", catalogue, "m.xlsx", "--partial")[0] == 1
    got = {row[0]: row[2:] for row in rows_of(catalogue)[1:]}
    assert got["c.py: 0100"] == ["Quitter"] and got["b.py: 0003"] == ["Ouvre"]
    assert got["b.py: 0011"] == ["%(n)d fichiers"] and got["d.py: 0001"] == []


def test_xlsx_import_refuses_another_header(catalogue, capsys):
    main(["export-xlsx", catalogue, "-o", "m.xlsx"])
    edit_workbook("m.xlsx", {"C1": "de"})
    assert run(capsys, "import-xlsx", catalogue, "m.xlsx")[0] == 2


def test_the_road_in_from_gettext(tmp_path):
    """The README's move of example/from-gettext: the same output before and after."""
    app = tmp_path / "app"
    shutil.copytree(Path(__file__).parent.parent / "example" / "from-gettext", app)
    po = app / "locale" / "fr" / "LC_MESSAGES" / "app.po"
    polib.pofile(str(po)).save_as_mofile(str(po.with_suffix(".mo")))

    def command(*argv, status=0):
        done = subprocess.run([sys.executable, *argv], cwd=app, capture_output=True, text=True)
        assert done.returncode == status, done.stdout + done.stderr
        return done.stdout

    before = command("app.py", "fr")
    assert "Bonjour, Ada !" in before
    listed = command("-m", "qel_i18n_tools", "rewrite", "app.py", status=1)
    assert "app.py:18: gettext.bindtextdomain(...): set qel_i18n.i18n.filename" in listed
    source = (app / "app.py").read_text()
    assert "import qel_i18n\n" in source and "_ = qel_i18n.gettext\n" in source
    start, end = source.index("    gettext.bindtextdomain"), source.index("\n\n\ndef report")
    (app / "app.py").write_text(source[:start] + README_SETUP + source[end:])
    command("-m", "qel_i18n_tools", "update", "messages.csv", "app.py")
    command("-m", "qel_i18n_tools", "import-po", "messages.csv", str(po), "--lang", "1")
    assert command("app.py", "fr") == before


README_SETUP = """    qel_i18n.i18n.filename = os.path.join(HERE, "messages.csv")
    qel_i18n.i18n.language_index = {"fr": 1}.get(language, 0)"""


@pytest.mark.parametrize("text", ["_x0041_", "\x1b[0m\ufffe", "a\r\nb", "_x005F_"])
def test_xlsx_escapes_read_back(text):
    """What export-xlsx stores comes back from openpyxl's own file, and (but for a literal
    `_x005F_`) from a spreadsheet's string table, which openpyxl reads with `x005F_` dropped."""
    from qel_i18n_tools.xlsx_export import escape, unescape

    assert unescape(escape(text)) == text
    if text != "_x005F_":
        assert unescape(escape(text).replace("x005F_", "")) == text
