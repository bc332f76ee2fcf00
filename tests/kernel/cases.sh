#!/bin/sh
# The cases of the kernel USB test, run as root inside the test VM: korvane-cli (libusb, usbfs,
# the kernel's USB core) against boards that korvane-gadget serves through dummy_hcd. Each case
# prints "KORVANE-CASE NAME pass|fail SECONDS", and when it fails the reason and the programs'
# output. Boards: board N is a korvane-gadget on dummy_udc.N, seen by the host at N+1-1.
FW=/korvane/demo-firmware.hex

elapsed() { awk -v a="$1" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%.1f", b - a }'; }

why=
note=
fail() {
  why="$*"
  return 1
}

# Runs a command for at most 120 s, its output in /tmp/out and /tmp/err; $code is its status.
run() {
  timeout 120 "$@" >/tmp/out 2>/tmp/err
  code=$?
}
said() { grep -q "$1" /tmp/out /tmp/err; }

# Waits up to 30 s until the host has the device at PLACE (present) or not (absent).
device() {
  i=0
  while [ $i -lt 300 ]; do
    if [ -e "/sys/bus/usb/devices/$1/bConfigurationValue" ] &&
      [ -n "$(cat "/sys/bus/usb/devices/$1/bConfigurationValue" 2>/dev/null)" ]; then
      [ "$2" = present ] && return 0
    elif [ "$2" = absent ]; then
      return 0
    fi
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# plug N STATE [OPTIONS...]: board N with its memory in STATE; waits until the host has it.
plug() {
  n=$1
  state=$2
  shift 2
  korvane-gadget --udc "dummy_udc.$n" --state "$state" "$@" >"/tmp/gadget$n.log" 2>&1 &
  eval "gadget$n=$!"
  device "$((n + 1))-1" present || fail "board $n did not arrive: $(cat /tmp/gadget$n.log)"
}

# Waits up to 60 s for board N's gadget to end; fails unless it ended with status 0 and its
# log says TEXT.
ended() {
  eval "pid=\$gadget$1"
  i=0
  while kill -0 "$pid" 2>/dev/null; do
    [ $i -lt 600 ] || { kill -KILL "$pid"; fail "board $1 did not end"; return 1; }
    sleep 0.1
    i=$((i + 1))
  done
  wait "$pid"
  status=$?
  eval "gadget$1="
  [ $status -eq 0 ] || fail "board $1 ended with $status: $(cat /tmp/gadget$1.log)" || return 1
  grep -q "$2" "/tmp/gadget$1.log" || fail "board $1 did not say '$2': $(cat /tmp/gadget$1.log)"
}

# take_off N: Ctrl+C for board N (SIGTERM); it saves its memory and ends.
take_off() {
  eval "kill -TERM \$gadget$1"
  ended "$1" "memory saved"
}

# The memory a board left in STATE holds the firmware (match) or not (differs).
memory() {
  timeout 60 korvane-cli verify "$FW" --eeprom --emulated --emulated-state "$1" >/tmp/vout 2>&1
  result=$?
  case $2 in
    match) [ $result -eq 0 ] || fail "the memory in $1 does not hold the firmware: $(cat /tmp/vout)" ;;
    differs) [ $result -eq 1 ] || fail "the memory in $1 should differ from the firmware: $(cat /tmp/vout)" ;;
  esac
}

# appears FILE TEXT [COUNT]: waits up to 30 s for COUNT (1) lines with TEXT in FILE.
appears() {
  i=0
  until [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "${3:-1}" ]; do
    [ $i -lt 300 ] || return 1
    sleep 0.1
    i=$((i + 1))
  done
}

case_detect() {
  plug 0 /tmp/detect || return 1
  # The interface as the real device has it: bulk endpoint 1 OUT and IN, 64-byte packets.
  for ep in ep_01 ep_81; do
    size=$(cat /sys/bus/usb/devices/1-1/1-1:1.*/$ep/wMaxPacketSize 2>/dev/null)
    [ "$size" = 0040 ] || fail "endpoint $ep: wMaxPacketSize '$size'" || return 1
  done
  run korvane-cli detect
  [ $code -eq 0 ] && said "USB-Bootloader  1\. 1 2 detected" || fail "detect gave $code" || return 1
  run korvane-cli list
  [ $code -eq 0 ] && said "1-1" || fail "list gave $code" || return 1
  take_off 0
}

