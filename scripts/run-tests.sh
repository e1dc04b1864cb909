#!/usr/bin/env bash
# Builds the module and runs the test suite: a normal build on Python 3.12 (with the import of a
# 3.13 build checked from there) and the same suite on a build for Python 3.13. With --full it
# goes on to a build with AddressSanitizer and UndefinedBehaviorSanitizer, then runs most of the
# suite under valgrind memcheck on a build with debug information (scripts/run-valgrind.sh);
# that is what CI runs (.ci/run), and it takes several times as long. Compiler warnings are
# errors in these builds. Exits non-zero on any failure.
# Usage: scripts/run-tests.sh [--full] [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find-python.sh

full=0
if [ "${1:-}" = "--full" ]; then
    full=1
    shift
fi

python312="$(find_python 3.12)" || { echo "Python 3.12 not found (pyenv or PATH)" >&2; exit 1; }
python313="$(find_python 3.13)" || { echo "Python 3.13 not found (pyenv or PATH)" >&2; exit 1; }
work="build/test-envs"
mkdir -p "$work"
pip_install() { "$1/bin/python" -m pip install --quiet --disable-pip-version-check "${@:2}"; }
export QEL_I18N_WERROR=ON

# The two builds, like the two suites below, run side by side (each build directory is named
# after its wheel tag); the 3.13 one into a log, shown when it fails.
echo "== building on $("$python312" --version) and $("$python313" --version)"
build_log313="$work/build-py313.log"
(make_venv "$python313" "$work/py313" && pip_install "$work/py313" ".[test]") \
    >"$build_log313" 2>&1 &
build_pid313=$!
make_venv "$python312" "$work/py312"
pip_install "$work/py312" ".[test]"
wait "$build_pid313" || { cat "$build_log313" >&2; echo "== the 3.13 build failed" >&2; exit 1; }

# The version-mismatch tests import the 3.13 build from each 3.12 run, valgrind's included.
export QEL_I18N_PYTHON313="$PWD/$work/py313/bin/python"

# The two suites run side by side, one on each core: the 3.13 one into a log, shown when both
# are done. The module is written for 3.12; on 3.13 it warns at import that the versions
# differ, which every test there (and every interpreter it starts) is told to ignore.
log313="$work/tests-py313.log"
PYTHONWARNINGS="ignore:compile time Python version 3.12:RuntimeWarning" \
    "$work/py313/bin/python" -m pytest -p no:cacheprovider "$@" >"$log313" 2>&1 &
pid313=$!
echo "== tests on $("$python312" --version) (those on $("$python313" --version) run beside them)"
status312=0
"$work/py312/bin/python" -m pytest -p no:cacheprovider "$@" || status312=$?
status313=0
wait "$pid313" || status313=$?
echo "== tests on $("$python313" --version)"
cat "$log313"
if [ "$status312" -ne 0 ] || [ "$status313" -ne 0 ]; then
    echo "== tests failed (exit status $status312 on 3.12, $status313 on 3.13)" >&2
    exit 1
fi

if [ "$full" -eq 0 ]; then
    echo "== all tests passed (the sanitizer and valgrind runs are left out: scripts/run-tests.sh --full)"
    exit 0
fi

echo "== sanitizer build"
make_venv "$python312" "$work/asan"
QEL_I18N_SANITIZE=ON pip_install "$work/asan" -C build-dir=build/asan ".[test]"
runtime="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:max_free_fill_size=4096:free_fill_byte=221 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$work/asan/bin/python" -m pytest -p no:cacheprovider "$@"

bash scripts/run-valgrind.sh
echo "== all tests passed"
