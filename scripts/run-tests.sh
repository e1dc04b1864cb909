#!/usr/bin/env bash
# Builds the module four ways and runs the test suite: a normal build on Python 3.12 (with the
# import of a 3.13 build checked from there), the same suite on a build for Python 3.13, then on
# a build with AddressSanitizer and UndefinedBehaviorSanitizer, then most of it under valgrind
# memcheck on a build with debug information (scripts/run-valgrind.sh). Compiler warnings are
# errors in these builds. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find-python.sh

python312="$(find_python 3.12)" || { echo "Python 3.12 not found (pyenv or PATH)" >&2; exit 1; }
python313="$(find_python 3.13)" || { echo "Python 3.13 not found (pyenv or PATH)" >&2; exit 1; }
work="build/test-envs"
mkdir -p "$work"
pip_install() { "$1/bin/python" -m pip install --quiet --disable-pip-version-check "${@:2}"; }
export QEL_I18N_WERROR=ON

echo "== building on $("$python312" --version) and $("$python313" --version)"
make_venv "$python312" "$work/py312"
pip_install "$work/py312" ".[test]"
make_venv "$python313" "$work/py313"
pip_install "$work/py313" ".[test]"

# The version-mismatch tests import the 3.13 build from each 3.12 run, valgrind's included.
export QEL_I18N_PYTHON313="$PWD/$work/py313/bin/python"

echo "== tests"
"$work/py312/bin/python" -m pytest -p no:cacheprovider "$@"

# The module is written for 3.12; on 3.13 it warns at import that the versions differ, which
# every test there (and every interpreter it starts) is told to ignore.
echo "== tests on $("$python313" --version)"
PYTHONWARNINGS="ignore:compile time Python version 3.12:RuntimeWarning" \
    "$work/py313/bin/python" -m pytest -p no:cacheprovider "$@"

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
