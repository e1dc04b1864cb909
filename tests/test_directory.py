"""Directory extraction: the glob pattern and arguments, the names handed to parse, and real
trees with subdirectories."""

import os

import pytest

import qel_i18n


class Recorder:
    def __init__(self, names):
        self.names = names
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return iter(self.names)


@pytest.fixture
def recorded(monkeypatch, tmp_path):
    """_glob and parse rebound to recorders; returns a function that runs parse_directory and
    gives (glob calls, parse calls)."""
    monkeypatch.chdir(tmp_path)

    def run(*args, names=("a.py", "sub/b.py"), **kwargs):
        glob = Recorder(list(names))
        parses = []
        qel_i18n._glob = glob
        qel_i18n.parse = lambda *arguments: parses.append(arguments)
        assert qel_i18n.parse_directory(*args, **kwargs) is None
        return glob.calls, parses

    return run


@pytest.mark.parametrize(
    "extend_name, recursive, pattern",
    [
        (None, True, "**/*"),
        (None, False, "*"),
        (".py", True, "**/*.py"),
        (".py", 0, "*.py"),
        ("", True, "**/*"),
        (".p?", None, "*.p?"),
        (".py", "", "*.py"),
    ],
)
def test_pattern_and_glob_arguments(recorded, extend_name, recursive, pattern):
    calls, _ = recorded("m.csv", "src", extend_name, recursive)
    assert len(calls) == 1
    args, kwargs = calls[0]
    assert args == (pattern,)
    assert list(kwargs) == ["root_dir", "recursive"]
    assert kwargs["root_dir"] == "src"
    assert kwargs["recursive"] is recursive


@pytest.mark.parametrize(
    "directory, handed",
    [
        ("src", ["src/a.py", "src/sub/b.py"]),
        ("src/", ["src//a.py", "src//sub/b.py"]),
        ("./", [".//a.py", ".//sub/b.py"]),
        (".", ["a.py", "sub/b.py"]),
        ("", ["a.py", "sub/b.py"]),
    ],
)
def test_names_handed_to_parse(recorded, directory, handed):
    calls, parses = recorded("m.csv", directory)
    assert calls[0][1]["root_dir"] == directory
    assert parses == [("m.csv", *handed)]


def test_separator_comes_from_the_module_name(recorded):
    qel_i18n._sep = "\\"
    _, parses = recorded("m.csv", "src")
    assert parses == [("m.csv", "src\\a.py", "src\\sub/b.py")]


def test_directories_are_left_out(recorded, tmp_path):
    (tmp_path / "src" / "pkg.py").mkdir(parents=True)
    _, parses = recorded("m.csv", "src", ".py", names=["pkg.py", "a.py"])
    assert parses == [("m.csv", "src/a.py")]


def test_no_names_still_calls_parse(recorded):
    _, parses = recorded("m.csv", "missing", names=[])
    assert parses == [("m.csv",)]


def test_a_real_tree(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "src" / "pkg" / "deeper").mkdir(parents=True)
    (tmp_path / "src" / "top.py").write_text('_("top")\n')
    (tmp_path / "src" / "pkg" / "mod.py").write_text('x = 1\n_("in pkg")\n')
    (tmp_path / "src" / "pkg" / "deeper" / "d.py").write_text('_("deep")\n')
    (tmp_path / "src" / "pkg" / "notes.txt").write_text('_("text file")\n')
    (tmp_path / "src" / ".hidden.py").write_text('_("hidden")\n')
    qel_i18n.parse_directory("m.csv", "src")
    with open("m.csv", encoding="utf8") as file:
        lines = file.read().splitlines()
    assert lines == [
        "Position,0,1",
        "src/pkg/deeper/d.py: 0001,deep",
        "src/pkg/mod.py: 0002,in pkg",
        "src/pkg/notes.txt: 0001,text file",
        "src/top.py: 0001,top",
    ]
    os.remove("m.csv")
    qel_i18n.parse_directory("m.csv", "src", ".py", False)
    with open("m.csv", encoding="utf8") as file:
        assert file.read().splitlines() == ["Position,0,1", "src/top.py: 0001,top"]


def test_a_path_object_is_refused_before_anything_runs(recorded):
    import pathlib

    with pytest.raises(TypeError, match="Argument 'directory' has incorrect type"):
        recorded("m.csv", pathlib.Path("src"))
