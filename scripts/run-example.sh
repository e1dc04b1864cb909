#!/usr/bin/env bash
# Installs the module and its command into a fresh virtual environment on Python 3.12, then
# walks through the example application's round with `qel-i18n`: extract its messages into its
# catalogue (keeping the translations already there), fill in a missing translation, insert a
# line above the messages and extract again (every translation kept), gate the catalogue as CI
# would, and run the application in each language. Then moves example/from-gettext from the
# gettext module to qel_i18n and runs it before and after.
# Works on a copy in build/example-run, so the shipped catalogue stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find-python.sh

python312="$(find_python 3.12)" || { echo "Python 3.12 not found (pyenv or PATH)" >&2; exit 1; }
env="$PWD/build/example-env"
make_venv "$python312" "$env"
"$env/bin/python" -m pip install --quiet --disable-pip-version-check ".[po]"

run="build/example-run"
rm -rf "$run"
cp -r example "$run"
cd "$run"

qel_i18n="$env/bin/qel-i18n"

echo "== extracting the messages of app.py into messages.csv"
"$qel_i18n" update messages.csv app.py
cat messages.csv

echo "== filling in the missing translations"
"$env/bin/python" translate.py messages.csv 1 "This message is new.=Ce message est nouveau."
"$env/bin/python" translate.py messages.csv 2 "This message is new.=Diese Meldung ist neu."

echo "== a line inserted at the top of app.py moves every message; the update keeps their translations"
{ echo "# Copyright 2026 the example's authors."; cat app.py; } > app.py.new && mv app.py.new app.py
"$qel_i18n" update messages.csv app.py
cat messages.csv

echo "== the gate CI runs: the catalogue is up to date, and every language complete and sound"
"$qel_i18n" update messages.csv app.py --check
"$qel_i18n" check messages.csv --min-percent 100
"$qel_i18n" stats messages.csv

echo "== the excess file's rows are all back in the catalogue, so they can go"
"$qel_i18n" fill messages.csv --prune-excess

for language in 0 1 2; do
    echo "== language $language"
    "$env/bin/python" app.py "$language"
done

cd from-gettext
po=locale/fr/LC_MESSAGES/app.po
echo "== example/from-gettext under the gettext module"
"$env/bin/python" -c 'import polib, sys; polib.pofile(sys.argv[1]).save_as_mofile(sys.argv[2])' \
    "$po" "${po%.po}.mo"
"$env/bin/python" app.py fr

echo "== moved to qel_i18n: rewrite, choose the catalogue where gettext's domain was, update, import-po"
# rewrite lists the gettext calls it leaves, with what replaces each, and exits 1 for them.
"$qel_i18n" rewrite app.py || [ $? -eq 1 ]
"$env/bin/python" - <<'EOF'
source = open("app.py", encoding="utf8").read()
start, end = source.index("    gettext.bindtextdomain"), source.index("\n\n\ndef report")
setup = """    qel_i18n.i18n.filename = os.path.join(HERE, "messages.csv")
    qel_i18n.i18n.language_index = {"fr": 1}.get(language, 0)"""
open("app.py", "w", encoding="utf8").write(source[:start] + setup + source[end:])
EOF
"$qel_i18n" rewrite app.py  # nothing left: exit 0
"$qel_i18n" update messages.csv app.py
"$qel_i18n" import-po messages.csv "$po" --lang 1
"$env/bin/python" app.py fr
