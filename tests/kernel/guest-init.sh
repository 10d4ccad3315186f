#!/bin/busybox sh
# The kernel tests' guest init: loads the USB gadget and USB storage modules, presents the reader
# through tr350-kernel-gadget, runs one scenario of the installed tr350-fwupdate-cli against it and
# prints each check's verdict on the console ("KTEST PASS|FAIL check: why", then "KTEST END").
/bin/busybox --install -s /usr/bin
export PATH=/usr/bin:/usr/sbin
export HOME=/root

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/shm
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
mount -t tmpfs -o mode=0755 tmpfs /run
chmod 1777 /tmp
chown 1000:1000 /home/tester
ln -sf /proc/self/fd /dev/fd

scenario=
moment=
for word in $(cat /proc/cmdline); do
  case "$word" in
    tr350.scenario=*) scenario=${word#*=} ;;
    tr350.moment=*) moment=${word#*=} ;;
  esac
done

failures=0
pass() { echo "KTEST PASS $1${2:+: $2}"; }
fail() {
  echo "KTEST FAIL $1: $2"
  failures=$((failures + 1))
}
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "---- the kernel's last messages"
    dmesg | tail -n 40
  fi
  echo "KTEST END failures=$failures"
  sync
  poweroff -f
}

for module in crct10dif_generic configfs libcomposite usb_f_fs dummy_hcd scsi_mod sg sd_mod; do
  modprobe "$module" || fail modules "modprobe $module"
done
modprobe usb-storage delay_use=0 || fail modules "modprobe usb-storage"
mount -t configfs configfs /sys/kernel/config

# ---- Helpers ------------------------------------------------------------------------------------

# The reader's SCSI generic node, from its INQUIRY vendor.
reader_node() {
  for d in /sys/class/scsi_generic/sg*; do
    [ -r "$d/device/vendor" ] || continue
    case "$(cat "$d/device/vendor")" in
      TR350*) echo "/dev/${d##*/}"; return 0 ;;
    esac
  done
  return 1
}

# Sets $node once the reader's node exists; waits up to $1 seconds.
wait_reader() {
  tries=$(($1 * 10))
  while [ "$tries" -gt 0 ]; do
    node=$(reader_node) && [ -c "$node" ] && return 0
    usleep 100000
    tries=$((tries - 1))
  done
  node=
  return 1
}

