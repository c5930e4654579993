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

# Strict ISO C++20 with g++ (and clang++ where installed): portable source.
bash scripts/pedantic.sh

# The suite runs against what users install: the sdist, the wheel built from it,
# and that wheel installed into a fresh $VENV (tolvan, tolvan-stubs, tolvan-sim).
bash scripts/dist.sh

# Run from tests/ so that `import tolvan` finds the installed package, with the
# environment's scripts (the simulator from the wheel) first on the search path.
cd tests
PATH="$VENV/bin:$PATH" "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"

# Memory safety: the extension and the simulator rebuilt with AddressSanitizer and
# UndefinedBehaviorSanitizer in an environment of their own (.venv-sanitize), and every
# suite run again against that build; any sanitizer report fails (scripts/sanitize.sh).
cd ..
bash scripts/sanitize.sh "$@"
