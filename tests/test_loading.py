"""Loading the module: namespace, import rules, and what a failed load leaves behind."""

import subprocess
import sys
import textwrap

import platform as platform_module
import subprocess as subprocess_module
import time as time_module

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
        import sys
        sys.modules["serial"] = None          # pyserial "not installed"
        try:
            import tolvan
        except ModuleNotFoundError as error:
            print("failed", "tolvan" in sys.modules)
        del sys.modules["serial"]             # now it is
        import tolvan
        print(tolvan.TOLVAN("COM3").port, tolvan.serial.__name__)
        """
    )
    assert out.split() == ["failed", "False", "COM3", "serial"]


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
