#!/usr/bin/env bash
# The Windows build of the library, driven by the Windows qtu-cli under Wine,
# against the Linux qtu-unit-sim on 127.0.0.1 (or on the loopback of a
# network namespace the test creates):
#   wine_sim_e2e.sh CASE WINE_RUN QTU_CLI_EXE QTU_UNIT_SIM
# CASE: control | stream | errors | ping | mtu. Exit 0 passed, 1 failed,
# 77 skipped (with the reason on standard output).
set -uo pipefail
case_name=$1 wine_run=$2 cli=$3 sim=$4
work=$(mktemp -d)
sim_pid=""
netns=""
own_prefix=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill -INT "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; fi
  if [ -n "$own_prefix" ]; then
    WINEPREFIX=$own_prefix "$(dirname "$(command -v /usr/lib/wine/wine64 || command -v wine64)")/wineserver" -k \
      >/dev/null 2>&1
  fi
  if [ -n "$netns" ]; then ip netns delete "$netns" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }

if [ ! -x "$sim" ]; then
  skip "no Linux qtu-unit-sim at $sim (build the default preset first)"
fi

in_ns=()
# Starts the emulated unit (in the namespace when one is set) and reads its
# ports from its first line.
start_unit() {
  "${in_ns[@]}" "$sim" --bind 127.0.0.1 --quiet --for 120 --report-json "$work/report.json" "$@" \
    >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    if grep -q '^listening' "$work/sim.out"; then break; fi
    sleep 0.1
  done
  line=$(grep '^listening' "$work/sim.out") || fail "the emulated unit did not start: $(cat "$work/sim.err")"
  control=$(sed -E 's/.*control=[0-9.]+:([0-9]+).*/\1/' <<<"$line")
  data=$(sed -E 's/.* data=[0-9.]+:([0-9]+).*/\1/' <<<"$line")
}
stop_unit() {
  kill -INT "$sim_pid"
  wait "$sim_pid" || [ $? -eq 130 ]  # 130: interrupted, as asked
  sim_pid=""
}
# Runs qtu-cli.exe under Wine; its output in $out, its status in $status.
# Replies may wait a while on a loaded machine: 2 s per request unless
# timeout_get says otherwise.
timeout_get=2000
run_cli() {
  out=$("${in_ns[@]}" "$wine_run" "$cli" --control "127.0.0.1:$control" --data "127.0.0.1:$data" \
    --timeout-get "$timeout_get" "$@" 2>&1 | tr -d '\r')
  status=${PIPESTATUS[0]}
  printf '$ qtu-cli.exe %s  -> %s\n%s\n' "$*" "$status" "$out"
}
expect_status() {
  [ "$status" = "$1" ] || fail "expected exit status $1, got $status"
}
expect_text() {
  grep -qF -- "$1" <<<"$out" || fail "expected \"$1\" in the output"
}
report() {
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); c=r["channels"][0]; print(" ".join(f"{k}={c[k]}" for k in sys.argv[2:]))' \
    "$work/report.json" "$@"
}

case "$case_name" in
control)
  # Times set through the library reach the unit and read back; status and
  # flags requests are answered.
  start_unit
  run_cli set-times --start 5000 --offset 100 --stop 9000
  expect_status 0
  run_cli info
  expect_status 0
  expect_text 5000
  expect_text 9000
  run_cli reset
  expect_status 0
  run_cli clear-flags
  expect_status 0
  run_cli status --count 2 --interval 100
  expect_status 0
  ;;
stream)
  # Frames streamed by the Windows library arrive whole and in order.
  start_unit --capacity 64
  run_cli stream --width 640 --height 480 --bpp 16 --frames 30
  expect_status 0
  expect_text "frames        30"
  stop_unit
  got=$(report framesComplete framesIncomplete counterGaps headerErrors)
  echo "unit: $got"
  [ "$got" = "framesComplete=30 framesIncomplete=0 counterGaps=0 headerErrors=0" ] || fail "unit saw $got"
  ;;
errors)
  # Result codes of the library reach the exit status: a unit that never
  # answers (11), a channel the unit does not offer (4), a stop time before
  # the start time (7).
  start_unit --channels 1
  real_control=$control
  control=9
  timeout_get=100
  run_cli info
  expect_status 11
  expect_text "(11)"
  timeout_get=2000
  control=$real_control
  run_cli --channel 3 info
  expect_status 4
  run_cli set-times --start 9000 --stop 5000
  expect_status 7
  expect_text "Invalid timing (7)"
  ;;
ping)
  # ICMP echo through IcmpCreateFile/IcmpSendEcho, as Wine offers it.
  start_unit
  run_cli ping
  if [ "$status" != 0 ] && grep -qE "can not be pinged|Unable to open handle" <<<"$out"; then
    skip "ICMP echo unavailable to Wine here (no raw or ping socket for this user)"
  fi
  expect_status 0
  expect_text "can be pinged -> SUCCESS"
  ;;
mtu)
  # A datagram larger than the path fails with WSAEMSGSIZE under the
  # don't-fragment option: code 15. The path is the loopback of a namespace
  # made here with an MTU of 1500: 1448 data bytes + 24 + 28 fill it.
  [ "$(id -u)" = 0 ] || skip "needs root for a network namespace"
  command -v ip >/dev/null || skip "the ip command (iproute2) is missing"
  netns=qtu-wine-mtu-$$
  ip netns add "$netns" || skip "cannot create a network namespace here"
  ip -n "$netns" link set lo mtu 1500 up || fail "cannot set the namespace's loopback"
  in_ns=(ip netns exec "$netns")
  # Wine's sockets are made by its server, so the server must run inside the
  # namespace: a prefix of its own (hard links of the build's prefix, which
  # wine-run creates on first use) gets a server of its own there.
  base=${QTU_WINEPREFIX:-$(cd "$(dirname "$cli")/.." && pwd)/wineprefix}
  [ -f "$base/system.reg" ] || "$wine_run" cmd /c exit >/dev/null 2>&1 || true
  cp -al "$base" "$work/prefix"
  rm -f "$work/prefix"/*.reg "$work/prefix/.init.lock"
  cp "$base"/*.reg "$work/prefix"/
  export QTU_WINEPREFIX=$work/prefix
  own_prefix=$work/prefix
  start_unit
  run_cli --max-payload 1448 stream --line-size 3000 --line-count 2 --frames 3
  expect_status 0
  run_cli --max-payload 1456 stream --line-size 3000 --line-count 2 --frames 3
  expect_status 15
  expect_text "errCode 10040"
  expect_text "(15)"
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
echo "PASSED: $case_name"
