#!/usr/bin/env bash
# An emulated wide-area path between two network namespaces, qrnwan-a (10.77.0.1) and qrnwan-b
# (10.77.0.2), each with a TUN device qrnwan0 (MTU 1500) that wan_emulator joins.
#
# Sourced (by wan_bench.sh) it gives wan_path_up EMULATOR [emulator flags] and wan_path_down.
# Run on its own it holds a path until Ctrl-C, for trying things by hand:
#   bench/wan_path.sh build/bench/wan_emulator --rate-mbit 100 --delay-ms 25
#   ip netns exec qrnwan-a ...        (reaches 10.77.0.2 through the path)
# Everything it made (namespaces, devices, the emulator) goes on exit, Ctrl-C included.

WAN_NS_A=qrnwan-a
WAN_NS_B=qrnwan-b
WAN_DEV=qrnwan0
WAN_ADDR_A=10.77.0.1
WAN_ADDR_B=10.77.0.2
WAN_PREFIX=24
WAN_MTU=1500
WAN_EMULATOR_PID=

# True when this shell can make namespaces and TUN devices; says why not otherwise.
wan_path_possible() {
  if [ "$(id -u)" != 0 ]; then
    echo "needs root (network namespaces and TUN devices)"
    return 1
  fi
  if [ ! -c /dev/net/tun ]; then
    echo "no /dev/net/tun"
    return 1
  fi
  local probe="qrnwan-probe-$$"
  if ! ip netns add "$probe" 2>/dev/null; then
    echo "cannot make a network namespace (ip netns add failed)"
    return 1
  fi
  if ! ip -n "$probe" tuntap add dev "$WAN_DEV" mode tun 2>/dev/null; then
    ip netns del "$probe"
    echo "cannot make a TUN device in a namespace"
    return 1
  fi
  ip netns del "$probe"
}

wan_path_down() {
  if [ -n "$WAN_EMULATOR_PID" ]; then
    kill "$WAN_EMULATOR_PID" 2>/dev/null
    wait "$WAN_EMULATOR_PID" 2>/dev/null
    WAN_EMULATOR_PID=
  fi
  # The devices live in the namespaces and go with them.
  ip netns del "$WAN_NS_A" 2>/dev/null
  ip netns del "$WAN_NS_B" 2>/dev/null
  return 0
}

_wan_side_up() {
  local ns=$1 addr=$2
  ip netns add "$ns" &&
    ip -n "$ns" link set lo up &&
    ip -n "$ns" tuntap add dev "$WAN_DEV" mode tun &&
    ip -n "$ns" link set "$WAN_DEV" mtu "$WAN_MTU" &&
    ip -n "$ns" addr add "$addr/$WAN_PREFIX" dev "$WAN_DEV" &&
    ip -n "$ns" link set "$WAN_DEV" up
}

# wan_path_up EMULATOR [flags]: makes both sides, starts the emulator (its report goes to
# standard error when it stops) and waits until both devices have their carrier.
wan_path_up() {
  local emulator=$1
  shift
  wan_path_down
  if ! _wan_side_up "$WAN_NS_A" "$WAN_ADDR_A" || ! _wan_side_up "$WAN_NS_B" "$WAN_ADDR_B"; then
    wan_path_down
    return 1
  fi
  "$emulator" --netns-a "$WAN_NS_A" --netns-b "$WAN_NS_B" --dev "$WAN_DEV" "$@" &
  WAN_EMULATOR_PID=$!
  for _ in $(seq 1 100); do
    if ip -n "$WAN_NS_A" link show "$WAN_DEV" | grep -q LOWER_UP &&
      ip -n "$WAN_NS_B" link show "$WAN_DEV" | grep -q LOWER_UP; then
      return 0
    fi
    kill -0 "$WAN_EMULATOR_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "wan_path: the emulator did not attach to both devices" >&2
  wan_path_down
  return 1
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  if [ $# -lt 1 ]; then
    echo "usage: $0 EMULATOR [--rate-mbit R] [--delay-ms D] [--queue-bytes N] [--loss-percent P] [--seed S]" >&2
    exit 2
  fi
  if ! why=$(wan_path_possible); then
    echo "wan_path: $why" >&2
    exit 1
  fi
  trap wan_path_down EXIT
  trap 'exit 130' INT TERM
  wan_path_up "$@" || exit 1
  echo "path up: ip netns exec $WAN_NS_A ... reaches $WAN_ADDR_B; Ctrl-C ends it" >&2
  wait "$WAN_EMULATOR_PID"
fi
