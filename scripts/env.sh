# Shared by the project's scripts: the Python that builds the package, and the
# virtual environments they install into. Sourced from the repository root.
#
#   PYTHON            the CPython 3.11 that builds and tests the package (default
#                     python3.11), for machines where it has another name:
#                     PYTHON=/usr/local/bin/python3 bash scripts/test.sh
#   TOLVAN_VENV       the user's environment, which the demo installs into (.venv)
#   TOLVAN_TEST_VENV  the test command's own environment, made afresh on every
#                     run (.venv-test); other versions get .venv-test-3.N beside it
#   TOLVAN_TEST_WORKERS  how many pytest-xdist workers run each suite (default 4:
#                     most tests wait on the instrument's 0.2 s pause, so more
#                     workers than cores pays); 0 runs them in the pytest process
PYTHON="${PYTHON:-python3.11}"
VENV="${TOLVAN_VENV:-$PWD/.venv}"
TEST_VENV="${TOLVAN_TEST_VENV:-$PWD/.venv-test}"
WORKERS=(-n "${TOLVAN_TEST_WORKERS:-4}")

# $VENV, made with $PYTHON if it does not exist yet (with a current pip then).
ensure_venv() {
    if [ ! -x "$VENV/bin/python" ]; then
        "$PYTHON" -m venv "$VENV"
        "$VENV/bin/python" -m pip install --quiet --upgrade pip
    fi
}

# The test command's own environments are made and filled by uv, which installs in seconds what
# pip takes a minute over, and compiles nothing ahead: what a run imports is compiled once, on
# first import (test.sh keeps the bytecode under build/pycache). uv itself lives in $TOOLS,
# installed there by pip on the first run and kept between runs. It never downloads an
# interpreter: each environment is made from the CPython named.
TOOLS="$PWD/.venv-build"
UV="$TOOLS/bin/uv"
export UV_PYTHON_DOWNLOADS=never
ensure_uv() {
    if [ ! -x "$UV" ]; then
        # The interpreter's own pip installs it (seeding the environment with a pip of its own takes
        # longer than the rest); a pip too old for --python seeds one after all.
        "$PYTHON" -m venv --without-pip "$TOOLS"
        if ! "$PYTHON" -m pip --python "$TOOLS/bin/python" install --quiet "uv>=0.8"; then
            "$PYTHON" -m venv "$TOOLS"
            "$TOOLS/bin/python" -m pip install --quiet "uv>=0.8"
        fi
    fi
}

# fresh_venv DIR [PYTHON]: an empty virtual environment at DIR (no pip in it), whatever was there.
fresh_venv() {
    ensure_uv
    "$UV" venv --quiet --clear --python "$(command -v "${2:-$PYTHON}")" "$1"
}

# venv_install DIR ARGS...: `pip install ARGS` into the environment at DIR, done by uv. The
# package itself is always built afresh from the checkout (uv would otherwise reuse a build it
# made with other settings: a sanitizer's, another interpreter's).
venv_install() {
    local venv="$1"
    shift
    ensure_uv
    "$UV" pip install --quiet --python "$venv/bin/python" --reinstall-package tolvan "$@"
}

# The CPython versions after 3.11 that the package supports (its classifiers in
# pyproject.toml), one "3.N" a line.
newer_versions() {
    "$PYTHON" - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as file:
    classifiers = tomllib.load(file)["project"]["classifiers"]
prefix = "Programming Language :: Python :: 3."
for minor in sorted(int(c[len(prefix):]) for c in classifiers if c.startswith(prefix) and c[len(prefix):].isdigit()):
    if minor > 11:
        print(f"3.{minor}")
PY
}

# find_python 3.N: the path of a working CPython 3.N, or nothing. Tries python3.N
# on PATH (a pyenv shim there may refuse to run a version that is not selected),
# then every pyenv installation of 3.N, newest first.
find_python() {
    local version="$1" candidate
    local pyenv_root="${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "${HOME:-}/.pyenv")}"
    for candidate in "$(command -v "python$version" 2>/dev/null)" \
                     $(ls -d "$pyenv_root/versions/$version".*/bin/"python$version" 2>/dev/null | sort -rV); do
        if [ -n "$candidate" ] && "$candidate" -c \
            "import sys; sys.exit(sys.implementation.name != 'cpython' or sys.version_info[:2] != (${version/./, }))" \
            >/dev/null 2>&1; then
            echo "$candidate"
            return
        fi
    done
}

# pytest_run PYTHON [ARGS...]: `PYTHON -m pytest -q -p no:cacheprovider ARGS` in tests/, on
# $WORKERS workers. Exit status 5 (no test collected, as when extra arguments such as
# `-k sweep` select none of a stage's tests) is not a failure.
pytest_run() {
    local python="$1" status=0
    shift
    (cd tests && "$python" -m pytest -q -p no:cacheprovider "${WORKERS[@]}" "$@") || status=$?
    if [ "$status" -eq 5 ]; then
        echo "(no test selected here)"
        return 0
    fi
    return "$status"
}
