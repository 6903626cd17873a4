#!/usr/bin/env bash
# Demonstration: flashes a sample firmware into the simulated scan engine over
# a pseudo-terminal, with progress, the version read back and the results
# record, then checks that the simulated flash holds the image.
#
# Builds in build/ (the test command's build folder and type) and lays out a demo device root in demo-root/.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

step() { printf '\n=== %s\n' "$*"; }
fail() { printf 'demo: FAILED: %s\n' "$*" >&2; exit 1; }

IMAGE_SIZE=65536      # bytes of firmware image
HEADER_SIZE=20        # board header of a .bin with one board: 16 + 4 bytes
BAUD=115200           # the engine paces its line at this rate, fwflash opens it so
root="$repo/demo-root"
work="$root/My Documents"
engine_pid=
engine_log=
tty=

cleanup() {
  if [[ -n $engine_pid ]] && kill -0 "$engine_pid" 2>/dev/null; then
    kill -TERM "$engine_pid" 2>/dev/null || true
    wait "$engine_pid" 2>/dev/null || true
  fi
  [[ -n $engine_log ]] && rm -f "$engine_log"
  return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "Installing what the build needs"
scripts/install-deps.sh

step "Configuring and building (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLASHWRIGHT_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)" --target fwflash fwsim fwsample
bin="$repo/build"

step "Laying out the demo device root ($root)"
export FLASHWRIGHT_ROOT="$root"
rm -rf "$root"
"$bin/sim/fwsim" root
mkdir -p "$work"

step "Writing a sample flash driver and firmware for the simulated engine"
"$bin/app/fwsample" --driver "$work/QA71drv.bin" --image "$work/QA71fw.bin" \
  --driver-size 4096 --image-size "$IMAGE_SIZE" --board 0x0A00:0x0400
dump="$root/flash-dump.bin"

step "Starting the simulated engine on COM2: (paced at $BAUD baud)"
engine_log=$(mktemp)
"$bin/sim/fwsim" engine --com COM2: --model QA71 --pace "$BAUD" --dump-flash "$dump" >"$engine_log" 2>&1 &
engine_pid=$!
for _ in $(seq 100); do
  grep -qx ready "$engine_log" && break
  kill -0 "$engine_pid" 2>/dev/null || { cat "$engine_log" >&2; fail "the simulated engine did not start"; }
  sleep 0.1
done
grep -qx ready "$engine_log" || { cat "$engine_log" >&2; fail "the simulated engine did not report ready"; }
tty=$(head -n1 "$engine_log")
echo "Engine listening on $tty, linked in as $root/COM2:"

step "Flashing with fwflash"
# Files given as device paths (on the device root); port and rate default
# from the engine catalogue (QA71: COM2:, 115200).
set +e
"$bin/app/fwflash" --engine QA71 --driver '\My Documents\QA71drv.bin' --image '\My Documents\QA71fw.bin'
status=$?
set -e
[[ $status -eq 0 ]] || fail "fwflash exited with status $status"

step "The results record (\\My Documents\\KPXResults.xml)"
cat "$work/KPXResults.xml"
grep -q '<Firmware_Ver>' "$work/KPXResults.xml" || fail "no Firmware_Ver in the results record"

step "Stopping the simulated engine"
kill -INT "$engine_pid"
set +e
wait "$engine_pid"
engine_status=$?
set -e
engine_pid=
grep -v -x -e ready -e "$tty" "$engine_log" || true
[[ $engine_status -eq 0 ]] || fail "the simulated engine saw protocol violations or could not dump its flash (status $engine_status)"

step "Checking the simulated flash against the image"
[[ -f $dump ]] || fail "no flash dump at $dump"
if cmp -i "$HEADER_SIZE:0" -n "$IMAGE_SIZE" "$work/QA71fw.bin" "$dump"; then
  echo "The flash holds the image: $IMAGE_SIZE bytes match."
else
  fail "the flash differs from the image"
fi

step "Demo complete"
echo "Device root: $root (trace log: $work/flwright.log)"
