#!/usr/bin/env bash
# Boots the prepared guest under QEMU (TCG) with one scenario and judges it from the serial
# console: every "KTEST PASS|FAIL" line the guest printed, and its closing "KTEST END". QEMU itself
# exits 0 whatever the guest did. Exit status 77 (skipped) only when QEMU cannot run at all.
#
# usage: run-guest.sh --guest DIR --log FILE [--expect-fail CHECK REASON] -- KERNEL-ARGUMENTS...
set -uo pipefail

guest= log= expect_check= expect_reason=
while (($#)); do
  case "$1" in
    --guest) guest=$2; shift 2 ;;
    --log) log=$2; shift 2 ;;
    --expect-fail) expect_check=$2; expect_reason=$3; shift 3 ;;
    --) shift; break ;;
    *) echo "run-guest: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
[[ -n $guest && -n $log && $# -gt 0 ]] || { echo "run-guest: missing arguments" >&2; exit 2; }

qemu=$(command -v qemu-system-x86_64 || true)
if [[ -z $qemu ]] || ! "$qemu" -version >/dev/null 2>&1; then
  echo "SKIP: qemu-system-x86_64 cannot run here (install qemu-system-x86); no kernel test ran"
  exit 77
fi
[[ -f $guest/vmlinuz && -f $guest/initramfs.cpio ]] ||
  { echo "run-guest: no prepared guest in $guest (kernel.prepare failed?)" >&2; exit 1; }

mkdir -p "$(dirname "$log")"
started=$(date +%s)
# TCG: KVM may not be usable (or may hang) on the machines this runs on.
timeout 400 "$qemu" -accel tcg -m 1024 -smp 1 -display none -no-reboot -nodefaults \
  -serial stdio -kernel "$guest/vmlinuz" -initrd "$guest/initramfs.cpio" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 $*" </dev/null >"$log" 2>&1
qemu_status=$?
tr -d '\r' <"$log"
echo "run-guest: QEMU ended with status $qemu_status after $(($(date +%s) - started)) s"

log_text=$(tr -d '\r' <"$log")
if [[ $qemu_status -ne 0 ]] && ! grep -q '^KTEST START' <<<"$log_text"; then
  if [[ $qemu_status -eq 124 ]]; then
    echo "FAIL: the guest never started its scenario within 400 s"
    exit 1
  fi
  echo "SKIP: QEMU could not run (status $qemu_status); no kernel test ran"
  exit 77
fi

failed=0
while read -r line; do
  check=${line#KTEST FAIL }
  check=${check%%:*}
  if [[ -n $expect_check && $check == "$expect_check" ]]; then
    echo "XFAIL $check (expected to fail: $expect_reason)"
  else
    echo "FAIL: $line"
    failed=1
  fi
done < <(grep '^KTEST FAIL ' <<<"$log_text")
if [[ -n $expect_check ]] && grep -q "^KTEST PASS $expect_check" <<<"$log_text"; then
  echo "XPASS: $expect_check passes now; remove its expected failure from tests/kernel/CMakeLists.txt"
  failed=1
fi
if ! grep -q '^KTEST END' <<<"$log_text"; then
  echo "FAIL: the guest stopped before the end of its scenario (QEMU status $qemu_status)"
  failed=1
fi
passed=$(grep -c '^KTEST PASS ' <<<"$log_text")
echo "run-guest: $passed checks passed$([[ $failed -eq 0 ]] || echo ', some failed')"
exit "$failed"
