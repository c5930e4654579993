#!/usr/bin/env bash
# Builds the extension (and the simulator, where it is built) with AddressSanitizer
# and UndefinedBehaviorSanitizer into a virtual environment of its own, and runs
# the tests that run them (the fast suite, the robustness checks, the end-to-end
# suite and the layer's reply check) against that build. Any sanitizer report, from the test process or from any
# process it starts, fails the run.
#
#   bash scripts/sanitize.sh [--build-only | --no-build] [extra pytest arguments]
#
# --build-only builds and stops; --no-build runs the tests on what an earlier
# --build-only built (the test command builds while it runs other suites).
# TOLVAN_SANITIZE_VENV chooses the environment (default .venv-sanitize).
# TOLVAN_SANITIZE_FULL_STACKS=1 unwinds every allocation in full (about ten times
# slower): use it to see which frames a leak report comes from.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
VENV="${TOLVAN_SANITIZE_VENV:-$PWD/.venv-sanitize}"

LIBASAN="$(${CXX:-g++} -print-file-name=libasan.so)"
if [ ! -f "$LIBASAN" ]; then
    echo "sanitize.sh: the AddressSanitizer runtime (libasan.so) was not found" >&2
    exit 2
fi

step=all
case "${1:-}" in --build-only | --no-build) step="${1#--}"; shift ;; esac
if [ "$step" != no-build ]; then
    if [ ! -x "$VENV/bin/python" ]; then fresh_venv "$VENV"; fi
    venv_install "$VENV" ".[test]" \
        -Ccmake.define.TOLVAN_SANITIZE=ON -Cinstall.strip=false -Cbuild-dir=build/sanitize
fi
# What was installed must be the instrumented build.
module="$("$VENV/bin/python" -c 'import importlib.util; print(importlib.util.find_spec("tolvan").origin)')"
if ! nm -D --undefined-only "$module" | grep ' __asan_' >/dev/null; then
    echo "sanitize.sh: $module is not built with AddressSanitizer" >&2
    exit 1
fi

# The interpreter is not instrumented: the runtime must be preloaded into every
# Python process that loads the module. python-sanitized does that and keeps the
# environment's identity (argv[0]), so that sys.executable, and with it every
# Python the tests start, is this wrapper again. Other programs the tests start
# (lsof, the simulator) must not inherit the preload: lsof misbehaves under it,
# and the simulator links its own runtime. A .pth file drops it from os.environ
# once the interpreter is up.
BASE_PYTHON="$("$VENV/bin/python" -c 'import os, sys; print(os.path.realpath(sys._base_executable))')"
WRAPPERS="$VENV/sanitized-bin"
mkdir -p "$WRAPPERS"
# bash by its full path: some tests run the command with a PATH that holds no bash (no lsof).
cat > "$WRAPPERS/python" <<EOF
#!$(command -v bash)
export LD_PRELOAD="$LIBASAN\${LD_PRELOAD:+:\$LD_PRELOAD}"
exec -a "\$0" "$BASE_PYTHON" "\$@"
EOF
chmod +x "$WRAPPERS/python"
ln -sf python "$WRAPPERS/python3"
ln -sf python "$WRAPPERS/python3.11"
SITE="$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
echo 'import os; os.environ.pop("LD_PRELOAD", None)' > "$SITE/tolvan_sanitizer_preload.pth"
if [ "$step" = build-only ]; then exit 0; fi

LOGS="$(mktemp -d "${TMPDIR:-/tmp}/tolvan-sanitize.XXXXXX")"
trap 'rm -rf "$LOGS"' EXIT

UNWIND=1
if [ "${TOLVAN_SANITIZE_FULL_STACKS:-0}" = 1 ]; then UNWIND=0; fi
# Every Python object a malloc block that the sanitizer watches. No leak suppressions are
# needed: what the interpreter keeps at exit stays reachable from its globals, so LeakSanitizer
# reports only blocks nothing points to any more.
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=1:log_path=$LOGS/asan:fast_unwind_on_malloc=$UNWIND:malloc_context_size=30:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
# UndefinedBehaviorSanitizer stops the process at its first report (the build does not recover),
# and writes to standard error: pytest captures Python's streams only (--capture=sys), so that a
# report from the test process itself reaches the output.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# The robustness checks, sized for an instrumented build: the sanitizer itself finds what a longer
# run would (a bad access or a lost block, at the first call that makes it; the release and debug
# runs count what grows), and its quarantine keeps freed memory resident.
export TOLVAN_ROBUSTNESS_CALLS="${TOLVAN_ROBUSTNESS_CALLS:-100}"
export TOLVAN_ROBUSTNESS_SECONDS="${TOLVAN_ROBUSTNESS_SECONDS:-3}"
export TOLVAN_ROBUSTNESS_RSS=off
export TOLVAN_FUZZ_EXAMPLES="${TOLVAN_FUZZ_EXAMPLES:-20}"

# The suites that run the module and the simulator: the fast suite, the robustness checks, the
# end-to-end suite, and the layer's generated lines of replies through every command. The rest
# (the layer on the simulator, the command line, the server, the framework adapters, the
# examples) is Python above the driver, whose paths into the module and the simulator these
# suites already take; the test command runs them on the regular build, and
# TOLVAN_SANITIZE_SUITES names others for a run of this script.
# Left out of the default, as adding nothing here: the demo's tour (the driver calls of the
# end-to-end commands tests, again) and three checks of tolvan_sim's Python alone (its pytest
# plugin in a session of its own, what that plugin imports, and how soon its launcher stops the
# simulator when the block it guards raises: a time, which an instrumented build only blurs).
default_suites="$(cd tests && echo test_*.py) robustness e2e lab/test_replies.py --ignore=e2e/test_e2e_demo.py"
default_suites+=" --deselect=tests/e2e/test_e2e_tolvan_sim.py::test_fixtures_stop_every_simulator_at_the_end_of_its_test"
default_suites+=" --deselect=tests/e2e/test_e2e_tolvan_sim.py::test_the_plugin_imports_nothing_of_its_own_until_a_name_is_used"
default_suites+=" --deselect=tests/e2e/test_e2e_tolvan_sim.py::test_an_error_in_the_block_still_stops_it"
read -r -a suites <<< "${TOLVAN_SANITIZE_SUITES:-$default_suites}"
status=0
PATH="$WRAPPERS:$VENV/bin:$PATH" pytest_run "$WRAPPERS/python" --capture=sys "${suites[@]}" "$@" || status=$?

if compgen -G "$LOGS/*" >/dev/null; then
    echo "sanitize.sh: sanitizer reports:" >&2
    for report in "$LOGS"/*; do
        echo "--- $(basename "$report")" >&2
        cat "$report" >&2
    done
    status=1
fi
if [ "$status" -ne 0 ]; then
    echo "sanitize.sh: FAILED (status $status)" >&2
else
    echo "sanitize.sh: no sanitizer reports"
fi
exit "$status"
