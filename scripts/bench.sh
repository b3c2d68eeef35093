#!/usr/bin/env bash
# Builds a Release tree in build-bench/ and runs the benchmarks: tp_bench (libqrntp against
# plain TCP on loopback), idle_bench (heap memory per idle connection end), then udp_bench
# (the reliable-UDP layer against ENet: goodput from a cold start, at 2 % and 5 % loss through
# a lossy relay, and round trip), then http_bench (64 MiB GET and POST through qrn_tp_http_*
# beside the curl tool), then tunnel_bench (the HTTP tunnel in both forms, directly and through
# tinyproxy, beside GNU httptunnel and plain TCP on the same paths). setup.sh installs
# what they need, libenet-dev included. Arguments before "--" go to tp_bench, after it to
# udp_bench:
#   scripts/bench.sh [--mb MiB] [--chunk BYTES] [--pings N] [--rounds N] [--only plain|tp]
#                    [-- [--cold SECONDS] [--loss SECONDS] [--pings N] [--quick] [--only udprlb|enet]]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"

tp_args=()
udp_args=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--" ]; then
    shift
    udp_args=("$@")
    break
  fi
  tp_args+=("$1")
  shift
done

build="$root/build-bench"
# udp_bench links the tests' support library (its lossy relay), so the tests are configured
# too; only the two benchmarks and what they need are built.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRN_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target tp_bench idle_bench udp_bench http_bench qrn_http_test_server \
  tunnel_bench qrntunnel qrncat wan_emulator wan_transfer
"$build/bench/tp_bench" "${tp_args[@]}"
echo
"$build/bench/idle_bench"
echo
"$build/bench/udp_bench" "${udp_args[@]}"
echo
"$build/bench/http_bench" --server "$build/tests/qrn_http_test_server" --mb 64
echo
"$build/bench/tunnel_bench" --tunnel "$build/tools/qrntunnel" --mb 32
echo
"$root/bench/wan_bench.sh" --build "$build"
