#!/usr/bin/env bash
# Builds the Release tree in build-bench/ and runs scale_bench: the server's CPU time per echoed
# 64-byte message through the library beside plain-socket echo servers (UDP, then TCP) measured
# in the same run, then the library with 5,000 reliable-UDP connections (10 messages a second
# each) and 10,000 TCP-path connections (1 a second each) together in one server process, once
# per event-loop count. Each run has its own server and client processes and reports the
# connections made, messages lost, the echo round trip and the host's UDP receive errors; the
# targets follow, and the exit status is 0 only when all are met. Arguments go to scale_bench:
#   scripts/scale.sh [--udp N] [--udp-rate R] [--tcp N] [--tcp-rate R] [--procs N] [--seconds N]
#                    [--loops LIST] [--only plain|qrn]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target scale_bench
# The servers hold one descriptor per TCP connection.
ulimit -n "$(ulimit -Hn)"
"$build/bench/scale_bench" "$@"
