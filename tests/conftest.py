"""Shared helpers: catalogue files written byte for byte, and fresh interpreters for import-time
behaviour."""

import os
import subprocess
import sys
import textwrap

import pytest

import qel_i18n


def run_python(code, *, executable=None, check=True, env=None):
    """Runs `code` in a new interpreter and returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run(
        [executable or sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=120,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


@pytest.fixture
def write_csv(tmp_path):
    """Writes a catalogue file from rows of cells (CR LF records, minimal quoting) or from
    raw text, and returns its name as a str."""
    counter = iter(range(1000))

    def write(rows=None, *, text=None, name=None):
        path = tmp_path / (name or f"catalogue{next(counter)}.csv")
        if text is None:
            import csv
            import io

            buffer = io.StringIO(newline="")
            writer = csv.writer(buffer)
            for row in rows:
                writer.writerow(row)
            text = buffer.getvalue()
        path.write_bytes(text.encode("utf8") if isinstance(text, str) else text)
        return str(path)

    return write


@pytest.fixture(autouse=True)
def restore_module():
    """Puts back every module attribute a test rebinds, and the default catalogue."""
    namespace = vars(qel_i18n)
    saved = dict(namespace)
    yield
    if list(namespace.items()) != list(saved.items()):
        namespace.clear()
        namespace.update(saved)  # in the original order