# What korvane-gadget refuses, each in one sentence that names what is missing.
case_gadget_refusals() {
  run korvane-gadget --udc nonesuch
  [ $code -eq 1 ] && said "no USB device controller named nonesuch; this machine has: dummy_udc.0, dummy_udc.1, dummy_udc.2" ||
    fail "an unknown controller: $code" || return 1
  run korvane-gadget
  [ $code -eq 1 ] && said "several USB device controllers; choose one with --udc" ||
    fail "no --udc with three controllers: $code" || return 1
  run su visitor -s /bin/sh -c "korvane-gadget --udc dummy_udc.0"
  [ $code -eq 1 ] && said "must run as root" || fail "not root: $code" || return 1
  run korvane-gadget --udc dummy_udc.0 --fault arrive@3
  [ $code -eq 2 ] || fail "a host-side fault: $code" || return 1
  plug 0 /tmp/refusals || return 1
  run korvane-gadget --udc dummy_udc.0
  [ $code -eq 1 ] && said "dummy_udc.0 already serves the gadget .*; free ones: dummy_udc.1, dummy_udc.2" ||
    fail "a controller in use: $code" || return 1
  # The first one still serves.
  run korvane-cli detect
  [ $code -eq 0 ] || fail "the board stopped answering: $code" || return 1
  take_off 0
}

case_update_verify_reset() {
  plug 0 /tmp/update || return 1
  run korvane-cli update "$FW" --eeprom
  [ $code -eq 0 ] && said "The update was successful." || fail "update gave $code" || return 1
  run korvane-cli verify "$FW" --eeprom
  [ $code -eq 0 ] || fail "verify gave $code" || return 1
  run korvane-cli reset
  [ $code -eq 0 ] || fail "reset gave $code" || return 1
  ended 0 "was reset and left the bus" || return 1
  device 1-1 absent || fail "the board is still attached after its reset" || return 1
  memory /tmp/update match
}

case_all_three_boards() {
  for n in 0 1 2; do plug $n /tmp/all/$n || return 1; done
  run korvane-cli update "$FW" --all --expect 3 --eeprom --reset
  [ $code -eq 0 ] && said "3 of 3 updated" || fail "update --all gave $code" || return 1
  for n in 0 1 2; do
    ended $n "was reset" && memory /tmp/all/$n match || return 1
  done
}

case_pulled_out_mid_write() {
  # Request 150 is a flash write: the erase took the first 56 or so.
  plug 0 /tmp/pulled --fault unplug@150 || return 1
  run korvane-cli update "$FW" --eeprom
  [ $code -ne 0 ] || fail "the update of a board pulled out mid-write exited 0" || return 1
  ! said "The update was successful" || fail "a board pulled out was called updated" || return 1
  ended 0 "pulled out" && memory /tmp/pulled differs
}

case_hung_firmware() {
  plug 0 /tmp/hung --fault hang@150 || return 1
  run korvane-cli update "$FW" --eeprom
  [ $code -eq 1 ] || fail "the update of a hung board gave $code, not 1" || return 1
  ! said "The update was successful" || fail "a hung board was called updated" || return 1
  take_off 0 && memory /tmp/hung differs
}

# A board plugged in while korvane-cli waits for one.
case_wait() {
  korvane-cli detect --wait=60 --verbose >/tmp/wout 2>/tmp/werr &
  cli=$!
  # --verbose looks at the devices before the wait: libusb has started when the line is there.
  appears /tmp/werr "Waiting for a device" || fail "detect --wait did not start waiting" || return 1
  plugged=$(cut -d' ' -f1 /proc/uptime)
  plug 0 /tmp/wait || return 1
  i=0
  while kill -0 $cli 2>/dev/null; do
    [ $i -lt 300 ] || { kill -KILL $cli; fail "detect --wait did not see the board within 30 s"; return 1; }
    sleep 0.1
    i=$((i + 1))
  done
  wait $cli
  result=$?
  note="(it answered $(elapsed "$plugged") s after the plug)"
  [ $result -eq 0 ] || fail "detect --wait gave $result: $(cat /tmp/werr)" || return 1
  take_off 0
}

