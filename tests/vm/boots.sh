# SPDX-License-Identifier: GPL-2.0-or-later
# Driver for VM.Boots: what every enforcement test relies on is there.
fails=0
check() {
  name=$1; shift
  if out=$("$@" 2>&1); then echo "ok   $name"; else echo "FAIL $name: $out"; fails=$((fails + 1)); fi
}
bpf_lsm_active() { case ",$(cat /sys/kernel/security/lsm)," in *,bpf,*) ;; *) cat /sys/kernel/security/lsm; return 1 ;; esac; }
ext4_on_loop() {
  truncate -s 16M /tmp/disk.img && mkfs.ext4 -q /tmp/disk.img && mkdir -p /mnt/disk &&
    mount -o loop /tmp/disk.img /mnt/disk && echo data > /mnt/disk/file &&
    grep -q '^/dev/loop[0-9]* /mnt/disk ext4 ' /proc/mounts && umount /mnt/disk
}
runs_as_alice() { [ "$(setpriv --reuid=1000 --regid=1000 --clear-groups id -un)" = alice ]; }
tmp_for_everyone() {
  [ "$(stat -c %a /tmp)" = 1777 ] && [ "$(stat -c %a /run)" = 755 ] &&
    setpriv --reuid=1000 --regid=1000 --clear-groups touch /tmp/alice-was-here || { stat -c '%n %a' /tmp /run; return 1; }
}

check "bpf is an active LSM" bpf_lsm_active
check "a dynamically linked program runs" busctl --version
check "ext4 image on a loop device" ext4_on_loop
check "uid 1000 runs a program" runs_as_alice
check "/tmp is 1777 and uid 1000 writes there, /run is 755" tmp_for_everyone
check "bpffs is mounted" grep -q '^bpf /sys/fs/bpf bpf ' /proc/mounts
check "the kernel describes itself in BTF" test -s /sys/kernel/btf/vmlinux
exit $fails
