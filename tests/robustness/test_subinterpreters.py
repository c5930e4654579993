"""One interpreter per process: a second one is refused, and the first keeps working.

Who refuses depends on the version and on the kind of sub-interpreter. From
CPython 3.12, an isolated sub-interpreter (its own GIL, the default of the
interpreters modules) refuses the module itself, as the module does not declare
support for it, before the module's own check runs. A legacy one (shared GIL,
as every sub-interpreter of 3.11) leaves the decision to the module, which
keeps to the first interpreter that loaded it. Either refusal is an ImportError.

Each scenario runs in a fresh process, so that a crash fails the test instead
of ending the session, and so that the module's first load is the scenario's.
"""

import subprocess
import sys
import textwrap

import pytest

if sys.version_info >= (3, 13):
    pytest.importorskip("_interpreters")
else:
    pytest.importorskip("_xxsubinterpreters")

REFUSED_BY_MODULE = "Interpreter change detected - this module can only be loaded into one interpreter per process."
REFUSED_BY_CPYTHON = "module tolvan does not support loading in subinterpreters"
# The kinds of sub-interpreter this version makes, and what import tolvan in one meets.
REFUSALS = {"legacy": REFUSED_BY_MODULE}
if sys.version_info >= (3, 12):
    REFUSALS["isolated"] = REFUSED_BY_CPYTHON

# Shared by the scenarios: making and running sub-interpreters on this version, and a
# driver on an in-memory port that answers a status query.
PRELUDE = """
import sys, types

if sys.version_info >= (3, 13):
    import _interpreters as xi

    def new_interpreter(kind):
        return xi.create(kind)

    def run_in(interpreter, code):
        # The uncaught exception's text ("ImportError: ..."), or None.
        failure = xi.exec(interpreter, code)
        return None if failure is None else failure.formatted
else:
    import _xxsubinterpreters as xi

    def new_interpreter(kind):
        return xi.create(isolated=kind == "isolated") if sys.version_info >= (3, 12) else xi.create()

    def run_in(interpreter, code):
        try:
            xi.run_string(interpreter, code)
        except xi.RunFailedError as error:
            return str(error).replace("<class '", "", 1).replace("'>", "", 1)
        return None

def attempt(kind):
    # import tolvan in a new sub-interpreter of that kind: how it ended, seen from inside.
    interpreter = new_interpreter(kind)
    run_in(interpreter, ATTEMPT)
    xi.destroy(interpreter)

ATTEMPT = '''
import sys
try:
    import tolvan
except ImportError as error:
    print("ImportError:", error, "| in sys.modules:", "tolvan" in sys.modules, flush=True)
else:
    print("imported", flush=True)
'''

def status_of_a_fresh_driver(tolvan):
    tolvan.time = types.SimpleNamespace(sleep=abs)
    reply = bytes.fromhex("7B 01 0A 14 36 00 00 01 6E 00 00 7D")
    tl = tolvan.TOLVAN("/dev/ttyUSB0")
    tl.ser = types.SimpleNamespace(write=bytes, inWaiting=reply.__len__, read={12: reply}.get)
    return tl.read_current_status(2)
"""


def run(code):
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


STATUS = "{'dev_work_mode': 0, 'optical_length_index': 1, 'attenuation': 1100}"


@pytest.mark.parametrize("kind", REFUSALS)
def test_second_interpreter_is_refused_and_the_first_works_on(kind):
    out = run(
        f"""
        import tolvan
        print(status_of_a_fresh_driver(tolvan), flush=True)
        attempt({kind!r})
        attempt({kind!r})
        del sys.modules["tolvan"]
        import tolvan as again
        print(again is tolvan, status_of_a_fresh_driver(again), flush=True)
        """
    )
    refusal = f"ImportError: {REFUSALS[kind]} | in sys.modules: False"
    assert out == [STATUS, refusal, refusal, f"True {STATUS}"]


@pytest.mark.parametrize("kind", REFUSALS)
def test_refusal_reaches_the_code_that_runs_the_interpreter(kind):
    out = run(
        f"""
        import tolvan
        other = new_interpreter({kind!r})
        print(run_in(other, "import tolvan"), flush=True)
        xi.destroy(other)
        print(status_of_a_fresh_driver(tolvan), flush=True)
        """
    )
    assert out == [f"ImportError: {REFUSALS[kind]}", STATUS]


def test_the_first_interpreter_to_load_keeps_the_module():
    # The main interpreter never loaded it: a legacy sub-interpreter does, and the main one is
    # refused, also once that sub-interpreter is gone. An isolated one (from 3.12) is refused
    # before the module runs, and so takes nothing from the legacy one after it.
    kinds = list(REFUSALS)[::-1]  # isolated (where there is one), then legacy
    out = run(
        f"""
        for kind in {kinds!r}:
            attempt(kind)
        try:
            import tolvan
        except ImportError as error:
            print("ImportError:", error, flush=True)
        """
    )
    refused_first = [f"ImportError: {REFUSED_BY_CPYTHON} | in sys.modules: False"] if "isolated" in kinds else []
    assert out == [*refused_first, "imported", f"ImportError: {REFUSED_BY_MODULE}"]
