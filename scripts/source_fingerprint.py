"""What an installed tolvan is made of, as one digest: the demo installs again when it changes.

    python scripts/source_fingerprint.py [ROOT]            the digest of ROOT (default: the checkout)
    python scripts/source_fingerprint.py --packages [ROOT] the pure-Python packages, comma-separated

The build files, the folders the extension, the simulator and the stubs are built from, and every
pure-Python package the wheel carries, read from pyproject.toml's wheel.packages so that a package
added there is fingerprinted without anyone remembering this script.
"""

from __future__ import annotations

import hashlib
import sys
import tomllib
from pathlib import Path

BUILD_FILES = ("CMakeLists.txt", "pyproject.toml")
BUILT_FROM = ("src", "sim", "stubs")  # the module, the simulator, the type stubs (CMakeLists.txt)


def packages(root: Path) -> list[str]:
    with open(root / "pyproject.toml", "rb") as file:
        return list(tomllib.load(file)["tool"]["scikit-build"]["wheel"]["packages"])


def fingerprint(root: Path) -> str:
    digest = hashlib.sha256()
    for folder in (*BUILT_FROM, *packages(root)):
        for path in sorted((root / folder).rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts:
                digest.update(str(path.relative_to(root)).encode() + b"\0" + path.read_bytes())
    for name in BUILD_FILES:
        digest.update(name.encode() + b"\0" + (root / name).read_bytes())
    return digest.hexdigest()


def main(argv: list[str]) -> None:
    listing = argv[:1] == ["--packages"]
    rest = argv[1:] if listing else argv
    root = Path(rest[0]) if rest else Path(__file__).resolve().parent.parent
    print(",".join(packages(root)) if listing else fingerprint(root))


if __name__ == "__main__":
    main(sys.argv[1:])
