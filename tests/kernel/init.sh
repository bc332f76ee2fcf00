#!/bin/sh
# /init of the kernel test VM: mounts what a small Linux system needs, loads the USB modules
# (dummy_hcd gives three controller pairs at full speed), then runs the cases or the benchmark
# that the kernel command line names (korvane.run=cases|bench) and powers the VM off.
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs -o mode=0755 tmpfs /run
mount -t tmpfs -o mode=1777 tmpfs /tmp
mkdir -p /run/lock && chmod 1777 /run/lock
for module in usb-common usbcore configfs udc-core dummy_hcd libcomposite usb_f_fs; do
  case $module in
    dummy_hcd) insmod /lib/modules/$module.ko num=3 is_high_speed=0 ;;
    *) insmod /lib/modules/$module.ko ;;
  esac || echo "KORVANE-SETUP cannot load $module"
done
mount -t configfs none /sys/kernel/config
run=cases
for word in $(cat /proc/cmdline); do
  case $word in korvane.run=*) run=${word#korvane.run=} ;; esac
done
cd /korvane && sh ./$run.sh
echo "KORVANE-END"
poweroff -f
