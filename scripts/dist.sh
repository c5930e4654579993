#!/usr/bin/env bash
# Builds what users install and installs it the way they do:
#   1. `python -m build`: the sdist, then the wheel built from that sdist, into dist/;
#   2. scripts/check_dist.py: both carry what they must (sources; module, stubs,
#      simulator and tolvan_sim; licence and classifiers), and nothing else;
#   3. the wheel, with its test extra and every other extra, into the test command's
#      own environment ($TEST_VENV, .venv-test, made afresh while the wheel builds;
#      the user's .venv is not touched).
#
#   bash scripts/dist.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh

DIST="$PWD/dist"
TOOLS="$PWD/.venv-build"   # holds only the `build` front end; kept between runs

if [ ! -x "$TOOLS/bin/python" ]; then "$PYTHON" -m venv "$TOOLS"; fi
"$TOOLS/bin/python" -m pip install --quiet --upgrade pip build

# The wheel goes in with every extra (the plot, the EPICS IOC, the frameworks) and the real clients the
# server's tests talk to: only here; the other environments run without them, and those tests skip there.
EXTRAS="test,plot,epics,web,qcodes,bluesky,pymeasure,test-clients"

mkdir -p "$DIST"
rm -f "$DIST"/tolvan-*.tar.gz "$DIST"/tolvan-*.whl

# The test environment, fresh each run so that nothing but the wheel can provide tolvan, tolvan_sim
# or tolvan-sim, gets what the package and those extras require from PyPI while the wheel builds
# (the build keeps the processors busy, the downloads the network).
( fresh_venv "$TEST_VENV" &&
  "$PYTHON" - "$EXTRAS" >"$DIST/requirements.txt" <<'PY' &&
import sys, tomllib
with open("pyproject.toml", "rb") as file:
    project = tomllib.load(file)["project"]
print("\n".join(project["dependencies"]))
for extra in sys.argv[1].split(","):
    print("\n".join(project["optional-dependencies"][extra]))
PY
  "$TEST_VENV/bin/python" -m pip install --quiet -r "$DIST/requirements.txt"
) >"$DIST/environment.log" 2>&1 &
environment=$!

echo "dist: building the sdist and, from it, the wheel (log: dist/build.log)"
if ! "$TOOLS/bin/python" -m build --outdir "$DIST" . >"$DIST/build.log" 2>&1; then
    tail -n 60 "$DIST/build.log"
    echo "dist: python -m build failed"
    exit 1
fi
"$TOOLS/bin/python" scripts/check_dist.py "$DIST"

if ! wait "$environment"; then
    cat "$DIST/environment.log"
    echo "dist: the test environment could not be made (log above: dist/environment.log)"
    exit 1
fi
wheels=("$DIST"/tolvan-*.whl)
"$TEST_VENV/bin/python" -m pip install --quiet "${wheels[0]}[$EXTRAS]"
"$TEST_VENV/bin/python" -c 'import sys, tolvan; assert tolvan.__file__.startswith(sys.prefix), tolvan.__file__; print("dist: installed", tolvan.__file__)'
