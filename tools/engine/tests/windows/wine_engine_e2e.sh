#!/usr/bin/env bash
# The Windows vtro-engine.exe under Wine with the Windows packages:
#   wine_engine_e2e.sh CASE WINE_RUN VTRO_ENGINE_EXE PACKAGE_DIR QTU_UNIT_SIM
# CASE list: the listing of vantro_qtu_parvel.pck holds both components'
#   tables, the same as the Linux engine lists for the Linux package (when a
#   Linux build sits beside the unit emulator).
# CASE demo: examples/unit_client/demo.json (TestCamera -> QzQtuUnitClient)
#   streams for two seconds to the Linux qtu-unit-sim on 127.0.0.1, every
#   address of the client overridden; every frame must arrive complete.
# Exit 0 passed, 1 failed, 77 skipped (with the reason on standard output).
set -uo pipefail
case_name=$1 wine_run=$2 engine=$3 packages=$4 sim=$5
repo=$(cd "$(dirname "$0")/../../../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }

case $case_name in
  list)
    out=$("$wine_run" "$engine" list "$packages/vantro_qtu_parvel.pck" 2>&1 | tr -d '\r')
    status=${PIPESTATUS[0]}
    printf '%s\n' "$out"
    [ "$status" = 0 ] || fail "vtro-engine.exe list exited with $status"
    for text in QzQtuUnitClient QzQtuImageConverter SensorDataIn QtuControlIP frame_in QTU_IPLImage; do
      grep -q "$text" <<<"$out" || fail "the listing lacks $text"
    done
    linux_engine=$(dirname "$sim")/vtro-engine
    linux_package=$(dirname "$(dirname "$sim")")/lib/vantro_qtu_parvel.pck
    if [ -x "$linux_engine" ] && [ -f "$linux_package" ]; then
      # The tables are the same on both systems; only the file's own line differs.
      diff <(grep -v 'vantro_qtu_parvel.pck' <<<"$out") \
        <("$linux_engine" list "$linux_package" 2>&1 | grep -v 'vantro_qtu_parvel.pck') ||
        fail "the Windows and Linux listings differ"
      echo "same tables as the Linux engine lists for $linux_package"
    else
      echo "no Linux engine and package beside $sim: the listings are not compared"
    fi
    ;;
  demo)
    [ -x "$sim" ] || skip "no Linux qtu-unit-sim at $sim (build the default preset first)"
    cd "$work" || fail "no work folder"
    QTU_ENGINE=$engine QTU_ENGINE_WRAPPER=$wine_run QTU_UNIT_SIM=$sim \
      "$repo/examples/unit_client/run" "$repo/examples/unit_client/demo.json" --for 2 \
      --set "status.Directory=$work/status" --set "unittime.Directory=$work/unit_time" ||
      fail "the demo diagram did not stream every frame complete"
    count=$(find "$work/status" -name '*.bin' | wc -l)
    [ "$count" -gt 0 ] || fail "the client published no status"
    echo "the client published $count status records"
    ;;
  *) fail "unknown case $case_name" ;;
esac
