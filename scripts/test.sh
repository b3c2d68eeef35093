#!/usr/bin/env bash
# Installs what is missing, builds the libraries and runs the whole test suite with CTest.
# Exits non-zero on any failure.
#   scripts/test.sh                         plain build in build/
#   QRN_SANITIZE=address scripts/test.sh    ASan + UBSan build in build-address/
#   QRN_SANITIZE=thread scripts/test.sh     TSan build in build-thread/
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"

sanitize="${QRN_SANITIZE:-}"
build="$root/build${sanitize:+-$sanitize}"
jobs="$(nproc)"

# Any sanitizer report fails the test that produced it.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"

cmake -S "$root" -B "$build" -G Ninja -DQRN_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j "$jobs"
# Tests wait on sockets far more than they compute, so twice the cores keeps the machine busy.
ctest --test-dir "$build" --output-on-failure -j "$((jobs * 2))" --timeout 300