case_wait_without_udevd() {
  [ ! -e /run/udev/control ] || fail "udevd is running" || return 1
  case_wait
}

case_wait_with_udevd() {
  [ -e /run/udev/control ] || fail "udevd is not running" || return 1
  case_wait
}

start_udevd() {
  mkdir -p /run/udev
  /lib/systemd/systemd-udevd --daemon 2>/tmp/udevd.log
  i=0
  until [ -e /run/udev/control ]; do
    [ $i -lt 300 ] || { echo "KORVANE-SETUP udevd did not start: $(cat /tmp/udevd.log)"; return 1; }
    sleep 0.1
    i=$((i + 1))
  done
}

case_udev_rule_plugdev_user() {
  plug 0 /tmp/rule || return 1
  udevadm settle
  node=$(ls /dev/bus/usb/001/* | tail -n 1)
  perms=$(ls -l "$node" | awk '{ print $1, $4 }')
  [ "$perms" = "crw-rw---- plugdev" ] || fail "the device node $node is '$perms'" || return 1
  run su operator -s /bin/sh -c "korvane-cli update $FW --eeprom"
  [ $code -eq 0 ] || fail "operator (in plugdev) could not update: $code" || return 1
  take_off 0 && memory /tmp/rule match
}

case_permission_denied() {
  plug 0 /tmp/denied || return 1
  udevadm settle
  run su visitor -s /bin/sh -c "korvane-cli detect"
  [ $code -ne 0 ] || fail "visitor (not in plugdev) could detect" || return 1
  said "Access to the USB device was denied" && said "usermod -aG plugdev" ||
    fail "no access advice" || return 1
  take_off 0
}

case_production_loop() {
  korvane-cli update "$FW" --eeprom --wait --repeat --reset >/tmp/lout 2>/tmp/lerr &
  cli=$!
  for board in 1 2 3; do
    plug 0 /tmp/line/$board || return 1
    ended 0 "was reset" || return 1
    device 1-1 absent || fail "board $board is still attached" || return 1
    # As an operator does: the next board goes in once the station has seen this one go.
    appears /tmp/lout "1-1 is off" "$board" ||
      fail "the loop never saw board $board go: $(cat /tmp/lout)" || return 1
  done
  kill -INT $cli
  i=0
  while kill -0 $cli 2>/dev/null; do
    [ $i -lt 300 ] || { kill -KILL $cli; fail "the loop did not end after Ctrl+C"; return 1; }
    sleep 0.1
    i=$((i + 1))
  done
  wait $cli
  result=$?
  [ $result -eq 0 ] || fail "the loop ended with $result: $(cat /tmp/lerr)" || return 1
  grep -q "3 devices: 3 updated, 0 failed" /tmp/lerr /tmp/lout ||
    fail "no summary of three boards: $(cat /tmp/lerr)" || return 1
  for board in 1 2 3; do memory /tmp/line/$board match || return 1; done
}

run_case() {
  name=$1
  why=
  note=
  rm -f /tmp/out /tmp/err
  started=$(cut -d' ' -f1 /proc/uptime)
  if "case_$1"; then
    echo "KORVANE-CASE $name pass $(elapsed "$started") $note"
  else
    echo "KORVANE-CASE $name fail $(elapsed "$started") $note"
    echo "  why: $why"
    for f in /tmp/out /tmp/err; do [ -s $f ] && sed 's/^/  | /' $f | tail -n 20; done
  fi
  # Whatever a failed case left attached is taken off before the next one.
  for n in 0 1 2; do
    eval "pid=\$gadget$n"
    [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    eval "gadget$n="
  done
}

# Without udevd first, as in a container: libusb gets no word of devices that arrive.
run_case detect
run_case gadget_refusals
run_case update_verify_reset
run_case all_three_boards
run_case pulled_out_mid_write
run_case hung_firmware
run_case wait_without_udevd
# With udevd and the project's rule: device nodes root:plugdev 0660.
start_udevd
run_case wait_with_udevd
run_case udev_rule_plugdev_user
run_case permission_denied
run_case production_loop
