"""What a type checker sees of the installed package: the test command's type-checking stage.

    python scripts/typecheck.py        (with the Python of the environment to check)

1. stubtest: the stubs (the package tolvan-stubs) agree with the module that is actually loaded:
   parameter names, kinds and defaults, methods and attributes, the module globals.
2. One `mypy --strict` run, from a folder of its own so that only the installed copies are found:
   - user scripts that must pass: every method of the driver (tests/typecheck/samples/every_method.py)
     and a lab script over tolvan_lab (lab_script.py);
   - scripts that must fail, each with what mypy must say: a float channel at every method that
     takes one (float_channel.py, lines 6 to 11), and the common mistakes below;
   - the framework adapters (tolvan_lab.qcodes, .bluesky, .pymeasure) whose framework is
     installed, checked as user code (a copy of the installed tolvan_lab: mypy reports nothing
     in installed packages) against the frameworks' own type information.
Prints what failed and exits 1; exits 0 when every expectation holds.
"""

from __future__ import annotations

import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

SAMPLES = Path(__file__).resolve().parent.parent / "tests" / "typecheck" / "samples"
PASSING = ["every_method.py", "lab_script.py"]
FLOAT_CHANNEL = ("float_channel.py", range(6, 12), 'incompatible type "float"; expected "int"')

DRIVER = 'from tolvan import TOLVAN\n\ntl = TOLVAN("COM3")\n'
# Each mistake, the script that makes it, and what mypy must say of it.
MISTAKES = {
    # The key as the method's docstring misspells it.
    "misspelt_status_key": (DRIVER + 's = tl.read_current_status()\nassert s is not None\n'
                            'print(s["optical_lenght_index"])\n', '"ChannelStatus" has no key "optical_lenght_index"'),
    # A failed read gives None, which must be handled before indexing.
    "unchecked_none": (DRIVER + "print(tl.read_optical_length(2)[0])\n", "not indexable"),
    "str_attenuation": (DRIVER + 'tl.set_attenuation("1100")\n', 'incompatible type "str"; expected "int"'),
    "surplus_argument": (DRIVER + "tl.clear_attenuation(1, 2)\n", "Too many arguments"),
    "unknown_keyword": (DRIVER + "tl.set_attenuation(1100, channel=2)\n", 'Unexpected keyword argument "channel"'),
    "version_is_not_int": (DRIVER + "n: int = tl.read_device_version()\n", "incompatible types in assignment"),
    # A disconnected channel reads None: a lab script must say what then.
    "unchecked_reading": ('from tolvan_lab import Attenuator\n\nprint(Attenuator("COM3")[1].attenuation + 1)\n',
                          'Unsupported operand types for + ("None" and "int")'),
}
ADAPTERS = {"tolvan_lab.qcodes": "qcodes", "tolvan_lab.bluesky": "ophyd_async", "tolvan_lab.pymeasure": "pymeasure"}


def clean_environment() -> dict[str, str]:
    """This environment without the paths that would let mypy find a checkout instead of the installation."""
    return {key: value for key, value in os.environ.items() if key not in ("MYPYPATH", "PYTHONPATH")}


def stubtest(folder: Path) -> list[str]:
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tolvan"], cwd=folder, env=clean_environment(),
                          capture_output=True, text=True, timeout=600)
    if done.returncode == 0 and "Success" in done.stdout:
        return []
    return [f"stubtest: the stubs disagree with the loaded module:\n{done.stdout}{done.stderr}"]


def errors_by_file(output: str) -> dict[str, list[tuple[int, str]]]:
    """mypy's error lines, by file: [(line, message)]."""
    found: dict[str, list[tuple[int, str]]] = {}
    for line in output.splitlines():
        match = re.match(r"(.+?):(\d+): error: (.*)", line)
        if match:
            found.setdefault(Path(match[1]).as_posix(), []).append((int(match[2]), match[3]))
    return found


def judge(output: str, adapters: list[str]) -> list[str]:
    """What the one mypy run should have said and did not, or said and should not have."""
    said = errors_by_file(output)
    failures = []
    for name in PASSING + [f"tolvan_lab/{module.rsplit('.', 1)[1]}.py" for module in adapters]:
        if said.get(name):
            failures.append(f"{name} must pass mypy --strict: {said[name]}")
    name, lines, message = FLOAT_CHANNEL
    got = said.get(name, [])
    if sorted(line for line, _ in got) != list(lines) or not all(message in text for _, text in got):
        failures.append(f"{name}: expected {message!r} at lines {lines.start} to {lines.stop - 1}, got {got}")
    for mistake, (_, expected) in MISTAKES.items():
        if not any(expected.lower() in text.lower() for _, text in said.get(f"{mistake}.py", [])):
            failures.append(f"{mistake}.py: mypy did not say {expected!r} (it said {said.get(f'{mistake}.py', [])})")
    unexpected = set(said) - {*PASSING, FLOAT_CHANNEL[0], *(f"{mistake}.py" for mistake in MISTAKES)} - {
        f"tolvan_lab/{module.rsplit('.', 1)[1]}.py" for module in adapters}
    failures += [f"{name}: unexpected errors {said[name]}" for name in sorted(unexpected)]
    return failures


def mypy(folder: Path) -> list[str]:
    import tolvan_lab

    for name in [*PASSING, FLOAT_CHANNEL[0]]:
        shutil.copy(SAMPLES / name, folder / name)
    for mistake, (body, _) in MISTAKES.items():
        (folder / f"{mistake}.py").write_text(body)
    adapters = [module for module, framework in ADAPTERS.items() if importlib.util.find_spec(framework) is not None]
    if adapters:  # the installed tolvan_lab, as user code
        shutil.copytree(Path(tolvan_lab.__file__).parent, folder / "tolvan_lab",
                        ignore=shutil.ignore_patterns("__pycache__"))
    files = [*PASSING, FLOAT_CHANNEL[0], *(f"{mistake}.py" for mistake in MISTAKES)]
    modules = [*(name.removesuffix(".py") for name in files), *adapters]  # mypy takes files or modules, not both
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
                           str(folder / ".cache"), "--config-file", os.devnull,
                           *(argument for module in modules for argument in ("-m", module))],
                          cwd=folder, env=clean_environment(), capture_output=True, text=True, timeout=600)
    complaints = [line for line in done.stderr.splitlines() if not line.endswith("No [mypy] section in config file")]
    if done.returncode not in (0, 1) or complaints:
        return [f"mypy did not run to its end (status {done.returncode}):\n{done.stdout}{done.stderr}"]
    skipped = sorted(set(ADAPTERS) - set(adapters))
    print(f"typecheck: mypy --strict on {len(files)} scripts and {len(adapters)} adapters"
          + (f" (not installed here: {', '.join(skipped)})" if skipped else ""))
    return judge(done.stdout, adapters)


def main() -> int:
    if importlib.util.find_spec("mypy") is None:
        print("typecheck: mypy is not installed in this environment (it is in the test extra)", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory() as stub_folder, tempfile.TemporaryDirectory() as mypy_folder:
        failures = stubtest(Path(stub_folder)) + mypy(Path(mypy_folder))
    for failure in failures:
        print(f"typecheck: {failure}", file=sys.stderr)
    if failures:
        return 1
    print("typecheck: the stubs agree with the module; every script is judged as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
