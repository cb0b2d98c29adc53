#!/bin/sh
# Exhaustive check of the engine's single-precision logarithm against the C library's logf: every
# float from 1 up to the largest finite float, infinity and NaNs (about a minute on one core).
# The comparison means "the values of glibc's logf on x86-64" when run there.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/check"
mkdir -p "$out"
${CXX:-g++} -std=c++20 -O2 -ffp-contract=off -fno-builtin -I"$root/src" \
    "$root/tools/check_log_float.cpp" "$root/src/engine/log_float.cpp" -o "$out/check_log_float"
uname -m
ldd --version 2>/dev/null | head -n 1 || true
exec "$out/check_log_float"
