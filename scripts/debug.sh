#!/usr/bin/env bash
# Builds the module for CPython's own debug interpreter (Py_DEBUG: reference
# totals, the interpreter's inline assertions, checks on every C-API call) and
# runs the fast suite and the robustness checks under it in development mode
# with warnings as errors, the leak check counting every reference
# (sys.gettotalrefcount) over 3,000 rounds of each method and error path.
#
#   bash scripts/debug.sh [--build-only | --no-build] [extra pytest arguments]
#
# --build-only installs and builds, then stops; --no-build runs the tests on
# what an earlier --build-only built.
#
# PYTHON_DEBUG names the debug interpreter (default python3.11-dbg). Where it is
# missing, it is installed with apt-get (Debian and Ubuntu: python3.11-dbg and
# its headers); where apt-get is not available either, the stage is skipped
# with a line saying so. TOLVAN_DEBUG_VENV chooses the environment (default
# .venv-debug).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
PYTHON="${PYTHON_DEBUG:-python3.11-dbg}"
VENV="${TOLVAN_DEBUG_VENV:-$PWD/.venv-debug}"
step=all
case "${1:-}" in --build-only | --no-build) step="${1#--}"; shift ;; esac

if ! command -v "$PYTHON" >/dev/null 2>&1; then
    if [ -n "${PYTHON_DEBUG:-}" ]; then
        echo "debug: PYTHON_DEBUG names $PYTHON, which was not found" >&2
        exit 2
    fi
    if [ "$step" = no-build ] || ! command -v apt-get >/dev/null 2>&1; then
        echo "debug: SKIPPED: no $PYTHON here, and no apt-get to install it (on Debian or Ubuntu: apt-get install python3.11-dbg)"
        exit 0
    fi
    echo "debug: installing python3.11-dbg and its headers with apt-get"
    sudo=()
    if [ "$(id -u)" != 0 ]; then sudo=(sudo); fi
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.11-dbg libpython3.11-dbg python3.11-dev python3.11-venv >/dev/null
fi
if [ "$("$PYTHON" -c 'import sys; print(hasattr(sys, "gettotalrefcount"))')" != True ]; then
    echo "debug: $PYTHON is not a debug build of CPython (no sys.gettotalrefcount)" >&2
    exit 1
fi

if [ "$step" != no-build ]; then
    if [ ! -x "$VENV/bin/python" ]; then fresh_venv "$VENV" "$PYTHON"; fi
    # Without the simulator: the fast suite and the robustness checks never start it.
    venv_install "$VENV" ".[test]" -Cbuild-dir=build/debug \
        -Ccmake.define.TOLVAN_SIMULATOR=OFF
fi

# A module built without Py_DEBUG still loads, but counts references behind the
# interpreter's back: the debug build's Py_INCREF adds to _Py_RefTotal.
module="$("$VENV/bin/python" -c 'import tolvan; print(tolvan.__file__)')"
if ! nm -D --undefined-only "$module" | grep -E '\b_Py_(RefTotal|IncRefTotal)\b' >/dev/null; then
    echo "debug: $module is not a debug build (it does not refer to _Py_RefTotal)" >&2
    exit 1
fi
echo "debug: $(basename "$module") is a Py_DEBUG build for $("$VENV/bin/python" -VV | head -n 1)"
if [ "$step" = build-only ]; then exit 0; fi

# -X dev -W error, for every Python process the tests start as well.
export PYTHONDEVMODE=1 PYTHONWARNINGS=error
export TOLVAN_ROBUSTNESS_CALLS="${TOLVAN_ROBUSTNESS_CALLS:-3000}"
# The generated families run in full in the release suites; here the point is the C-API checks.
export TOLVAN_FUZZ_EXAMPLES="${TOLVAN_FUZZ_EXAMPLES:-20}"
fast=(tests/test_*.py)
PATH="$VENV/bin:$PATH" pytest_run "$VENV/bin/python" "${fast[@]#tests/}" robustness "$@"
