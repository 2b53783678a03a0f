# SPDX-License-Identifier: GPL-2.0-or-later
# A kernel booted with an lsm= list without bpf: the loader says why and what
# to do, exits with its distinct status, and the reload fails with EOPNOTSUPP.
set -u
. /etc/qv-vm.env
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
echo "active LSMs: $(cat /sys/kernel/security/lsm)"
mkdir -p /mnt/t /run/quorvane && mount -t tmpfs tmpfs /mnt/t && mkdir /mnt/t/p
$TOOL set /mnt/t/p deny enforce 15 all '*'
systemd-socket-activate --seqpacket -l /run/quorvane/control -l /run/quorvane/notify \
  --fdname=control:notify "$LOADER" 2> /tmp/loader.log &
pid=$!
i=0; while [ ! -S /run/quorvane/notify ] && [ $i -lt 300 ]; do i=$((i + 1)); sleep 0.1; done
got=$($TOOL update)
[ "$got" = "qv_update -95" ] && pass "qv_update fails with EOPNOTSUPP" || fail "qv_update: $got"
wait $pid; st=$?
[ $st = 78 ] && pass "the loader exits with status 78" || fail "loader status $st"
grep -q "bpf is not among the active LSMs.*add bpf to the lsm= kernel parameter (active LSMs: [a-z,]*yama[a-z,]*; use lsm=[a-z,]*,bpf)" /tmp/loader.log &&
  pass "the message names lsm= and the active list" || fail "message: $(cat /tmp/loader.log)"
cat /mnt/t/p > /dev/null 2>&1; [ -d /sys/fs/bpf/quorvane ] && fail "something pinned" || pass "nothing pinned, nothing enforced"
cat /tmp/loader.log
echo "failures: $failures"
[ $failures = 0 ]
