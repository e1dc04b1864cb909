"""Start-up and the module namespace: what importing binds, in which order, with which
attributes, and how repeated, removed, reloaded, failed and foreign-interpreter imports behave."""

import builtins
import csv
import glob
import inspect
import json
import os
import pydoc
import re
import shutil
import subprocess
import sys
import threading
import types
import typing

import pytest

import qel_i18n
from conftest import run_python

NAMESPACE = [
    "_csv_reader", "_csv_writer", "_glob", "_load_str", "_exists", "_sep", "re", "_Lock",
    "_Optional", "_the_pattern", "I18N", "i18n", "gettext", "_parse_one_file", "parse",
    "parse_directory", "replace_gettext",
]

INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process."
)


def test_namespace_is_bound_in_order_after_the_standard_attributes():
    names = list(vars(qel_i18n))
    assert names[-len(NAMESPACE):] == NAMESPACE
    assert set(names[: -len(NAMESPACE)]) == {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
        "__builtins__",
    }
    assert qel_i18n.__name__ == "qel_i18n"
    assert qel_i18n.__doc__ is None
    assert qel_i18n.__builtins__ is builtins
    assert qel_i18n.__file__ == qel_i18n.__spec__.origin


@pytest.mark.parametrize(
    "name, expected",
    [
        ("_csv_reader", csv.reader),
        ("_csv_writer", csv.writer),
        ("_glob", glob.glob),
        ("_load_str", json.loads),
        ("_exists", os.path.exists),
        ("_sep", os.path.sep),
        ("re", re),
        ("_Lock", threading.Lock),
        ("_Optional", typing.Optional),
    ],
)
def test_aliases_are_the_host_services(name, expected):
    assert getattr(qel_i18n, name) is expected


def test_the_pattern_is_compiled_from_the_marker_text():
    pattern = qel_i18n._the_pattern
    assert isinstance(pattern, re.Pattern)
    assert pattern.pattern == r'_\(u?"(.*?[^\\])"\)'
    assert len(pattern.pattern) == 19
    assert pattern.flags == re.compile(pattern.pattern).flags


def test_class_is_a_plain_host_class_with_members_in_order():
    cls = qel_i18n.I18N
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (
        "I18N", "I18N", "qel_i18n", None)
    members = [name for name in vars(cls) if not name.startswith("__") or name == "__init__"]
    assert members == ["__init__", "language_index", "filename", "load_data_from_file", "gettext"]
    for name in ("language_index", "filename"):
        prop = vars(cls)[name]
        assert type(prop) is property
        assert prop.fdel is None
        assert prop.fget.__qualname__ == prop.fset.__qualname__ == f"I18N.{name}"
    assert type(vars(cls)["load_data_from_file"]) is staticmethod


def callables():
    cls = qel_i18n.I18N
    return {
        "gettext": qel_i18n.gettext,
        "_parse_one_file": qel_i18n._parse_one_file,
        "parse": qel_i18n.parse,
        "parse_directory": qel_i18n.parse_directory,
        "replace_gettext": qel_i18n.replace_gettext,
        "I18N.__init__": cls.__init__,
        "I18N.language_index.fget": vars(cls)["language_index"].fget,
        "I18N.language_index.fset": vars(cls)["language_index"].fset,
        "I18N.filename.fget": vars(cls)["filename"].fget,
        "I18N.filename.fset": vars(cls)["filename"].fset,
        "I18N.load_data_from_file": cls.load_data_from_file,
        "I18N.gettext": cls.gettext,
    }


