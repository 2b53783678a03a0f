# SPDX-License-Identifier: GPL-2.0-or-later
# Enforcement figures inside the VM (software emulation: absolute times are
# slow and the host's load shows through; each figure is the fastest of many
# rounds, and the configurations alternate three times, best of each). An
# empty program on file_open shows what any BPF LSM program costs there.
# /etc/qv-vm.env names the programs.
set -u
. /etc/qv-vm.env
mkdir -p /opt /mnt/b && mount -t tmpfs tmpfs /mnt/b
cp "$BENCH" /opt/viewer; cp "$BENCH" /opt/other
mkdir -p /mnt/b/prot /mnt/b/bulk
echo x > /mnt/b/plain; echo x > /mnt/b/prot/f
chmod 777 /mnt/b/prot  # so alice's unlink reaches the program
# The file system holds protected objects: the folder and 1,000 more.
i=0; while [ $i -lt 1000 ]; do mkdir /mnt/b/bulk/$i; i=$((i + 1)); done
"$TOOL" set /mnt/b/prot allow enforce 15 all /opt/viewer
for d in /mnt/b/bulk/*; do "$TOOL" set $d allow enforce 15 all /opt/viewer; done

measure() { /opt/viewer open "$1" 2000 40; }
min() { [ -z "$1" ] || [ "$2" -lt "$1" ] && echo "$2" || echo "$1"; }
start_loader() {
  # A fresh log each time: the wait below must not find the last loader's line.
  rm -f /tmp/loader.log
  "$LOADER" 2> /tmp/loader.log &
  loader=$!
  # Under emulation on a loaded host, verifying the programs takes a while;
  # figures taken without them would be meaningless.
  i=0; while ! grep -qs "enforcing; pinned" /tmp/loader.log; do
    i=$((i + 1)); [ $i -gt 3000 ] && { echo "the loader did not start: $(cat /tmp/loader.log)"; exit 1; }
    sleep 0.1
  done
}
p0="" q0="" p1="" q1="" f0=""
for round in 1 2 3; do
  p0=$(min "$p0" "$(measure /mnt/b/plain)"); q0=$(min "$q0" "$(measure /mnt/b/prot/f)")
  f0=$(min "$f0" "$(/opt/viewer floor /mnt/b/plain 2000 40)")
  start_loader
  p1=$(min "$p1" "$(measure /mnt/b/plain)"); q1=$(min "$q1" "$(measure /mnt/b/prot/f)")
  [ $round = 3 ] || { kill -TERM $loader; wait $loader; }
done
rp=$(/opt/viewer runtime /mnt/b/plain 20000); rq=$(/opt/viewer runtime /mnt/b/prot/f 20000)
denied=$(/opt/other open /mnt/b/prot/f 2000 5)
# By alice, whose record budget root's denied opens have not spent.
unlinked=$(setpriv --reuid 1000 --regid 1000 --clear-groups -- /opt/other unlink /mnt/b/prot/f 2000 5)
# A reload of 10,000 profiles, acknowledged.
mkdir -p /mnt/b/many
"$BENCH" reload 10000 /mnt/b/many
kill -TERM $loader; wait $loader
blocked=$(grep -c "blocked: uid 1000 pid [0-9]* other changing f" /tmp/loader.log)
echo "open+close, no program: unprotected ${p0} ns, protected ${q0} ns"
echo "open+close, an empty program on file_open: ${f0} ns"
echo "open+close, program loaded: unprotected ${p1} ns, protected by an allowed program ${q1} ns"
echo "the program's own time per open (the kernel's count): unprotected ${rp} ns, protected by an allowed program ${rq} ns"
echo "denied open with its record (records rate-limited to 64/s per user, the rest counted): ${denied} ns"
echo "refused unlink with its record (same limit): ${unlinked} ns; records of refused unlinks in the journal: ${blocked}"
echo "the loader: $(grep -h 'loaded:\|cannot' /tmp/loader.log | tr '\n' ' ')"
awk -v a="$p1" -v b="$p0" -v p="$q1" -v q="$q0" -v f="$f0" -v rp="$rp" -v rq="$rq" 'BEGIN {
  printf "ratio of an empty program on file_open (the floor under both): %.2f\n", f / b
  printf "ratio unprotected file on a fs holding protected objects: %.2f (target <= 1.05)\n", a / b
  printf "ratio protected file, allowed program: %.2f (target <= 1.15)\n", p / q
  printf "the program'"'"'s own time against no program: unprotected %.3f, allowed %.3f\n", 1 + rp / b, 1 + rq / q }'
