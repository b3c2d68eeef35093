#!/usr/bin/env bash
# Builds the Release tree in build-bench/ and runs scale_bench: one server process holding
# 10,000 TCP-path and 5,000 reliable-UDP connections from several client processes, each
# connection sending a 64-byte message a second that the server echoes. Arguments go to
# scale_bench:
#   scripts/scale.sh [--tcp N] [--udp N] [--procs N] [--seconds N]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target scale_bench
# The server holds one descriptor per TCP connection.
ulimit -n "$(ulimit -Hn)"
"$build/bench/scale_bench" "$@"
