# Enforcement figures inside the VM (software emulation: absolute times are
# slow; the ratios are what counts). /etc/qv-vm.env names the programs.
set -u
. /etc/qv-vm.env
n=20000
mkdir -p /opt /mnt/b && mount -t tmpfs tmpfs /mnt/b
cp "$BENCH" /opt/viewer; cp "$BENCH" /opt/other
mkdir -p /mnt/b/prot /mnt/b/bulk
echo x > /mnt/b/plain; echo x > /mnt/b/prot/f
# The file system holds protected objects: the folder and 1,000 more.
i=0; while [ $i -lt 1000 ]; do mkdir /mnt/b/bulk/$i; i=$((i + 1)); done
"$TOOL" set /mnt/b/prot allow enforce 15 all /opt/viewer
for d in /mnt/b/bulk/*; do "$TOOL" set $d allow enforce 15 all /opt/viewer; done

measure() { /opt/viewer open "$1" $n; }
plain0=$(measure /mnt/b/plain); prot0=$(measure /mnt/b/prot/f)
"$LOADER" 2> /tmp/loader.log &
loader=$!
i=0; while ! grep -q "enforcing; pinned" /tmp/loader.log; do i=$((i + 1)); [ $i -gt 600 ] && break; sleep 0.1; done
"$TOOL" update
plain1=$(measure /mnt/b/plain); prot1=$(measure /mnt/b/prot/f)
denied=$(/opt/other open /mnt/b/prot/f 2000)
# A reload of 10,000 profiles, acknowledged.
mkdir -p /mnt/b/many
"$BENCH" reload 10000 /mnt/b/many
kill -TERM $loader; wait $loader
plain2=$(measure /mnt/b/plain); prot2=$(measure /mnt/b/prot/f)
echo "open+close, no program: unprotected ${plain0}/${plain2} ns, protected ${prot0}/${prot2} ns (before/after)"
echo "open+close, program loaded: unprotected ${plain1} ns, protected by an allowed program ${prot1} ns"
echo "denied open with its record (records rate-limited): ${denied} ns"
awk -v a="$plain1" -v b="$plain0" -v c="$plain2" -v p="$prot1" -v q="$prot0" -v r="$prot2" 'BEGIN {
  printf "ratio unprotected file on a fs holding protected objects: %.2f (target <= 1.1)\n", a / ((b + c) / 2)
  printf "ratio protected file, allowed program: %.2f (target <= 1.25)\n", p / ((q + r) / 2) }'
