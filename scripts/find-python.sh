# Sourced by the scripts: find_python X.Y prints the path of a CPython X.Y interpreter, looking
# at pyenv's versions first, then at pythonX.Y on PATH.
find_python() {
    local version="$1" candidate root
    if command -v pyenv >/dev/null 2>&1; then
        root="$(pyenv root)"
        for candidate in $(ls -d "$root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V -r); do
            if [ -x "$candidate" ]; then
                echo "$candidate"
                return 0
            fi
        done
    fi
    if command -v "python$version" >/dev/null 2>&1; then
        command -v "python$version"
        return 0
    fi
    return 1
}

# make_venv PYTHON DIR: a fresh virtual environment with an up-to-date pip.
make_venv() {
    rm -rf "$2"
    "$1" -m venv "$2"
    "$2/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
}
