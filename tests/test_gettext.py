"""The module-level gettext: it translates through whatever object `i18n` names at the moment of
the call, and checks what that object returns."""

import builtins

import pytest

import qel_i18n
from qel_i18n import I18N


@pytest.fixture
def translated(write_csv):
    name = write_csv([["Position", 0, 1], ["a: 0001", "Hello", "Hallo"], ["a: 0002", "Bye", ""]])
    return I18N(name, 1)


def test_untranslated_after_import():
    message = "".join(["fresh", "text"])
    assert qel_i18n.gettext(message) is message


def test_rebinding_i18n_redirects_every_bound_alias(translated):
    _ = qel_i18n.gettext
    qel_i18n.i18n = translated
    assert (_("Hello"), _("Bye"), _("Other")) == ("Hallo", "Bye", "Other")
    assert qel_i18n.gettext(message="Hello") == "Hallo"


def test_configuring_the_default_catalogue_in_place(translated):
    default = qel_i18n.i18n
    default.filename = translated.filename
    default.language_index = 1
    try:
        assert qel_i18n.gettext("Hello") == "Hallo"
    finally:
        default.language_index = 0
        default.filename = ""
    assert qel_i18n.gettext("Hello") == "Hello"


def test_missing_i18n_raises_name_error(monkeypatch):
    del qel_i18n.i18n
    with pytest.raises(NameError) as caught:
        qel_i18n.gettext("m")
    assert str(caught.value) == "name 'i18n' is not defined"
    monkeypatch.setattr(builtins, "i18n", type("Builtin", (), {"gettext": str.upper})(), raising=False)
    # A plain function as a class attribute binds the instance: upper(instance) fails.
    with pytest.raises(TypeError):
        qel_i18n.gettext("m")
    builtins.i18n = type("Builtin", (), {"gettext": staticmethod(str.upper)})()
    assert qel_i18n.gettext("m") == "M"


class Answer:
    def __init__(self, value):
        self.value = value

    def gettext(self, message):
        return self.value


class Text(str):
    pass


@pytest.mark.parametrize(
    "value, outcome",
    [
        (None, None),
        ("same", "same"),
        (b"bytes", "Expected str, got bytes"),
        (Text("sub"), "Expected str, got Text"),
        (1, "Expected str, got int"),
    ],
)
def test_result_is_checked(value, outcome):
    qel_i18n.i18n = Answer(value)
    if outcome is None or not outcome.startswith("Expected"):
        assert qel_i18n.gettext("m") is value
    else:
        with pytest.raises(TypeError) as caught:
            qel_i18n.gettext("m")
        assert str(caught.value) == outcome


def test_any_object_with_gettext_will_do():
    calls = []
    qel_i18n.i18n = type("Duck", (), {"gettext": lambda self, m: calls.append(m) or m * 2})()
    assert qel_i18n.gettext("ab") == "abab"
    assert calls == ["ab"]


def test_errors_of_the_catalogue_propagate():
    qel_i18n.i18n = object()
    with pytest.raises(AttributeError):
        qel_i18n.gettext("m")


def test_an_instance_attribute_hides_the_method(translated):
    qel_i18n.i18n = translated
    assert qel_i18n.gettext("Hello") == "Hallo"
    translated.gettext = lambda message: "from the instance"
    assert qel_i18n.gettext("Hello") == "from the instance"
    del translated.gettext
    assert qel_i18n.gettext("Hello") == "Hallo"


def test_a_cycle_back_into_gettext_ends_in_recursion_error():
    qel_i18n.i18n = qel_i18n  # qel_i18n.gettext is the module function itself
    with pytest.raises(RecursionError):
        qel_i18n.gettext("m")


def test_replacing_the_class_method_is_seen(translated):
    qel_i18n.i18n = translated
    original = I18N.gettext
    I18N.gettext = lambda self, message: "patched"
    try:
        assert qel_i18n.gettext("Hello") == "patched"
    finally:
        I18N.gettext = original
    assert qel_i18n.gettext("Hello") == "Hallo"
