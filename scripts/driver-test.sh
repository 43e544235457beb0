#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the port's real-driver tests (tests/port/realdriver_test.cpp) on
# Linux's own serial drivers in an emulated PC, without hardware or KVM:
# Debian's kernel under QEMU (TCG) with a second 16550A UART (ttyS1, 8250
# driver) and QEMU's FTDI USB serial adapter (ttyUSB0, ftdi_sio). The adapter
# hangs on a socket: scripts/driver-test-host.py connects to it to plug the
# adapter in and closes the connection to pull it out, as the guest asks on
# ttyS2. The guest's console is this script's output; the script exits with
# the test program's status.
#
# Usage: scripts/driver-test.sh [BUILD_DIR]   (default build-test; the test
# program must be built there: target realdriver_tests)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-test}
program=$build/tests/port/realdriver_tests
started=$SECONDS

bash scripts/setup.sh qemu-system-x86 linux-image-amd64 busybox-static cpio python3
[[ -x $program ]] || { echo "driver-test: $program is not built" >&2; exit 2; }

kernel=$(ls -1 /boot/vmlinuz-* | sort -V | tail -n 1)
release=${kernel#/boot/vmlinuz-}
modules=/lib/modules/$release
plugin=$(find /usr/lib -path '*/qt6/plugins/platforms/libqoffscreen.so' -print -quit)

work=$(mktemp -d)
host_pid=
cleanup() {
  [[ -n $host_pid ]] && kill "$host_pid" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The guest's root: busybox, the test program without its debug sections,
# the libraries ldd names for it and for Qt's offscreen platform, the modules.
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib/modules}
cp /bin/busybox "$root/bin/busybox"
objcopy --strip-debug "$program" "$root/realdriver_tests"
mkdir -p "$root$(dirname "$plugin")"
cp "$plugin" "$root$plugin"
for file in "$program" "$plugin"; do
  ldd "$file" | awk '/=> \// {print $3} /^[[:space:]]*\// {print $1}'
done | sort -u | while read -r lib; do
  cp -L --parents "$lib" "$root"
done
order=(usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio)
for m in "${order[@]}"; do
  ko=$(find "$modules" -name "$m.ko*" -print -quit)
  [[ -n $ko ]] || { echo "driver-test: module $m not found in $modules" >&2; exit 2; }
  case $ko in
    *.xz) xz -dc "$ko" > "$root/lib/modules/$m.ko" ;;
    *.zst) zstd -qdc "$ko" > "$root/lib/modules/$m.ko" ;;
    *) cp "$ko" "$root/lib/modules/$m.ko" ;;
  esac
done
cat > "$root/init" << INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t devtmpfs devtmpfs /dev
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t tmpfs tmpfs /tmp
for m in ${order[*]}; do insmod /lib/modules/\$m.ko || echo "driver-test: insmod \$m failed"; done
mkdir -m 700 /tmp/run
export SERIVOX_REAL_DRIVERS=1 SERIVOX_HOST_LINE=/dev/ttyS2 QT_QPA_PLATFORM=offscreen HOME=/tmp XDG_RUNTIME_DIR=/tmp/run
cd /tmp
/realdriver_tests --gtest_color=no
echo "driver-test: guest status \$?"
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) > "$work/initrd.cpio"

python3 scripts/driver-test-host.py "$work/ctl.sock" "$work/usb.sock" &
host_pid=$!
for _ in $(seq 100); do [[ -S $work/ctl.sock ]] && break; sleep 0.1; done

echo "== emulated PC: $kernel, image $(du -m "$work/initrd.cpio" | cut -f1) MiB, prepared in $((SECONDS - started)) s"
timeout 900 qemu-system-x86_64 -machine pc -accel tcg -cpu max -smp 1 -m 1024 -nodefaults -no-user-config \
  -display none -no-reboot -kernel "$kernel" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 quiet panic=-1" \
  -serial stdio -serial null \
  -chardev socket,id=ctl,path="$work/ctl.sock" -serial chardev:ctl \
  -device qemu-xhci,id=xhci \
  -chardev socket,id=usb,path="$work/usb.sock",server=on,wait=off -device usb-serial,chardev=usb \
  < /dev/null | tee "$work/console.log" || true

status=$(sed -n 's/.*driver-test: guest status \([0-9]*\).*/\1/p' "$work/console.log" | tail -n 1)
echo "== real-driver stage: $((SECONDS - started)) s"
if [[ -z $status ]]; then
  echo "driver-test: the emulated PC ended without a test status" >&2
  exit 1
fi
exit "$status"
