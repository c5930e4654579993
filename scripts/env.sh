# Shared by the project's scripts: the virtual environment they install into.
VENV="${TOLVAN_VENV:-$PWD/.venv}"

ensure_venv() {
    if [ ! -x "$VENV/bin/python" ]; then
        "${PYTHON:-python3.11}" -m venv "$VENV"
    fi
    "$VENV/bin/python" -m pip install --quiet --upgrade pip
}
