"""Argument binding: every callable binds by one set of rules and fails with exact messages, in a
fixed order of checks, before its body runs."""

import pytest

import qel_i18n
from qel_i18n import I18N

I = I18N()


class Text(str):
    pass


class Mapping(dict):
    pass


get_language_index = vars(I18N)["language_index"].fget
set_language_index = vars(I18N)["language_index"].fset
get_filename = vars(I18N)["filename"].fget
set_filename = vars(I18N)["filename"].fset

CASES = [
    # (what is called, message)
    (lambda: I18N("x", True),
     "Argument 'language_index' has incorrect type (expected int, got bool)"),
    (lambda: I18N(None), "Argument 'csv_filename' has incorrect type (expected str, got NoneType)"),
    (lambda: I18N(Text("x")), "Argument 'csv_filename' has incorrect type (expected str, got Text)"),
    (lambda: I18N("a", 0, 1), "__init__() takes at most 3 positional arguments (4 given)"),
    (lambda: I18N(nope=1), "__init__() got an unexpected keyword argument 'nope'"),
    (lambda: I18N(self=1), "__init__() got multiple values for keyword argument 'self'"),
    (lambda: I18N("", csv_filename=""),
     "__init__() got multiple values for keyword argument 'csv_filename'"),
    (lambda: I18N.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda: setattr(I, "language_index", True),
     "Argument 'value' has incorrect type (expected int, got bool)"),
    (lambda: setattr(I, "language_index", 1.0),
     "Argument 'value' has incorrect type (expected int, got float)"),
    (lambda: setattr(I, "filename", None),
     "Argument 'value' has incorrect type (expected str, got NoneType)"),
    (lambda: get_language_index(), "language_index() takes exactly 1 positional argument (0 given)"),
    (lambda: get_language_index(I, 1),
     "language_index() takes exactly 1 positional argument (2 given)"),
    (lambda: set_language_index(I), "language_index() takes exactly 2 positional arguments (1 given)"),
    (lambda: get_filename(I, I), "filename() takes exactly 1 positional argument (2 given)"),
    (lambda: set_filename(I, 1), "Argument 'value' has incorrect type (expected str, got int)"),
    (lambda: set_filename(value="x"), "filename() takes exactly 2 positional arguments (0 given)"),
    (lambda: I.gettext(), "gettext() takes exactly 2 positional arguments (1 given)"),
    (lambda: I.gettext("a", "b"), "gettext() takes exactly 2 positional arguments (3 given)"),
    (lambda: I.gettext(b"a"), "Argument 'message' has incorrect type (expected str, got bytes)"),
    (lambda: I.gettext(message="a", extra=1), "gettext() got an unexpected keyword argument 'extra'"),
    (lambda: I18N.gettext(message="a"), "gettext() takes exactly 2 positional arguments (0 given)"),
    (lambda: qel_i18n.gettext(), "gettext() takes exactly 1 positional argument (0 given)"),
    (lambda: qel_i18n.gettext("a", "b"), "gettext() takes exactly 1 positional argument (2 given)"),
    (lambda: qel_i18n.gettext(msg="a"), "gettext() takes exactly 1 positional argument (0 given)"),
    (lambda: qel_i18n.gettext(Text("a")),
     "Argument 'message' has incorrect type (expected str, got Text)"),
    (lambda: qel_i18n.gettext(None), "Argument 'message' has incorrect type (expected str, got NoneType)"),
    (lambda: qel_i18n.gettext("a", message="a"),
     "gettext() got multiple values for keyword argument 'message'"),
    (lambda: I18N.load_data_from_file("x"),
     "load_data_from_file() takes exactly 2 positional arguments (1 given)"),
    (lambda: I.load_data_from_file("x", 1, 2),
     "load_data_from_file() takes exactly 2 positional arguments (3 given)"),
    (lambda: I18N.load_data_from_file(language_index=1, filename=1),
     "Argument 'filename' has incorrect type (expected str, got int)"),
    (lambda: I18N.load_data_from_file("x", False),
     "Argument 'language_index' has incorrect type (expected int, got bool)"),
    (lambda: qel_i18n._parse_one_file("a.py", Mapping()),
     "Argument 'cache' has incorrect type (expected dict, got Mapping)"),
    (lambda: qel_i18n._parse_one_file("a.py"),
     "_parse_one_file() takes exactly 2 positional arguments (1 given)"),
    (lambda: qel_i18n._parse_one_file(cache={}),
     "_parse_one_file() takes exactly 2 positional arguments (0 given)"),
    (lambda: qel_i18n._parse_one_file(1, []),
     "Argument 'source_filename' has incorrect type (expected str, got int)"),
    (lambda: qel_i18n.parse(), "parse() takes at least 1 positional argument (0 given)"),
    (lambda: qel_i18n.parse("m.csv", filenames=("a.py",)),
     "parse() got an unexpected keyword argument 'filenames'"),
    (lambda: qel_i18n.parse(b"m.csv"), "Argument 'csv_filename' has incorrect type (expected str, got bytes)"),
    (lambda: qel_i18n.parse("m.csv", "a.py", csv_filename="m.csv"),
     "parse() got multiple values for keyword argument 'csv_filename'"),
    (lambda: qel_i18n.parse_directory(csv_filename="m.csv"),
     "parse_directory() takes at least 2 positional arguments (1 given)"),
    (lambda: qel_i18n.parse_directory("m.csv"),
     "parse_directory() takes at least 2 positional arguments (1 given)"),
    (lambda: qel_i18n.parse_directory(directory="src"),
     "parse_directory() takes at least 2 positional arguments (0 given)"),
    (lambda: qel_i18n.parse_directory("m.csv", "src", None, True, 5),
     "parse_directory() takes at most 4 positional arguments (5 given)"),
    (lambda: qel_i18n.parse_directory("m.csv", "src", csv_filename="m.csv"),
     "parse_directory() got multiple values for keyword argument 'csv_filename'"),
    (lambda: qel_i18n.parse_directory("m.csv", "src", extend=".py"),
     "parse_directory() got an unexpected keyword argument 'extend'"),
    (lambda: qel_i18n.parse_directory("m.csv", "src", ".py", recursive=0, x=1),
     "parse_directory() got an unexpected keyword argument 'x'"),
    (lambda: qel_i18n.parse_directory("m.csv", __import__("pathlib").Path("src")),
     "Argument 'directory' has incorrect type (expected str, got PosixPath)"),
    (lambda: qel_i18n.parse_directory("m.csv", "src", b".py"),
     "Argument 'extend_name' has incorrect type (expected str, got bytes)"),
    (lambda: qel_i18n.parse_directory(1, 2, 3),
     "Argument 'csv_filename' has incorrect type (expected str, got int)"),
    (lambda: qel_i18n.replace_gettext(x=1, y=2),
     "replace_gettext() got an unexpected keyword argument 'y'"),
    (lambda: qel_i18n.replace_gettext("a.py", filenames=1),
     "replace_gettext() got an unexpected keyword argument 'filenames'"),
]


