"""The command never damages a catalogue and never reports a failure as success: strict reading
in every verb, one run at a time, protected outputs and targets, and guarded updates."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from qel_i18n_tools.lock import catalogue_lock
from test_tools import csv_text, run

GOOD = "Position,0,fr\r\nsrc/a.py: 0001,Open,Ouvrir\r\nsrc/a.py: 0002,Save,\r\n"
# Verbs that read the catalogue, and the arguments after it.
VERBS = [
    ["stats"],
    ["check"],
    ["fill"],
    ["add-lang", "de"],
    ["rename-lang", "fr", "French"],
    ["update", "src"],
    ["export-xlsx", "-o", "out.xlsx"],
]


@pytest.fixture
def folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "a.py").write_text('_("Open")\n_("Save")\n')
    return tmp_path


def files_of(folder):
    return {path: path.read_bytes() for path in folder.rglob("*") if path.is_file()}


BAD_CATALOGUES = [
    (
        GOOD + 'a.py: 0003,Quit,"Quitter\r\na.py: 0004,Help,Aide\r\n',
        "m.csv:4: a quote that is never",
    ),
    (GOOD.replace(",Ouvrir", ',"Ouv"rir'), "m.csv:2: ',' expected after '\"'"),
    (GOOD.replace(",Ouvrir", ',"Ouvrir\r\na.py: 0009,Exit,"Sortir"'), "m.csv:2: ',' expected"),
    (GOOD + "\r\n", "m.csv:4: a blank line"),
    (GOOD + "\n", "m.csv:4: a blank line"),
    (GOOD.replace("\r\nsrc/a.py: 0002", "\r\n\r\nsrc/a.py: 0002"), "m.csv:3: a blank line"),
    (GOOD + "lonely\r\n", "m.csv:4: a row needs a position and a message, this one has 1"),
    (GOOD + ",Quit,Quitter\r\n", "m.csv:4: the row's position is empty"),
    (GOOD + "a.py: 0003,,Quitter\r\n", "m.csv:4: the row's message is empty"),
    (GOOD + "a.py: 0003,Quit," + "x" * 131073 + "\r\n", "m.csv:4: a cell longer than the 131072"),
    ("Position\r\n", "m.csv:1: the header needs a position and a message column"),
    (
        "Position;0;fr\r\na;b;c\r\n",
        "m.csv:1: a row needs a position and a message, this one has 1 "
        "cell(s); cells separated by ';', not ','?",
    ),
    (GOOD + "a.py: 0003,Quit,Quitter\r\n" * 3000 + "a.py: 9,\xe9\r\n", "m.csv:3004: not UTF-8"),
]


@pytest.mark.parametrize("argv", VERBS, ids=lambda argv: argv[0])
@pytest.mark.parametrize("text, error", BAD_CATALOGUES)
def test_a_damaged_catalogue_stops_every_verb(folder, capsys, argv, text, error):
    data = text.encode("utf8").replace(b"\xc3\xa9", b"\xe9")  # the bad byte stays bad
    Path("m.csv").write_bytes(data)
    before = files_of(folder)
    status, out, err = run(capsys, argv[0], "m.csv", *argv[1:])
    assert (status, out) == (2, "")
    assert err.startswith("qel-i18n: error: ") and error in err and err.count("\n") == 1
    assert files_of(folder) == before


@pytest.mark.parametrize("argv", VERBS[:4], ids=lambda argv: argv[0])
def test_a_damaged_excess_file_stops_every_verb(folder, capsys, argv):
    Path("m.csv").write_text(GOOD, newline="")
    Path("m-excess.csv").write_text(GOOD + "\r\n", newline="")
    status, _, err = run(capsys, argv[0], "m.csv", *argv[1:])
    assert status == 2 and "m-excess.csv:4: a blank line" in err


def test_a_cell_the_loader_cannot_read_is_never_written(folder, capsys):
    (folder / "src" / "a.py").write_text(f'_("{"x" * 131073}")\n')
    Path("m.csv").write_text(GOOD, newline="")
    status, _, err = run(capsys, "update", "m.csv", "src")
    assert status == 2 and "position 'src/a.py: 0001' has a cell of 131073 characters" in err
    assert Path("m.csv").read_bytes().decode() == GOOD and not Path("m-excess.csv").exists()


def dead_pid():
    child = subprocess.Popen([sys.executable, "-c", ""])
    child.wait()
    return child.pid


# The run that writes checks what it read just before it replaces a file.
@pytest.mark.parametrize(
    "argv, writes",
    [(["fill"], "m.csv"), (["add-lang", "de"], "m.csv"), (["update", "src"], "m-excess.csv")],
    ids=["fill", "add-lang", "update"],
)
def test_a_file_changed_meanwhile_is_not_replaced(folder, capsys, monkeypatch, argv, writes):
    Path("m.csv").write_text(GOOD + "src/a.py: 0003,Open,\r\nb.py: 1,Gone,\r\n", newline="")
    import qel_i18n_tools.catalogue as catalogue

    real = catalogue.ensure_unchanged

    def meddle(path, name=None):
        with open(path, "ab") as file:  # another program writes meanwhile
            file.write(b"z.py: 0001,Late,\r\n")
        return real(path, name)

    monkeypatch.setattr(catalogue, "ensure_unchanged", meddle)
    status, _, err = run(capsys, argv[0], "m.csv", *argv[1:])
    assert status == 2 and f"{writes}: changed by another program" in err


def test_a_second_run_waits_for_the_lock_then_names_its_holder(folder, capsys):
    Path("m.csv").write_text(GOOD, newline="")
    with catalogue_lock("m.csv"):
        status, _, err = run(capsys, "fill", "m.csv", "--lock-wait", "0.2")
        assert status == 2 and f"another qel-i18n run is writing it (process {os.getpid()}" in err
        assert run(capsys, "stats", "m.csv")[0] == 0  # readers do not wait
    assert run(capsys, "fill", "m.csv")[0] == 0
    assert sorted(os.listdir()) == ["m.csv", "src"]  # the lock file is gone


def test_concurrent_imports_lose_no_translation(folder):
    polib = pytest.importorskip("polib")
    count = 3000
    rows = [["Position", "0", "fr", "de"]] + [[f"a.py: {i}", f"m{i}"] for i in range(count)]
    Path("m.csv").write_text(csv_text(rows), newline="")
    for language in ("fr", "de"):
        po = polib.POFile()
        po.metadata = {"Language": language, "Content-Type": "text/plain; charset=UTF-8"}
        for i in range(count):
            po.append(polib.POEntry(msgid=f"m{i}", msgstr=f"{language}{i}"))
        po.save(f"{language}.po")
    command = [sys.executable, "-m", "qel_i18n_tools", "import-po", "m.csv"]
    children = [
        subprocess.Popen(
            [*command, f"{language}.po", "--lang", language], stdout=subprocess.DEVNULL
        )
        for language in ("fr", "de")
    ]
    assert [child.wait(120) for child in children] == [0, 0]
    rows = [line.split(",") for line in Path("m.csv").read_text().splitlines()[1:]]
    assert all(row[2:] == [f"fr{i}", f"de{i}"] for i, row in enumerate(rows))


@pytest.mark.parametrize(
    "argv, error",
    [
        (["export-po", "m.csv", "--lang", "1", "-o", "m.csv"], "replace the catalogue"),
        (["export-po", "m.csv", "--lang", "1", "-o", "./m-excess.csv"], "catalogue's excess file"),
        (["export-xlsx", "m.csv", "-o", "link.csv"], "replace the catalogue"),
        (["export-xlsx", "m.csv", "-o", "hard.csv"], "replace the catalogue"),
    ],
)
def test_an_output_never_replaces_the_catalogue(folder, capsys, argv, error):
    Path("m.csv").write_text(GOOD, newline="")
    Path("m-excess.csv").write_text(GOOD, newline="")
    os.symlink("m.csv", "link.csv")
    os.link("m.csv", "hard.csv")
    status, _, err = run(capsys, *argv)
    assert status == 2 and error in err and Path("m.csv").read_bytes().decode() == GOOD


@pytest.mark.parametrize(
    "argv, status, said",
    [
        (["update", "m.csv", "empty"], 2, "no source file in empty (files ending in .py)"),
        (["update", "m.csv", "src", "-e", ".pyx"], 2, "no source file in src"),
        (["update", "m.csv", "src/b.py"], 1, "2 of its 3 rows have messages no source marks any"),
        (["update", "m.csv", "src/b.py", "--force"], 0, "1 kept, 2 moved to m-excess.csv"),
        (["update", "m.csv", "src/a.py"], 0, "2 kept, 1 moved to m-excess.csv"),
        (["check", "empty.csv", "--min-percent", "50"], 1, "no message at all"),
        (["update", "src/b.py", "src"], 2, "src/b.py: is a source to scan and the file the update"),
    ],
)
def test_update_guards(folder, capsys, argv, status, said):
    Path("empty").mkdir()
    Path("src/b.py").write_text('_("Quit")\n')
    Path("m.csv").write_text(GOOD + "src/b.py: 0001,Quit,Quitter\r\n", newline="")
    Path("empty.csv").write_text("Position,0,fr\r\n", newline="")
    before = files_of(folder)
    result, out, err = run(capsys, *argv)
    assert result == status and said in out + err
    assert (files_of(folder) == before) == (status != 0)


@pytest.mark.parametrize(
    "make, target", [(os.link, "m.csv"), (os.symlink, "../m-excess.csv")]  # not made yet
)
def test_a_source_that_is_a_file_the_update_writes_is_refused(folder, capsys, make, target):
    Path("m.csv").write_text(GOOD, newline="")
    make(target, "src/x.py")
    status, _, err = run(capsys, "update", "m.csv", "src")
    assert status == 2 and "src/x.py: is a source to scan and the file the update writes" in err


def test_messages_that_moved_lines_are_no_reason_to_stop(folder, capsys):
    Path("m.csv").write_text(GOOD, newline="")
    Path("src/a.py").write_text('\n\n_("Open")\n_("Save")\n')  # every row's line changes
    status, out, _ = run(capsys, "update", "m.csv", "src")
    assert status == 0 and "2 row(s) new, 0 kept, 2 moved" in out


def test_stale_temporaries_of_dead_runs_are_removed(folder, capsys):
    Path("m.csv").write_text(GOOD, newline="")
    dead, live = dead_pid(), os.getppid()
    names = [
        f".qel-i18n-{dead}-x1.tmp",
        f".m.csv.{dead}-3.tmp",
        f".qel-i18n-{live}-x2.tmp",
        f".m.csv.{live}-1.tmp",
        f".unrelated.{dead}-1.tmp",
    ]
    for name in names:
        Path(name).write_text("partial")
    status, _, err = run(capsys, "add-lang", "m.csv", "de")
    assert status == 0 and err.count("which has ended") == 2
    assert [Path(name).exists() for name in names] == [False, False, True, True, True]


@pytest.mark.parametrize(
    "header_rows, error",
    [
        (GOOD.replace("a.py: 0002,Save,", "a.py: 0002,Save,,Speichern"), "m.csv:3: 1 row(s) have"),
    ],
)
def test_add_lang_refuses_rows_longer_than_the_header(folder, capsys, header_rows, error):
    Path("m.csv").write_text(header_rows, newline="")
    status, _, err = run(capsys, "add-lang", "m.csv", "de")
    assert status == 2 and error in err


@pytest.mark.parametrize("argv", [["fill"], ["add-lang", "de"], ["update", "src"]])
def test_a_read_only_catalogue_is_not_replaced(folder, capsys, argv):
    Path("m.csv").write_text(GOOD.replace("0002,Save,", "0002,Open,") + "b.py: 1,Gone,\r\n")
    os.chmod("m.csv", 0o444)
    before = files_of(folder)
    status, _, err = run(capsys, argv[0], "m.csv", *argv[1:])
    assert status == 2 and "m.csv: the file is read-only; nothing written" in err
    assert files_of(folder) == before


def test_printed_text_escapes_control_characters(folder, capsys):
    Path("m.csv").write_text(GOOD.replace(",fr", ",\x1b[31mfr\u202e") + "a.py: 3,\x9b2J,x\r\n")
    for argv in (["stats"], ["check"], ["check", "--format", "json"], ["stats", "--json"]):
        _, out, _ = run(capsys, argv[0], "m.csv", *argv[1:])
        assert "\x1b" not in out and "\x9b" not in out and "\u202e" not in out
        assert "\\u001b[31mfr\\u202e" in out
