#!/usr/bin/env bash
# The one-command demo: builds and installs the package (the driver and the
# simulated instrument tolvan-sim) into the virtual environment, then tours
# every device command against a simulator that the demo starts and stops.
#
#   bash scripts/demo.sh [PORT] [--channels N]     (PORT: a real instrument instead)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh

ensure_venv
echo "demo: building and installing tolvan into $VENV (a minute the first time)"
"$VENV/bin/python" -m pip install --quiet .
exec "$VENV/bin/python" examples/demo.py "$@"
