"""The `qel-i18n` command: the tools that maintainers, translators and CI run on a catalogue."""

from qel_i18n_tools.cli import main

__all__ = ["main"]
