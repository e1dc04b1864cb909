"""`qel-i18n check`: translations that would break or mislead at run time (placeholders,
whitespace at the ends), rows of one message that disagree, and languages below a share of
translated messages."""

from __future__ import annotations

import argparse
import json
from dataclasses import asdict, dataclass

from qel_i18n_tools.arguments import add_catalogue, add_format, add_languages, percent
from qel_i18n_tools.catalogue import (
    CatalogueFile,
    Coverage,
    coverage,
    language_label,
    language_name,
    quote,
    read_catalogue,
    resolve_languages,
    shown_translations,
)
from qel_i18n_tools.placeholders import placeholder_problems, whitespace_problems


@dataclass
class Finding:
    file: str
    line: int
    language: int
    label: str
    kind: str  # "placeholders", "whitespace", "disagreement" or "coverage"
    text: str


def check_language(catalogue: CatalogueFile, language: int, findings: list[Finding]) -> Coverage:
    """Appends the findings of one language and returns its coverage."""
    label = language_label(catalogue, language)

    def found(line: int, kind: str, text: str) -> None:
        findings.append(Finding(catalogue.path, line, language, label, kind, text))

    for row in catalogue.rows:
        if translation := row.translation(language):
            for text in placeholder_problems(row.message, translation):
                found(row.line, "placeholders", text)
            for text in whitespace_problems(row.message, translation):
                found(row.line, "whitespace", text)
    groups = catalogue.by_message()
    shown = shown_translations(catalogue.path, language, groups)
    for message, rows in groups.items():
        if len({row.translation(language) for row in rows}) > 1:
            cells = ", ".join(
                f"line {row.line} "
                + (quote(text) if (text := row.translation(language)) else "(empty)")
                for row in rows
            )
            today = shown[message]
            found(
                rows[0].line,
                "disagreement",
                f"the rows of {quote(message)} disagree: {cells}; the lookup shows "
                + (quote(today) if today is not None else "no translation"),
            )
    return coverage(catalogue, language, shown)


def _language(finding: Finding) -> str:
    return language_name(finding.language, finding.label)


def _github(text: str, *, property: bool = False) -> str:
    """Escapes a text for a workflow command (its data, or one of its properties)."""
    text = text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")
    return text.replace(":", "%3A").replace(",", "%2C") if property else text


HELP = "find translations that break placeholders or disagree"

EXAMPLES = """\
  qel-i18n check
  qel-i18n check locale/messages.csv --lang fr --min-percent 95 --format github
"""
FINDINGS = (
    "findings: broken placeholders, whitespace, rows that disagree, a language below --min-percent"
)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_catalogue(parser, optional=True)
    add_languages(parser, settings=True)
    parser.add_argument(
        "--min-percent",
        type=percent,
        metavar="P",
        help="fail when a language has fewer than P percent of its messages translated (the "
        "`min-percent` setting by default)",
    )
    add_format(parser, "github")


def run(args: argparse.Namespace) -> int:
    catalogue = read_catalogue(args.catalogue)
    findings: list[Finding] = []
    shares: list[Coverage] = []
    for language in resolve_languages(catalogue, args.lang):
        share = check_language(catalogue, language, findings)
        shares.append(share)
        if args.min_percent is None:
            continue
        if not share.messages:  # an empty catalogue is no sign of a translated program
            text = f"no message at all, so not {args.min_percent:g} % translated"
        elif share.percent < args.min_percent:
            text = (
                f"{share.translated} of {share.messages} messages translated "
                f"({share.percent:.1f} %), below {args.min_percent:g} %"
            )
        else:
            continue
        findings.append(Finding(catalogue.path, 1, language, share.label, "coverage", text))
    findings.sort(key=lambda finding: (finding.line, finding.language))
    if args.format == "json":
        print(
            json.dumps(
                {
                    "catalogue": catalogue.path,
                    "findings": [asdict(finding) for finding in findings],
                    "coverage": [asdict(share) for share in shares],
                },
                ensure_ascii=False,
                indent=2,
            )
        )
    elif args.format == "github":
        for finding in findings:
            print(
                f"::warning file={_github(finding.file, property=True)},line={finding.line},"
                f"title={_github('qel-i18n ' + finding.kind, property=True)}::"
                f"{_github(_language(finding) + ': ' + finding.text)}"
            )
    else:
        for finding in findings:
            print(f"{finding.file}:{finding.line}: {_language(finding)}: {finding.text}")
        for share in shares:
            print(
                f"{language_name(share.language, share.label)}: {share.translated} of "
                f"{share.messages} messages translated ({share.percent:.1f} %)"
            )
        print(f"{len(findings)} finding(s)")
    return 1 if findings else 0
