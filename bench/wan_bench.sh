#!/usr/bin/env bash
# Goodput over emulated wide-area paths (wan_path.sh, wan_emulator): for each path, N MB from
# namespace A to a listener in namespace B over plain TCP (one socket, kernel defaults) and over
# the library through qrncat (TCP directly and through tinyproxy beside the client, reliable
# UDP, and the HTTP tunnel through qrntunnel beside the server). The receiver times from the first byte to the last and checks every byte; a
# transfer still running after --seconds from its first byte is cut and reported as
# "timed out at N MB" with the rate of what arrived. Prints one table: path, mode, Mbit/s and
# the ratio to plain TCP on the same path.
#
#   bench/wan_bench.sh [--build DIR] [--mb N] [--seconds S] [--modes LIST]
#                      (modes: tcp qrn-tcp qrn-tcp-proxy qrn-udp qrn-udp-rate qrn-http;
#                      qrn-tcp-proxy goes through tinyproxy beside the client, qrn-udp-rate is
#                      reliable UDP with --udp-rate 100 on both ends)
#                      [--path RATE_MBIT/RTT_MS[/LOSS_PERCENT[/QUEUE_BYTES]]]...
# Defaults: build/, 37 MB, 30 s, all modes, paths 100/50, 100/100 and 100/50/1 (queue one
# bandwidth-delay product). Needs root; skips otherwise; qrn-tcp-proxy needs tinyproxy.
set -u

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$here/../build"
mb=37
seconds=30
modes="tcp,qrn-tcp,qrn-tcp-proxy,qrn-udp,qrn-udp-rate,qrn-http"
paths=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --mb) mb=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --modes) modes=$2; shift 2 ;;
    --path) paths+=("$2"); shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--mb N] [--seconds S] [--modes LIST] [--path R/RTT[/LOSS[/QUEUE]]]..." >&2
       exit 2 ;;
  esac
