#!/usr/bin/env bash
# First run on a fresh machine: installs what is missing, builds the library and the demo in
# build-demo/, and runs the demo: a client and a server on loopback that exchange a few
# megabytes each way, survive one cut of their TCP path, and print a table per path mode (the
# HTTP tunnel row runs the tunnel server, qrntunnel, itself). The last row races UDP, TCP and
# the tunnel and blocks UDP mid-transfer, so that the stream goes on over TCP.
#   scripts/demo.sh [--mb N] [--trace FILE]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"

build="$root/build-demo"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQRN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target qrndemo qrncat qrntunnel
"$build/tools/qrndemo" "$@"
