#!/usr/bin/env bash
# Installs the module into a fresh virtual environment on Python 3.12, then walks through the
# example application's round: extract its messages into its catalogue (keeping the
# translations already there), fill in a missing translation, and run it in each language.
# Works on a copy in build/example-run, so the shipped catalogue stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find-python.sh

python312="$(find_python 3.12)" || { echo "Python 3.12 not found (pyenv or PATH)" >&2; exit 1; }
env="$PWD/build/example-env"
make_venv "$python312" "$env"
"$env/bin/python" -m pip install --quiet --disable-pip-version-check .

run="build/example-run"
rm -rf "$run"
cp -r example "$run"
cd "$run"

echo "== extracting the messages of app.py into messages.csv"
"$env/bin/python" -c 'import qel_i18n; qel_i18n.parse_directory("messages.csv", ".", ".py")'
cat messages.csv

echo "== filling in the missing translations"
"$env/bin/python" translate.py messages.csv 1 "This message is new.=Ce message est nouveau."
"$env/bin/python" translate.py messages.csv 2 "This message is new.=Diese Meldung ist neu."

for language in 0 1 2; do
    echo "== language $language"
    "$env/bin/python" app.py "$language"
done
