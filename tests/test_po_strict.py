"""import-po reads only PO files whose every line msgfmt and polib read alike, within bounds that
keep polib linear; export-po writes nothing a catalogue's text could turn into entries."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

from test_tools import csv_text, rows_of, run

polib = pytest.importorskip("polib")

HEAD = 'msgid ""\nmsgstr "Language: fr\\n"\n\n'  # lines 1-3; the first entry starts on line 4
SAVE = 'msgid "Save"\nmsgstr '  # the msgstr is on line 5


@pytest.fixture
def catalogue(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    rows = [["Position", "0", "fr", "de"], ["a.py: 0001", "Save", "", ""]]
    Path("m.csv").write_text(csv_text(rows), encoding="utf8", newline="")
    return "m.csv"


@pytest.mark.parametrize(
    "text, argv, status, fragment, cell",
    [
        (HEAD + SAVE + "Bonjour\n", [], 2, "fr.po:5: msgstr is not followed by a quoted", ""),
        (HEAD + SAVE + '"abc\\"\n', [], 2, "fr.po:5: end-of-line within string", ""),
        (HEAD + SAVE + '"\\x41"\n', [], 2, "fr.po:5: the escape \\x, which msgfmt reads", ""),
        (HEAD + SAVE + '"\\101"\n', [], 2, "fr.po:5: the escape \\1", ""),
        (HEAD + SAVE + '"\\a"\n', [], 2, "fr.po:5: the escape \\a", ""),
        (HEAD + SAVE + '"\\q"\n', [], 2, "fr.po:5: invalid escape \\q", ""),
        (HEAD + SAVE + '"a" "b"\n', [], 2, "fr.po:5: text after the string's closing", ""),
        (HEAD + SAVE + '"a\\\n"\n', [], 2, "fr.po:5: a backslash ends the line", ""),
        (HEAD + SAVE + '"a\rb"\n', [], 2, "fr.po:5: a carriage return", ""),
        (HEAD + SAVE + '"a"\n#~ "b"\n', [], 2, "fr.po:6: inconsistent use of #~", ""),
        (HEAD + SAVE + '"a"\n#| "b"\n', [], 2, "fr.po:6: inconsistent use of #|", ""),
        (HEAD + SAVE + '"a"\n#~ #, fuzzy\n', [], 2, 'fr.po:6: #~ followed by "#,"', ""),
        (HEAD + 'msgid "Save"\n# c\nmsgstr "a"\n', [], 2, "fr.po:5: a comment where", ""),
        (HEAD + 'msgid "Save"\n', [], 2, "fr.po:4: missing msgstr", ""),
        (HEAD + "#zz\n", [], 2, 'fr.po:4: a comment begins "# ", "#.", ', ""),
        (HEAD + HEAD, [], 2, 'fr.po:4: a second header entry (msgid ""); the first', ""),
        # The bounds that keep polib, which joins a string's lines one by one, linear.
        (HEAD + SAVE + '""\n' + '"x"\n' * 4096, [], 2, "fr.po:4101: a string of more", ""),
        (HEAD + SAVE + f'"{"x" * 131_073}"\n', [], 2, "fr.po:5: a string of more than 131,", ""),
        (HEAD + "#.\n" * 4097 + SAVE + '"a"\n', [], 2, "fr.po:4100: more than 4,096 comment", ""),
        # Findings: nothing written unless --partial.
        (HEAD + SAVE + '"A"\n\n' + SAVE + '"B"\n', [], 1, 'fr.po:7: "Save" is also at line 4', ""),
        (HEAD + SAVE + '"A"\n\n' + SAVE + '"B"\n', ["--partial"], 1, "0 cell(s)", ""),
        (HEAD + SAVE + '"A"\nmsgid "New"\nmsgstr "N"\n', [], 1, "nothing imported; 1", ""),
        (HEAD + SAVE + '"A"\nmsgid "New"\nmsgstr "N"\n', ["--partial"], 1, "1 cell(s)", "A"),
        # The file's language against the column's label.
        (
            HEAD.replace("fr", "de") + SAVE + '"A"\n',
            [],
            2,
            'fr.po:1: the file\'s Language is "de"',
            "",
        ),
        (HEAD.replace("fr", "de") + SAVE + '"A"\n', ["--force"], 0, "1 cell(s)", "A"),
        (HEAD.replace("fr", "fr_CA") + SAVE + '"A"\n', [], 2, 'Language is "fr_CA"', ""),
        (HEAD.replace("fr", "FR") + SAVE + '"A"\n', ["--dry-run"], 0, "would be filled", ""),
        # What msgfmt and polib both read stays accepted.
        (HEAD + SAVE + '"\\t\\v\\b\\f\\\\\\""\n', [], 0, "1 cell(s)", '\t\v\b\f\\"'),
        ("\ufeff" + (HEAD + SAVE + '"A"\n').replace("\n", "\r\n"), [], 0, "1 cell(s)", "A"),
        (
            HEAD + '#| msgid "Sav"\n' + SAVE + '""\n\t"A"  \n#~ msgid "Old"\n#~ msgstr "V"\n',
            [],
            0,
            "1 obsolete",
            "A",
        ),
    ],
)
def test_import_po_strictness(catalogue, capsys, text, argv, status, fragment, cell):
    Path("fr.po").write_text(text, encoding="utf8", newline="")
    got, out, err = run(capsys, "import-po", catalogue, "fr.po", "--lang", "fr", *argv)
    assert got == status and fragment in (err if status == 2 else out)
    assert rows_of(catalogue)[1][2] == cell


@pytest.mark.parametrize(
    "raw, fragment",
    [
        (b"\xde\x12\x04\x95" + bytes(24), "fr.po: a compiled MO file, not a PO file"),
        (b"\x95\x04\x12\xde" + bytes(24), "fr.po: a compiled MO file, not a PO file"),
        (
            b'msgid ""\nmsgstr "Content-Type: text/plain; charset=ISO-8859-1\\n"\n\n'
            b'msgid "Save"\nmsgstr "\xe9"\n',
            None,
        ),
        (
            b'msgid ""\nmsgstr "Content-Type: text/plain; charset=UTF-8\\n"\n\n'
            b'msgid "Save"\nmsgstr "\xe9"\n',
            "fr.po:5: 'utf-8' codec can't decode",
        ),
    ],
)
def test_import_po_bytes(catalogue, capsys, raw, fragment):
    Path("fr.po").write_bytes(raw)
    status, _, err = run(capsys, "import-po", catalogue, "fr.po", "--lang", "fr")
    assert (status, rows_of(catalogue)[1][2]) == ((2, "") if fragment else (0, "é"))
    assert fragment is None or err.startswith(f"qel-i18n: error: {fragment}")


def compiled(path):
    """The entries msgfmt compiles from a PO file, read back from its MO file."""
    if not shutil.which("msgfmt"):
        if os.environ.get("CI"):
            pytest.fail("msgfmt is missing (apt-get install gettext)")
        pytest.skip("msgfmt is missing")
    subprocess.run(["msgfmt", "-c", "-o", "out.mo", path], check=True, capture_output=True)
    mo = polib.mofile("out.mo")
    return {entry.msgid: entry.msgstr for entry in mo}, mo.metadata


@pytest.mark.parametrize(
    "name, position, label, message",
    [
        ("m.csv", 'a.py: 0001\nmsgid "evil"\nmsgstr "mal"\n#: b.py: 0002', "fr", "Save"),
        ("m.csv", "a.py\r#, fuzzy: 0001", "fr", "Save"),
        ("m.csv", "a.py\u2028x: 0001\n", "fr", 'Save {a\rmsgid "evil"}'),
        ("m\nLanguage: de\nX-Evil: 1.csv", "a.py: 0001", "fr", "Save"),
        ("m.csv", "a.py: 0001", "fr\nX-Evil: 1", "Save"),
        ("m.csv", "a.py: 0001", "fr\u2028X-Evil: 1", "Save"),
    ],
)
def test_export_po_writes_no_injected_entries(
    tmp_path, monkeypatch, capsys, name, position, label, message
):
    monkeypatch.chdir(tmp_path)
    rows = [["Position", "0", label], [position, message, "Enregistrer"]]
    Path(name).write_text(csv_text(rows), encoding="utf8", newline="")
    status, _, err = run(capsys, "export-po", name, "--lang", "1", "-o", "fr.po")
    if label != "fr":
        assert status == 2 and "m.csv:1: the label of language 1 (fr\\u" in err
        return
    fuzzy = "{" in message  # its placeholder is lacking
    assert [(e.msgid, e.msgstr, e.fuzzy) for e in polib.pofile("fr.po")] == [
        (message, "Enregistrer", fuzzy)
    ]
    entries, metadata = compiled("fr.po")
    assert entries == ({} if fuzzy else {message: "Enregistrer"})
    assert metadata["Language"] == "fr" and "X-Evil" not in metadata
    assert run(capsys, "import-po", name, "fr.po", "--lang", "fr", "--fuzzy")[0] == 0