ATTRIBUTES = {
    # key: (__name__, __qualname__, __annotations__, __defaults__)
    "gettext": ("gettext", "gettext", {"message": "str", "return": "str"}, None),
    "_parse_one_file": (
        "_parse_one_file", "_parse_one_file",
        {"source_filename": "str", "cache": "dict[tuple[str, str], list]"}, None),
    "parse": ("parse", "parse", {"csv_filename": "str"}, None),
    "parse_directory": (
        "parse_directory", "parse_directory",
        {"csv_filename": "str", "directory": "str", "extend_name": "_Optional[str]",
         "recursive": "bool"},
        (None, True)),
    "replace_gettext": ("replace_gettext", "replace_gettext", {}, None),
    "I18N.__init__": (
        "__init__", "I18N.__init__", {"csv_filename": "str", "language_index": "int"}, ("", 0)),
    "I18N.language_index.fget": (
        "language_index", "I18N.language_index", {"return": "int"}, None),
    "I18N.language_index.fset": ("language_index", "I18N.language_index", {"value": "int"}, None),
    "I18N.filename.fget": ("filename", "I18N.filename", {"return": "str"}, None),
    "I18N.filename.fset": ("filename", "I18N.filename", {"value": "str"}, None),
    "I18N.load_data_from_file": (
        "load_data_from_file", "I18N.load_data_from_file",
        {"filename": "str", "language_index": "int", "return": "list[tuple]"}, None),
    "I18N.gettext": ("gettext", "I18N.gettext", {"message": "str"}, None),
}


@pytest.mark.parametrize("key", list(ATTRIBUTES))
def test_function_attributes(key):
    function = callables()[key]
    name, qualname, annotations, defaults = ATTRIBUTES[key]
    assert function.__name__ == name
    assert function.__qualname__ == qualname
    assert function.__module__ == "qel_i18n"
    assert function.__doc__ is None
    assert function.__annotations__ == annotations
    assert list(function.__annotations__) == list(annotations)
    assert function.__defaults__ == defaults
    assert function.__kwdefaults__ is None
    assert callable(function)


SIGNATURES = {
    "gettext": "(message: 'str') -> 'str'",
    "_parse_one_file": "(source_filename: 'str', cache: 'dict[tuple[str, str], list]')",
    "parse": "(csv_filename: 'str', *filenames)",
    "parse_directory": (
        "(csv_filename: 'str', directory: 'str', extend_name: '_Optional[str]' = None, "
        "recursive: 'bool' = True)"),
    "replace_gettext": "(*filenames)",
    "I18N.__init__": "(self, csv_filename: 'str' = '', language_index: 'int' = 0)",
    "I18N.language_index.fget": "(self) -> 'int'",
    "I18N.language_index.fset": "(self, value: 'int')",
    "I18N.filename.fget": "(self) -> 'str'",
    "I18N.filename.fset": "(self, value: 'str')",
    "I18N.load_data_from_file": "(filename: 'str', language_index: 'int') -> 'list[tuple]'",
    "I18N.gettext": "(self, message: 'str')",
}


@pytest.mark.parametrize("key", list(SIGNATURES))
def test_signatures_read_like_python_functions(key):
    function = callables()[key]
    assert str(inspect.signature(function)) == SIGNATURES[key]
    code = function.__code__
    assert type(code) is types.CodeType
    assert (code.co_name, code.co_qualname) == (function.__name__, function.__qualname__)
    # Plain functions, not generators or coroutines.
    assert not inspect.isgeneratorfunction(function)
    assert not inspect.iscoroutinefunction(function)
    # pydoc of 3.13 puts the parameters of a long signature on lines of their own.
    text = pydoc.render_doc(function, renderer=pydoc.plaintext)
    text = re.sub(r"\n\)", ")", re.sub(r",\n\s+", ", ", re.sub(r"\(\n\s+", "(", text)))
    assert text.splitlines()[2].endswith(SIGNATURES[key])


def test_signature_of_a_bound_method_drops_self():
    catalogue = qel_i18n.I18N()
    assert str(inspect.signature(catalogue.gettext)) == "(message: 'str')"
    assert str(inspect.signature(qel_i18n.I18N)) == (
        "(csv_filename: 'str' = '', language_index: 'int' = 0)")
    text = pydoc.render_doc(qel_i18n.I18N, renderer=pydoc.plaintext)
    assert "gettext(self, message: 'str')" in text
    assert "load_data_from_file(filename: 'str', language_index: 'int') -> 'list[tuple]'" in text


@pytest.mark.parametrize(
    "key, args, kwargs",
    [
        ("replace_gettext", (), {"filenames": "a"}),
        ("parse_directory", ("c",), {}),
        ("I18N.gettext", (None, "m", "n"), {}),
    ],
)
def test_signature_refuses_what_the_function_refuses(key, args, kwargs):
    function = callables()[key]
    with pytest.raises(TypeError):
        inspect.signature(function).bind(*args, **kwargs)
    with pytest.raises(TypeError):
        function(*args, **kwargs)


