#!/bin/sh
# Figures of the real USB stack, printed, not asserted; run inside the kernel test VM by
# bench/kernel/figures.sh. A whole update of a 32 KiB image (program flash 0x800-0x7FFF) and the
# 256-byte EEPROM through korvane-cli, libusb, usbfs, the kernel's USB core and dummy_hcd (which
# schedules transfers in 1 ms frames, as a full-speed bus does) to korvane-gadget: without and
# with the gadget's flash timing; beside the same update on the in-process emulated device,
# without and with its timing model. Then, on the gadget with flash timing, the update of only
# what changed (--only-changed) on a board that holds the image already and on one that holds
# an unrelated image. Each line: the wall time of the command, its packets and the time per
# packet.
FW=/korvane/full.hex
OTHER=/korvane/other.hex
RUNS=${RUNS:-2}
# A command run before each run of a figure, not timed (empty: none).
PREPARE=

uptime_now() { cut -d' ' -f1 /proc/uptime; }

# figure LABEL COMMAND...: runs the update RUNS times, prints the fastest.
figure() {
  label=$1
  shift
  best=
  for run in $(seq "$RUNS"); do
    if [ -n "$PREPARE" ]; then
      $PREPARE >/tmp/prepare 2>&1 || { echo "KORVANE-FIGURE $label: preparing failed: $(tail -n 3 /tmp/prepare)"; return; }
    fi
    start=$(uptime_now)
    "$@" --json >/tmp/json 2>/tmp/err || { echo "KORVANE-FIGURE $label: failed: $(tail -n 3 /tmp/err)"; return; }
    wall=$(awk -v a="$start" -v b="$(uptime_now)" 'BEGIN { print b - a }')
    packets=$(sed -n 's/.*"event":"outcome".*"packets":\([0-9]*\).*/\1/p' /tmp/json)
    if [ -z "$best" ] || awk -v w="$wall" -v b="$best" 'BEGIN { exit !(w < b) }'; then
      best=$wall
    fi
  done
  awk -v label="$label" -v wall="$best" -v packets="$packets" 'BEGIN {
    printf "KORVANE-FIGURE %-44s %6.2f s  %5d packets  %.2f ms per packet\n", label, wall, packets,
      wall * 1000 / packets }'
}

board() {
  korvane-gadget --udc dummy_udc.0 --state /tmp/bench "$@" >/tmp/gadget.log 2>&1 &
  gadget=$!
  i=0
  until [ -n "$(cat /sys/bus/usb/devices/1-1/bConfigurationValue 2>/dev/null)" ]; do
    [ $i -lt 300 ] || { echo "KORVANE-FIGURE the board did not arrive: $(cat /tmp/gadget.log)"; return 1; }
    sleep 0.1
    i=$((i + 1))
  done
}

take_off() {
  kill -TERM $gadget
  wait $gadget
}

echo "KORVANE-FIGURE update of 32 KiB + EEPROM, best of $RUNS, in the VM (TCG):"
board && figure "real stack, gadget without flash timing" korvane-cli update "$FW" --eeprom
take_off
board --timing && {
  figure "real stack, gadget with flash timing" korvane-cli update "$FW" --eeprom
  # The board now holds the image.
  figure "  --only-changed, board holds the image" korvane-cli update "$FW" --eeprom --only-changed
  PREPARE="korvane-cli update $OTHER --eeprom"
  figure "  --only-changed, board holds another image" korvane-cli update "$FW" --eeprom --only-changed
  PREPARE=
}
take_off
figure "emulated device, no timing model" korvane-cli update "$FW" --eeprom --emulated
figure "emulated device, timing model" korvane-cli update "$FW" --eeprom --emulated-timing
