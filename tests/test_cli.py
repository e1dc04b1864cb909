"""The command's frame: which errors are one line and which are faults shown with their
traceback, the project's settings, the pre-commit hooks, labelled languages, help and output."""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from qel_i18n_tools import cli, main, stats
from test_tools import csv_text, rows_of, run


def noted(error, note):
    error.add_note(note)
    return error


ERRORS = [
    (OSError(2, "No such file or directory", "m.csv"), True),
    (UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"), True),
    (noted(StopIteration(), "while reading the catalogue file 'm.csv': it is empty"), True),
    (
        noted(
            IndexError("list index out of range"),
            "while reading the catalogue file 'm.csv', line 2",
        ),
        True,
    ),
    (noted(ValueError("bad"), "while scanning 'a.py', line 2, marked text '\\\\q'"), True),
    (ValueError("bad"), False),
    (KeyError("x"), False),
    (AttributeError("'NoneType' object has no attribute 'x'"), False),
]


@pytest.mark.parametrize("error, expected", ERRORS)
def test_only_expected_errors_are_one_line(tmp_path, capsys, monkeypatch, error, expected):
    def fail(args):
        raise error

    monkeypatch.setattr(stats, "run", fail)
    Path(tmp_path / "m.csv").write_text("Position,0,1\r\n")
    status, out, err = run(capsys, "stats", tmp_path / "m.csv")
    assert (status, out) == (2, "")
    assert err.count("\n") == 1 if expected else "Traceback (most recent call last)" in err
    assert err.splitlines()[-1].startswith("qel-i18n: error: ")
    assert ("please report it" in err) != expected


def settings_file(folder, table):
    lines = ["[project]", 'name = "app"', "", "[tool.qel-i18n]"] + [
        f"{key} = {json.dumps(value)}" for key, value in table.items()
    ]
    (folder / "pyproject.toml").write_text("\n".join(lines) + "\n")


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    """A project: sources in src (one in a subfolder), a folder to run from, and the catalogue
    the module's parse_directory writes for it from the root."""
    (tmp_path / "src" / "pkg").mkdir(parents=True)
    (tmp_path / "src" / "a.py").write_text('_("Open")\n_("Save")\n')
    (tmp_path / "src" / "pkg" / "b.py").write_text('_("Quit")\n')
    (tmp_path / "docs").mkdir()
    (tmp_path / "locale").mkdir()
    monkeypatch.chdir(tmp_path)
    import qel_i18n

    qel_i18n.parse_directory("locale/reference.csv", "src", ".py")
    return tmp_path


# (folder run from, sources setting, command line after "update")
SAME_CATALOGUE = [
    (".", ["src"], []),
    (".", ["src/"], []),
    (".", ["./src"], []),
    ("docs", ["./src/"], []),
    ("src/pkg", ["src"], []),
    ("docs", ["elsewhere"], ["../locale/m.csv", "../src"]),  # the command line wins
    ("docs", ["elsewhere"], ["../locale/m.csv", "../src/a.py", "../src/pkg/b.py"]),
    (".", ["src/a.py", "./src/pkg/../pkg/b.py"], []),
]


@pytest.mark.parametrize("folder, sources, argv", SAME_CATALOGUE)
def test_settings_give_one_catalogue_from_any_folder(scratch, capsys, folder, sources, argv):
    settings_file(scratch, {"catalogue": "locale/m.csv", "sources": sources})
    os.chdir(scratch / folder)
    assert run(capsys, "update", *argv)[0] == 0
    assert run(capsys, "update", "--check", *argv)[0] == 0
    reference = (scratch / "locale" / "reference.csv").read_bytes()
    assert (scratch / "locale" / "m.csv").read_bytes() == reference


def test_without_settings_the_current_folder_is_the_root(scratch, capsys):
    os.chdir(scratch / "docs")
    assert main(["update", "../locale/m.csv", "../src/"]) == 0
    assert rows_of(scratch / "locale" / "m.csv")[1][0] == "../src/a.py: 0001"
    os.chdir(scratch)
    assert main(["update", "./locale/m.csv", "./src/", "--check"]) == 1  # not ../src any more


SETTINGS_ERRORS = [
    (None, ["update"], "no CATALOGUE given, and no catalogue setting in a pyproject.toml"),
    ({"catalogue": "m.csv"}, ["update"], "no PATH given, and no sources setting in [tool"),
    ({"catalogue": "m.csv", "source": ["src"]}, ["stats"], "unknown key(s) source; the keys"),
    ({"sources": "src"}, ["update", "m.csv"], "sources must be a list of texts"),
    ({"min-percent": 120}, ["check", "m.csv"], "min-percent must be a number from 0 to 100"),
    ({"scanner": "regex"}, ["check", "m.csv"], "scanner must be one of python, module"),
]


@pytest.mark.parametrize("table, argv, error", SETTINGS_ERRORS)
def test_settings_errors_name_the_setting(scratch, capsys, table, argv, error):
    if table is not None:
        settings_file(scratch, table)
    (scratch / "m.csv").write_text("Position,0,fr\r\n")
    status, _, err = run(capsys, *argv)
    assert status == 2 and error in err and err.count("\n") == 1


def test_check_and_stats_take_languages_and_min_percent(scratch, capsys):
    rows = [["Position", "0", "fr", "de"], ["a: 1", "Open", "Ouvrir"], ["a: 2", "Save"]]
    (scratch / "locale" / "m.csv").write_text(csv_text(rows))
    settings_file(scratch, {"catalogue": "locale/m.csv", "languages": ["fr"], "min-percent": 50})
    os.chdir(scratch / "docs")
    status, out, _ = run(capsys, "check", "--json")
    assert status == 0 and [share["label"] for share in json.loads(out)["coverage"]] == ["fr"]
    assert run(capsys, "check", "--lang", "de")[0] == 1  # 0 of 2 translated, below 50 %
    assert run(capsys, "check", "--min-percent", "60")[0] == 1
    assert [one["label"] for one in json.loads(run(capsys, "stats", "--json")[1])["languages"]] == [
        "fr"
    ]


def test_pre_commit_hooks(tmp_path, monkeypatch):
    """The repository's hooks, installed by pre-commit itself: the update gate fails on a
    catalogue out of step with the sources, check passes on a clean one."""
    beside = Path(sys.executable).with_name("pre-commit")  # the test environment's own
    command = str(beside) if beside.exists() else shutil.which("pre-commit")
    if command is None:
        pytest.skip("pre-commit is not installed")
    if os.environ.get("LD_PRELOAD") or sys.version_info[:2] != (3, 12):
        pytest.skip("pre-commit builds the package afresh: once, in the plain 3.12 run")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "a.py").write_text('_("Open")\n')
    settings_file(tmp_path, {"catalogue": "m.csv", "sources": ["src"]})
    assert main(["update"]) == 0
    (tmp_path / "src" / "a.py").write_text('_("Open")\n_("Save")\n')
    for argv in (["init", "-q"], ["add", "."]):
        subprocess.run(["git", *argv], check=True)
    done = subprocess.run(
        [command, "try-repo", str(Path(__file__).parent.parent), "--all-files"],
        capture_output=True,
        text=True,
        env={**os.environ, "PRE_COMMIT_HOME": str(tmp_path / "cache")},
    )
    results = dict(re.findall(r"^qel-i18n ([^.]+?)\.+(Passed|Failed)$", done.stdout, re.M))
    assert results == {"update --check": "Failed", "check": "Passed"}, done.stdout + done.stderr
    assert "would change" in done.stdout


