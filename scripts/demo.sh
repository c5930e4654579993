#!/usr/bin/env bash
# The one-command demo: installs the package (the driver and the simulated
# instrument tolvan-sim) into the virtual environment, then tours every device
# command against a simulator that the demo starts and stops. The package is
# built and installed again only when its sources changed since the last run.
#
#   bash scripts/demo.sh [PORT] [--channels N]     (PORT: a real instrument instead)
#
# TOLVAN_VENV chooses the environment (default .venv), PYTHON the interpreter that
# makes it (default python3.11).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh

ensure_venv
# What the installed package is made of: its build files and every source file of every
# package the wheel carries (scripts/source_fingerprint.py).
fingerprint="$("$VENV/bin/python" scripts/source_fingerprint.py)"
packages="$("$VENV/bin/python" scripts/source_fingerprint.py --packages)"
stamp="$VENV/.tolvan-demo-sources"
if [ "$(cat "$stamp" 2>/dev/null)" = "$fingerprint" ] && "$VENV/bin/python" -c "import tolvan, $packages" 2>/dev/null; then
    echo "demo: tolvan in $VENV is up to date with the sources"
else
    echo "demo: building and installing tolvan into $VENV (a minute the first time)"
    rm -f "$stamp"
    "$VENV/bin/python" -m pip install --quiet . -Cbuild-dir="build/demo-{wheel_tag}"
    echo "$fingerprint" > "$stamp"
fi
exec "$VENV/bin/python" examples/demo.py "$@"
