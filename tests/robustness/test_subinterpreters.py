"""One interpreter per process: a second one is refused, and the first keeps working.

Each scenario runs in a fresh process, so that a crash fails the test instead
of ending the session, and so that the module's first load is the scenario's.
"""

import subprocess
import sys
import textwrap

import pytest

xi = pytest.importorskip("_xxsubinterpreters")

REFUSAL = "Interpreter change detected - this module can only be loaded into one interpreter per process."

# Shared by the scenarios: a driver on an in-memory port that answers a status query.
PRELUDE = """
import types, _xxsubinterpreters as xi

def status_of_a_fresh_driver(tolvan):
    tolvan.time = types.SimpleNamespace(sleep=abs)
    reply = bytes.fromhex("7B 01 0A 14 36 00 00 01 6E 00 00 7D")
    tl = tolvan.TOLVAN("/dev/ttyUSB0")
    tl.ser = types.SimpleNamespace(write=bytes, inWaiting=reply.__len__, read={12: reply}.get)
    return tl.read_current_status(2)

# Runs in the other interpreter: reports how its import ended on standard output.
ATTEMPT = '''
import sys
try:
    import tolvan
except ImportError as error:
    print("ImportError:", error, "| in sys.modules:", "tolvan" in sys.modules, flush=True)
else:
    print("imported", flush=True)
'''
"""


def run(code):
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


STATUS = "{'dev_work_mode': 0, 'optical_length_index': 1, 'attenuation': 1100}"


def test_second_interpreter_is_refused_and_the_first_works_on():
    out = run(
        """
        import tolvan
        print(status_of_a_fresh_driver(tolvan), flush=True)
        for attempt in range(2):
            other = xi.create()
            xi.run_string(other, ATTEMPT)
            xi.destroy(other)
        import sys
        del sys.modules["tolvan"]
        import tolvan as again
        print(again is tolvan, status_of_a_fresh_driver(again), flush=True)
        """
    )
    assert out == [
        STATUS,
        f"ImportError: {REFUSAL} | in sys.modules: False",
        f"ImportError: {REFUSAL} | in sys.modules: False",
        f"True {STATUS}",
    ]


def test_refusal_reaches_the_caller_of_run_string():
    out = run(
        """
        import tolvan
        other = xi.create()
        try:
            xi.run_string(other, "import tolvan")
        except xi.RunFailedError as error:
            print(error, flush=True)
        xi.destroy(other)
        print(status_of_a_fresh_driver(tolvan), flush=True)
        """
    )
    assert out == [f"<class 'ImportError'>: {REFUSAL}", STATUS]


def test_the_first_interpreter_to_load_keeps_the_module():
    # The main interpreter never loaded it: the sub-interpreter does, and the main one is refused,
    # also once that sub-interpreter is gone.
    out = run(
        """
        other = xi.create()
        xi.run_string(other, ATTEMPT)
        xi.destroy(other)
        try:
            import tolvan
        except ImportError as error:
            print("ImportError:", error, flush=True)
        """
    )
    assert out == ["imported", f"ImportError: {REFUSAL}"]
