#!/bin/sh
# Runs the builds for other platforms made by `make crosscheck` under emulation and compares them
# with the expected results: the transform check, the logarithm's digest (against the host's glibc
# logf) and all conformance cases. Usage: tools/crosscheck.sh NATIVE_DIR CONFORMANCE_DIR LOG_STEP
set -u
native=$1
conformance=$2
step=$3
export WINEPREFIX="$(cd "$native" && pwd)/wine" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
status=0

want=$("$native/host/check_log_float" --digest "$step" libc | sed 's/.*: //')
echo "glibc logf on $(uname -m), floats from 1 up, $step bit patterns apart: digest $want"

check() {  # label, emulator, folder, executable suffix
    label=$1 run=$2 dir=$3 exe=$4
    echo "== $label"
    $run "$native/$dir/transform_check$exe" | tr -d '\r' || status=1
    got=$($run "$native/$dir/check_log_float$exe" --digest "$step" | tr -d '\r' | sed 's/.*: //')
    if [ "$got" = "$want" ]; then
        echo "log_float: digest $got, as glibc's logf"
    else
        echo "log_float: digest $got differs from glibc's logf ($want)"
        status=1
    fi
    # The two "Error: " lines that cases ask for go to a file beside the results.
    $run "$native/$dir/conformance_native$exe" "$conformance/cases" > "$native/$dir/results.tsv" \
        2> "$native/$dir/errors.txt" || status=1
    "$native/host/conformance_native" --compare "$conformance/expected.tsv" "$native/$dir/results.tsv" "$label" || status=1
}

check "Linux ARM64 (qemu-aarch64)" qemu-aarch64 arm64 ""
check "Windows x64 (MinGW-w64, wine)" wine win64 .exe
exit $status