# (header, translation of the one row, argv after the catalogue, status, header after, said)
LABELS = [
    ("Position,0,1", "", ["add-lang", "fr"], 0, "Position,0,fr", "1\n"),
    ("Position,0,1", "Ouvrir", ["add-lang", "fr"], 0, "Position,0,1,fr", "2\n"),
    ("Position,0,fr,", "Ouvrir", ["add-lang", "de"], 0, "Position,0,fr,de", "2\n"),
    ("Position,0,1", "", ["add-lang", "1"], 2, "Position,0,1", "a column labelled '1'"),
    ("Position,0,1", "Ouvrir", ["rename-lang", "1", "fr"], 0, "Position,0,fr", "is now labelled"),
    ("Position,0,fr,de", "", ["rename-lang", "de", "fr"], 2, None, "labelled 'fr' (language 1)"),
    ("Position,0,fr", "", ["rename-lang", "fr", "9"], 2, None, "must be the column's language"),
    ("Position,0,fr", "", ["rename-lang", "es", "x"], 2, None, "add-lang m.csv es adds it"),
    ("Position,0,fr", "", ["stats", "--lang", "es"], 2, None, "add-lang m.csv es adds it"),
]


@pytest.mark.parametrize("header, translation, argv, status, after, said", LABELS)
def test_labelled_languages(
    tmp_path, capsys, monkeypatch, header, translation, argv, status, after, said
):
    monkeypatch.chdir(tmp_path)
    Path("m.csv").write_text(f"{header}\r\na.py: 0001,Open,{translation}\r\n")
    result, out, err = run(capsys, argv[0], "m.csv", *argv[1:])
    assert result == status and said in out + err
    assert Path("m.csv").read_text().splitlines()[0] == (after or header)
    if after == "Position,0,fr" and argv[0] == "add-lang":
        assert "language 1 had no label of its own and no translation" in err


