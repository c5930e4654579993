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
# What the installed package is made of: its build files and every source file.
fingerprint="$("$VENV/bin/python" - <<'PY'
import hashlib, pathlib
digest = hashlib.sha256()
for folder in ("src", "sim", "stubs", "tolvan_sim", "tolvan_cli"):
    for path in sorted(pathlib.Path(folder).rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts:
            digest.update(str(path).encode() + b"\0" + path.read_bytes())
for name in ("CMakeLists.txt", "pyproject.toml"):
    digest.update(name.encode() + b"\0" + pathlib.Path(name).read_bytes())
print(digest.hexdigest())
PY
)"
stamp="$VENV/.tolvan-demo-sources"
if [ "$(cat "$stamp" 2>/dev/null)" = "$fingerprint" ] && "$VENV/bin/python" -c "import tolvan, tolvan_sim, tolvan_cli" 2>/dev/null; then
    echo "demo: tolvan in $VENV is up to date with the sources"
else
    echo "demo: building and installing tolvan into $VENV (a minute the first time)"
    rm -f "$stamp"
    "$VENV/bin/python" -m pip install --quiet . -Cbuild-dir="build/demo-{wheel_tag}"
    echo "$fingerprint" > "$stamp"
fi
exec "$VENV/bin/python" examples/demo.py "$@"