def test_methods_bind_like_python_functions():
    catalogue = qel_i18n.I18N()
    bound = catalogue.gettext
    assert type(bound) is types.MethodType
    assert bound.__func__ is qel_i18n.I18N.gettext
    assert bound.__self__ is catalogue
    assert qel_i18n.I18N.gettext.__get__(None, qel_i18n.I18N) is qel_i18n.I18N.gettext
    # The static method is never given the instance.
    assert catalogue.load_data_from_file is qel_i18n.I18N.load_data_from_file
    # Functions keep attributes of their own, as Python functions do.
    qel_i18n.parse.marker = 1
    assert vars(qel_i18n.parse) == {"marker": 1}
    del qel_i18n.parse.marker


def test_default_catalogue_is_made_with_no_arguments():
    catalogue = qel_i18n.i18n
    assert type(catalogue) is qel_i18n.I18N
    assert (catalogue.language_index, catalogue.filename) == (0, "")
    assert list(vars(catalogue)) == [
        "_I18N__language_index", "_I18N__filename", "_I18N__data", "_I18N__lock"]
    assert catalogue._I18N__data == []
    assert type(catalogue._I18N__lock) is type(threading.Lock())


def test_entry_points_are_exported():
    import ctypes

    library = ctypes.PyDLL(qel_i18n.__file__)
    assert library.PyInit_qel_i18n
    assert library.PyInit___init__


def test_replaced_builtin_open_does_not_reach_the_module(write_csv, monkeypatch):
    name = write_csv([["Position", 0, 1], ["a.py: 0001", "Hello", "Hallo"]])

    def refuse(*args, **kwargs):
        raise AssertionError("the module must use the open it fetched at start-up")

    monkeypatch.setattr(builtins, "open", refuse)
    assert qel_i18n.I18N.load_data_from_file(name, 1) == [(2, "Hello", "Hallo")]


# --- import-time behaviour, each in a fresh interpreter ---------------------------------------


def test_second_import_and_import_after_removal_give_the_same_module():
    run_python("""
        import sys, qel_i18n
        first, default = qel_i18n, qel_i18n.i18n
        import qel_i18n
        assert qel_i18n is first
        del sys.modules["qel_i18n"]
        import qel_i18n
        assert qel_i18n is first and qel_i18n.i18n is default
        assert sys.modules["qel_i18n"] is first
    """)


def test_reload_changes_nothing():
    run_python("""
        import importlib, qel_i18n
        mine = qel_i18n.I18N()
        qel_i18n.i18n = mine
        gettext = qel_i18n.gettext
        assert importlib.reload(qel_i18n) is qel_i18n
        assert qel_i18n.i18n is mine and qel_i18n.gettext is gettext
    """)


def test_another_module_object_is_refused():
    # Only reachable from C: execute the module definition on a module object of its own.
    proc = run_python("""
        import ctypes, qel_i18n
        library = ctypes.PyDLL(qel_i18n.__file__)
        library.PyInit_qel_i18n.restype = ctypes.c_void_p
        definition = library.PyInit_qel_i18n()
        api = ctypes.pythonapi
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        api.PyModule_ExecDef(type(qel_i18n)("other"), definition)
    """, check=False)
    assert proc.returncode != 0
    assert ("RuntimeError: Module 'qel_i18n' has already been imported. "
            "Re-initialisation is not supported.") in proc.stderr


def test_module_under_another_name_registers_the_fixed_name():
    run_python("""
        import importlib.util, sys, sysconfig, os
        origin = os.environ["MODULE_FILE"]
        spec = importlib.util.spec_from_file_location("pkg.__init__", origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert module.__name__ == "pkg.__init__"
        assert sys.modules["qel_i18n"] is module
        assert module.gettext.__module__ == "qel_i18n"
        assert module.I18N.__module__ == "qel_i18n"
    """, env={"MODULE_FILE": qel_i18n.__file__})


