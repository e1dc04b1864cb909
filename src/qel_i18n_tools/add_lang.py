"""`qel-i18n add-lang`: a new language column, labelled in the header; or, when the catalogue
has a column with no label of its own and no translation (a new catalogue's column 2, headed
"1"), that column, labelled."""

from __future__ import annotations

import argparse
import sys

from qel_i18n_tools.arguments import add_catalogue
from qel_i18n_tools.catalogue import (
    CatalogueFile,
    language_label,
    printable,
    read_catalogue,
    write_rows,
)
from qel_i18n_tools.errors import ToolError


def check_label(catalogue: CatalogueFile, label: str, index: int) -> None:
    """Refuses a label that column `index` cannot take: an empty one, one with a line end or
    another control character, another column's, or digits other than the column's index."""
    if not label:
        raise ToolError(f"{catalogue.name}: a language label cannot be empty")
    if printable(label) != label:
        raise ToolError(
            f"{catalogue.name}: a language label cannot hold a line end or another control "
            "character"
        )
    others = [
        column - 1
        for column, text in enumerate(catalogue.header[2:], start=2)
        if text == label and column - 1 != index
    ]
    if others:
        raise ToolError(
            f"{catalogue.name}:1: the header already has a column labelled {label!r} "
            f"(language {others[0]})"
        )
    if label.isdigit() and int(label) != index:
        raise ToolError(
            f"{catalogue.name}: a label made of digits must be the column's language index, "
            f"{index}"
        )


def unlabelled_and_empty(catalogue: CatalogueFile) -> int | None:
    """The first language column of the header with no label of its own (none, or its index)
    and no translation in any row."""
    for index in range(1, len(catalogue.header) - 1):
        if language_label(catalogue, index) not in ("", str(index)):
            continue
        if not any(row.translation(index) for row in catalogue.rows):
            return index
    return None


def add_language(path: str, label: str) -> tuple[int, bool]:
    """Labels an unlabelled, empty column `label`, or else appends a column labelled `label`
    to the header; returns its language index, and whether it was a column taken over. The
    rows stay as they are, since a missing cell means no translation."""
    catalogue = read_catalogue(path)
    header = list(catalogue.header)
    taken = unlabelled_and_empty(catalogue)
    if taken is not None and label not in header[2:]:
        check_label(catalogue, label, taken)
        header[taken + 1] = label
        write_rows(path, header, (row.cells for row in catalogue.rows))
        return taken, True
    index = len(header) - 1
    longer = [row for row in catalogue.rows if len(row.cells) > len(header)]
    if longer:
        # Their cells past the header would become the new language's translations.
        lines = ", ".join(str(row.line) for row in longer[:10])
        more = f" and {len(longer) - 10} more" if len(longer) > 10 else ""
        raise ToolError(
            f"{path}:{longer[0].line}: {len(longer)} row(s) have more cells than the header's "
            f"{len(header)} (lines {lines}{more}); label their columns first"
        )
    check_label(catalogue, label, index)
    write_rows(path, header + [label], (row.cells for row in catalogue.rows))
    return index, False


HELP = "add a language column and print its index"

EXAMPLES = """\
  qel-i18n add-lang locale/messages.csv fr
"""
FINDINGS = ""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_catalogue(parser)
    parser.add_argument(
        "label", metavar="LABEL", help="the language's label in the header (fr, pt_BR...)"
    )


def run(args: argparse.Namespace) -> int:
    index, taken = add_language(args.catalogue, args.label)
    if taken:
        # On standard error, so that standard output stays the index alone, for scripts.
        print(
            f"{args.catalogue}: language {index} had no label of its own and no translation; "
            f"it is now labelled {args.label}",
            file=sys.stderr,
        )
    print(index)
    return 0
