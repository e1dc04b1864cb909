"""The project's settings: the `[tool.qel-i18n]` table of the first pyproject.toml found from
the current folder up, as black and ruff find theirs. They give the defaults of the command's
options; what the command line gives wins. Paths in the file are relative to its folder, the
project's root."""

from __future__ import annotations

import argparse
import contextlib
import os
import tomllib
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

from qel_i18n_tools.errors import ToolError

FILE = "pyproject.toml"
TABLE = "qel-i18n"
SCANNERS = ("python", "module")


@dataclass
class Settings:
    """The settings found: the project's root (the settings file's folder, or the current folder
    without one), the file, and its values by key, checked."""

    root: str
    file: str | None = None
    values: dict[str, Any] = field(default_factory=dict)

    def where(self) -> str:
        """Where the settings are looked for, as an error says it."""
        if self.file:
            return f"[tool.{TABLE}] of {self.file}"
        return f"a {FILE} with a [tool.{TABLE}] table in {self.root} or a folder above it"

    def path(self, name: str) -> str:
        """A path of the file, as the current folder reaches it."""
        return os.path.relpath(os.path.join(self.root, name))


def _strings(file: str, key: str, value: Any) -> list[str]:
    if not isinstance(value, list) or not all(isinstance(item, str) and item for item in value):
        raise ToolError(f'{file}: [tool.{TABLE}] {key} must be a list of texts, such as ["src"]')
    return value


def _check(file: str, table: dict[str, Any]) -> dict[str, Any]:
    """The table's values, checked: an unknown key (a typo, most likely) is an error."""
    unknown = sorted(set(table) - set(_CHECKS))
    if unknown:
        raise ToolError(
            f"{file}: [tool.{TABLE}] has unknown key(s) {', '.join(unknown)}; the keys are "
            f"{', '.join(_CHECKS)}"
        )
    return {key: _CHECKS[key](file, key, value) for key, value in table.items()}


def _catalogue(file: str, key: str, value: Any) -> str:
    if not isinstance(value, str) or not value:
        raise ToolError(f"{file}: [tool.{TABLE}] {key} must be a file name")
    return value


def _languages(file: str, key: str, value: Any) -> list[str]:
    """Labels or indexes; an index may be written as a number."""
    if isinstance(value, list) and all(
        isinstance(item, int) and not isinstance(item, bool) for item in value
    ):
        return [str(item) for item in value]
    if isinstance(value, list):
        return _strings(file, key, [str(item) if isinstance(item, int) else item for item in value])
    return _strings(file, key, value)


def _percent(file: str, key: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value <= 100:
        raise ToolError(f"{file}: [tool.{TABLE}] {key} must be a number from 0 to 100")
    return float(value)


def _scanner(file: str, key: str, value: Any) -> str:
    if value not in SCANNERS:
        raise ToolError(f"{file}: [tool.{TABLE}] {key} must be one of {', '.join(SCANNERS)}")
    return str(value)


_CHECKS = {
    "catalogue": _catalogue,
    "sources": _strings,
    "suffixes": _strings,
    "keywords": _strings,
    "languages": _languages,
    "min-percent": _percent,
    "scanner": _scanner,
}


def find(start: str) -> Settings:
    """The settings of the first pyproject.toml with a [tool.qel-i18n] table from `start` up;
    none, rooted at `start`, when there is no such file."""
    folder = os.path.abspath(start)
    while True:
        file = os.path.join(folder, FILE)
        if os.path.isfile(file):
            try:
                with open(file, "rb") as stream:
                    document = tomllib.load(stream)
            except tomllib.TOMLDecodeError as error:
                raise ToolError(f"{file}: not valid TOML: {error}") from None
            table = document.get("tool", {}).get(TABLE)
            if table is not None:
                if not isinstance(table, dict):
                    raise ToolError(f"{file}: tool.{TABLE} must be a table")
                return Settings(folder, file, _check(file, table))
        parent = os.path.dirname(folder)
        if parent == folder:
            return Settings(os.path.abspath(start))
        folder = parent


# The verbs each setting gives a default for, and the option it stands for.
_DEFAULTS = {
    "suffixes": ({"update"}, "suffixes"),
    "keywords": ({"update"}, "keywords"),
    "scanner": ({"update"}, "scanner"),
    "languages": ({"check", "stats"}, "lang"),
    "min-percent": ({"check"}, "min_percent"),
}


def complete(args: argparse.Namespace, settings: Settings) -> None:
    """Gives the options the command line left out their values from the settings; a
    catalogue or update's sources that neither gives are an error naming the setting."""
    for key, (verbs, option) in _DEFAULTS.items():
        if args.verb in verbs and getattr(args, option) is None and key in settings.values:
            setattr(args, option, settings.values[key])
    if getattr(args, "catalogue", "") is None:
        args.catalogue = settings.path(_required(settings, "catalogue", "CATALOGUE"))
    if args.verb == "update" and not args.paths:
        args.paths = [settings.path(name) for name in _required(settings, "sources", "PATH")]


def _required(settings: Settings, key: str, argument: str) -> Any:
    if key not in settings.values:
        raise ToolError(f"no {argument} given, and no {key} setting in {settings.where()}")
    return settings.values[key]


def from_root(root: str, name: str) -> str:
    """A path of the current folder as the project's root reaches it, normalised (`./src/`
    gives `src`), so that names and positions are the same from any folder."""
    return os.path.normpath(os.path.relpath(os.path.abspath(name), root))


@contextlib.contextmanager
def working_directory(folder: str) -> Iterator[None]:
    """Runs the block in `folder`, then goes back."""
    previous = os.getcwd()
    os.chdir(folder)
    try:
        yield
    finally:
        os.chdir(previous)
