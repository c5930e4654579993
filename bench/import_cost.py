"""What `import tolvan` costs beside its four imports alone: time, resident memory, shared libraries.

Fresh interpreters, in turn: each imports platform, serial, time and subprocess
(what the module imports itself), then one of: nothing, `tolvan`, or the
Cython build of bench/baseline.py (which imports the same four). Each reports
the time and the resident memory of the four imports, then of the import
after them: that is the module's own cost, everything its four imports do not
already account for, measured inside one interpreter rather than as the
difference of two noisy totals. The "nothing" interpreters show what the
measurement reads when nothing is imported (0 kB).

Resident memory is VmRSS from /proc/self/status, the pages resident now, read
before and after each step. Not ru_maxrss: that is the high-water mark of the
whole process, which the four imports already push past what a small module
adds, so the difference would read 0. Where there is no /proc (macOS),
ru_maxrss is all there is: the output says so, and a small figure there may
read 0.
"""

import os
import platform
import statistics
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import tolvan
from targets import IMPORT_RSS_TARGET_KB, verdict

CHILD = """
import sys
from time import perf_counter

def resident_kb():
    try:
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    except FileNotFoundError:
        import resource
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return peak // 1024 if sys.platform == "darwin" else peak

sys.path.insert(0, {folder!r})
resident_kb()  # the first read allocates; count from the second
before = resident_kb()
began = perf_counter()
import platform, serial, time, subprocess
four_seconds = perf_counter() - began
with_four = resident_kb()
began = perf_counter()
{statement}
own_seconds = perf_counter() - began
after = resident_kb()
print(four_seconds, with_four - before, own_seconds, after - with_four)
"""


def _measure(statement, cython_extension, cwd):
    folder = cwd if cython_extension is None else Path(cython_extension).parent
    code = CHILD.format(statement=statement, folder=str(folder))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=cwd, check=True)
    four_seconds, four_kb, own_seconds, own_kb = done.stdout.split()
    return float(four_seconds), int(four_kb), float(own_seconds), int(own_kb)


def linked_libraries(path):
    """The shared libraries an extension links, as the platform's own tool lists them."""
    tool = {"linux": ["ldd"], "darwin": ["otool", "-L"]}.get(sys.platform)
    if tool is None:
        return f"(no listing tool on {platform.system()})"
    try:
        listing = subprocess.run([*tool, str(path)], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        return f"({tool[0]} failed: {error})"
    return "\n".join(line.strip() for line in listing.splitlines())


def run(cython_extension, quick=False):
    rounds = 15 if quick else 60
    imports = [("nothing", "pass"), ("tolvan", "import tolvan")]
    if cython_extension is not None:
        imports.append(("Cython build", "import baseline"))
    print(f"3. Import in fresh interpreters, after platform, serial, time and subprocess "
          f"(median of {rounds} each, in turn; target: tolvan adds <= {IMPORT_RSS_TARGET_KB} kB)")
    figures = {label: [] for label, _ in imports}
    with tempfile.TemporaryDirectory() as cwd:
        for _ in range(rounds):
            for label, statement in imports:
                figures[label].append(_measure(statement, cython_extension, cwd))
    four = [figure for label in figures for figure in figures[label]]
    source = "VmRSS" if os.path.exists("/proc/self/status") else "ru_maxrss, a high-water mark: small figures read 0"
    print(f"   resident memory from {source}")
    print(f"   the four imports alone: {statistics.median(f[0] for f in four) * 1e3:.2f} ms, "
          f"{statistics.median(f[1] for f in four):,.0f} kB")
    added = {}
    for label, _ in imports:
        seconds = statistics.median(f[2] for f in figures[label])
        added[label] = statistics.median(f[3] for f in figures[label])
        judged = f"  {verdict(added[label], IMPORT_RSS_TARGET_KB)}" if label == "tolvan" else ""
        print(f"   then {label:<13} {seconds * 1e3:>6.2f} ms {added[label]:>+7,.0f} kB{judged}")
    print(f"\n   {tolvan.__file__} links:\n" + textwrap.indent(linked_libraries(tolvan.__file__), "     "))
    return added["tolvan"]
