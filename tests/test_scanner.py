"""The source scanner: which texts are marked messages, how they decode, the position texts and
the cache it fills."""

import json

import pytest

import qel_i18n


def scan(tmp_path, text, name="src.py", cache=None, newline=None):
    path = tmp_path / name
    with open(path, "w", encoding="utf8", newline=newline) as file:
        file.write(text)
    cache = {} if cache is None else cache
    qel_i18n._parse_one_file(str(path), cache)
    return cache, str(path)


def messages(cache):
    return [key[1] for key in cache]


@pytest.mark.parametrize(
    "line, found",
    [
        ('_("Hello")', ["Hello"]),
        ('_(u"Hello")', ["Hello"]),
        ("_('Hello')", []),
        ('_( "Hello")', []),
        ('_(U"Hello")', []),
        ('_(r"Hello")', []),
        ('_(f"Hello")', []),
        ('_(uu"Hello")', []),
        ('_("")', []),
        ('N_("x") self._("y")', ["x", "y"]),
        ('# _("in a comment")', ["in a comment"]),
        ('"_(\\"in a string\\")"', []),
        ('_("say \\"hi\\"")', ['say "hi"']),
        ('_("a\\nb")', ["a\nb"]),
        ('_("\\u00e9\\u0041")', ["éA"]),
        ('_("\\ud83d\\ude00")', ["\U0001f600"]),
        ('_("\\/\\b\\f\\r\\t")', ["/\b\f\r\t"]),
        ('_("tab\there")', None),  # a raw tab inside the quotes does not decode
        ('_("a") and _("b")', ["a", "b"]),
        ('_("a") and _("a")', ["a"]),
        ('_("é ü") _(u"ĳ") _("日本") _("😀")', ["é ü", "ĳ", "日本", "😀"]),
        ('_("a\\\\") _("b")', None),  # an escaped backslash at the end runs on to the next ")
        ('_("C:\\\\")', []),
        ('_("a" "b")', None),
        ('_("a" + "b")', None),
        ('_("\\x41")', None),
        ("_(\"\\'\")", None),
        ('_("\\0")', None),
        ('_("") + _("x")', None),
        ('_("a\\")b")', ['a")b']),
        ('_("(")")', ["("]),
        ('_(")")', [")"]),
        ('x_("nested _("inner")")', None),
        ('_("unclosed', []),
        ('_("a\n")', []),  # a message ends on its line
        ('_("a\r\n") _("b\r")', []),
        ('_("one")")', ["one"]),
    ],
)
def test_marked_messages(tmp_path, line, found):
    if found is None:
        with pytest.raises(json.JSONDecodeError):
            scan(tmp_path, line + "\n")
    else:
        cache, _ = scan(tmp_path, line + "\n")
        assert messages(cache) == found


def test_cache_shape_and_positions(tmp_path):
    text = "\n".join(['_("a")'] + [""] * 8 + ['_("b") _("c")', '_("a")']) + "\n"
    cache, name = scan(tmp_path, text)
    assert cache == {
        (f"{name}: 0001", "a"): [True, [f"{name}: 0001", "a"]],
        (f"{name}: 0010", "b"): [True, [f"{name}: 0010", "b"]],
        (f"{name}: 0010", "c"): [True, [f"{name}: 0010", "c"]],
        (f"{name}: 0011", "a"): [True, [f"{name}: 0011", "a"]],
    }
    key = (f"{name}: 0010", "b")
    assert cache[key][1][0] is cache[(f"{name}: 0010", "c")][1][0]  # one position text per line


def test_line_numbers_past_9999(tmp_path):
    cache, name = scan(tmp_path, "\n" * 12344 + '_("far")\n')
    assert list(cache) == [(f"{name}: 12345", "far")]


@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"])
def test_line_ends(tmp_path, newline):
    cache, name = scan(tmp_path, 'one\n_("x")\nthree\n_("y")', newline=newline)
    assert list(cache) == [(f"{name}: 0002", "x"), (f"{name}: 0004", "y")]


