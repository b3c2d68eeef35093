#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ (or $QRN_FUZZ_BUILD), with ASan +
# UBSan and the library compiled with the fuzzer's instrumentation, and runs each for a bounded
# time on a copy of its seed corpus from tests/fuzz/corpus/. Exits non-zero on any crash, leak,
# sanitizer report or hang, and names the input that caused it.
#   scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [seconds]" >&2; exit 2 ;;
esac
if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ not found; the fuzz targets need clang with libFuzzer" >&2
  exit 2
fi
"$root/scripts/setup.sh"

build="${QRN_FUZZ_BUILD:-$root/build-fuzz}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQRN_FUZZ=ON \
  -DQRN_BUILD_TESTS=OFF -DQRN_BUILD_TOOLS=OFF >/dev/null

# target, corpus folder under tests/fuzz/corpus, largest input: for the dispatcher three
# steering bytes and a 1400-byte datagram; for the transport's readers 14 steering bytes and
# a stream that holds a handshake and a PDU of the largest record; for the connect PDU reader
# a steering byte and a few PDUs; for the tunnel's replies a little more than the largest
# single-post reply; for the HTTP text readers a chunked body or a SOAP answer.
# For the proxy replies a steering byte and a little more than the longest HTTP reply taken;
# for the response head a few lines.
targets=("udprlb_dispatch_fuzz udprlb_dispatch 1403"
         "tp_pdu_fuzz tp_pdu 36000"
         "rdtp_connect_fuzz rdtp_connect 256"
         "tunnel_reply_fuzz tunnel_reply 4200"
         "http_text_fuzz http_text 4096")
targets+=("proxy_reply_fuzz proxy_reply 17000")
targets+=("inet_header_fuzz inet_header 4096")
# The tunnel server's routing: a steering byte, a target of up to 256 bytes, a declared
# length and a body a little longer than the largest exchange.
targets+=("tunnel_route_fuzz tunnel_route 4400")

names=()
for t in "${targets[@]}"; do names+=("${t%% *}"); done
cmake --build "$build" -j "$(nproc)" --target "${names[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
for t in "${targets[@]}"; do
  read -r name corpus max_len <<<"$t"
  run="$build/fuzz-run/$name"
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/artifacts"
  cp "$root/tests/fuzz/corpus/$corpus/"* "$run/corpus/"
  echo "fuzz: $name for $seconds s (log: $run/fuzz.log)"
  # A hang of one input (a deadlock) counts as a failure, as a crash does.
  if ! "$build/tests/fuzz/$name" -max_total_time="$seconds" -max_len="$max_len" -timeout=30 \
       -print_final_stats=1 -artifact_prefix="$run/artifacts/" "$run/corpus" >"$run/fuzz.log" 2>&1; then
    tail -n 60 "$run/fuzz.log"
    echo "fuzz: $name FAILED; the input is in $run/artifacts/:" >&2
    ls -l "$run/artifacts" >&2
    exit 1
  fi
  grep -E "^(Done|stat::number_of_executed_units|stat::peak_rss_mb)" "$run/fuzz.log" || true
  grep -E "^#[0-9]+[[:space:]]+DONE" "$run/fuzz.log" | tail -n 1 || true
done
echo "fuzz: all targets ran clean"
