"""Checks the sdist and the wheel that scripts/dist.sh built, before anything is installed from them.

    python scripts/check_dist.py DIST_DIR

The sdist: every file of what builds and tests the package (SDIST_FOLDERS and
SDIST_FILES of this tree, less caches), and nothing else: no CI files (.ci/,
.github/, .gitignore), no build output, no benchmarks.

The wheel, one check per function in WHEEL_CHECKS (add a function there to
add a check; each gets the wheel's path and its open archive):
- contents: the extension module; the stub package `tolvan-stubs` and the
  packages `tolvan_sim`, `tolvan_lab`, `tolvan_serve` and `tolvan_cli`, identical to stubs/,
  tolvan_sim/, tolvan_lab/, tolvan_serve/ and tolvan_cli/ here (every file: the panel's page in
  tolvan_serve/panel/ too); tolvan_sim's pytest plugin and
  the `tolvan` command
  registered; the simulator `tolvan-sim` as a script wherever it is built
  (everywhere but Windows);
- metadata: the licence (its SPDX expression, and LICENSE itself), the
  classifiers, and one list of Python versions throughout (requires-python,
  the version classifiers, the wheels cibuildwheel builds);
- extension symbols: the extension imports nothing from the C library beyond
  ISO C: every platform service goes through the Python modules it imports
  (checked where `nm` exists).
"""

import email.parser
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import tomllib
import zipfile
from pathlib import Path

from packaging.specifiers import SpecifierSet  # installed with the `build` front end

ROOT = Path(__file__).resolve().parent.parent
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())

# What builds and tests the package: every file below these folders, and these files.
SDIST_FOLDERS = ("src", "sim", "stubs", "tolvan_sim", "tolvan_lab", "tolvan_serve", "tolvan_cli", "tests", "examples", "scripts")
SDIST_FILES = {"pyproject.toml", "CMakeLists.txt", "README.md", "CONTRIBUTING.md", "CHANGELOG.md", "LICENSE", "PKG-INFO"}
# Left behind by running the tests or the build in the tree; never shipped.
CACHES = {"__pycache__", ".hypothesis", ".mypy_cache", ".pytest_cache"}
BUILT = (".pyc", ".so", ".pyd")

# Classifiers the package promises (besides one per Python version).
REQUIRED_CLASSIFIERS = {
    "Operating System :: POSIX :: Linux",
    "Operating System :: MacOS",
    "Operating System :: Microsoft :: Windows",
    "Topic :: Scientific/Engineering",
    "Topic :: System :: Hardware",
}

# ISO C library functions a C++ compiler may emit calls to (or that <cstring>,
# <cstdlib>, <cstdio>, <cmath> offer), plus the glibc entry points that those
# headers and the C++ runtime expand to. Anything else (open, read, ioctl,
# isatty, fork, dlopen, ...) would tie the module to one platform.
ISO_C = set("""
memcpy memmove memset memcmp memchr strlen strcmp strncmp strchr strrchr strstr strcpy strncpy
strcat strncat strtol strtoll strtoul strtoull strtod strtof snprintf vsnprintf sprintf printf
fprintf fputs fputc fwrite puts putchar abort exit atexit malloc calloc realloc free
floor ceil fmod lround llround round trunc pow sqrt log log10 exp fabs
__stack_chk_fail __assert_fail __errno_location __tls_get_addr __cxa_finalize __dso_handle
__gmon_start__ _ITM_deregisterTMCloneTable _ITM_registerTMCloneTable
__memcpy_chk __memmove_chk __memset_chk __strcpy_chk __strcat_chk __snprintf_chk
__vsnprintf_chk __sprintf_chk __fprintf_chk __printf_chk
""".split())


def fail(message):
    print(f"check_dist: {message}")
    sys.exit(1)


def tree_files(*folders):
    files = set()
    for folder in folders:
        for path in (ROOT / folder).rglob("*"):
            if path.is_file() and not CACHES & set(path.parts) and path.suffix not in BUILT:
                files.add(path.relative_to(ROOT).as_posix())
    return files


# -- the sdist ---------------------------------------------------------------------------

def check_sdist(sdist):
    with tarfile.open(sdist) as archive:
        names = {member.name.split("/", 1)[1] for member in archive.getmembers()
                 if member.isfile() and "/" in member.name}
    wanted = tree_files(*SDIST_FOLDERS) | SDIST_FILES
    missing = sorted(wanted - names)
    if missing:
        fail(f"{sdist.name} lacks {missing}")
    stray = sorted(names - wanted)
    if stray:
        fail(f"{sdist.name} carries what does not build or test the package: {stray[:10]}")
    print(f"check_dist: {sdist.name}: {len(names)} files, every source and test, nothing else")


# -- the wheel ---------------------------------------------------------------------------

def dist_info(archive, name):
    matches = [n for n in archive.namelist() if re.fullmatch(rf"tolvan-[^/]+\.dist-info/{re.escape(name)}", n)]
    if len(matches) != 1:
        fail(f"the wheel has {len(matches)} dist-info/{name}")
    return archive.read(matches[0]).decode()