@pytest.mark.parametrize("verb", sorted(cli.VERBS))
def test_help_covers_every_argument_and_ends_with_examples_and_statuses(capsys, verb):
    parser = cli.build_parser()
    (verbs,) = [action for action in parser._actions if action.dest == "verb"]
    sub = verbs.choices[verb]
    assert all(action.help for action in sub._actions)
    with pytest.raises(SystemExit):
        main([verb, "--help"])
    text = capsys.readouterr().out
    assert text.split("examples:\n")[1].startswith(f"  qel-i18n {verb}")
    assert text.rstrip().endswith("2  an error, told in one line on standard error")


def test_version(capsys):
    with pytest.raises(SystemExit):
        main(["--version"])
    assert capsys.readouterr().out.startswith("qel-i18n ")


# (command line, exit status, a figure of the report)
JSON_REPORTS = [
    (["update", "m.csv", "src", "--json"], 1, ("refused", True)),
    (["update", "m.csv", "src", "--json", "--force"], 0, ("rows_new", 1)),
    (["update", "m.csv", "src", "--check", "--format", "json"], 1, ("messages_new", ["Save"])),
    (["fill", "m.csv", "--json", "--dry-run"], 1, ("filled", 1)),
    (["import-xlsx", "m.csv", "m.xlsx", "--json"], 0, ("cells", 0)),
    (["import-po", "m.csv", "fr.po", "--lang", "fr", "--json"], 1, ("findings", 1)),
]


@pytest.mark.parametrize("argv, status, figure", JSON_REPORTS)
def test_json_reports_are_one_object(tmp_path, capsys, monkeypatch, argv, status, figure):
    pytest.importorskip("openpyxl")
    polib = pytest.importorskip("polib")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "a.py").write_text('_("Open")\n_("Save")\n')
    rows = [["Position", "0", "fr"], ["src/a.py: 0001", "Open", "Ouvrir"], ["x: 1", "Open", ""]]
    rows += [["y: 1", "Cut", "Couper"], ["y: 2", "Cut", "Tailler"], ["y: 3", "Cut"]]
    Path("m.csv").write_text(csv_text(rows))
    assert main(["export-xlsx", "m.csv", "-o", "m.xlsx"]) == 0
    po = polib.POFile()
    po.append(polib.POEntry(msgid="Gone", msgstr="Parti"))
    po.save("fr.po")
    capsys.readouterr()
    result, out, _ = run(capsys, *argv)
    key, value = figure
    assert result == status and json.loads(out)[key] == value


# (source, what the rewrite lists as left: "line: use")
GETTEXT_LEFT = [
    ("import gettext\n_ = gettext.gettext\n", []),
    (
        'import gettext\ngettext.translation("app", "locale").install()\n',
        ["2: gettext.translation(...)"],
    ),
    ("import gettext\nn = gettext.ngettext('a', 'b', 2)\n", ["2: gettext.ngettext(...)"]),
    ("from gettext import gettext as _\n", ["1: from gettext import ..."]),
    ("# gettext.textdomain('x')\ns = 'gettext.install()'\nself.gettext.install()\n", []),
    ("import gettext\nf = gettext.GNUTranslations\n", ["2: gettext.GNUTranslations"]),
    ('x = "unterminated\n', ["1: not read as Python"]),
]


@pytest.mark.parametrize("source, left", GETTEXT_LEFT)
def test_rewrite_lists_the_gettext_uses_left(tmp_path, capsys, monkeypatch, source, left):
    monkeypatch.chdir(tmp_path)
    Path("a.py").write_text(source)
    status, out, _ = run(capsys, "rewrite", "a.py")
    listed = [line.removeprefix("a.py:") for line in out.splitlines() if line.startswith("a.py:")]
    assert status == (1 if left else 0)
    assert [line[: len(want)] for line, want in zip(listed, left)] == left
    assert len(listed) == len(left)
