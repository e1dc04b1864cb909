"""The lines of a PO file checked one at a time before polib reads them. polib takes some
malformed lines as something else (`msgstr Bonjour` as "onjou", a `#~` continuation as part of
the live entry before it) and keeps escapes as typed where msgfmt reads a character; it also
joins a string's lines one at a time, in time that grows with the square of their number. The
check refuses all of that, and any string of more lines or characters than the bounds, so that
polib reads only what msgfmt reads the same way, in time linear in the file's size."""

from __future__ import annotations

import re
from dataclasses import dataclass, field

from qel_i18n_tools.catalogue import quote
from qel_i18n_tools.errors import ToolError

MAX_LINES = 4096  # lines of one string, or comment lines before one entry
MAX_CHARS = 131_072  # characters of one string, a catalogue cell's limit

_SPACE = " \t\f\v"
# A quoted string from its opening quote: its text, and the closing quote when the line has it.
_STRING = re.compile(r'"((?:[^"\\]++|\\.)*+)("?)')
_ESCAPE = re.compile(r"\\(.)")
_WORD = re.compile(r'[^\s"]*')
_PLURAL = re.compile(r"msgstr\[([0-9]+)\]")
# The escapes polib reads as msgfmt does; msgfmt reads others (\a, \x41, \101) as characters,
# which polib keeps as typed.
_READ = set('\\"ntrvbf')
_KEYWORDS = {"msgctxt", "msgid", "msgid_plural", "msgstr"}
# What may follow each keyword within one entry ("msgstr[" stands for any msgstr[N]).
_NEXT = {
    "msgctxt": ("msgid",),
    "msgid": ("msgid_plural", "msgstr"),
    "msgid_plural": ("msgstr[",),
    "msgstr[": ("msgstr[",),
}
_PREVIOUS_NEXT = {"": ("msgctxt", "msgid"), "msgctxt": ("msgid",), "msgid": ("msgid_plural",)}


@dataclass
class Layout:
    """What the check learns on the way: the line of the first entry and of the header entry
    (0 when there is none), and the texts of its msgstr as they stand between the quotes."""

    first_entry: int = 0
    header_line: int = 0
    header: list[str] = field(default_factory=list)


