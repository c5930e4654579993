#!/usr/bin/env bash
# Installs everything the tests need, builds the package, and runs every test.
#
#   bash scripts/test.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh

# The availability check asks lsof who holds a port; the tests use the real one.
if ! command -v lsof >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ]; then apt-get update -qq && apt-get install -y -qq lsof; else sudo apt-get update -qq && sudo apt-get install -y -qq lsof; fi
fi

ensure_venv
"$VENV/bin/python" -m pip install --quiet ".[test]"

# Run from tests/ so that `import tolvan` finds the installed package.
cd tests
"$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
