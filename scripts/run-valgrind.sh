#!/usr/bin/env bash
# Runs the tests that drive the module's own code under valgrind memcheck, on a build with debug
# information, with the host's allocator replaced by malloc so that memcheck sees every block.
# Fails when memcheck reports any error (the suppressions cover one known false report of
# glibc's), or a block definitely lost that was allocated by the module's own code.
# Usage: scripts/run-valgrind.sh [pytest arguments]; the default is the suite without the
# property-based, typing and timing-bound tests, which take too long under memcheck, the
# hostile-callback tests, whose cases run in child interpreters that memcheck does not follow,
# and the tests of the command, which is Python over calls the other tests already make.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find-python.sh

command -v valgrind >/dev/null || { echo "valgrind not found" >&2; exit 1; }
python312="$(find_python 3.12)" || { echo "Python 3.12 not found (pyenv or PATH)" >&2; exit 1; }
env_dir="build/test-envs/valgrind"
log="build/valgrind.log"

echo "== debug build for memcheck"
make_venv "$python312" "$env_dir"
"$env_dir/bin/python" -m pip install --quiet --disable-pip-version-check \
    -C build-dir=build/valgrind -C cmake.build-type=RelWithDebInfo -C install.strip=false ".[test]"

if [ "$#" -eq 0 ]; then
    set -- tests --ignore=tests/test_equivalence.py --ignore=tests/test_fuzz.py \
        --ignore=tests/test_typing.py --ignore=tests/test_stress.py --ignore=tests/test_hostile.py \
        --ignore=tests/test_tools.py --ignore=tests/test_bridges.py --ignore=tests/test_cli.py \
        --ignore=tests/test_catalogue_safety.py --ignore=tests/test_po_strict.py \
        --ignore=tests/test_xlsx_strict.py \
        --ignore=tests/test_extractor_property.py -q
fi

echo "== tests under valgrind memcheck"
status=0
PYTHONMALLOC=malloc valgrind --tool=memcheck --suppressions=scripts/valgrind.supp \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=none \
    --num-callers=40 --error-exitcode=97 --log-file="$log" \
    "$env_dir/bin/python" -m pytest -p no:cacheprovider "$@" || status=$?

# Definite leaks are not counted as errors above because the interpreter itself leaves some
# at exit; only those whose allocation passed through the module fail the run. Start-up is left
# out: what it makes lives as long as the process, and the names it interns are immortal, which
# the interpreter never frees at exit. So is the host's codec registry, which caches a codec (and
# imports its module) the first time a source in that encoding is decoded.
if "$env_dir/bin/python" - "$log" <<'PYEOF'
import re, sys
text = open(sys.argv[1]).read()
records = re.split(r"\n==\d+== \n", text)
ours = [r for r in records
        if "definitely lost" in r and "qel_i18n" in r and "module_exec" not in r
        and "_PyCodec_Lookup" not in r]
for record in ours:
    print(record)
sys.exit(1 if ours else 0)
PYEOF
then lost_by_module=0; else echo "memcheck: blocks lost by the module (see $log)" >&2; status=1; lost_by_module=1; fi
grep -E "ERROR SUMMARY|definitely lost:" "$log" | sed 's/^==[0-9]*== /memcheck: /'
# The summary's "definitely lost" line is never zero; say there why that does not fail the run.
if [ "$lost_by_module" -eq 0 ]; then
    echo "memcheck: those lost bytes are expected: blocks the interpreter itself leaves at exit, and"
    echo "memcheck: those made by the module's start-up or the codec registry, which live as long"
    echo "memcheck: as the process. None was lost through the module's code otherwise; the run"
    echo "memcheck: fails only on that or on a memcheck error."
fi
if [ "$status" -eq 97 ]; then
    echo "memcheck reported errors (see $log)" >&2
fi
exit "$status"
