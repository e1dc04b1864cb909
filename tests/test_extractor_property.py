"""The native extractor finds exactly the literal marked calls that Python's own tokenizer finds:
generated sources (every literal form, f-strings, comments, continuations, line ends, BOMs and
coding declarations) are scanned by both and the caches compared. For a long search set
QEL_I18N_FUZZ_EXAMPLES (e.g. 20000; the default is sized for CI)."""

import ast
import os
import tempfile
import tokenize

import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st

_native = pytest.importorskip("qel_i18n_tools._native")
# \d and \777 in a literal warn in 3.12 (the referee's literal_eval) but still evaluate.
pytestmark = pytest.mark.filterwarnings("ignore:invalid (octal )?escape sequence:SyntaxWarning")

EXAMPLES = int(os.environ.get("QEL_I18N_FUZZ_EXAMPLES", "400"))


def referee(source, filename, keywords):
    """The cache keys of the literal marked calls in `source` (bytes), and the (filename, line)
    of each marked call that is not literal. Raises what Python raises on an invalid source."""
    # Python ends a line at CR, CR LF or LF; tokenize's readline would split at LF only (a lone
    # CR then ends up inside tokens), and keeps a CR LF inside a string token as written.
    lines = [line.rstrip(b"\r\n") + b"\n" if line[-1:] in b"\r\n" else line
             for line in source.splitlines(keepends=True)]
    encoding, _ = tokenize.detect_encoding(iter(lines).__next__)
    b"".join(lines).decode(encoding)  # tokenize would put U+FFFD for the bytes it cannot decode
    tokens = [token for token in tokenize.tokenize(iter(lines).__next__)
              if token.type not in (tokenize.NL, tokenize.COMMENT)]
    found, skipped = set(), set()
    for i, token in enumerate(tokens):  # a marker name (not one being defined), then "("
        if (token.type != tokenize.NAME or token.string not in keywords
                or tokens[i - 1][:2] in ((tokenize.NAME, "def"), (tokenize.NAME, "class"))
                or tokens[i + 1][:2] != (tokenize.OP, "(")):
            continue
        values, j = [], i + 2
        while tokens[j].type == tokenize.STRING:
            values.append(ast.literal_eval(tokens[j].string))
            j += 1
        line = token.start[0]
        if (values and all(type(value) is str for value in values)
                and tokens[j][:2] in ((tokenize.OP, ")"), (tokenize.OP, ","))
                and "".join(values)  # an empty message has no row, nor one UTF-8 cannot store
                and not any(0xD800 <= ord(c) <= 0xDFFF for c in "".join(values))):
            found.add((f"{filename}: {line:04}", "".join(values)))
        else:
            skipped.add((filename, line))
    return found, skipped


# String contents: text (quotes and braces are made valid for each literal as it is written)
# and escapes of every kind. "\n" is a line end: in a one-quote literal it becomes a
# backslash-newline. Non-ASCII text that the source encoding lacks is written as an escape.
TEXT = ["a", " ", "Hello, world", "é", "日本", "😀", "\u2028", "\x85", "\x0c", "{x}", "#",
        '_("no")', "N_('no')", "'", '"', "\n"]
ESCAPES = ["\\n", "\\t", "\\\\", "\\'", '\\"', "\\x41", "\\0", "\\101", "\\777", "\\u00e9",
           "\\U0001F600", "\\N{LATIN SMALL LETTER E WITH ACUTE}", "\\d", "\\ud800", "\\\n"]
BYTES_TEXT = ["a", " ", "'", '"', "\\x41", "\\n", "\\\\", "\\101", "\\d", "\n"]
QUOTES = ["'", '"', "'''", '"""']