def check_contents(wheel, archive):
    names = set(archive.namelist())
    module = f"tolvan{sysconfig.get_config_var('EXT_SUFFIX')}"
    if module not in names:
        fail(f"{wheel.name} lacks the extension {module}: {sorted(names)}")
    shipped = {"stubs/tolvan-stubs/__init__.pyi": "tolvan-stubs/__init__.pyi"}
    shipped.update({path: path for path in tree_files("tolvan_sim", "tolvan_lab", "tolvan_serve", "tolvan_cli")})
    for source, packaged in shipped.items():
        if packaged not in names:
            fail(f"{wheel.name} lacks {packaged}")
        if archive.read(packaged) != (ROOT / source).read_bytes():
            fail(f"{packaged} in {wheel.name} differs from {source}")
    entry_points = dist_info(archive, "entry_points.txt")
    if "tolvan_sim = tolvan_sim.plugin" not in entry_points.split("[pytest11]")[-1]:
        fail(f"{wheel.name} does not register the pytest plugin tolvan_sim.plugin (entry point pytest11)")
    if "tolvan = tolvan_cli.main:main" not in entry_points.split("[console_scripts]")[-1].split("[")[0]:
        fail(f"{wheel.name} does not install the command `tolvan` (console_scripts tolvan_cli.main:main)")
    sim_built = sys.platform != "win32"
    has_sim = any(n.endswith((".data/scripts/tolvan-sim", ".data/scripts/tolvan-sim.exe")) for n in names)
    if sim_built and not has_sim:
        fail(f"{wheel.name} lacks the simulator script tolvan-sim")
    return "extension, stubs, tolvan_sim and its pytest plugin, tolvan_lab, tolvan_serve, the tolvan command" + (", simulator" if has_sim else "")


def check_metadata(wheel, archive):
    metadata = email.parser.Parser().parsestr(dist_info(archive, "METADATA"))
    if metadata["License-Expression"] != "MIT":
        fail(f"{wheel.name}: licence {metadata['License-Expression']!r}, not MIT")
    if metadata.get_all("License-File") != ["LICENSE"] or \
            dist_info(archive, "licenses/LICENSE") != (ROOT / "LICENSE").read_text():
        fail(f"{wheel.name} does not carry LICENSE as its licence file")
    classifiers = set(metadata.get_all("Classifier") or [])
    if REQUIRED_CLASSIFIERS - classifiers:
        fail(f"{wheel.name} lacks the classifiers {sorted(REQUIRED_CLASSIFIERS - classifiers)}")
    classified = sorted(int(c.rsplit(".", 1)[1]) for c in classifiers
                        if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c))
    built = sorted(int(pattern.split("-")[0].removeprefix("cp3")) for pattern in PYPROJECT["tool"]["cibuildwheel"]["build"])
    allowed = SpecifierSet(metadata["Requires-Python"])
    required = [minor for minor in range(100) if f"3.{minor}" in allowed]
    if not classified or not classified == built == required:
        fail(f"the Python versions differ: classifiers 3.{classified}, cibuildwheel cp3{built}, "
             f"requires-python {allowed} (3.{required[:5]}{'...' if len(required) > 5 else ''})")
    return f"MIT licence, {len(classifiers)} classifiers, Python 3.{required[0]} to 3.{required[-1]}"


def undefined_symbols(library):
    nm = shutil.which("nm")
    if nm is None or sys.platform != "linux":
        return None
    out = subprocess.run([nm, "-D", "--undefined-only", str(library)],
                         capture_output=True, text=True, check=True).stdout
    return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}


def check_extension_symbols(wheel, archive):
    module = f"tolvan{sysconfig.get_config_var('EXT_SUFFIX')}"
    with tempfile.TemporaryDirectory() as scratch:
        symbols = undefined_symbols(Path(archive.extract(module, scratch)))
    if symbols is None:
        return None
    foreign = sorted(s for s in symbols
                     if not s.startswith(("Py", "_Py", "_Z", "__cxa_", "__gxx_", "_Unwind_")) and s not in ISO_C)
    if foreign:
        fail(f"the extension calls outside ISO C and the interpreter: {foreign}")
    return f"{len(symbols)} imported symbols, all portable"


WHEEL_CHECKS = [check_contents, check_metadata, check_extension_symbols]


def check_wheel(wheel):
    with zipfile.ZipFile(wheel) as archive:
        findings = [check(wheel, archive) for check in WHEEL_CHECKS]
    print(f"check_dist: {wheel.name}: " + "; ".join(f for f in findings if f))


def main():
    dist = Path(sys.argv[1])
    sdists = sorted(dist.glob("tolvan-*.tar.gz"))
    wheels = sorted(dist.glob("tolvan-*.whl"))
    if len(sdists) != 1 or len(wheels) != 1:
        fail(f"expected one sdist and one wheel in {dist}, found {sdists + wheels}")
    check_sdist(sdists[0])
    check_wheel(wheels[0])


if __name__ == "__main__":
    main()