def test_name_is_taken_as_given(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.py").write_text('_("x")\n')
    cache = {}
    qel_i18n._parse_one_file("a.py", cache)
    qel_i18n._parse_one_file("./a.py", cache)
    assert list(cache) == [("a.py: 0001", "x"), ("./a.py: 0001", "x")]


def test_existing_entries_are_marked_and_keep_their_rows(tmp_path):
    row = ["PLACEHOLDER", "a", "translation", "another"]
    cache = {}
    _, name = scan(tmp_path, '_("a")\n', cache=cache)
    row[0] = f"{name}: 0001"
    entry = [False, row]
    cache = {(row[0], "a"): entry}
    scan(tmp_path, '_("a")\n', cache=cache)
    assert cache[(row[0], "a")] is entry
    assert entry == [True, row] and entry[1] is row


def test_an_entry_that_refuses_assignment_raises(tmp_path):
    cache = {}
    _, name = scan(tmp_path, '_("a")\n', cache=cache)
    cache[(f"{name}: 0001", "a")] = (False, [])
    with pytest.raises(TypeError):
        scan(tmp_path, '_("a")\n', cache=cache)


def test_entries_before_a_failure_are_kept(tmp_path):
    cache = {}
    with pytest.raises(json.JSONDecodeError) as caught:
        scan(tmp_path, '_("first")\n_("bad\\q")\n_("never")\n', cache=cache)
    assert messages(cache) == ["first"]
    name = str(tmp_path / "src.py")
    assert caught.value.__notes__ == [f"while scanning {name!r}, line 2, marked text 'bad\\\\q'"]


def test_decode_error_keeps_its_type_and_message(tmp_path):
    with pytest.raises(json.JSONDecodeError) as caught:
        scan(tmp_path, 'C_("context", "message")\n')
    expected = None
    try:
        json.loads('"context", "message"')
    except json.JSONDecodeError as exc:
        expected = exc
    assert type(caught.value) is type(expected)
    assert str(caught.value) == str(expected)
    assert caught.value.__notes__[0].endswith("line 1, marked text 'context\", \"message'")


@pytest.mark.parametrize(
    "content, error",
    [(b"ok\n\xff\xfe\n", UnicodeDecodeError)],
)
def test_undecodable_source(tmp_path, content, error):
    path = tmp_path / "bad.py"
    path.write_bytes(content)
    with pytest.raises(error) as caught:
        qel_i18n._parse_one_file(str(path), {})
    assert caught.value.__notes__[0].startswith(f"while scanning {str(path)!r}")


@pytest.mark.parametrize("make", [lambda p: str(p / "missing.py"), lambda p: str(p)])
def test_unopenable_source(tmp_path, make):
    with pytest.raises(OSError):
        qel_i18n._parse_one_file(make(tmp_path), {})


def test_rebound_services_are_used(tmp_path):
    calls = []
    qel_i18n._load_str = lambda text: calls.append(text) or text.upper()
    cache, _ = scan(tmp_path, '_("a") _("b\\n")\n')
    assert calls == ['"a"', '"b\\n"']
    assert messages(cache) == ['"A"', '"B\\N"']
    import re

    qel_i18n._the_pattern = re.compile(r"T\((\w+)\)")
    cache, _ = scan(tmp_path, 'T(word) _("not this")\n')
    assert messages(cache) == ['"WORD"']


def test_the_decoder_is_looked_up_only_for_a_match(tmp_path):
    del qel_i18n._load_str
    cache, _ = scan(tmp_path, "no marked message here\n")
    assert cache == {}
    with pytest.raises(NameError, match="name '_load_str' is not defined"):
        scan(tmp_path, 'x\n_("m")\n')


def test_a_missing_service_raises_name_error(tmp_path):
    del qel_i18n._the_pattern
    with pytest.raises(NameError, match="name '_the_pattern' is not defined"):
        scan(tmp_path, "x\n")
    scan(tmp_path, "")  # no line, no lookup


@pytest.mark.parametrize("service", ["_the_pattern", "_load_str"])
def test_a_service_rebound_part_way_serves_the_lines_after(tmp_path, service):
    """Host code run while line 2's entry is recorded rebinds a service: the rest of line 2 is
    scanned as it began, and every later line goes to the rebound service."""
    seen = []

    class Pattern:
        def finditer(self, line):
            seen.append(line)
            return iter(())

    def load(text):
        seen.append(text)
        return json.loads(text)

    class Entry(list):
        def __setitem__(self, index, value):
            setattr(qel_i18n, service, Pattern() if service == "_the_pattern" else load)
            super().__setitem__(index, value)

    path = tmp_path / "src.py"
    path.write_text('x\n_("a") _("b")\n\nno match\n_("c")', encoding="utf8")
    key = (f"{path}: 0002", "a")
    cache = {key: Entry([False, list(key)])}
    qel_i18n._parse_one_file(str(path), cache)
    if service == "_the_pattern":
        assert seen == ["\n", "no match\n", '_("c")'] and messages(cache) == ["a", "b"]
    else:
        assert seen == ['"b"', '"c"'] and messages(cache) == ["a", "b", "c"]