def render(prefix, quote, parts):
    """A literal from text, escapes and (as tuples) f-string replacement fields."""
    out = ""
    for part in parts:
        if isinstance(part, tuple):
            out += "".join(part)
            continue
        if part not in ESCAPES and len(quote) == 1:
            part = "\\\n" if part == "\n" else part.replace(quote, "\\" + quote)
        elif part == quote[0]:
            part += "x"  # a quote never ends the contents of a triple-quoted literal
        if "f" in prefix.lower() and ("r" in prefix.lower() or not part.startswith("\\N")):
            part = part.replace("{", "{{").replace("}", "}}")
        out += part
    return prefix + quote + out + quote


def literals(prefixes, alphabet):
    return st.builds(render, st.sampled_from(prefixes), st.sampled_from(QUOTES),
                     st.lists(st.sampled_from(alphabet), max_size=5))


messages = literals(["", "", "u", "U", "r", "R"], TEXT + ESCAPES)
byte_strings = literals(["b", "B", "br", "Rb", "bR"], BYTES_TEXT)
# Between the tokens of a call: also line ends, comments and continuations inside its brackets.
GAPS = ["", " ", "\t", "\n", "\n    ", "  # note\n", " \\\n"]
# Between the marker and "(": at the top level a line end or comment there ends the statement.
BEFORE_PAREN = ["", "", "", " ", " \\\n", "\n", " # _('x')\n"]
NOT_LITERAL = ["x", "f(x)", '"a" + b', '("a")', '"a" % x', '"a".upper()', '"a"[0]',
               '"a" if x else "b"', 'u"a" f"{x}"']


@st.composite
def fstrings(draw, depth):
    prefix = draw(st.sampled_from(["f", "F", "rf", "fR", "Rf"]))
    quote = draw(st.sampled_from(QUOTES))
    # Format spec text that reads like a call, with the quotes the f-string leaves free.
    spec_text = ":_('no')" if "'" not in quote else ':_("no")'
    parts = []
    for _ in range(draw(st.integers(0, 4))):
        if depth > 0 and draw(st.booleans()):
            code = draw(st.one_of(st.just("x"), calls(depth - 1), fstrings(depth - 1)))
            spec = draw(st.sampled_from(["", "!r", "=", ":>10", spec_text, ":{w}"])
                        | calls(depth - 1).map(lambda call: ":{" + call + "}"))
            if spec == "=" and ("\n" in code or "\\" in code):
                spec = ""  # 3.12.1 mishandles a backslash or line end in a debug text
            parts.append(("{", code, spec, "}"))
        else:
            parts.append(draw(st.sampled_from(TEXT + ESCAPES)))
    return render(prefix, quote, parts)


@st.composite
def calls(draw, depth=2):
    """A call of a marker or of another name, literal or not, on one line or several."""
    gap = st.sampled_from(GAPS)
    receiver = draw(st.sampled_from(["", "", "self.", "a.b . "]))
    marker = draw(st.sampled_from(["_"] * 4 + ["N_"] * 3 + ["C_", "x_", "__", "ngettext"]))
    inner = max(depth - 1, 0)
    # The first argument, and the literals implicitly concatenated to it: mostly a message.
    kind = draw(st.sampled_from(["message"] * 6 + ["then f-string", "bytes", "f-string", "other"]))
    first, more = draw({
        "message": st.tuples(messages, st.lists(messages, max_size=2)),
        "then f-string": st.tuples(messages, st.lists(fstrings(inner), min_size=1, max_size=1)),
        "bytes": st.tuples(byte_strings, st.lists(byte_strings, max_size=1)),
        "f-string": st.tuples(fstrings(depth), st.lists(messages, max_size=1)),
        "other": st.tuples(st.sampled_from(NOT_LITERAL) | calls(inner), st.just([])),
    }[kind])
    arguments = draw(gap) + first
    for literal in more:  # with no space between, '' then 'a' would read as a triple quote
        arguments += (draw(gap) or " " * (arguments[-1] == literal[0])) + literal
    tail = draw(st.sampled_from([")", ")", ",)", ", n)", ", 'more')"]))
    return f"{receiver}{marker}{draw(st.sampled_from(BEFORE_PAREN))}({arguments}{draw(gap)}{tail}"


