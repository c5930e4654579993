#!/usr/bin/env bash
# Installs everything the tests need, builds the package, and runs every test,
# in environments of its own (the user's .venv is left alone).
#
#   bash scripts/test.sh [extra pytest arguments]
#
# PYTHON chooses the CPython 3.11 (default python3.11). CPython 3.12 and later,
# where found (scripts/env.sh: find_python), run the fast suite as well.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
source scripts/env.sh
began=$SECONDS
took() { echo "$(( (SECONDS - began) / 60 )) min $(( (SECONDS - began) % 60 )) s"; }

# The availability check asks lsof who holds a port; the tests use the real one.
if ! command -v lsof >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ]; then apt-get update -qq && apt-get install -y -qq lsof; else sudo apt-get update -qq && sudo apt-get install -y -qq lsof; fi
fi

# The newer interpreters on this machine. The version-warning test loads the
# 3.11 build under each of them.
newer=()
for version in $(newer_versions); do
    found="$(find_python "$version")"
    if [ -n "$found" ]; then
        newer+=("$found")
    else
        echo "test: no CPython $version found (python$version on PATH, or under pyenv): skipping it"
    fi
done
other_pythons="$(IFS=:; echo "${newer[*]}")"

# Strict ISO C++20 with g++ (and clang++ where installed): portable source.
bash scripts/pedantic.sh "$PYTHON"

# The suite runs against what users install: the sdist, the wheel built from it,
# and that wheel installed into a fresh $TEST_VENV (tolvan, tolvan-stubs, tolvan_sim, tolvan-sim).
bash scripts/dist.sh

# Run from tests/ so that `import tolvan` finds the installed package, with the
# environment's scripts (the simulator from the wheel) first on the search path.
echo "test: every suite on $("$TEST_VENV/bin/python" -V) (at $(took))"
(cd tests && PATH="$TEST_VENV/bin:$PATH" TOLVAN_OTHER_PYTHONS="$other_pythons" \
    "$TEST_VENV/bin/python" -m pytest -q -p no:cacheprovider "$@")

# Each newer CPython: `pip install .` into an environment of its own, then the
# fast suite, the hostile objects, and the load checks that differ between
# versions (importing again after removal from sys.modules; sub-interpreters).
for python in "${newer[@]}"; do
    version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    env_dir="$TEST_VENV-$version"
    echo "test: the fast suite on $("$python" -V) ($python; at $(took))"
    fresh_venv "$env_dir" "$python"
    "$env_dir/bin/python" -m pip install --quiet ".[test]" -Cbuild-dir="build/test-$version"
    status=0
    (cd tests && PATH="$env_dir/bin:$PATH" TOLVAN_OTHER_PYTHONS="$other_pythons" \
        "$env_dir/bin/python" -m pytest -q -p no:cacheprovider test_*.py robustness/test_hostile.py robustness/test_subinterpreters.py \
        "robustness/test_leaks.py::test_import_again_after_removal_from_sys_modules_leaves_nothing_behind" "$@") \
        || status=$?
    # 5: extra arguments (such as -k sweep) selected none of these tests.
    if [ "$status" -ne 0 ] && [ "$status" -ne 5 ]; then exit "$status"; fi
done

# Memory safety: the extension and the simulator rebuilt with AddressSanitizer and
# UndefinedBehaviorSanitizer in an environment of their own (.venv-sanitize), and every
# suite run again against that build; any sanitizer report fails (scripts/sanitize.sh).
cd "$ROOT"
echo "test: the sanitizer build (at $(took))"
bash scripts/sanitize.sh "$@"
echo "test: everything passed in $(took)"
