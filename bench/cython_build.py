"""The Cython build of bench/baseline.py: compiled once and kept in bench/.cython-build.

The driver is compiled as it is, in Cython's pure-Python mode, with one
directive: `annotation_typing=False`, so that its annotations stay annotations
as in plain Python (by default Cython would turn `ch: int` into an exact-type
test of its own, with its own error text for a bool). The C file is compiled
with the optimisation flags of the module's own build (scikit-build-core
builds Release, which CMake compiles with -O3 -DNDEBUG on GCC and Clang) and
with hidden visibility like the module.

Cython comes from the environment when it has it; otherwise pip installs it
from PyPI into the cache folder, not into the environment. The cache holds one
build per content of baseline.py, Cython version, interpreter and compiler
command, so an edit of the driver or a new Cython rebuilds it by itself.
"""

import hashlib
import importlib.util
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "baseline.py"
CACHE = HERE / ".cython-build"
PRIVATE_CYTHON = CACHE / "cython"
DIRECTIVES = ["-3", "-X", "annotation_typing=False"]
OPTIMISATION = ["-O3", "-DNDEBUG", "-fPIC", "-fvisibility=hidden"]


class Unavailable(Exception):
    """The Cython build cannot be made here; the message says why."""


def _run(command, **options):
    done = subprocess.run(command, capture_output=True, text=True, **options)
    if done.returncode:
        raise Unavailable(f"{shlex.join(map(str, command))} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


def _cython_environment():
    """Environment variables under which `python -m cython` finds a Cython, installing one if needed."""
    if importlib.util.find_spec("Cython") is not None:
        return dict(os.environ)
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(PRIVATE_CYTHON),
                                                                            os.environ.get("PYTHONPATH")])))
    if not (PRIVATE_CYTHON / "Cython").is_dir():
        print(f"Installing Cython from PyPI into {PRIVATE_CYTHON} (once; the environment is left as it is)")
        _run([sys.executable, "-m", "pip", "install", "--quiet", "--target", str(PRIVATE_CYTHON), "cython"])
    return environment


def compile_command(c_file, extension):
    if sys.platform == "win32":
        raise Unavailable("the Cython build is made with a POSIX C compiler (cc); none is set up on Windows")
    compiler = shlex.split(os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc")
    link = ["-bundle", "-undefined", "dynamic_lookup"] if sys.platform == "darwin" else ["-shared"]
    return [*compiler, *OPTIMISATION, *link, "-I", sysconfig.get_paths()["include"], str(c_file), "-o", str(extension)]


def build():
    """Path of the built extension `baseline`, alone in its folder (bench/drivers.py loads it)."""
    flags = compile_command("", "")  # refuses first, before anything is installed
    environment = _cython_environment()
    cython_version = _run([sys.executable, "-m", "cython", "--version"], env=environment).strip()
    key_parts = [SOURCE.read_bytes(), cython_version.encode(), sys.version.encode(),
                 " ".join(DIRECTIVES + flags).encode()]
    folder = CACHE / hashlib.sha256(b"\0".join(key_parts)).hexdigest()[:16]
    extension = folder / ("baseline" + sysconfig.get_config_var("EXT_SUFFIX"))
    if extension.is_file():
        return extension
    work = CACHE / "work"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    c_file = work / "baseline.c"
    print(f"Building the Cython version of bench/baseline.py ({cython_version}) into {folder}")
    _run([sys.executable, "-m", "cython", *DIRECTIVES, str(SOURCE), "-o", str(c_file)], env=environment)
    _run(compile_command(c_file, work / extension.name))
    folder.mkdir(parents=True, exist_ok=True)
    (work / extension.name).replace(extension)
    return extension