@pytest.mark.parametrize("call, message", CASES, ids=[message for _, message in CASES])
def test_binding_message(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    assert type(caught.value) is TypeError


def test_a_failing_binding_runs_nothing(monkeypatch):
    # The body of the module gettext would look up i18n; a binding failure must come first.
    del qel_i18n.i18n
    with pytest.raises(TypeError):
        qel_i18n.gettext(1)


@pytest.mark.parametrize(
    "call",
    [
        lambda: I18N.gettext(self=I, message="m"),
        lambda: I18N.gettext(I, message="m"),
        lambda: I.gettext(message="m"),
        lambda: qel_i18n.gettext(message="m"),
        lambda: qel_i18n.gettext(**{"message": "m"}),
    ],
)
def test_keywords_bind_like_positions(call):
    assert call() == "m"


def test_static_method_through_an_instance_gets_no_instance(write_csv):
    name = write_csv([["Position", 0, 1], ["a: 0001", "A", "B"]])
    assert I.load_data_from_file(name, 1) == [(2, "A", "B")]
    assert I.load_data_from_file(language_index=1, filename=name) == [(2, "A", "B")]


@pytest.mark.parametrize(
    "attribute, value, message",
    [
        ("_I18N__language_index", "1", "Expected int, got str"),
        ("_I18N__language_index", True, "Expected int, got bool"),
        ("_I18N__filename", 3, "Expected str, got int"),
        ("_I18N__filename", Text("x"), "Expected str, got Text"),
    ],
)
def test_getters_check_their_result(attribute, value, message):
    catalogue = I18N()
    setattr(catalogue, attribute, value)
    name = "language_index" if "language" in attribute else "filename"
    with pytest.raises(TypeError) as caught:
        getattr(catalogue, name)
    assert str(caught.value) == message


@pytest.mark.parametrize("attribute", ["_I18N__language_index", "_I18N__filename"])
def test_getters_accept_none(attribute):
    catalogue = I18N()
    setattr(catalogue, attribute, None)
    name = "language_index" if "language" in attribute else "filename"
    assert getattr(catalogue, name) is None


@pytest.mark.parametrize("name", ["language_index", "filename"])
def test_properties_have_no_deleter(name):
    with pytest.raises(AttributeError):
        delattr(I18N(), name)
