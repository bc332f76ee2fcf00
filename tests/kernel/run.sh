#!/usr/bin/env bash
# The kernel USB test: boots Debian's kernel in QEMU (TCG, no KVM needed) with a small
# initramfs holding busybox, the USB modules, udevd, korvane-cli and korvane-gadget, and runs
# tests/kernel/cases.sh inside: korvane-cli against boards served by korvane-gadget through
# dummy_hcd, the kernel's USB core, usbfs and libusb. Prints each case's outcome and fails when
# any case failed or the VM did not finish.
#
# Usage: tests/kernel/run.sh [BUILD_DIR] [cases|bench]   (default: build, cases)
# bench runs bench/kernel/bench.sh in the VM instead and prints its figures.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$(realpath "${1:-build}")
run=${2:-cases}

bash "$source_dir/scripts/install-packages.sh" qemu-system-x86 linux-image-amd64 busybox-static

for program in korvane-cli korvane-gadget; do
  [ -x "$build_dir/bin/$program" ] || { echo "no $build_dir/bin/$program: build it first" >&2; exit 1; }
done
# The newest kernel that has both its image and its modules here.
kernel=
for modules in $(ls -d /lib/modules/*-amd64 2>/dev/null | sort -V); do
  version=$(basename "$modules")
  [ -f "/boot/vmlinuz-$version" ] && kernel=$version
done
[ -n "$kernel" ] || { echo "no Debian amd64 kernel in /boot with its modules" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,etc/udev/rules.d,lib/modules,lib/systemd,proc,sys,dev,run,tmp,korvane}

# busybox, with a link for each applet but the ones that would replace it or /init.
cp /bin/busybox "$root/bin/busybox"
for applet in $(/bin/busybox --list); do
  case $applet in busybox | init | linuxrc) ;; *) ln -s busybox "$root/bin/$applet" ;; esac
done

# Programs with the shared libraries they load, at the same paths.
copy_with_libraries() {
  cp -L "$1" "$root/bin/"
  for library in $(ldd "$1" | awk '/=> \// { print $3 } /^\t\/.*ld-linux/ { print $1 }'); do
    mkdir -p "$root$(dirname "$library")"
    [ -e "$root$library" ] || cp -L "$library" "$root$library"
  done
}
copy_with_libraries "$build_dir/bin/korvane-cli"
copy_with_libraries "$build_dir/bin/korvane-gadget"
copy_with_libraries /bin/udevadm
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"

for module in usb-common usbcore configfs udc-core dummy_hcd libcomposite usb_f_fs; do
  file=$(find "/lib/modules/$kernel/kernel" -name "$module.ko*" | head -n 1)
  [ -n "$file" ] || { echo "the kernel $kernel has no module $module" >&2; exit 1; }
  case $file in
    *.ko.xz) xz -dc "$file" >"$root/lib/modules/$module.ko" ;;
    *.ko.zst) zstd -qdc "$file" >"$root/lib/modules/$module.ko" ;;
    *) cp "$file" "$root/lib/modules/$module.ko" ;;
  esac
done

cp "$source_dir/packaging/linux/70-korvane.rules" "$root/etc/udev/rules.d/"
# root, an operator in plugdev and a visitor who is not.
cat >"$root/etc/passwd" <<'USERS'
root:x:0:0:root:/root:/bin/sh
operator:x:1000:1000:operator:/tmp:/bin/sh
visitor:x:1001:1001:visitor:/tmp:/bin/sh
USERS
cat >"$root/etc/group" <<'GROUPS'
root:x:0:
plugdev:x:46:operator
operator:x:1000:
visitor:x:1001:
GROUPS
cp "$source_dir/tests/kernel/init.sh" "$root/init"
chmod +x "$root/init"
cp "$source_dir/tests/kernel/cases.sh" "$source_dir/examples/demo-firmware.hex" "$root/korvane/"
if [ "$run" = bench ]; then
  # A whole image: program flash from 0x800 to 0x7FFF and the 256-byte EEPROM.
  bash "$source_dir/scripts/install-packages.sh" srecord
  srec_cat -generate 0x800 0x8000 -repeat-string "Korvane firmware image 0123456789" \
    -generate 0xF00000 0xF00100 -repeat-string "EEPROM" \
    -o "$root/korvane/full.hex" -intel -line-termination=crlf -output_block_size=16
  # Another firmware of the same size, that differs from it in every block.
  srec_cat -generate 0x800 0x8000 -repeat-string "An unrelated build of other firmware 9876" \
    -generate 0xF00000 0xF00100 -repeat-string "eeprom data" \
    -o "$root/korvane/other.hex" -intel -line-termination=crlf -output_block_size=16
  cp "$source_dir/bench/kernel/bench.sh" "$root/korvane/"
fi

(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

echo "Kernel USB test ($run) on Linux $kernel in QEMU (TCG)"
started=$(date +%s)
status=0
timeout 900 qemu-system-x86_64 -accel tcg -cpu max -m 512 -smp 2 -nographic -no-reboot \
  -nodefaults -serial stdio -kernel "/boot/vmlinuz-$kernel" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 panic=-1 loglevel=3 edd=off korvane.run=$run" \
  </dev/null >"$work/console.log" 2>&1 || status=$?
# Lines as the guest wrote them, without carriage returns and the firmware's screen codes.
tr -d '\r' <"$work/console.log" | sed 's/^.*KORVANE-/KORVANE-/' >"$work/console.txt"
# The whole console stays in the build folder for a look after a failure.
cp "$work/console.txt" "$build_dir/kernel-$run-console.txt"
grep -v '^KORVANE-END' "$work/console.txt" | grep -E '^(KORVANE-|  )' | sed 's/^KORVANE-//' || true
echo "($(($(date +%s) - started)) s in all)"

if ! grep -q '^KORVANE-END' "$work/console.txt"; then
  echo "FAIL: the VM did not finish (QEMU status $status); its console:" >&2
  tail -n 40 "$work/console.txt" >&2
  exit 1
fi
if [ "$run" = cases ]; then
  passed=$(grep -c '^KORVANE-CASE .* pass ' "$work/console.txt" || true)
  failed=$(grep -c '^KORVANE-CASE .* fail ' "$work/console.txt" || true)
  echo "kernel USB test: $passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ] && ! grep -q '^KORVANE-SETUP' "$work/console.txt"
fi
