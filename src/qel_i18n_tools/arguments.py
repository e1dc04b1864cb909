"""The arguments several verbs share, declared once: the catalogue, the languages, a report's
format and a percentage."""

from __future__ import annotations

import argparse

CATALOGUE_HELP = (
    "the catalogue file (a CSV file: a header row, then position, message and translation "
    "cells); its excess file is NAME-excess.csv beside it"
)


def add_catalogue(parser: argparse.ArgumentParser, *, optional: bool = False) -> None:
    """The CATALOGUE argument; `optional` when the project's settings may give it."""
    extra = "; the `catalogue` setting by default" if optional else ""
    # An optional catalogue is None when left out, which the settings then fill in.
    parser.add_argument(
        "catalogue",
        metavar="CATALOGUE",
        nargs="?" if optional else None,
        help=CATALOGUE_HELP + extra,
    )


def add_languages(parser: argparse.ArgumentParser, *, settings: bool = False) -> None:
    """`--lang`, repeatable: the languages a verb looks at, every one by default."""
    default = "the `languages` setting, else every one" if settings else "every one"
    parser.add_argument(
        "--lang",
        action="append",
        metavar="L",
        help=f"a language by index (1 for column 2) or header label; may be repeated ({default} "
        "by default)",
    )


def add_language(parser: argparse.ArgumentParser) -> None:
    """`--lang`, required: the one language a verb works on."""
    parser.add_argument(
        "--lang",
        required=True,
        metavar="L",
        help="the language, by index (1 for column 2) or header label",
    )


def add_dry_run(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--dry-run", action="store_true", help="report, write nothing")


def add_format(parser: argparse.ArgumentParser, *choices: str) -> None:
    """`--format` (text by default) and `--json`, its short form."""
    parser.add_argument(
        "--format",
        choices=["text", "json", *choices],
        default="text",
        help="how to print the report (default text)",
    )
    parser.add_argument(
        "--json",
        dest="format",
        action="store_const",
        const="json",
        help="the same as --format json",
    )


def percent(text: str) -> float:
    """A percentage from 0 to 100, for argparse."""
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0.0 <= value <= 100.0:
        raise argparse.ArgumentTypeError(f"not a percentage from 0 to 100: {text!r}")
    return value
