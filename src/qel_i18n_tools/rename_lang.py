"""`qel-i18n rename-lang`: a new label for a language column. The column stays where it is,
so the lookup's language index does not change."""

from __future__ import annotations

import argparse

from qel_i18n_tools.add_lang import check_label
from qel_i18n_tools.arguments import add_catalogue
from qel_i18n_tools.catalogue import (
    language_label,
    language_name,
    read_catalogue,
    resolve_languages,
    write_rows,
)

HELP = "give a language column a new label (its index stays)"

EXAMPLES = """\
  qel-i18n rename-lang locale/messages.csv 1 fr
  qel-i18n rename-lang locale/messages.csv pt pt_PT
"""
FINDINGS = ""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_catalogue(parser)
    parser.add_argument(
        "old", metavar="OLD", help="the language, by index (1 for column 2) or header label"
    )
    parser.add_argument("new", metavar="NEW", help="its new label")


def rename_language(path: str, old: str, new: str) -> tuple[int, str]:
    """Labels the column `old` names `new`; returns its index and its former label."""
    catalogue = read_catalogue(path)
    index = resolve_languages(catalogue, [old])[0]
    check_label(catalogue, new, index)
    was = language_label(catalogue, index)
    header = list(catalogue.header)
    header.extend([""] * (index + 2 - len(header)))  # a column only rows reach
    header[index + 1] = new
    if header != catalogue.header:
        write_rows(path, header, (row.cells for row in catalogue.rows))
    return index, was


def run(args: argparse.Namespace) -> int:
    index, was = rename_language(args.catalogue, args.old, args.new)
    print(f"{args.catalogue}: {language_name(index, was)} is now labelled {args.new}")
    return 0
