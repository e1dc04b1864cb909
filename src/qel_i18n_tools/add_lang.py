"""`qel-i18n add-lang`: a new language column, labelled in the header."""

from __future__ import annotations

import argparse

from qel_i18n_tools.arguments import add_catalogue
from qel_i18n_tools.catalogue import read_catalogue, write_rows
from qel_i18n_tools.errors import ToolError


def add_language(path: str, label: str) -> int:
    """Appends a column labelled `label` to the header and returns its language index; the rows
    stay as they are, since a missing cell means no translation."""
    catalogue = read_catalogue(path)
    index = len(catalogue.header) - 1
    longer = [row for row in catalogue.rows if len(row.cells) > len(catalogue.header)]
    if longer:
        # Their cells past the header would become the new language's translations.
        lines = ", ".join(str(row.line) for row in longer[:10])
        more = f" and {len(longer) - 10} more" if len(longer) > 10 else ""
        raise ToolError(
            f"{path}:{longer[0].line}: {len(longer)} row(s) have more cells than the header's "
            f"{len(catalogue.header)} (lines {lines}{more}); label their columns first"
        )
    if not label:
        raise ToolError(f"{path}: a language label cannot be empty")
    if label in catalogue.header[2:]:
        raise ToolError(f"{path}:1: the header already has a column labelled {label!r}")
    if label.isdigit() and int(label) != index:
        raise ToolError(
            f"{path}: a label made of digits must be the column's language index, {index}"
        )
    write_rows(path, catalogue.header + [label], (row.cells for row in catalogue.rows))
    return index


HELP = "add a language column and print its index"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_catalogue(parser)
    parser.add_argument(
        "label", metavar="LABEL", help="the language's label in the header (fr, pt_BR...)"
    )


def run(args: argparse.Namespace) -> int:
    print(add_language(args.catalogue, args.label))
    return 0
