#!/usr/bin/env bash
# Portability check of the extension module's source: strict ISO C++20, no
# compiler extension, no platform header, and nothing that needs the C++
# runtime library (no exceptions, no RTTI), as the module is built. The module reaches the operating
# system only through the Python modules it imports, so anything that builds
# here has nothing left for MSVC to trip over.
#
#   bash scripts/pedantic.sh [python]      (python: whose headers to use; default python3.11)
set -euo pipefail
cd "$(dirname "$0")/.."

PY="${1:-${PYTHON:-python3.11}}"
PY_INCLUDE="$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
mapfile -t SOURCES < <(find src -name '*.cpp' | sort)
FLAGS=(-std=c++20 -Wpedantic -Werror -Wall -Wextra -fno-exceptions -fno-rtti -fsyntax-only -Isrc "-I$PY_INCLUDE")
status=0

# Includes: the C++ standard library and the interpreter's headers only.
# (<unistd.h>, <sys/...>, <windows.h> and the like would tie the module to one platform.)
while IFS= read -r line; do
    header="${line#*<}"; header="${header%%>*}"
    case "$header" in
        Python.h|structmember.h) ;;
        */*|*.h|*.hpp) echo "pedantic: platform or non-standard header: $line"; status=1 ;;
    esac
done < <(grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*<' "${SOURCES[@]}" $(find src -name '*.h' | sort))

compilers=(g++)
if command -v clang++ >/dev/null 2>&1; then compilers+=(clang++); fi
for cxx in "${compilers[@]}"; do
    failed=0
    for source in "${SOURCES[@]}"; do
        if ! "$cxx" "${FLAGS[@]}" "$source"; then
            echo "pedantic: $cxx rejects $source"
            failed=1
        fi
    done
    if [ "$failed" = 0 ]; then
        echo "pedantic: ${#SOURCES[@]} sources pass $cxx ${FLAGS[*]:0:8}"
    else
        status=1
    fi
done
exit "$status"
