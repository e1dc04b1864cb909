"""`qel-i18n export-po`: one language of a catalogue as a PO file for translation tools and
platforms, with an entry per distinct message, its rows as references and its placeholders
flagged for checking."""

from __future__ import annotations

import argparse
import os
import time
from typing import TYPE_CHECKING

from qel_i18n_tools.arguments import add_catalogue, add_language
from qel_i18n_tools.catalogue import (
    CatalogueFile,
    Row,
    language_label,
    language_name,
    printable,
    quote,
    read_catalogue,
    refuse_output,
    resolve_languages,
    shown_translations,
)
from qel_i18n_tools.errors import ToolError, require
from qel_i18n_tools.placeholders import (
    format_fields,
    is_printf_format,
    placeholder_problems,
    whitespace_problems,
)
from qel_i18n_tools.safe_write import replace_file

if TYPE_CHECKING:
    import polib


def reference(position: str) -> tuple[str, str]:
    """A position as a PO reference: the text split at its last ": ", the line number without
    its leading zeros (`src/app.py: 0017` gives `src/app.py`, `17`). Line ends and other
    control characters are escaped (`\\u000a`), so that a file name cannot end the `#:` line
    and start entries or comments of its own."""
    name, colon, line = position.rpartition(": ")
    if not colon:
        return printable(position), ""
    digits = line.isascii() and line.isdigit()
    return printable(name), (line.lstrip("0") or "0") if digits else printable(line)


def format_flags(message: str) -> list[str]:
    """The flags that have `msgfmt -c` and the platforms check a translation's placeholders."""
    flags: list[str] = []
    if is_printf_format(message):
        flags.append("python-format")
    if format_fields(message):
        flags.append("python-brace-format")
    return flags


def _timestamp(seconds: float) -> str:
    return time.strftime("%Y-%m-%d %H:%M%z", time.localtime(seconds))


def header(catalogue: CatalogueFile, language: int) -> dict[str, str]:
    """The PO header: every field `msgfmt -c` expects, none left at its template value. The
    revision date is the catalogue's last change; the creation date is now (or
    SOURCE_DATE_EPOCH, for reproducible files)."""
    now = float(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    label = language_label(catalogue, language)
    if printable(label) != label:
        # Escaped, the label would no longer name the column for import-po to compare with.
        raise ToolError(
            f"{catalogue.name}:1: the label of {language_name(language, label)} holds a line "
            "end or another control character, which the PO header's Language cannot hold"
        )
    return {
        "Project-Id-Version": printable(os.path.splitext(os.path.basename(catalogue.path))[0]),
        "Report-Msgid-Bugs-To": "",
        "POT-Creation-Date": _timestamp(now),
        "PO-Revision-Date": _timestamp(os.stat(catalogue.path).st_mtime),
        "Last-Translator": "",
        "Language-Team": "",
        "Language": label or str(language),
        "MIME-Version": "1.0",
        "Content-Type": "text/plain; charset=UTF-8",
        "Content-Transfer-Encoding": "8bit",
        "X-Generator": "qel-i18n",
    }


def entry(message: str, rows: list[Row], language: int | None, shown: str | None) -> polib.POEntry:
    """The PO entry of one message. Its translation is the one its rows agree on (empty rows
    do not count); when they disagree, the one the lookup shows (or the first), fuzzy, with the
    others in a comment. A translation whose placeholders differ from the message's is fuzzy
    too, so that no checker takes it as it stands."""
    import polib

    flags = format_flags(message)
    comments: list[str] = []
    translations: dict[str, list[Row]] = {}
    if language is not None:
        for row in rows:
            if text := row.translation(language):
                translations.setdefault(text, []).append(row)
    chosen = ""
    if translations:
        chosen = shown if shown in translations else next(iter(translations))
    if len(translations) > 1:
        comments.append("The rows of this message disagree; the others read:")
        for text, where in translations.items():
            if text != chosen:
                places = ", ".join(":".join(reference(row.position)) for row in where)
                comments.append(f"{quote(text)} at {places}")
    if chosen:
        # What `msgfmt -c` would refuse in a translation: its placeholders, a line end at
        # either end of only one of message and translation.
        comments += [
            f"Placeholders: {problem}." for problem in placeholder_problems(message, chosen)
        ]
        comments += [
            f"Line ends: {problem}."
            for problem in whitespace_problems(message, chosen, line_ends_only=True)
        ]
    if comments:
        flags.insert(0, "fuzzy")
    return polib.POEntry(
        msgid=message,
        msgstr=chosen,
        occurrences=[reference(row.position) for row in rows],
        flags=flags,
        # A placeholder's name is the message's own text; a line end in it would end the line.
        tcomment="\n".join(printable(comment) for comment in comments),
    )


def export_po(path: str, language: str, output: str, *, template: bool = False) -> int:
    """Writes one language of a catalogue as a PO file (a template: every msgstr empty);
    returns the number of entries."""
    polib = require("polib", "po")
    refuse_output(output, path)
    catalogue = read_catalogue(path)
    index = resolve_languages(catalogue, [language])[0]
    groups = catalogue.by_message()
    shown = shown_translations(path, index, groups)
    po = polib.POFile(wrapwidth=78)
    po.metadata = header(catalogue, index)
    name = language_name(index, language_label(catalogue, index))
    po.header = f"Messages of {printable(os.path.basename(path))}, {name}, exported by qel-i18n."
    for message, rows in groups.items():
        if not message:  # the PO header has the empty msgid; no source marks an empty message
            continue
        po.append(entry(message, rows, None if template else index, shown.get(message)))
    text = str(po)
    replace_file(output, lambda file: file.write(text.encode("utf8")))
    return len(po)


HELP = "write one language as a PO file for translation tools"

EXAMPLES = """\
  qel-i18n export-po --lang fr -o fr.po
  qel-i18n export-po locale/messages.csv --lang 1 --template -o messages.pot
"""
FINDINGS = ""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_catalogue(parser, optional=True)
    add_language(parser)
    parser.add_argument(
        "-o", "--output", required=True, metavar="FILE.po", help="the PO file to write"
    )
    parser.add_argument(
        "--template", action="store_true", help="write a template (POT): every msgstr empty"
    )


def run(args: argparse.Namespace) -> int:
    entries = export_po(args.catalogue, args.lang, args.output, template=args.template)
    print(f"{args.output}: {entries} message(s) from {args.catalogue}")
    return 0
