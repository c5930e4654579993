#!/usr/bin/env bash
# Builds what users install and installs it the way they do:
#   1. `uv build` (what `python -m build` does, in less time): the sdist, then the wheel built
#      from that sdist, into dist/;
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
ensure_uv

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
  venv_install "$TEST_VENV" -r "$DIST/requirements.txt"
) >"$DIST/environment.log" 2>&1 &
environment=$!

echo "dist: building the sdist and, from it, the wheel (log: dist/build.log)"
if ! "$UV" build --python "$(command -v "$PYTHON")" --out-dir "$DIST" . >"$DIST/build.log" 2>&1; then
    tail -n 60 "$DIST/build.log"
    echo "dist: uv build failed"
    exit 1
fi
"$PYTHON" scripts/check_dist.py "$DIST"

if ! wait "$environment"; then
    cat "$DIST/environment.log"
    echo "dist: the test environment could not be made (log above: dist/environment.log)"
    exit 1
fi
wheels=("$DIST"/tolvan-*.whl)
venv_install "$TEST_VENV" "${wheels[0]}[$EXTRAS]"
"$TEST_VENV/bin/python" -c 'import sys, tolvan; assert tolvan.__file__.startswith(sys.prefix), tolvan.__file__; print("dist: installed", tolvan.__file__)'
