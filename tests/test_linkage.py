"""The extension links no C++ runtime library, so that importing it costs no
more than a C module and needs nothing that the interpreter's installer does
not ship (on Windows, msvcp*.dll). Checked on the libraries the module itself
names (not what those pull in: a sanitizer build names the sanitizer runtimes,
which need libstdc++)."""

import re
import shutil
import subprocess
import sys

import pytest

import tolvan

CXX_RUNTIMES = re.compile(r"libstdc\+\+|libgcc_s|libc\+\+|msvcp", re.IGNORECASE)


def linked_libraries(path):
    if sys.platform == "win32":
        command = ["delvewheel", "needed", path]
        pattern = r"(\S+\.dll)"
    elif sys.platform == "darwin":
        command = ["otool", "-L", path]
        pattern = r"^\s+(\S+)"
    else:
        command = ["readelf", "-d", path]
        pattern = r"\(NEEDED\).*\[(.+)\]"
    if shutil.which(command[0]) is None:
        pytest.skip(f"needs {command[0]}")
    output = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    return re.findall(pattern, output, re.MULTILINE | re.IGNORECASE)


def test_no_cxx_runtime_is_linked():
    libraries = linked_libraries(tolvan.__file__)
    assert libraries, "no linked library found: the tool's output was not understood"
    assert [name for name in libraries if CXX_RUNTIMES.search(name)] == []
