"""Loading the module: namespace, import rules, and what a failed load leaves behind."""

import os
import subprocess
import sys
import textwrap

import platform as platform_module
import subprocess as subprocess_module
import time as time_module

import pytest
import serial

import tolvan


def run_python(code):
    """Runs code in a fresh interpreter; returns its stdout, failing on a non-zero exit."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


MODULE_DOC = (
    "\nBasic Usage:\nfrom tolvan import TOLVAN\n\ntl = TOLVAN(\"/dev/cu.PL2303G-USBtoUART2110\")\n"
    "if tl.open():\n    dev_ver = tl.read_device_version()\n    print(dev_ver)\n\n"
    "    # set chnnel 1 to 1.1db\n    tl.set_attenuation(1100, 1)\n"
)


def test_namespace_holds_the_imports_and_the_class():
    assert tolvan.__name__ == "tolvan"
    assert tolvan.__doc__ == MODULE_DOC
    assert tolvan.platform is platform_module
    assert tolvan.serial is serial
    assert tolvan.time is time_module
    assert tolvan.subprocess is subprocess_module
    # In a fresh interpreter, as other tests rebind module globals.
    own = run_python('import tolvan; print(*[n for n in vars(tolvan) if not n.startswith("__")])')
    assert own.split() == ["platform", "serial", "time", "subprocess", "TOLVAN"]
    assert tolvan.__file__ == tolvan.__spec__.origin
    assert tolvan.__loader__ is tolvan.__spec__.loader


def test_second_import_returns_the_same_module():
    import importlib

    assert importlib.import_module("tolvan") is tolvan
    out = run_python(
        """
        import sys, tolvan
        first = tolvan.TOLVAN
        del sys.modules["tolvan"]
        import tolvan as again
        print(again.TOLVAN is first)
        """
    )
    assert out.split() == ["True"]


def test_imports_run_in_order_through_import_statement_semantics():
    out = run_python(
        """
        import builtins
        seen = []
        original = builtins.__import__
        def recording(name, globals=None, locals=None, fromlist=(), level=0):
            if globals is not None and globals.get("__name__") == "tolvan":
                seen.append((name, fromlist, level))
            return original(name, globals, locals, fromlist, level)
        builtins.__import__ = recording
        import tolvan
        print(seen)
        """
    )
    assert eval(out) == [("platform", None, 0), ("serial", None, 0), ("time", None, 0), ("subprocess", None, 0)]


def test_failed_load_leaves_nothing_and_a_later_import_starts_afresh():
    out = run_python(
        """
        import gc, importlib.machinery, sys, weakref
        specs = []
        class Watch:                          # keeps a weak reference to each spec tolvan loads from
            def find_spec(name, path=None, target=None):
                spec = importlib.machinery.PathFinder.find_spec(name, path, target) if name == "tolvan" else None
                specs.extend([weakref.ref(spec)] if spec else [])
                return spec
        sys.meta_path.insert(0, Watch)
        sys.modules["serial"] = None          # pyserial "not installed"
        try:
            import tolvan
        except ModuleNotFoundError as error:
            print("failed", "tolvan" in sys.modules)
        gc.collect()
        print("kept", specs[0]() is not None)  # nothing holds the half-built module's namespace
        del sys.modules["serial"]             # now it is
        import tolvan
        print(tolvan.TOLVAN("COM3").port, tolvan.serial.__name__)
        """
    )
    assert out.split() == ["failed", "False", "kept", "False", "COM3", "serial"]


def test_missing_builtin_fails_the_load_with_name_error():
    out = run_python(
        """
        import builtins
        saved = builtins.sum
        del builtins.sum
        try:
            import tolvan
        except NameError as error:
            print(error)
        builtins.sum = saved
        import tolvan
        print(tolvan.TOLVAN("COM3")._TOLVAN__check_crc([123, 1, 5, 0, 3, 124, 125]))
        """
    )
    assert out.splitlines() == ["name 'sum' is not defined", "True"]


def test_builtins_are_bound_once_at_load():
    out = run_python(
        """
        import builtins, tolvan
        builtins.print = lambda *args: None    # rebinding after load changes nothing
        tl = tolvan.TOLVAN("COM3")
        tolvan.platform = type("P", (), {"system": staticmethod(lambda: "Linux")})
        class Missing:
            PIPE = -1
            @staticmethod
            def run(*args, **kwargs):
                raise FileNotFoundError(2, "No such file or directory", "lsof")
        tolvan.subprocess = Missing
        tl.check_port_available()
        """
    )
    assert "No such file or directory" in out


def test_executing_a_second_module_object_is_refused():
    out = run_python(
        """
        import importlib.util
        spec = importlib.util.find_spec("tolvan")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        spec.loader.exec_module(first)        # once executed, a repeat is a no-op
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            print(error)
        print(hasattr(first, "TOLVAN"), hasattr(second, "TOLVAN"))
        """
    )
    assert out.splitlines() == [
        "Module 'tolvan' has already been imported. Re-initialisation is not supported.",
        "True False",
    ]


def test_no_warning_on_the_version_it_was_built_for():
    # This build runs on the interpreter it was built for: any warning would stop the load.
    done = subprocess.run([sys.executable, "-W", "error", "-c", "import tolvan"], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr


# Other CPython interpreters on this machine, as the test command finds them.
OTHER_PYTHONS = [path for path in os.environ.get("TOLVAN_OTHER_PYTHONS", "").split(os.pathsep) if path]

# Loads the extension file named on the command line as `tolvan`, warnings being errors,
# so that a mismatch stops the load at the warning, before any code that depends on the
# interpreter's layout runs.
LOAD_BUILD = """
import importlib.machinery, importlib.util, sys
loader = importlib.machinery.ExtensionFileLoader("tolvan", sys.argv[1])
module = importlib.util.module_from_spec(importlib.util.spec_from_loader("tolvan", loader))
try:
    loader.exec_module(module)