@pytest.mark.parametrize(
    "sabotage, repair, error",
    [
        ("import builtins; saved = builtins.property; del builtins.property",
         "builtins.property = saved",
         "NameError: name 'property' is not defined"),
        ("import glob; saved = glob.glob; del glob.glob",
         "glob.glob = saved",
         "ImportError: cannot import name glob"),
        ("import sys; sys.modules['typing'] = None",
         "del sys.modules['typing']",
         "ModuleNotFoundError: import of typing halted; None in sys.modules"),
    ],
)
def test_failed_start_up_is_forgotten_and_retried(sabotage, repair, error):
    proc = run_python(f"""
        import sys, traceback, csv, glob, json, os.path, re, threading, typing
        {sabotage}
        try:
            import qel_i18n
        except BaseException as exc:
            print("".join(traceback.format_exception_only(exc)).strip())
        else:
            raise SystemExit("the import should have failed")
        assert "qel_i18n" not in sys.modules
        {repair}
        import qel_i18n
        assert qel_i18n.gettext("x") == "x"
        print("retried")
    """)
    assert proc.stdout.splitlines() == [error, "retried"]


# Runs code in a new subinterpreter, sharing the main one's GIL or not, and prints the
# exception it ended with, through the private module of 3.12 or that of 3.13.
IN_SUBINTERPRETER = """
    def in_subinterpreter(code, isolated):
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            import _interpreters as interpreters
            failure = interpreters.run_string(
                interpreters.create("isolated" if isolated else "legacy"), code)
            if failure is not None:
                print(f"<class '{failure.type.__name__}'>: {failure.msg}")
            return
        try:
            interpreters.run_string(interpreters.create(isolated=isolated), code)
        except interpreters.RunFailedError as exc:
            print(exc)
"""


def test_second_interpreter_is_refused():
    proc = run_python(IN_SUBINTERPRETER + """
    import qel_i18n
    in_subinterpreter("import qel_i18n", isolated=False)
    in_subinterpreter("import qel_i18n", isolated=True)
    """)
    assert proc.stdout.splitlines() == [
        f"<class 'ImportError'>: {INTERPRETER_CHANGE}",
        "<class 'ImportError'>: module qel_i18n does not support loading in subinterpreters",
    ]


def test_second_interpreter_is_refused_after_a_failed_first_import():
    proc = run_python(IN_SUBINTERPRETER + """
    import sys
    sys.modules["typing"] = None
    try:
        import qel_i18n
    except ImportError:
        pass
    del sys.modules["typing"]
    in_subinterpreter("import qel_i18n", isolated=False)
    """)
    assert proc.stdout.strip() == f"<class 'ImportError'>: {INTERPRETER_CHANGE}"


@pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="the module is written for 3.12")
def test_no_warning_on_the_target_version():
    proc = run_python("import qel_i18n", env={"PYTHONWARNINGS": "error"})
    assert proc.stderr == ""


def python313_with_module():
    """The interpreter of a 3.13 build of the module, named by the test runner."""
    python = os.environ.get("QEL_I18N_PYTHON313")
    if not python:
        if os.environ.get("CI"):
            pytest.fail("QEL_I18N_PYTHON313 must name a 3.13 interpreter with the module built")
        pytest.skip("no 3.13 build of the module (set QEL_I18N_PYTHON313)")
    return python


def test_version_mismatch_warns():
    python = python313_with_module()
    proc = run_python("""
        import warnings, sys
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import qel_i18n
        print(sys.version_info[:2])
        for warning in caught:
            print(warning.category.__name__, warning.message)
        print(qel_i18n.gettext("still works"))
    """, executable=python)
    assert proc.stdout.splitlines() == [
        "(3, 13)",
        "RuntimeWarning compile time Python version 3.12 of module 'qel_i18n' does not match "
        "runtime version 3.13",
        "still works",
    ]


def test_version_mismatch_as_error_fails_the_import():
    python = python313_with_module()
    proc = run_python("""
        import sys
        try:
            import qel_i18n
        except RuntimeWarning as exc:
            print("refused:", exc)
        assert "qel_i18n" not in sys.modules
    """, executable=python, env={"PYTHONWARNINGS": "error::RuntimeWarning"})
    assert proc.stdout.startswith("refused: compile time Python version 3.12")
