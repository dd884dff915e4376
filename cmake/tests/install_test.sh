#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds a small C program
# outside the tree against the installed copy twice (CMake package and
# pkg-config), and runs both against the installed qtu-unit-sim on 127.0.0.1.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill -INT "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for f in include/QZQTUApi.h lib/libQZQTUApi.so lib/vantro/vantro_qtu_parvel.pck bin/qtu-cli bin/qtu-unit-sim \
         lib/cmake/QZQTUApi/QZQTUApiConfig.cmake lib/pkgconfig/QZQTUApi.pc; do
  [ -e "$prefix/$f" ] || { echo "FAILED: $f not installed"; exit 1; }
done
# The installed package and tool find the installed library by their run
# paths (the package needs it once a component of it calls the library).
for f in "$prefix/lib/vantro/vantro_qtu_parvel.pck" "$prefix/bin/qtu-cli"; do
  if readelf -d "$f" | grep -q 'NEEDED.*libQZQTUApi'; then
    found=$(ldd "$f" | sed -n 's/.*libQZQTUApi.so => \([^ ]*\).*/\1/p')
    [ "$(realpath "$found" 2>/dev/null)" = "$(realpath "$prefix/lib/libQZQTUApi.so")" ] ||
      { echo "FAILED: $f finds the library at '$found'"; exit 1; }
  fi
done

cmake -S "$source/cmake/tests/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/consumer.log" || { cat "$work/consumer.log"; exit 1; }
cmake --build "$work/consumer" >>"$work/consumer.log" || { cat "$work/consumer.log"; exit 1; }
cc -o "$work/consumer-pc" "$source/cmake/tests/consumer/consumer.c" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs QZQTUApi) -Wl,-rpath,"$prefix/lib"

for program in "$work/consumer/consumer" "$work/consumer-pc"; do
  "$prefix/bin/qtu-unit-sim" --bind 127.0.0.1 --quiet --for 60 --report-json "$work/report.json" \
    >"$work/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '^listening' "$work/sim.out" && break; sleep 0.1; done
  line=$(grep '^listening' "$work/sim.out")
  control=$(sed -E 's/.*control=[0-9.]+:([0-9]+).*/\1/' <<<"$line")
  data=$(sed -E 's/.* data=[0-9.]+:([0-9]+).*/\1/' <<<"$line")
  "$program" "$control" "$data" 5
  kill -INT "$sim_pid"; wait "$sim_pid" || [ $? -eq 130 ]; sim_pid=""  # 130: interrupted, as asked
  got=$(python3 -c 'import json,sys; c=json.load(open(sys.argv[1]))["channels"][0]; print(c["framesComplete"], c["framesIncomplete"], c["headerErrors"])' "$work/report.json")
  [ "$got" = "5 0 0" ] || { echo "FAILED: $program: the unit saw complete/incomplete/header errors $got"; exit 1; }
  echo "$(basename "$program"): the unit received 5 complete frames"
done
echo "PASSED"