class _Checker:
    def __init__(self, path: str) -> None:
        self.path = path
        self.line = 0
        self.layout = Layout()
        self.state = ""  # the entry's last keyword ("msgstr[" for msgstr[N]); "" between entries
        self.marker = ""  # "" or "#~": the entry is live or obsolete
        self.entry_line = 0
        self.plurals = 0  # msgstr[N] lines so far
        self.context = False
        self.empty_msgid = False
        self.context_header = 0  # the first live entry with a msgctxt and an empty msgid
        self.previous = ""  # the last #| keyword before the entry, "" when none
        self.open: tuple[str, str] | None = None  # the marker and keyword a "…" line continues
        self.lines = 0  # lines of the open string
        self.chars = 0  # its characters
        self.comments = 0  # comment lines since the last entry began

    def fail(self, what: str) -> ToolError:
        return ToolError(f"{self.path}:{self.line}: {what}")

    def check(self, text: str) -> Layout:
        for self.line, line in enumerate(text.split("\n"), 1):
            if self.line == 1:
                line = line.removeprefix("\ufeff")  # a byte order mark, which polib drops
            self.check_line(line.removesuffix("\r"))
        if self.context_header and not self.layout.header_line:
            self.line = self.context_header
            raise self.fail("an empty msgid with a msgctxt, which polib reads as the header")
        if self.previous:
            raise self.fail(f"#| {self.previous} with no entry after it")
        if self.state in ("msgctxt", "msgid", "msgid_plural"):
            self.line = self.entry_line
            raise self.fail(f"missing {'msgstr[0]' if self.state == 'msgid_plural' else 'msgstr'}")
        return self.layout

    def check_line(self, line: str) -> None:
        if "\r" in line:
            # polib's reader ends a line there, msgfmt does not
            raise self.fail("a carriage return that does not end the line")
        body = line.lstrip(_SPACE)
        if not body.rstrip(_SPACE):
            return
        if not body.startswith("#"):
            return self.string_line("", body)
        marker = next((m for m in ("#~|", "#~", "#|") if body.startswith(m)), "")
        if marker:
            rest = body[len(marker) :]
            if not rest.startswith(tuple(_SPACE)) or not rest.strip(_SPACE):
                raise self.fail(f"{marker} without a keyword line or a string after it")
            return self.string_line(marker, rest.lstrip(_SPACE))
        # As polib takes them: "#" or "##" (a translator's), "#." (the extractor's), "#:"
        # (references) and "#," (flags), each alone or followed by a space.
        kind = body[1:2] if body[1:2] in ("#", ".", ":", ",") else ""
        after = body[1 + len(kind) : 2 + len(kind)]
        if after and not after.isspace() and kind != "#":
            raise self.fail(
                f'a comment begins "# ", "#.", "#:", "#,", "#|" or "#~", not {quote(body[:3])}'
            )
        if self.state not in ("", "msgstr", "msgstr["):
            raise self.fail(f"a comment where {self.expected()} is expected")
        self.state, self.open = "", None  # the entry before it is complete
        self.comments += kind in ("", "#", ".")  # the kinds polib joins into one text
        if self.comments > MAX_LINES:
            raise self.fail(f"more than {MAX_LINES:,} comment lines before one entry")

    def expected(self) -> str:
        if self.state == "msgstr[":
            return f"msgstr[{self.plurals}], msgctxt or msgid"
        return " or ".join(_NEXT.get(self.state, ("msgctxt", "msgid"))).replace("[", "[0]")

    def string_line(self, marker: str, rest: str) -> None:
        """A keyword line or a continuation line, after its marker (#~, #| or #~|) if any."""
        keyword = ""
        if not rest.startswith('"'):
            keyword = _WORD.match(rest)[0]  # type: ignore[index]
            plural = _PLURAL.fullmatch(keyword)
            if keyword not in _KEYWORDS and not plural:
                word = quote((keyword or rest[:1])[:40])
                if marker:
                    raise self.fail(f"{marker} followed by {word}, not a keyword or a string")
                raise self.fail(f"keyword {word} unknown")
            after = rest[len(keyword) :]
            rest = after.lstrip(_SPACE)
            if not rest.startswith('"'):
                raise self.fail(f"{keyword} is not followed by a quoted string")
            if len(rest) == len(after):
                raise self.fail(f"no space between {keyword} and its string")
            self.keyword(marker, "msgstr[" if plural else keyword, plural and plural[1])
        elif self.open is None:
            raise self.fail("a string line that continues no msgctxt, msgid or msgstr")
        elif self.open[0] != marker:
            raise self.fail(f"inconsistent use of {'#|' if '|' in marker + self.open[0] else '#~'}")
        found = _STRING.match(rest)
        assert found  # the pattern matches any text that starts with a quote
        if not found[2]:
            if found.end() < len(rest):
                raise self.fail("a backslash ends the line, which msgfmt and polib read apart")
            raise self.fail("end-of-line within string")
        if rest[found.end() :].strip(_SPACE):
            raise self.fail("text after the string's closing quote; a line holds one string")
        chars = len(found[1])
        if "\\" in found[1]:
            for escape in _ESCAPE.finditer(found[1]):
                if escape[1] not in _READ:
                    raise self.fail(self.escape_problem(escape[1]))
                chars -= 1
        self.take(marker, keyword, found[1], chars)

    def escape_problem(self, char: str) -> str:
        if char in "ax01234567":
            return (
                f"the escape \\{char}, which msgfmt reads as a character and polib keeps as "
                "typed; write the character itself"
            )
        return f"invalid escape \\{char}"

    def keyword(self, marker: str, keyword: str, index: str | None) -> None:
        """Checks a keyword's place in its entry and opens its string."""
        if marker in ("#|", "#~|"):
            if self.state not in ("", "msgstr", "msgstr["):
                raise self.fail(f"#| {keyword} where {self.expected()} is expected")
            if keyword not in _PREVIOUS_NEXT.get(self.previous, ()):
                raise self.fail(f"#| {keyword} where it is not expected")
            self.previous, self.state = keyword, ""
        elif keyword in ("msgctxt", "msgid") and self.state in ("", "msgstr", "msgstr["):
            self.marker, self.entry_line, self.state = marker, self.line, keyword
            self.plurals, self.previous, self.comments = 0, "", 0
            self.context = keyword == "msgctxt"
            self.layout.first_entry = self.layout.first_entry or self.line
        elif (
            not self.previous
            and keyword in _NEXT.get(self.state, ())
            and (keyword != "msgstr[" or index == str(self.plurals))
        ):
            if marker != self.marker:
                raise self.fail("inconsistent use of #~")
            self.state = keyword
        else:
            name = f"msgstr[{index}]" if keyword == "msgstr[" else keyword
            raise self.fail(f"{name} where {self.expected()} is expected")
        self.plurals += keyword == "msgstr["
        self.open = (marker, keyword)
        self.lines = self.chars = 0

    def take(self, marker: str, keyword: str, text: str, chars: int) -> None:
        """Counts a string's lines and characters, and notes the header's."""
        self.lines += 1
        self.chars += chars
        if self.lines > MAX_LINES:
            raise self.fail(f"a string of more than {MAX_LINES:,} lines")
        if self.chars > MAX_CHARS:
            raise self.fail(f"a string of more than {MAX_CHARS:,} characters")
        if marker:
            return
        if self.state == "msgid":
            self.empty_msgid = text == "" and (self.empty_msgid or bool(keyword))
        elif self.state == "msgstr" and self.empty_msgid:
            if keyword and self.context:
                # polib takes it for the header when the file has no other
                self.context_header = self.context_header or self.entry_line
                self.empty_msgid = False
                return
            if keyword:  # the header entry, the one live entry with an empty msgid
                if self.layout.header_line:
                    self.line = self.entry_line
                    raise self.fail(
                        f'a second header entry (msgid ""); the first is at line '
                        f"{self.layout.header_line}"
                    )
                self.layout.header_line = self.entry_line
            self.layout.header.append(text)


def check_lines(path: str, text: str) -> Layout:
    """Checks every line of a PO file's text; a line polib would misread, or past a bound, is
    an error naming it."""
    return _Checker(path).check(text)


def header_layout(path: str, text: str) -> Layout:
    """The header entry as far as the check gets before any error."""
    checker = _Checker(path)
    try:
        checker.check(text)
    except ToolError:
        pass
    return checker.layout
