#!/usr/bin/env bash
# Builds what users install and installs it the way they do:
#   1. `python -m build`: the sdist, then the wheel built from that sdist, into dist/;
#   2. scripts/check_dist.py: both carry what they must (sources; module, stubs,
#      simulator and tolvan_sim; licence and classifiers), and nothing else;
#   3. the wheel, with its test extra, into the test command's own environment
#      ($TEST_VENV, .venv-test, made afresh; the user's .venv is not touched).
#
#   bash scripts/dist.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh

DIST="$PWD/dist"
TOOLS="$PWD/.venv-build"   # holds only the `build` front end; kept between runs

if [ ! -x "$TOOLS/bin/python" ]; then "$PYTHON" -m venv "$TOOLS"; fi
"$TOOLS/bin/python" -m pip install --quiet --upgrade pip build

mkdir -p "$DIST"
rm -f "$DIST"/tolvan-*.tar.gz "$DIST"/tolvan-*.whl
echo "dist: building the sdist and, from it, the wheel (log: dist/build.log)"
if ! "$TOOLS/bin/python" -m build --outdir "$DIST" . >"$DIST/build.log" 2>&1; then
    tail -n 60 "$DIST/build.log"
    echo "dist: python -m build failed"
    exit 1
fi
"$TOOLS/bin/python" scripts/check_dist.py "$DIST"

# Fresh each run, so that nothing but the wheel can provide tolvan, tolvan_sim or tolvan-sim.
fresh_venv "$TEST_VENV"
wheels=("$DIST"/tolvan-*.whl)
# With every extra (the plot, the EPICS IOC, the frameworks) and the real clients the server's tests
# talk to: only here; the other environments run without them, and those tests skip there.
"$TEST_VENV/bin/python" -m pip install --quiet "${wheels[0]}[test,plot,epics,qcodes,bluesky,pymeasure,test-clients]"
"$TEST_VENV/bin/python" -c 'import sys, tolvan; assert tolvan.__file__.startswith(sys.prefix), tolvan.__file__; print("dist: installed", tolvan.__file__)'