# The USB device number of the reader behind a node: a new one each time the reader arrives.
reader_devnum() {
  cat "$(readlink -f "/sys/class/scsi_generic/${1##*/}/device")/../../../../devnum" 2>/dev/null
}

# Waits up to $2 seconds for the reader to be back under another USB device number than $1.
wait_return() {
  tries=$(($2 * 5))
  while [ "$tries" -gt 0 ]; do
    # A reader on its way out may still show its node while its USB device is already gone.
    devnum=
    node=$(reader_node) && [ -c "$node" ] && devnum=$(reader_devnum "$node")
    [ -n "$devnum" ] && [ "$devnum" != "$1" ] && return 0
    usleep 200000
    tries=$((tries - 1))
  done
  node=
  return 1
}

start_gadget() {
  rm -f /run/gadget.ctl /tmp/gadget.log
  (tr350-kernel-gadget --control=/run/gadget.ctl "$@" 2>&1 | tee /tmp/gadget.log |
    sed 's/^/   ~ /') &
  tries=100
  while [ ! -p /run/gadget.ctl ] && [ "$tries" -gt 0 ]; do
    usleep 50000
    tries=$((tries - 1))
  done
  if ! wait_reader 30; then
    fail reader-present "no SCSI generic node for the reader after 30 s"
    finish
  fi
  pass reader-present "$node"
}

gadget() { echo "$*" >/run/gadget.ctl; }

start_udevd() {
  mkdir -p /run/udev
  /usr/lib/systemd/systemd-udevd --daemon 2>&1 | sed 's/^/   udevd: /'
  udevadm trigger --action=add --type=subsystems
  udevadm trigger --action=add --type=devices
  udevadm settle --timeout=30 || fail udevd "udevadm settle timed out"
}

# tool LABEL root|tester ARGS...: runs the CLI, prints its output; $status is its exit status.
tool() {
  label=$1
  who=$2
  shift 2
  echo "== $label ($who): tr350-fwupdate-cli $*"
  started=$(date +%s)
  if [ "$who" = root ]; then
    timeout 240 tr350-fwupdate-cli "$@" >"/tmp/$label.out" 2>&1
  else
    timeout 240 su -s /bin/sh tester -c "/usr/bin/tr350-fwupdate-cli $*" >"/tmp/$label.out" 2>&1
  fi
  status=$?
  sed 's/^/   | /' "/tmp/$label.out"
  echo "   exit status $status after $(($(date +%s) - started)) s"
}

expect_status() {
  if [ "$status" = "$2" ]; then
    pass "$1" "exit status $2"
  else
    fail "$1" "exit status $status, expected $2${3:+ ($3)}"
  fi
}

# expect_text CHECK LABEL TEXT: the output of tool run LABEL contains TEXT.
expect_text() {
  if grep -qF -- "$3" "/tmp/$2.out"; then
    pass "$1" "says '$3'"
  else
    fail "$1" "the output of '$2' does not say '$3'"
  fi
}

# The reader's firmware storage, dumped by the device side, against what the update must write
# ($2 "again": or what an update on top of an interrupted one's header writes).
expect_flash() {
  rm -f /tmp/flash.bin
  gadget dump /tmp/flash.bin "$(cat /test/flash-bytes)"
  tries=100
  while [ ! -f /tmp/flash.bin ] && [ "$tries" -gt 0 ]; do
    usleep 100000
    tries=$((tries - 1))
  done
  if [ ! -f /tmp/flash.bin ]; then
    fail "$1" "the device side wrote no flash dump"
  elif cmp -s /tmp/flash.bin /test/expected-flash.bin; then
    pass "$1" "the flash holds what the update must write"
  elif [ "$2" = again ] && cmp -s /tmp/flash.bin /test/expected-flash-again.bin; then
    pass "$1" "the flash holds what an update on top of the interrupted one's header must write"
  else
    echo "   differing bytes (offset from 1, octal: found, expected):"
    cmp -l /tmp/flash.bin /test/expected-flash.bin 2>&1 | head -n 8 | sed 's/^/   /'
    fail "$1" "the flash differs from what the update must write ($(cmp -l /tmp/flash.bin /test/expected-flash.bin 2>/dev/null | wc -l) bytes)"
  fi
}

# ---- Scenarios ----------------------------------------------------------------------------------

# Found, checked, updated, restarted and checked again, with udevd running the installed rule.
scenario_update() {
  start_udevd
  start_gadget --scenario=flash-old
  udevadm settle --timeout=30
  if udevadm info --query=property --name="$node" | grep -q '^TAGS=.*:uaccess:'; then
    pass udev-tag "the installed rule tags $node for the user at the seat"
  else
    fail udev-tag "$node is not tagged uaccess: $(udevadm info --query=property --name="$node" | grep TAGS)"
  fi

  tool list root list --json
  expect_status list 0
  expect_text list-node list "\"diskPath\": \"$node\""
  # The part table's entry for the emulated chip (JEDEC EF 40 16, read back low byte first).
  expect_text list-part list '"flashPart": 58, "flashId": "0x1640EF"'

  tool check-old root check
  expect_status check-old 3 "not latest"

  before=$(reader_devnum "$node")
  tr350-kernel-watch >/tmp/watch.out 2>&1 &
  watcher=$!
  tries=50
  until grep -q watching /tmp/watch.out || [ "$tries" -eq 0 ]; do
    usleep 100000
    tries=$((tries - 1))
  done
  tool update root update --progress=none
  expect_status update 0
  expect_text update-ok update "Update OK"

  if wait_return "$before" 30; then
    pass reader-back "the reader left (USB device $before) and came back (USB device $(reader_devnum "$node"))"
  else
    fail reader-back "the reader did not come back as a new USB device after the reset"
  fi
  sleep 1
  kill "$watcher"
  wait "$watcher" 2>/dev/null
  sed 's/^/   watch: /' /tmp/watch.out
  if awk '/notification removal/ { gone = 1 } gone && /notification arrival/ { back = 1 }
          END { exit !back }' /tmp/watch.out; then
    pass notifications "udevd's removal and arrival reached the tool's notifications"
  else
    fail notifications "no removal followed by an arrival reached the tool's notifications"
  fi

  tool check-new root check
  expect_status check-new 0 "latest"
  expect_flash flash
}

# The reader leaves at a moment of the update; the update fails, and a new run brings it back.
scenario_unplug() {
  start_gadget --scenario=flash-old "--unplug-at=$moment"
  tool update-interrupted root update --progress=none
  if grep -q unplugged /tmp/gadget.log; then
    pass unplugged "at $moment"
  else
    fail unplugged "the update never reached the moment $moment"
  fi
  if [ "$status" = 0 ] || grep -qF "Update OK" /tmp/update-interrupted.out; then
    fail update-interrupted "the interrupted update reported success (exit status $status)"
  else
    pass update-interrupted "failure reported, exit status $status"
  fi
  gadget plug
  if ! wait_reader 30; then
    fail reader-back "the reader did not come back after it was plugged in"
    finish
  fi
  before=$(reader_devnum "$node")
  tool recovery root update --progress=none
  expect_status recovery 0 "a second run recovers the reader"
  # A reader whose write was complete needs no second update, and so no restart.
  if grep -qF "Update OK" /tmp/recovery.out; then
    wait_return "$before" 30 || fail reader-back "the reader did not come back after the restart"
  fi
  tool check-recovered root check
  expect_status check-recovered 0 "latest"
  expect_flash flash again
}

# A user who owns only the node checks and updates, before and after root runs, while
# fs.protected_regular=2 guards the shared-memory directory.
scenario_user_access() {
  sysctl -w fs.protected_regular=2 | sed 's/^/   /'
  su -s /bin/sh tester -c id | sed 's/^/   tester: /'
  start_gadget --scenario=flash-old
  # What the seat's access lists do for the uaccess tag: each new node of the reader is the
  # user's, and only that node.
  (while :; do
    seat_node=$(reader_node) && [ -c "$seat_node" ] && [ "$(stat -c %u "$seat_node")" != 1000 ] &&
      chown tester:tester "$seat_node" && chmod 0600 "$seat_node"
    usleep 100000
  done) &
  seat=$!
  usleep 300000
  ls -l "$node" | sed 's/^/   /'
  tool user-check-first tester check
  expect_status user-check-first 3 "the user's check before any root run"
  tool root-check root check
  expect_status root-check 3 "root's check after the user's"
  tool user-check tester check
  expect_status user-check 3 "the user's check after root's"
  before=$(reader_devnum "$node")
  tool user-update tester update --progress=none
  expect_status user-update 0 "the user's update"
  expect_text user-update-ok user-update "Update OK"
  wait_return "$before" 30 || fail reader-back "the reader did not come back after the restart"
  usleep 300000
  tool root-check-new root check
  expect_status root-check-new 0 "root's check after the user's update"
  tool user-check-new tester check
  expect_status user-check-new 0 "the user's check after root's"
  kill "$seat"
  expect_flash flash
}

# A node the user cannot open: the tool must say so plainly, with an exit status of its own.
scenario_unreadable_node() {
  start_gadget --scenario=flash-old
  chown root:root "$node" && chmod 0600 "$node"
  ls -l "$node" | sed 's/^/   /'
  tool unreadable tester check
  case "$status" in
    0 | 3) fail unreadable-read "the user read a node it cannot open (exit status $status)" ;;
  esac
  if [ "$status" -eq 6 ] && grep -qF "$node" /tmp/unreadable.out &&
      grep -qiE 'permission|denied' /tmp/unreadable.out; then
    pass unreadable-message "exit status $status, names $node and the missing permission"
  else
    fail unreadable-message "exit status $status; no message naming $node and the missing permission"
  fi
}

echo "KTEST START scenario=$scenario${moment:+ moment=$moment} kernel=$(uname -r)"
case "$scenario" in
  update) scenario_update ;;
  unplug) scenario_unplug ;;
  user-access) scenario_user_access ;;
  unreadable-node) scenario_unreadable_node ;;
  *) fail scenario "unknown scenario '$scenario'" ;;
esac
gadget quit 2>/dev/null
sleep 1
finish
