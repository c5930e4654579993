#!/usr/bin/env bash
# Runs the fast suite (every test but the end-to-end ones, tests/e2e and tests/cli) under valgrind's
# memcheck, the Python processes the tests start included, and fails on any
# invalid read or write, any use of an uninitialised value, or any definitely
# lost block allocated in the module.
#
#   bash scripts/valgrind.sh [extra pytest arguments]
#
# It builds with debug information (so that reports name the module's lines)
# into a virtual environment of its own, $TOLVAN_VALGRIND_VENV (default
# .venv-valgrind). valgrind must be installed (Debian: apt-get install
# valgrind). Takes ten minutes or more.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
VENV="${TOLVAN_VALGRIND_VENV:-$PWD/.venv-valgrind}"

if ! command -v valgrind >/dev/null 2>&1; then
    echo "valgrind.sh: valgrind is not installed" >&2
    exit 2
fi

ensure_venv
"$VENV/bin/python" -m pip install --quiet ".[test]" -Ccmake.build-type=RelWithDebInfo -Cinstall.strip=false \
    -Cbuild-dir=build/valgrind

LOGS="$(mktemp -d "${TMPDIR:-/tmp}/tolvan-valgrind.XXXXXX")"
trap 'rm -rf "$LOGS"' EXIT

export PYTHONMALLOC=malloc   # no pymalloc arenas: every object is a block memcheck tracks
# The robustness checks, sized for a run that is some fifty times slower.
export TOLVAN_ROBUSTNESS_CALLS="${TOLVAN_ROBUSTNESS_CALLS:-300}"
export TOLVAN_ROBUSTNESS_SECONDS="${TOLVAN_ROBUSTNESS_SECONDS:-2}"
export TOLVAN_ROBUSTNESS_RSS=off
export TOLVAN_FUZZ_EXAMPLES="${TOLVAN_FUZZ_EXAMPLES:-15}"

status=0
(
    cd tests
    valgrind --tool=memcheck --trace-children=yes --trace-children-skip='*/lsof,*/tolvan-sim,*/git' \
        --trace-children-skip-by-arg='*mypy*' \
        --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
        --num-callers=40 --track-origins=yes \
        --xml=yes --xml-file="$LOGS/memcheck.%p.xml" --log-file="$LOGS/memcheck.%p.log" \
        "$VENV/bin/python" -m pytest -q -p no:cacheprovider --ignore=e2e --ignore=cli "$@"
) || status=$?

"$VENV/bin/python" scripts/valgrind_report.py "$LOGS"/memcheck.*.xml || status=1
if [ "$status" -ne 0 ]; then
    echo "valgrind.sh: FAILED (status $status)" >&2
fi
exit "$status"