done
[ ${#paths[@]} -gt 0 ] || paths=(100/50 100/100 100/50/1)

source "$here/wan_path.sh"

if ! why=$(wan_path_possible); then
  echo "wan_bench: skipped: $why"
  exit 0
fi
emulator="$build/bench/wan_emulator"
transfer="$build/bench/wan_transfer"
qrncat="$build/tools/qrncat"
qrntunnel="$build/tools/qrntunnel"
tinyproxy=$(command -v tinyproxy || true)
if [[ ",$modes," == *",qrn-tcp-proxy,"* ]] && [ -z "$tinyproxy" ]; then
  echo "wan_bench: skipped: tinyproxy is not installed (apt-get install tinyproxy)"
  exit 0
fi
for prog in "$emulator" "$transfer" "$qrncat" "$qrntunnel"; do
  if [ ! -x "$prog" ]; then
    echo "wan_bench: skipped: $prog is not built"
    exit 0
  fi
done

bytes=$((mb * 1000000))
tmp=$(mktemp -d /tmp/qrn-wan-bench.XXXXXX)
pids=()
stop_pids() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  pids=()
}
cleanup() {
  stop_pids
  wan_path_down
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Background commands start through these arrays, not functions, so that $! is the program's
# own pid (ip netns exec execs it) and not that of a subshell around it.
nsa=(ip netns exec "$WAN_NS_A")
nsb=(ip netns exec "$WAN_NS_B")
in_a() { "${nsa[@]}" "$@"; }
in_b() { "${nsb[@]}" "$@"; }

# wait_for FILE TEXT: until TEXT shows in FILE (a server's log), at most 5 s.
wait_for() {
  for _ in $(seq 1 100); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

# wait_listening PORT: until namespace B has a TCP listener on PORT, at most 5 s.
wait_listening() {
  for _ in $(seq 1 100); do
    in_b ss -Hltn "sport = :$1" | grep -q . && return 0
    sleep 0.05
  done
  return 1
}

# run_mode MODE: one transfer; leaves the receiver's line in $tmp/sink.out and the sender's
# in $tmp/source.out.
run_mode() {
  local mode=$1 d=$tmp/$1
  rm -rf "$d"
  mkdir -p "$d"
  rm -f "$tmp/sink.out" "$tmp/source.out"
  mkfifo "$d/rx" "$d/tx"
  case "$mode" in
    tcp)
      "${nsb[@]}" "$transfer" tcp-recv 7001 --bytes "$bytes" --seconds "$seconds" >"$tmp/sink.out" 2>"$d/sink.err" &
      local sink=$!
      wait_listening 7001
      "${nsa[@]}" "$transfer" tcp-send "$WAN_ADDR_B" 7001 --bytes "$bytes" >"$tmp/source.out" 2>"$d/source.err" &
      pids+=($!)
      ;;
    qrn-tcp | qrn-udp | qrn-udp-rate | qrn-http)
      local listen=(--tcp 5001) connect=(--tcp 5001)
      [ "$mode" = qrn-udp ] && listen=(--udp 5002) connect=(--udp 5002)
      [ "$mode" = qrn-udp-rate ] && listen=(--udp 5002 --udp-rate 100) connect=(--udp 5002 --udp-rate 100)
      [ "$mode" = qrn-http ] && listen=(--tcp 5003) connect=(--http 8080)
      "${nsb[@]}" "$qrncat" -l -d -q "${listen[@]}" >"$d/rx" 2>"$d/server.err" &
      pids+=($!)
      "${nsb[@]}" "$transfer" sink --bytes "$bytes" --seconds "$seconds" <"$d/rx" >"$tmp/sink.out" 2>"$d/sink.err" &
      local sink=$!
      wait_for "$d/server.err" "listening on" || echo "wan_bench: the $mode listener did not start" >&2
      if [ "$mode" = qrn-http ]; then
        "${nsb[@]}" "$qrntunnel" --listen "$WAN_ADDR_B:8080" --target 127.0.0.1:5003 >"$d/tunnel.out" 2>&1 &
        pids+=($!)
        wait_listening 8080 || echo "wan_bench: qrntunnel did not start" >&2
      fi
      "${nsa[@]}" "$transfer" source --bytes "$bytes" >"$d/tx" 2>"$tmp/source.out" &
      pids+=($!)
      "${nsa[@]}" "$qrncat" "$WAN_ADDR_B" -q "${connect[@]}" <"$d/tx" >/dev/null 2>"$d/client.err" &
      pids+=($!)
      ;;
    qrn-tcp-proxy)
      # tinyproxy beside the client, so that the proxy's own connection crosses the long path;
      # the library takes the proxy setting only for port 443.
      "${nsb[@]}" "$qrncat" -l -d -q --tcp 443 >"$d/rx" 2>"$d/server.err" &
      pids+=($!)
      "${nsb[@]}" "$transfer" sink --bytes "$bytes" --seconds "$seconds" <"$d/rx" >"$tmp/sink.out" 2>"$d/sink.err" &
      local sink=$!
      wait_for "$d/server.err" "listening on" || echo "wan_bench: the $mode listener did not start" >&2
      printf 'Port 8888\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.0/8\nConnectPort 443\nLogLevel Error\n' >"$d/tinyproxy.conf"
      "${nsa[@]}" "$tinyproxy" -d -c "$d/tinyproxy.conf" >"$d/proxy.out" 2>&1 &
      pids+=($!)
      for _ in $(seq 1 100); do
        in_a ss -Hltn "sport = :8888" | grep -q . && break
        sleep 0.05
      done
      "${nsa[@]}" "$transfer" source --bytes "$bytes" >"$d/tx" 2>"$tmp/source.out" &
      pids+=($!)
      "${nsa[@]}" env https_proxy=http://127.0.0.1:8888 "$qrncat" "$WAN_ADDR_B" -q --tcp 443 <"$d/tx" >/dev/null 2>"$d/client.err" &
      pids+=($!)
      ;;
  esac
  wait "$sink"
  stop_pids
}

