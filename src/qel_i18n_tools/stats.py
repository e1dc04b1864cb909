"""`qel-i18n stats`: how complete each language of a catalogue is."""

from __future__ import annotations

import argparse
import json
from collections.abc import Sequence
from typing import Any

from qel_i18n_tools.arguments import add_catalogue, add_format, add_languages
from qel_i18n_tools.catalogue import (
    coverage,
    excess_name,
    language_name,
    read_catalogue,
    read_excess,
    resolve_languages,
    shown_translations,
)


def statistics(path: str, wanted: Sequence[str] | None = None) -> dict[str, Any]:
    """Per language column: its label, the data rows and those with a translation, the distinct
    messages and those for which the lookup shows a translation; the excess file's rows."""
    catalogue = read_catalogue(path)
    excess = read_excess(path)
    groups = catalogue.by_message()
    languages = []
    for language in resolve_languages(catalogue, wanted):
        share = coverage(catalogue, language, shown_translations(path, language, groups))
        languages.append(
            {
                "language": language,
                "label": share.label,
                "rows": len(catalogue.rows),
                "rows_translated": sum(1 for row in catalogue.rows if row.translation(language)),
                "messages": share.messages,
                "messages_translated": share.translated,
                "percent": round(share.percent, 1),
            }
        )
    return {
        "catalogue": path,
        "rows": len(catalogue.rows),
        "messages": len(groups),
        "languages": languages,
        "excess": excess_name(path),
        "excess_rows": len(excess.rows) if excess else 0,
    }


HELP = "how complete each language is"

EXAMPLES = """\
  qel-i18n stats
  qel-i18n stats locale/messages.csv --lang fr --json
"""
FINDINGS = ""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_catalogue(parser, optional=True)
    add_languages(parser, settings=True)
    add_format(parser)


def run(args: argparse.Namespace) -> int:
    figures = statistics(args.catalogue, args.lang)
    if args.format == "json":
        print(json.dumps(figures, ensure_ascii=False, indent=2))
        return 0
    print(
        f"{figures['catalogue']}: {figures['rows']} rows, {figures['messages']} distinct messages"
    )
    for language in figures["languages"]:
        print(
            f"{language_name(language['language'], language['label'])}: "
            f"{language['messages_translated']} of {language['messages']} messages translated "
            f"({language['percent']:.1f} %), {language['rows_translated']} of "
            f"{language['rows']} rows"
        )
    print(f"{figures['excess']}: {figures['excess_rows']} rows")
    return 0
