"""What a translation must keep of its message: the `str.format` fields and printf conversions
the program fills in, and the whitespace and line ends at either end."""

from __future__ import annotations

import re
import string
from collections import Counter

# A printf conversion, as a text that may or may not be used with the % operator is read. The
# space flag is left out: "50% off" would read as the conversion "% o", and a translator's
# "50 % de" as "% d".
_PRINTF = re.compile(
    r"%(?:\((?P<name>[^)]*)\))?"  # a mapping key
    r"[#0+-]*(?:\*|\d+)?(?:\.(?:\*|\d+))?[hlL]?"  # flags, width, precision, length
    r"[diouxXeEfFgGcrsa%]"
)
# A conversion as the % operator reads it, space flag included.
_CONVERSION = re.compile(
    r"%(?:\((?P<name>[^)]*)\))?[#0+ -]*(?P<width>\*|\d+)?(?:\.(?P<precision>\*|\d+))?[hlL]?"
    r"[diouxXeEfFgGcrsa%]"
)


def _numbered_fields(text: str) -> tuple[Counter[str], bool] | None:
    """The `str.format` fields of a text as `format_fields` gives them, and whether it numbers
    them both automatically and by hand; None when the text is no valid format string."""
    try:
        parsed = list(string.Formatter().parse(text))
    except ValueError:
        return None
    fields: Counter[str] = Counter()
    automatic = 0  # `{}` fields so far
    manual = False
    for _, name, spec, conversion in parsed:
        if name is None:
            continue
        argument = name.split(".", 1)[0].split("[", 1)[0]
        if argument == "":
            # `{}` is the next argument by position: `{}` and `{0}` are one field to format().
            name = f"{automatic}{name}"
            automatic += 1
        elif argument.isdigit():
            manual = True
        fields[
            "{"
            + name
            + ("!" + conversion if conversion else "")
            + (":" + spec if spec else "")
            + "}"
        ] += 1
    return fields, bool(automatic) and manual


def format_fields(text: str) -> Counter[str] | None:
    """The `str.format` fields of a text, each as written (`{name}`, `{0}`, `{x!r:>10}`) but
    with automatic numbering made explicit (`{}` as `{0}`, as format() reads it); None when the
    text is no valid format string."""
    numbered = _numbered_fields(text)
    return numbered[0] if numbered else None


def mixes_numbering(text: str) -> bool:
    """True when a text has both `{}` and `{0}` fields, which format() refuses."""
    numbered = _numbered_fields(text)
    return bool(numbered and numbered[1])


def printf_conversions(text: str) -> tuple[list[str], Counter[str]]:
    """The positional conversions of a text in order (`%s`, `%d`, `%%`), and its named ones
    (`%(name)s`)."""
    positional: list[str] = []
    named: Counter[str] = Counter()
    for match in _PRINTF.finditer(text):
        if match["name"] is not None:
            named[match[0]] += 1
        else:
            positional.append(match[0])
    return positional, named


def printf_format(text: str) -> tuple[list[str], Counter[str]] | None:
    """The conversions of a text as the % operator reads it, the positional ones in order and
    the named ones; None when the operator would fail on it whatever its arguments (a % that
    starts no conversion, named conversions beside positional ones)."""
    positional: list[str] = []
    named: Counter[str] = Counter()
    index = 0
    while (start := text.find("%", index)) >= 0:
        match = _CONVERSION.match(text, start)
        if not match:
            return None
        if match["name"] is not None:
            named[match[0]] += 1
        elif match[0] != "%%":
            positional.append(match[0])
        if match["width"] == "*" or match["precision"] == "*":
            positional.append("*")  # takes an argument of its own
        index = match.end()
    return None if positional and named else (positional, named)


def is_printf_format(text: str) -> bool:
    """True when a text reads as a format for the % operator: it has a conversion that is not
    `%%` even without the space flag, and the operator can take the whole of it."""
    return any(match[0] != "%%" for match in _PRINTF.finditer(text)) and (
        printf_format(text) is not None
    )


def _listed(fields: Counter[str] | list[str]) -> str:
    return " ".join(fields.elements() if isinstance(fields, Counter) else fields)


def placeholder_problems(message: str, translation: str) -> list[str]:
    """How the placeholders of a translation differ from its message's."""
    problems: list[str] = [
        f"the {which} numbers its fields both automatically ({{}}) and by hand ({{0}}), which "
        "str.format refuses"
        for which, text in (("message", message), ("translation", translation))
        if mixes_numbering(text)
    ]
    ours, theirs = format_fields(message), format_fields(translation)
    if problems:
        pass  # fields that format() refuses to number are not compared
    elif ours and theirs is None:
        problems.append(
            "the message has str.format fields and the translation is no valid format string"
        )
    elif ours is not None and theirs is not None:
        lacking, extra = ours - theirs, theirs - ours
        if lacking:
            problems.append(f"the translation lacks {_listed(lacking)}")
        if extra:
            problems.append(f"the translation has {_listed(extra)}, which the message lacks")
    conversions = printf_format(message) if is_printf_format(message) else None
    if conversions is not None:
        # The program may apply the % operator: compare the conversions as it reads them.
        their_conversions = printf_format(translation)
        if their_conversions is None:
            problems.append(
                "the translation is no valid printf format string (a % that starts no "
                "conversion, or named conversions beside positional ones)"
            )
            return problems
    else:
        conversions, their_conversions = (
            printf_conversions(message),
            printf_conversions(translation),
        )
    (positional, named), (their_positional, their_named) = conversions, their_conversions
    if positional != their_positional:
        problems.append(
            f"the message has the conversions {_listed(positional) or '(none)'} in this order, "
            f"the translation {_listed(their_positional) or '(none)'}"
        )
    if named - their_named:
        problems.append(f"the translation lacks {_listed(named - their_named)}")
    if their_named - named:
        problems.append(
            f"the translation has {_listed(their_named - named)}, which the message lacks"
        )
    return problems


def _edges(text: str) -> tuple[bool, bool, bool, bool]:
    """Whether the text starts with a line end, starts with whitespace, ends with a line end,
    ends with whitespace."""
    return (
        text.startswith(("\n", "\r")),
        text[:1].isspace(),
        text.endswith(("\n", "\r")),
        text[-1:].isspace(),
    )


def whitespace_problems(
    message: str, translation: str, *, line_ends_only: bool = False
) -> list[str]:
    """The ends at which one of message and translation has whitespace or a line end and the
    other lacks it (only a line end, with `line_ends_only`)."""
    problems: list[str] = []
    ours, theirs = _edges(message), _edges(translation)
    for end, newline, space in (("starts", 0, 1), ("ends", 2, 3)):
        checks = (
            ((newline, "a line end"),)
            if line_ends_only
            else ((newline, "a line end"), (space, "whitespace"))
        )
        for index, what in checks:
            if ours[index] != theirs[index]:
                has, lacks = (
                    ("message", "translation") if ours[index] else ("translation", "message")
                )
                problems.append(f"the {has} {end} with {what} and the {lacks} does not")
                break
    return problems
