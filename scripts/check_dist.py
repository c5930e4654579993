"""Checks what `python -m build` produced before anything is installed from it.

    python scripts/check_dist.py DIST_DIR

- the sdist carries every source the build needs (all files under src/, sim/
  and stubs/ of this tree, the build files and the README);
- the wheel carries the extension module, the stub package `tolvan-stubs`
  (identical to stubs/), and the simulator `tolvan-sim` as a script wherever
  the simulator is built (everywhere but Windows, once sim/ has sources);
- the extension imports nothing from the C library beyond ISO C: every
  platform service goes through the Python modules it imports (checked where
  `nm` exists).
"""

import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

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
            if path.is_file() and "__pycache__" not in path.parts:
                files.add(path.relative_to(ROOT).as_posix())
    return files


def check_sdist(sdist):
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    wanted = tree_files("src", "sim", "stubs") | {"pyproject.toml", "CMakeLists.txt", "README.md"}
    missing = sorted(wanted - names)
    if missing:
        fail(f"{sdist.name} lacks {missing}")
    stray = sorted(n for n in names if n.startswith(("build/", "dist/", ".venv")))
    if stray:
        fail(f"{sdist.name} carries build output: {stray[:5]}")
    print(f"check_dist: {sdist.name}: {len(names)} files, every source present")


def undefined_symbols(library):
    nm = shutil.which("nm")
    if nm is None or sys.platform != "linux":
        return None
    out = subprocess.run([nm, "-D", "--undefined-only", str(library)],
                         capture_output=True, text=True, check=True).stdout
    return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}


def check_wheel(wheel):
    ext_suffix = sysconfig.get_config_var("EXT_SUFFIX")
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        if f"tolvan{ext_suffix}" not in names:
            fail(f"{wheel.name} lacks the extension tolvan{ext_suffix}: {sorted(names)}")
        stub = "tolvan-stubs/__init__.pyi"
        if stub not in names:
            fail(f"{wheel.name} lacks {stub}")
        if archive.read(stub) != (ROOT / "stubs" / stub).read_bytes():
            fail(f"{stub} in {wheel.name} differs from stubs/{stub}")
        sim_built = sys.platform != "win32" and any((ROOT / "sim").rglob("*.cpp"))
        has_sim = any(n.endswith((".data/scripts/tolvan-sim", ".data/scripts/tolvan-sim.exe")) for n in names)
        if sim_built and not has_sim:
            fail(f"{wheel.name} lacks the simulator script tolvan-sim")
        with tempfile.TemporaryDirectory() as scratch:
            library = Path(archive.extract(f"tolvan{ext_suffix}", scratch))
            symbols = undefined_symbols(library)
    if symbols is not None:
        foreign = sorted(s for s in symbols
                         if not s.startswith(("Py", "_Py", "_Z", "__cxa_", "__gxx_", "_Unwind_"))
                         and s not in ISO_C)
        if foreign:
            fail(f"the extension calls outside ISO C and the interpreter: {foreign}")
    print(f"check_dist: {wheel.name}: extension, stubs" + (", simulator" if has_sim else "")
          + ("" if symbols is None else f"; {len(symbols)} imported symbols, all portable"))


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