# field NAME LINE: the value of NAME=... in LINE.
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }

mode_name() {
  case "$1" in
    tcp) echo "plain TCP" ;;
    qrn-tcp) echo "qrn TCP" ;;
    qrn-udp) echo "qrn UDP" ;;
    qrn-udp-rate) echo "qrn UDP rate" ;;
    qrn-http) echo "qrn HTTP tunnel" ;;
    qrn-tcp-proxy) echo "qrn TCP, tinyproxy" ;;
  esac
}

table=$(printf "%-30s %-20s %9s %8s  %s\n" "path" "mode" "Mbit/s" "ratio" "result")
IFS=, read -r -a mode_list <<<"$modes"
echo "wan_bench: $mb MB from $WAN_NS_A to $WAN_NS_B per transfer, cut ${seconds} s after its first byte"
for path_arg in "${paths[@]}"; do
  IFS=/ read -r rate rtt loss queue <<<"$path_arg"
  loss=${loss:-0}
  flags=(--rate-mbit "$rate" --delay-ms "$(awk -v r="$rtt" 'BEGIN { print r / 2 }')" --loss-percent "$loss")
  [ -n "${queue:-}" ] && flags+=(--queue-bytes "$queue")
  label="$rate Mbit/s ${rtt} ms loss ${loss}%"
  if ! wan_path_up "$emulator" "${flags[@]}" 2>"$tmp/emulator.err"; then
    echo "wan_bench: cannot set up the path $path_arg" >&2
    cat "$tmp/emulator.err" >&2
    continue
  fi
  "${nsb[@]}" "$transfer" echo 7000 &
  pids+=($!)
  ping=$(in_a "$transfer" ping "$WAN_ADDR_B" 7000 --count 10)
  stop_pids
  echo "path $label: round trip $ping"
  base=
  for mode in "${mode_list[@]}"; do
    start=$(date +%s)
    run_mode "$mode"
    line=$(cat "$tmp/sink.out" 2>/dev/null)
    got=$(field bytes "$line")
    secs=$(field seconds "$line")
    if [ -z "$got" ] || [ "$got" = 0 ]; then
      table+=$(printf "\n%-30s %-20s %9s %8s  %s" "$label" "$(mode_name "$mode")" "-" "-" "nothing arrived")
      echo "  $(mode_name "$mode"): nothing arrived ($(($(date +%s) - start)) s)"
      continue
    fi
    mbit=$(awk -v b="$got" -v s="$secs" 'BEGIN { printf "%.2f", (s > 0 ? b * 8 / s / 1e6 : 0) }')
    [ "$mode" = tcp ] && base=$mbit
    ratio=$(awk -v m="$mbit" -v b="${base:-0}" 'BEGIN { if (b > 0) printf "%.3f", m / b; else print "-" }')
    sent_hash=$(field hash "$(cat "$tmp/source.out" 2>/dev/null)")
    if [ "$(field complete "$line")" = 1 ] && [ "$sent_hash" = "$(field hash "$line")" ]; then
      result="complete, hashes equal"
    elif [ "$(field content "$line")" = ok ]; then
      result=$(awk -v b="$got" -v s="$seconds" 'BEGIN { printf "timed out at %.1f MB (%d s)", b / 1e6, s }')
    else
      result="CONTENT DIFFERS after $got bytes"
    fi
    table+=$(printf "\n%-30s %-20s %9s %8s  %s" "$label" "$(mode_name "$mode")" "$mbit" "$ratio" "$result")
    echo "  $(mode_name "$mode"): $mbit Mbit/s, $result ($(($(date +%s) - start)) s)"
  done
  wan_path_down 2>>"$tmp/emulator.err"
  sed 's/^/  /' "$tmp/emulator.err" | grep -v "^  wan_emulator: qrnwan-a <->" || true
done
echo
echo "$table"