NOISE = ['# _("in a comment")', "def _(s):\n    return s", "def \\\n  N_(s): return s",
         'class N_("base"):\n    pass', "_ = lambda s: s", "print(_)", "_()", "", "  ",
         "x = 1 + \\\n    2", 'ngettext("a", "b", n)', "obj._ = 1"]
statements = st.one_of(
    st.lists(calls(), min_size=1, max_size=3).map(" + ".join),
    calls().map(lambda call: f"print(\n  {call})"),
    messages.map(lambda message: "s = " + message),
    fstrings(2).map(lambda fstring: "v = " + fstring),
    st.sampled_from(NOISE),
)
BOM = b"\xef\xbb\xbf"
# (BOM, encoding, first lines); a declaration after a line of code is only a comment.
HEADERS = [(b"", "utf-8", ""), (BOM, "utf-8", ""), (BOM, "utf-8", "# -*- coding: utf-8 -*-\n"),
           (b"", "latin-1", "# -*- coding: latin-1 -*-\n"),
           (b"", "utf-8", "x = 1\n# vim: set fileencoding=cp1252 :\n"),
           (b"", "cp1252", "#!/usr/bin/env python3\n# coding=cp1252\n"),
           (b"", "iso-8859-15", "\n# vim: set fileencoding=iso-8859-15 :\n")]


@st.composite
def sources(draw):
    bom, encoding, header = draw(st.sampled_from(HEADERS))
    text = header + "\n".join(draw(st.lists(statements, max_size=8)))
    text += draw(st.sampled_from(["\n", ""]))
    *lines, last = text.split("\n")
    text = "".join(line + draw(st.sampled_from(["\n", "\r\n", "\r"])) for line in lines) + last
    return bom + text.encode(encoding, "backslashreplace")


def extract(directory, name, source, keywords):
    path = os.path.join(directory, name)
    with open(path, "wb") as file:
        file.write(source)
    extractor, cache = _native.Extractor(keywords), {}
    extractor(path, cache)
    return path, cache, extractor.skipped


@settings(max_examples=EXAMPLES, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
# Keywords of more than four first bytes take the scan that looks at one byte at a time.
@given(source=sources(), keywords=st.sampled_from([("_", "N_"), ("_", "N_"), ("_",), ("N_",),
                                                   ("_", "N_", "A1", "B1", "D1", "E1")]),
       name=st.sampled_from(["app.py", "ünï app.py"]))
def test_extractor_agrees_with_the_tokenizer(source, keywords, name):
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, name)
        try:
            expected, expected_skipped = referee(source, path, keywords)
        except (SyntaxError, tokenize.TokenError, UnicodeDecodeError):
            assume(False)
        _, cache, skipped = extract(directory, name, source, keywords)
    assert cache == {key: [True, list(key)] for key in expected}
    assert expected_skipped <= {tuple(entry[:2]) for entry in skipped}  # (filename, line, ...)