except RuntimeWarning as warning:
    print(warning, "| in sys.modules:", "tolvan" in sys.modules, "| class:", hasattr(module, "TOLVAN"))
"""


@pytest.mark.skipif(not OTHER_PYTHONS, reason="TOLVAN_OTHER_PYTHONS names no other interpreter (scripts/test.sh sets it)")
def test_a_newer_interpreter_is_warned_naming_the_version_built_for():
    built = sys.version_info[:2]
    loaded = 0
    for python in OTHER_PYTHONS:
        version = subprocess.run([python, "-c", "import sys; print(*sys.version_info[:2])"], capture_output=True,
                                 text=True, check=True).stdout.split()
        if tuple(map(int, version)) <= built:
            continue  # an older interpreter may lack what this build links to
        done = subprocess.run([python, "-W", "error::RuntimeWarning", "-c", LOAD_BUILD, tolvan.__file__],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout.splitlines() == [
            f"compile time Python version {built[0]}.{built[1]} of module 'tolvan' does not match runtime version "
            f"{'.'.join(version)} | in sys.modules: False | class: False"]
        loaded += 1
    if not loaded:
        pytest.skip(f"no interpreter newer than {built[0]}.{built[1]} in TOLVAN_OTHER_PYTHONS")


# -- loading again after a failure ------------------------------------------------------------------

def test_a_retried_load_uses_the_builtins_of_its_own_time_and_keeps_none_of_the_failed_one():
    out = run_python(
        """
        import builtins, gc, sys, types, weakref

        class Printer:
            def __init__(self):
                self.lines = []
            def __call__(self, *args):
                self.lines.append(args)

        saved = builtins.print, builtins.RuntimeError
        first = Printer(), type("FirstError", (Exception,), {})
        builtins.print, builtins.RuntimeError = first
        sys.modules["serial"] = None          # pyserial "not installed": the load fails after the builtins
        try:
            import tolvan
        except ImportError:
            pass
        del sys.modules["serial"]
        second = Printer(), type("SecondError", (Exception,), {})
        builtins.print, builtins.RuntimeError = second
        witnesses = [weakref.ref(seen) for seen in first]
        del first
        gc.collect()
        held_by_failed_load = [witness() is not None for witness in witnesses]
        import tolvan
        builtins.print, builtins.RuntimeError = saved

        tolvan.platform = types.SimpleNamespace(system=lambda: "Linux")
        tolvan.subprocess = types.SimpleNamespace(PIPE=-1, run=lambda *args, **kwargs: 1 / 0)
        tl = tolvan.TOLVAN("/dev/ttyUSB0")
        tl.check_port_available()
        tl.read_optical_length = lambda ch=1: []
        try:
            tl.set_optical_length(1310)
        except Exception as error:
            raised = type(error).__name__
        print(second[0].lines, raised, held_by_failed_load)
        """
    )
    assert out.splitlines() == ["[('检查端口时出错: division by zero',)] SecondError [False, False]"]


# What `import NAME` runs for an extension module, with every allocation from the k-th on
# made to fail, and then the k-th alone, for k = 0, 1, ... until the load succeeds; it
# prints the errors other than MemoryError that the failed loads raised. The import lock
# is left out: CPython itself cannot take it reliably while allocations fail.
FAILING_LOADS = """
import collections, importlib.util, sys, _testcapi
import platform, serial, subprocess, time    # loaded beforehand: the failures fall on the module

spec = importlib.util.find_spec(sys.argv[1])

def load(start, stop):
    _testcapi.set_nomemory(start, stop)
    try:
        spec.loader.exec_module(spec.loader.create_module(spec))
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        sys.modules.pop(spec.name, None)     # as the import system does after a failed load
        return error
    _testcapi.remove_mem_hooks()
    return None

others = collections.Counter()
for start in range(100000):
    errors = [load(start, 0)]
    if errors[-1] is not None:
        errors.append(load(start, start + 1))
    for error in errors:
        if error is not None and type(error) is not MemoryError:
            others[f"{type(error).__name__}: {error}"] += 1
    if errors[-1] is None:              # loaded: no allocation left to fail
        break
print(start, dict(others))
"""


def test_failed_allocations_while_loading_end_in_memory_error():
    """Every allocation of the load made to fail in turn: from that one on, and that one alone."""
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("this CPython cannot fail allocations on request")

    def failing_loads(name):
        return subprocess.run([sys.executable, "-c", FAILING_LOADS, name], capture_output=True, text=True,
                              timeout=120)

    if failing_loads("array").returncode != 0:
        pytest.skip("this CPython crashes loading its own array module when allocations fail")
    done = failing_loads("tolvan")
    assert done.returncode == 0, done.stderr
    loads, others = done.stdout.split(" ", 1)
    assert int(loads) > 100 and others.strip() == "{}"
    assert run_python("import tolvan; print(tolvan.TOLVAN('COM3')._TOLVAN__check_crc([123, 1, 5, 0, 3, 124, 125]))") \
        == "True\n"
