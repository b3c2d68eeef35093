#!/usr/bin/env bash
# Builds a Release tree in build-bench/ and runs the transport benchmark (libqrntp against
# plain TCP on loopback). Arguments go to the benchmark:
#   scripts/bench.sh [--mb MiB] [--chunk BYTES] [--pings N] [--rounds N] [--only plain|tp]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"

build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tp_bench
"$build/bench/tp_bench" "$@"