@pytest.mark.parametrize("source, expected", [
    (b'_("a")\r_("b")\r\n_("c")\n\r_("d")', {(1, "a"), (2, "b"), (3, "c"), (5, "d")}),
    (b'_("""a\r\nb\rc""")\r_("x\\\r\ny")', {(1, "a\nb\nc"), (4, "xy")}),
    (b'_("\x0c\xe2\x80\xa8\xc2\x85")\n_("next")\n', {(1, "\x0c\u2028\x85"), (2, "next")}),
    (b'x = f"{_("in")}" + _(f"{y}") + f"{_(f"{N_(\'deep\')}")}"\n', {(1, "in"), (1, "deep")}),
    (b'f"{x:{N_(\'spec\')}}" f"{x:_(\'text\')}" f"_(\'t\') {{_(\'u\')}}"\n', {(1, "spec")}),
    (b'f"""{\n_("multi")}"""\n', {(2, "multi")}),
    (b'# _("c")\ns = "_(\\"s\\")" """\n_("doc")"""\ndef _(x): return x\nclass N_("b"): pass\n'
     b'C_("c", "m"), x_("m")\n', set()),
    (b'_(("paren")), _("a" + b), _("a"[0]), _(b"x"), _("a" b"b"), _("a" f"b")\n', set()),
    (b'self._ (\n  # note\n  "a"  \'b\'\n  """c""",\n)\n', {(1, "abc")}),
    (b'print(_\n  # c\n  ("moved"))\n_\n("no call")\n_ # c\n("nor")\n', {(1, "moved")}),
    (b'_ \\\n("cont")\nN_(_("inner"))\n', {(1, "cont"), (3, "inner")}),
    (b'\xef\xbb\xbf_("\\N{LATIN SMALL LETTER E WITH ACUTE}\\x41\\101\\0\\d\\777")\n',
     {(1, "éAA\x00\\d\u01ff")}),
    (b'_(r"\\d\\n" u"\\u00e9" U"\\U0001F600" R"\\\n")\n', {(1, "\\d\\né😀\\\n")}),
    (b'# -*- coding: latin-1 -*-\r_("\xe9")\r', {(2, "é")}),
    (b'x = 1\n# coding: latin-1\n_("\xc3\xa9")\n', {(3, "é")}),  # not a declaration after code
    (b'\n\n# coding: latin-1\n_("\xc3\xa9")\n', {(4, "é")}),  # nor on line 3
    (b"\n" * 12344 + b'_("far")', {(12345, "far")}),
])
def test_tricky_sources(tmp_path, source, expected):
    path, cache, _ = extract(str(tmp_path), "t.py", source, ("_", "N_"))
    keys = {(f"{path}: {line:04}", message) for line, message in expected}
    assert keys == referee(source, path, ("_", "N_"))[0]  # the table itself is right
    assert cache == {key: [True, list(key)] for key in keys}


@pytest.mark.parametrize("source, lineno", [
    (b'x = 1\ny = 2\n_("\xff")\n', 3),
    (b'x = 1\ry = 2\r\n_("\xff")\r', 3),
    (b'x = """\n\xff"""\n', 2),
    (b'# coding: ascii\n_("\xe9")\n', 2),
    (b'# coding: nonsense\n_("a")\n', 1),
    (b'#!/usr/bin/env python3\n# coding: nonsense\n', 2),
    (BOM + b'# coding: latin-1\n_("a")\n', 1),
    (BOM + b'# coding: utf8\n_("a")\n', 1),  # only the spelling "utf-8" goes with a BOM
])
def test_undecodable_sources(tmp_path, source, lineno):
    with pytest.raises(SyntaxError) as caught:
        extract(str(tmp_path), "bad.py", source, ("_", "N_"))
    assert (caught.value.filename, caught.value.lineno) == (str(tmp_path / "bad.py"), lineno)


# Pieces that open, close and escape strings, fields and lines, put together at random: text that
# is seldom Python, which the extractor must still read to the end.
DAMAGED = st.lists(st.sampled_from([
    b"_", b"N_", b"(", b")", b",", b"'", b'"', b"'''", b'"""', b"f", b"rf", b"b", b"{", b"}",
    b"{{", b"!r", b":", b"=", b"\\", b"\\N{", b"#", b"\n", b"\r", b" ", b"\t", b"def ", b"x",
    b"ngettext", b"\xc3\xa9", b"\xff", b"\x00", b"# coding: latin-1\n", BOM,
]), max_size=60).map(b"".join)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(source=DAMAGED, keywords=st.sampled_from([("_", "N_"), ("_", "N_", "A1", "B1", "D1", "E1")]))
def test_damaged_sources_end_in_a_result_or_a_syntax_error(source, keywords):
    with tempfile.TemporaryDirectory() as directory:
        try:
            _, cache, skipped = extract(directory, "d.py", source, keywords)
        except SyntaxError as error:
            assert error.lineno >= 1
            return
    for (position, message), value in cache.items():
        assert type(message) is str and value == [True, [position, message]]
    assert all(line >= 1 for _, line, _, _ in skipped)
