#!/usr/bin/env bash
# Installs the module into a fresh virtual environment on Python 3.12 and runs the example
# application in each language of its catalogue.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find-python.sh

python312="$(find_python 3.12)" || { echo "Python 3.12 not found (pyenv or PATH)" >&2; exit 1; }
env="build/example-env"
make_venv "$python312" "$env"
"$env/bin/python" -m pip install --quiet --disable-pip-version-check .

for language in 0 1 2; do
    echo "== language $language"
    "$env/bin/python" example/app.py "$language"
done
