"""The `qel-i18n` command through `main(argv)`: each verb's output figures, files and exit
status, and one run of the installed console script."""

import csv
import io
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import qel_i18n
from qel_i18n_tools import main

HEADER = ["Position", "0", "fr", "de"]


def csv_text(rows):
    buffer = io.StringIO(newline="")
    csv.writer(buffer).writerows(rows)
    return buffer.getvalue()


def rows_of(path):
    with open(path, newline="", encoding="utf8") as file:
        return list(csv.reader(file))


def run(capsys, *argv):
    status = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def project(tmp_path, monkeypatch):
    """A source tree (a file at the top, one in a subdirectory) and a translated catalogue."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "src" / "sub").mkdir(parents=True)
    (tmp_path / "src" / "app.py").write_text('print(_("Open"))\nprint(_("Save"))\n')
    (tmp_path / "src" / "sub" / "more.py").write_text('_("Save")\n_("Quit")\n')
    (tmp_path / "src" / "notes.txt").write_text('_("Not scanned")\n')
    qel_i18n.parse_directory("messages.csv", "src", ".py")
    return tmp_path


def translate(path, table):
    """Fills cells as a translator would: {(position, language): text}."""
    rows = rows_of(path)
    for row in rows[1:]:
        for (position, language), text in table.items():
            if row[0] == position:
                row.extend([""] * (language + 2 - len(row)))
                row[language + 1] = text
    Path(path).write_text(csv_text(rows), encoding="utf8", newline="")


def test_update_is_parse_directory_byte_for_byte(project):
    (project / "src" / "app.py").write_text('_("Open")\n\n_("New")\n')
    shutil.copy("messages.csv", "before.csv")
    qel_i18n.parse_directory("before.csv", "src", ".py")
    assert main(["update", "messages.csv", "src", "--no-fill"]) == 0
    assert Path("messages.csv").read_bytes() == Path("before.csv").read_bytes()
    assert Path("messages-excess.csv").read_bytes() == Path("before-excess.csv").read_bytes()


@pytest.mark.parametrize(
    "argv, files, rows",
    [
        (["src"], 2, 4),
        (["src", "--flat"], 1, 2),
        (["src", "-e", ".py", "-e", ".txt"], 3, 5),
        (["src/app.py", "src/notes.txt"], 2, 3),
    ],
)
def test_update_summary(project, capsys, argv, files, rows):
    status, out, _ = run(capsys, "update", "messages.csv", *argv, "--no-fill")
    assert status == 0
    assert out.splitlines()[0].startswith(f"{files} file(s) scanned, {rows} marked message(s)")
    assert len(rows_of("messages.csv")) == rows + 1


def test_update_moves_and_carries_over(project, capsys):
    translate("messages.csv",
              {("src/app.py: 0002", 1): "Enregistrer", ("src/app.py: 0001", 2): "Öffnen"})
    source = project / "src" / "app.py"
    source.write_text("import os\n" + source.read_text())
    status, out, _ = run(capsys, "update", "messages.csv", "src", "--check")
    assert status == 1 and '    moved: "Open"' in out and "messages.csv and messages-excess" in out
    assert not Path("messages-excess.csv").exists()
    status, out, _ = run(capsys, "update", "messages.csv", "src")
    assert status == 0
    assert "2 row(s) new, 2 kept, 2 moved to messages-excess.csv" in out
    assert "3 translation(s) carried over, 0 conflict(s)" in out  # Save in two rows, Open once
    assert rows_of("messages.csv")[1:] == [
        ["src/app.py: 0002", "Open", "", "Öffnen"],
        ["src/sub/more.py: 0002", "Quit"],
        ["src/app.py: 0003", "Save", "Enregistrer"],
        ["src/sub/more.py: 0001", "Save", "Enregistrer"],
    ]
    assert run(capsys, "update", "messages.csv", "src", "--check")[:2] == (
        0, "messages.csv is up to date (2 files, 4 messages)\n")


def test_fill(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    catalogue = [HEADER,
                 ["a.py: 0001", "Save", "Enregistrer"], ["a.py: 0002", "Save"],
                 ["a.py: 0003", "Open", "", "Öffnen"], ["a.py: 0004", "Open", "Ouvrir"],
                 ["a.py: 0005", "Quit"], ["a.py: 0006", "Quit", "", ""],
                 ["a.py: 0007", "Cut", "Couper"], ["a.py: 0008", "Cut", "Tailler"],
                 ["a.py: 0009", "Cut"], ["a.py: 0010", "Copy"]]
    excess = [HEADER, ["a.py: 0020", "Quit", "Quitter", "Beenden"],
              ["a.py: 0021", "Copy", "Copier"], ["a.py: 0022", "Copy", "Dupliquer"],
              ["a.py: 0023", "Gone", "Parti"], ["a.py: 0024", "Open", "Ouvrir"]]
    Path("m.csv").write_text(csv_text(catalogue), encoding="utf8", newline="")
    Path("m-excess.csv").write_text(csv_text(excess), encoding="utf8", newline="")
    before = Path("m.csv").read_bytes(), Path("m-excess.csv").read_bytes()

    status, out, _ = run(capsys, "fill", "m.csv", "--dry-run", "--prune-excess")
    assert status == 1
    assert (Path("m.csv").read_bytes(), Path("m-excess.csv").read_bytes()) == before
    assert "m.csv: 7 translation(s) would be carried over, 2 conflict(s)" in out
    assert "m.csv:10: conflict in language 1 (fr) for \"Cut\"" in out
    assert '    "Couper" at m.csv:8\n    "Tailler" at m.csv:9\n    empty at m.csv:10\n' in out
    assert '    "Copier" at m-excess.csv:3\n' in out and "the lookup shows \"Tailler\"" in out

    assert run(capsys, "fill", "m.csv", "--no-excess", "--lang", "de")[0] == 0
    assert [row[3:] for row in rows_of("m.csv")[1:5]] == [[], [], ["Öffnen"], ["Öffnen"]]
    status, out, _ = run(capsys, "fill", "m.csv", "--prune-excess")
    assert status == 1 and "m-excess.csv: 2 row(s) pruned" in out
    assert rows_of("m.csv")[1:] == [
        ["a.py: 0001", "Save", "Enregistrer"], ["a.py: 0002", "Save", "Enregistrer"],
        ["a.py: 0003", "Open", "Ouvrir", "Öffnen"], ["a.py: 0004", "Open", "Ouvrir", "Öffnen"],
        ["a.py: 0005", "Quit", "Quitter", "Beenden"], ["a.py: 0006", "Quit", "Quitter", "Beenden"],
        ["a.py: 0007", "Cut", "Couper"], ["a.py: 0008", "Cut", "Tailler"],
        ["a.py: 0009", "Cut"], ["a.py: 0010", "Copy"]]
    assert [row[1] for row in rows_of("m-excess.csv")[1:]] == ["Copy", "Copy", "Gone"]


PLACEHOLDER_CASES = [
    ("Hello {name}", "Bonjour {nom}", ["lacks {name}", "has {nom}"]),
    ("Hello {name}", "Bonjour", ["lacks {name}"]),
    ("Hello", "Bonjour {name}", ["has {name}"]),
    ("{0} of {1}", "{1} sur {0}", []),
    ("{} of {}", "{} sur", ["lacks {1}"]),
    ("{} of {}", "{0} sur {1}", []),  # format() numbers {} fields itself
    ("{} files", "{} et {0} fichiers", ["translation numbers its fields both automatically"]),
    ("{x!r:>10}", "{x:>10}", ["lacks {x!r:>10}", "has {x:>10}"]),
    ("{x}", "{x", ["no valid format string"]),
    ("%s of %d", "%d sur %s", ["conversions %s %d in this order, the translation %d %s"]),
    ("%s files", "fichiers", ["%s in this order, the translation (none)"]),
    ("files", "%d fichiers", ["(none) in this order, the translation %d"]),
    ("%(n)d files", "%(nombre)d fichiers", ["lacks %(n)d", "has %(nombre)d"]),
    ("100%% sure", "100 % sûr", ["%% in this order"]),
    ("%(a)s %(b)s", "%(b)s %(a)s", []),
    ("50% off", "50 % de remise", []),
    ("%d files", "%d fichiers %", ["no valid printf format string"]),
    ("%d off", "%d, 50% de remise", ["the translation %d % d"]),
    (" Name", "Nom", ["message starts with whitespace"]),
    ("Name:", "Nom :\n", ["translation ends with a line end"]),
    ("\nName", " Nom", ["message starts with a line end"]),
    ("Name ", "Nom ", []),
]


@pytest.mark.parametrize("message, translation, problems", PLACEHOLDER_CASES)
def test_check_placeholders_and_whitespace(tmp_path, capsys, message, translation, problems):
    path = tmp_path / "m.csv"
    path.write_text(csv_text([HEADER, ["a.py: 0001", message, translation]]), newline="")
    status, out, _ = run(capsys, "check", path, "--format", "json")
    found = json.loads(out)["findings"]
    assert status == (1 if problems else 0)
    assert len(found) == len(problems)
    for finding, problem in zip(found, problems):
        assert problem in finding["text"] and finding["line"] == 2 and finding["label"] == "fr"


@pytest.mark.parametrize(
    "translations, shown",
    [(["Enregistrer", ""], '"Enregistrer"'), (["", "Enregistrer"], "no translation")],
)
def test_check_disagreement_shows_the_lookups_choice(tmp_path, capsys, translations, shown):
    path = tmp_path / "m.csv"
    rows = [HEADER, ["a.py: 0001", "Open", "Ouvrir"], ["a.py: 0002", "Save", translations[0]],
            ["a.py: 0003", "Save", translations[1]]]
    path.write_text(csv_text(rows), encoding="utf8", newline="")
    cells = [f'"{text}"' if text else "(empty)" for text in translations]
    status, out, _ = run(capsys, "check", path, "--lang", "fr")
    assert status == 1
    assert out.splitlines() == [
        f"{path}:3: language 1 (fr): the rows of \"Save\" disagree: line 3 {cells[0]}, "
        f"line 4 {cells[1]}; the lookup shows {shown}",
        f"language 1 (fr): {1 + (shown != 'no translation')} of 2 messages translated "
        f"({50.0 + 50 * (shown != 'no translation'):.1f} %)",
        "1 finding(s)",
    ]


def test_check_coverage(tmp_path, capsys):
    path = tmp_path / "m.csv"
    rows = [HEADER, ["a.py: 0001", "Open", "Ouvrir"], ["a.py: 0002", "Save", "", "Sichern"]]
    path.write_text(csv_text(rows), encoding="utf8", newline="")
    assert run(capsys, "check", path, "--min-percent", "50")[0] == 0
    status, out, _ = run(capsys, "check", path, "--lang", "2", "--lang", "fr",
                         "--min-percent", "50.5", "--format", "github")
    assert (status, out.splitlines()) == (1, [
        f"::warning file={path},line=1,title=qel-i18n coverage::language {i} ({label}): "
        "1 of 2 messages translated (50.0 %25), below 50.5 %25"
        for i, label in [(1, "fr"), (2, "de")]])


def test_stats_and_add_lang(tmp_path, capsys):
    path = tmp_path / "m.csv"
    rows = [["Position", "0", "1"], ["a.py: 0001", "Open", "Ouvrir"], ["a.py: 0002", "Save"],
            ["a.py: 0003", "Save", "Enregistrer"], ["a.py: 0004", "Quit", ""]]
    path.write_text(csv_text(rows), encoding="utf8", newline="")
    status, out, _ = run(capsys, "stats", path, "--json")
    language = json.loads(out)["languages"][0]
    assert (status, language["messages"], language["messages_translated"]) == (0, 3, 1)
    assert (language["rows"], language["rows_translated"], language["percent"]) == (4, 2, 33.3)
    assert "(33.3 %)" in run(capsys, "stats", path)[1]
    assert run(capsys, "add-lang", path, "de")[:2] == (0, "2\n")
    assert rows_of(path) == [["Position", "0", "1", "de"]] + rows[1:]
    assert run(capsys, "check", path, "--lang", "de", "--format", "json")[0] == 0
    for label in ["de", "7", ""]:
        status, _, err = run(capsys, "add-lang", path, label)
        assert status == 2 and err.count("\n") == 1
    assert rows_of(path)[0] == ["Position", "0", "1", "de"]


def test_rewrite(tmp_path, capsys):
    (tmp_path / "a.py").write_text("import gettext\n_ = gettext.gettext\n")
    (tmp_path / "b.py").write_text("import os\n")
    status, out, _ = run(capsys, "rewrite", tmp_path / "a.py", tmp_path / "b.py")
    assert status == 0 and out == f"rewrote {tmp_path / 'a.py'}\n1 of 2 file(s) rewritten\n"
    assert (tmp_path / "a.py").read_text() == "import qel_i18n\n_ = qel_i18n.gettext\n"


ERROR_CASES = [
    (["fill", "missing.csv"], "missing.csv: No such file or directory"),
    (["fill", "broken.csv"], "broken.csv:3: a cell longer than the 131072 characters"),
    (["stats", "latin1.csv"], "latin1.csv:2: not UTF-8"),
    (["check", "blank.csv"], "blank.csv:2: a blank line"),
    (["check", "messages.csv", "--lang", "es"], "language 'es' is not a language column"),
    (["check", "empty.csv"], "empty.csv: the file is empty"),
    (["update", "messages.csv", "src", "nowhere"], "nowhere: no such file or directory"),
    (["update", "messages.csv", "bad", "--scanner", "module"], "JSONDecodeError: Invalid "
     "\\escape: line 1 column 2 (char 1) (while scanning 'bad/x.py', line 2, marked text "
     "'\\\\q')"),
    (["update", "messages.csv", "undecodable"], "undecodable/y.py:3: invalid UTF-8 (byte 0xe9), "
     "and no other encoding declared"),
    (["update", "messages.csv", "src", "-k", "a.b"], "--keyword: not a name a call can be made "
     "by: 'a.b'"),
]


@pytest.mark.parametrize("argv, message", ERROR_CASES)
def test_errors_are_one_line_and_write_nothing(project, capsys, argv, message):
    Path("broken.csv").write_text("Position,0,1\r\na,b\r\nc," + "d" * 200000 + "\r\n")
    Path("latin1.csv").write_bytes("Position,0,1\r\na,é\r\n".encode("latin1"))
    Path("blank.csv").write_text("Position,0,1\r\n\r\n")
    Path("empty.csv").write_text("")
    (project / "bad").mkdir()
    (project / "bad" / "x.py").write_text('_("ok")\n_("\\q")\n')
    (project / "undecodable").mkdir()
    (project / "undecodable" / "y.py").write_bytes(b'_("ok")\r\n\r\n_("caf\xe9")\n')
    before = {path: path.read_bytes() for path in project.rglob("*") if path.is_file()}
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    assert err.startswith("qel-i18n: error: ") and message in err and err.count("\n") == 1
    assert {path: path.read_bytes() for path in project.rglob("*") if path.is_file()} == before


@pytest.mark.parametrize("failing", ["replace", "fsync", "chmod"])
@pytest.mark.parametrize(
    "argv",
    [["fill", "messages.csv"], ["fill", "messages.csv", "--prune-excess"],
     ["add-lang", "messages.csv", "es"]],
)
def test_failed_write_leaves_the_files(project, capsys, monkeypatch, argv, failing):
    source = project / "src" / "app.py"
    source.write_text("\n" + source.read_text())
    translate("messages.csv", {("src/app.py: 0002", 1): "Enregistrer"})
    qel_i18n.parse_directory("messages.csv", "src", ".py")  # Save's translation goes to excess
    os.chmod("messages.csv", 0o640)
    before = {name: Path(name).read_bytes() for name in os.listdir() if name != "src"}

    def refuse(*args):
        raise OSError(28, "No space left on device")

    with monkeypatch.context() as patch:
        patch.setattr(os, failing, refuse)
        status, _, err = run(capsys, *argv)
    assert status == 2 and err == (
        "qel-i18n: error: messages.csv: No space left on device; nothing written\n"
    )
    assert {name: Path(name).read_bytes() for name in os.listdir() if name != "src"} == before
    assert main(argv) == 0
    assert os.stat("messages.csv").st_mode & 0o777 == 0o640


def test_console_script(project):
    script = Path(sys.executable).with_name("qel-i18n")
    if not script.exists():
        pytest.skip("the package is not installed in this interpreter's environment")
    for command in ([str(script)], [sys.executable, "-m", "qel_i18n_tools"]):
        done = subprocess.run(command + ["stats", "nothing.csv"], capture_output=True, text=True)
        assert (done.returncode, done.stdout) == (2, "")
        assert done.stderr == "qel-i18n: error: nothing.csv: No such file or directory\n"
        done = subprocess.run(command + ["update", "messages.csv", "src", "--check"],
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
