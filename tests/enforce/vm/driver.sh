# SPDX-License-Identifier: GPL-2.0-or-later
# Enforcement in a kernel that runs BPF LSM programs: one boot, every row.
# Run by tests/vm/run-vm as root; /etc/qv-vm.env names the programs.
set -u
. /etc/qv-vm.env
. /etc/qv-rows-loader.sh
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# Waits (bounded) until FILE holds TEXT.
wait_for() {
  i=0
  while ! grep -q -- "$2" "$1" 2>/dev/null; do
    i=$((i + 1)); [ $i -gt 300 ] && return 1
    sleep 0.1
  done
}

# Waits (bounded) until FILE holds TEXT on at least N lines.
wait_count() {
  i=0
  while n=$(grep -c -- "$2" "$1" 2>/dev/null); [ "${n:-0}" -lt "$3" ]; do
    i=$((i + 1)); [ $i -gt 600 ] && return 1
    sleep 0.1
  done
}

as_user() { u=$1; shift; setpriv --reuid "$u" --regid "$u" --clear-groups -- "$@"; }

# check WHAT WANT USER PROGRAM ARGS...: PROGRAM (a copy of the tool) run as
# USER prints WANT.
check() {
  what=$1 want=$2 user=$3; shift 3
  got=$(as_user "$user" "$@" 2>&1)
  if [ "$got" = "$want" ]; then pass "$what"; else fail "$what: want $want, got $got"; fi
}

update_ok() {
  got=$($TOOL update 2>&1)
  [ "$got" = "qv_update 0" ] && pass "reload acknowledged ($1)" || fail "reload ($1): $got"
}

# Three programs: the allowed viewer, another, and one a deny list names.
mkdir -p /opt
for p in viewer other denied; do cp "$TOOL" /opt/$p; chmod 755 /opt/$p; done
V=/opt/viewer O=/opt/other D=/opt/denied

# The file systems: a tmpfs and an ext4 image.
mkdir -p /mnt/t /mnt/e
mount -t tmpfs -o mode=755 tmpfs /mnt/t
dd if=/dev/zero of=/tmp/e.img bs=1M count=24 2>/dev/null
mkfs.ext4 -q -F /tmp/e.img && mount -o loop /tmp/e.img /mnt/e || fail "ext4 image"

# A tree of objects on file system M, and their profiles.
populate() {
  M=$1
  mkdir -p $M/allow/1/2/3/4/5/6 $M/deny $M/star $M/none $M/complain $M/perm_r $M/perm_l $M/uid $M/bin
  for d in allow/1/2/3/4/5/6 deny star none complain perm_r perm_l uid; do echo secret > $M/$d/f; done
  echo plain > $M/unprotected
  cp "$TOOL" $M/bin/prog
  chmod -R a+rwX $M
  $TOOL set $M/allow allow enforce 15 all $V
  $TOOL set $M/deny deny enforce 15 all $D
  $TOOL set $M/star allow enforce 15 all '*'
  $TOOL set $M/none deny enforce 15 all '*'
  $TOOL set $M/complain allow complain 15 all $V
  $TOOL set $M/perm_r allow enforce 1 all $V
  $TOOL set $M/perm_l allow enforce 8 all $V
  $TOOL set $M/uid allow enforce 15 1000 $V
  $TOOL set $M/bin allow enforce 4 all $V
}

rows() {
  M=$1 tag=$2
  F=$M/allow/1/2/3/4/5/6/f
  check "$tag: allow list, allowed program, six levels down" ok 1000 $V open r $F
  check "$tag: allow list, another program, six levels down" EPERM 1000 $O open r $F
  check "$tag: allow list, another program writing" EPERM 1000 $O open w $F
  check "$tag: allow list, another program listing the folder" EPERM 1000 $O open d $M/allow/1
  check "$tag: unprotected file beside" ok 1000 $O open r $M/unprotected
  check "$tag: deny list, listed program" EPERM 1000 $D open r $M/deny/f
  check "$tag: deny list, another program" ok 1000 $O open r $M/deny/f
  check "$tag: allow \"*\": every program" ok 1000 $O open r $M/star/f
  check "$tag: deny \"*\": no program, not even the viewer" EPERM 1000 $V open r $M/none/f
  check "$tag: complain: allowed" ok 1000 $O open r $M/complain/f
  check "$tag: read bit: read refused" EPERM 1000 $O open r $M/perm_r/f
  check "$tag: read bit: write allowed" ok 1000 $O open w $M/perm_r/f
  check "$tag: list bit: listing refused" EPERM 1000 $O open d $M/perm_l
  check "$tag: list bit: reading a file allowed" ok 1000 $O open r $M/perm_l/f
  check "$tag: exec bit: another program cannot run it" EPERM 1000 $O exec $M/bin/prog
  check "$tag: exec bit: the viewer can" ok 1000 $V exec $M/bin/prog
  check "$tag: exec bit: reading it is allowed" ok 1000 $O open r $M/bin/prog
  check "$tag: uid 1000 listed: alice refused" EPERM 1000 $O open r $M/uid/f
  check "$tag: uid 1000 listed: bob not concerned" ok 1001 $O open r $M/uid/f
  check "$tag: root is a user like any other" EPERM 0 $O open r $F
  mkdir -p /mnt/alias-$tag
  mount --bind $M/allow /mnt/alias-$tag
  check "$tag: bind-mount alias, another program" EPERM 1000 $O open r /mnt/alias-$tag/1/2/3/4/5/6/f
  check "$tag: bind-mount alias, the viewer" ok 1000 $V open r /mnt/alias-$tag/1/2/3/4/5/6/f
  check "$tag: another mount namespace" EPERM 0 unshare -m $O open r $F
}

# The camera: a profile for a node covers its device number, so a second
# node of the same device is covered and a node of another minor is not.
mknod /mnt/t/video3 c 81 3; mknod /mnt/t/cam-alias c 81 3; mknod /mnt/t/video4 c 81 4
chmod 666 /mnt/t/video3 /mnt/t/cam-alias /mnt/t/video4

# The profiles, the loader, and the block-record readers of alice and bob.
populate /mnt/t
populate /mnt/e
$TOOL set /mnt/t/video3 allow enforce 15 all $V
# A camera whose node appears only later (vivid, a test camera, is taken
# away now and comes back once the loader runs).
$TOOL set /dev/video0 allow enforce 15 all $V
rmmod vivid || fail "rmmod vivid"
$TOOL set / deny enforce 15 all '*'
$TOOL set /usr deny enforce 15 all '*'

# With no more capabilities than its unit grants.
setpriv --bounding-set -all,+bpf,+perfmon,+dac_read_search -- $LOADER 2> /tmp/loader.log &
loader=$!
wait_for /tmp/loader.log "enforcing; pinned" || fail "the loader started: $(cat /tmp/loader.log)"
update_ok "first"
as_user 1000 $TOOL reader > /tmp/alice.rec 2>&1 &
as_user 1001 $TOOL reader > /tmp/bob.rec 2>&1 &
wait_for /tmp/alice.rec "connected uid 1000" || fail "alice's reader"
wait_for /tmp/bob.rec "connected uid 1001" || fail "bob's reader"

rows /mnt/t tmpfs
rows /mnt/e ext4
check "camera: the profiled node" EPERM 1000 $O open r /mnt/t/video3
check "camera: a second node of the same device" EPERM 1000 $O open r /mnt/t/cam-alias
check "camera: the viewer passes (no driver behind the node)" "No such device or address" 1000 $V open r /mnt/t/video3
check "camera: another device number is not covered" "No such device or address" 1000 $O open r /mnt/t/video4

insmod "$(find /lib/modules -name vivid.ko)" n_devs=1 || fail "insmod vivid"
wait_for /tmp/loader.log "camera node /dev/video0 appeared: ok" && pass "the loader follows device events" ||
  fail "no device event: $(tail -3 /tmp/loader.log)"
check "camera: a node that appears later is covered" EPERM 0 $O open r /dev/video0
check "camera: the allowed program opens the new camera" ok 0 $V open r /dev/video0

# "/" and /usr: stored, reported once, not enforced; the machine works.
grep -q '"path":"/usr"' /run/quorvane/status.json && grep -q '"path":"/"' /run/quorvane/status.json &&
  pass "system trees listed as not enforced" || fail "status: $(cat /run/quorvane/status.json)"
[ "$(grep -c 'not enforced: /usr:' /tmp/loader.log)" = 1 ] && pass "/usr reported once" ||
  fail "/usr reports: $(grep -c 'not enforced: /usr:' /tmp/loader.log)"
ls /usr/bin > /dev/null && cat /etc/passwd > /dev/null && pass "the machine keeps working" || fail "system trees"

# Desktop sessions of alice and bob: the launcher runs a stand-in notifier
# that copies the records it is handed (the stream, on its standard input)
# to /tmp/notify/UID.
sessions=
if [ -n "${SESSION:-}" ]; then
  mkdir -p /tmp/notify && chmod 1777 /tmp/notify
  for u in 1000 1001; do
    as_user $u env QUORVANE_NOTIFIER=/opt/stand-in-notifier $SESSION > /tmp/session-$u.log 2>&1 &
    sessions="$sessions $!"
    wait_for /tmp/notify/$u.started reading || fail "session of $u: $(cat /tmp/session-$u.log)"
  done
  # Connected before these requests, so accepted before their answers.
  $TOOL update > /dev/null; $TOOL update > /dev/null
fi

# A block record: alice's own blocked cat reaches alice, not bob.
as_user 1000 cat /mnt/t/allow/1/2/3/4/5/6/f > /dev/null 2>&1 && fail "alice's cat was not refused"
if [ -n "$sessions" ]; then
  wait_for /tmp/notify/1000 /mnt/t/allow/1/2/3/4/5/6/f || fail "alice's notifier got nothing: $(cat /tmp/session-1000.log)"
  size=$(wc -c < /tmp/notify/1000)
  object=$(tail -c 1024 /tmp/notify/1000 | head -c 512 | tr -d '\000')
  exe=$(tail -c 1024 /tmp/notify/1000 | tail -c 512 | tr -d '\000')
  [ $((size % 1024)) = 0 ] && [ "$object" = /mnt/t/allow/1/2/3/4/5/6/f ] && [ "$exe" = /usr/bin/busybox ] &&
    pass "alice's session: the 1024-byte record reaches the notifier" ||
    fail "alice's session: $size bytes, object '$object', exe '$exe'"
  [ ! -s /tmp/notify/1001 ] && pass "bob's session gets nothing" || fail "bob's session: $(wc -c < /tmp/notify/1001) bytes"
  kill $sessions
fi
wait_for /tmp/alice.rec "record object=/mnt/t/allow/1/2/3/4/5/6/f exe=/usr/bin/busybox" &&
  pass "alice receives the record of her blocked cat" || fail "alice's records: $(cat /tmp/alice.rec)"
wait_for /tmp/loader.log "blocked: uid 1000 pid [0-9]* /usr/bin/busybox opening /mnt/t/allow/1/2/3/4/5/6/f" &&
  pass "the record's journal line" || fail "journal line missing"
grep -q "record object=/mnt/t/allow" /tmp/bob.rec && fail "bob received alice's record" || pass "bob gets none of alice's"
grep -q "would block (complain): uid 1000 pid [0-9]* /opt/other opening /mnt/t/complain/f" /tmp/loader.log &&
  pass "complain mode still reports" || fail "no complain report"
# A tight loop cannot flood: the kernel drops and counts.
as_user 1000 $O open r /mnt/t/none/f 500 > /dev/null
$TOOL update > /dev/null
grep -q '"kernel_dropped":[1-9]' /run/quorvane/status.json && pass "records are rate-limited, drops counted" ||
  fail "no drops counted: $(cat /run/quorvane/status.json)"

# Escapes: links, renames, replaced files, swapped executables, scripts.
escapes() {
  M=$1 tag=$2
  check "$tag: hard link made outside the tree" EPERM 1000 $O link $M/esc/f $M/link-out
  check "$tag: hard link inside the tree" EPERM 1000 $O link $M/esc/f $M/esc/f-link
  check "$tag: hard link out by the allowed program" ok 1000 $V link $M/esc/f $M/viewer-link
  check "$tag: rename out of the tree" EPERM 1000 $O rename $M/esc/sub $M/sub-out
  check "$tag: rename inside the tree" EPERM 1000 $O rename $M/esc/sub $M/esc/sub2
  check "$tag: rename inside the tree by the allowed program" ok 1000 $V rename $M/esc/sub $M/esc/sub2
  check "$tag: moved inside, still protected" EPERM 1000 $O open r $M/esc/sub2/g
  check "$tag: rename of the protected folder by another program" EPERM 1000 $O rename $M/esc $M/esc-moved
  check "$tag: rename of the protected folder by the allowed program" ok 1000 $V rename $M/esc $M/esc-moved
  check "$tag: protection follows the folder" EPERM 1000 $O open r $M/esc-moved/f
  check "$tag: and back" ok 1000 $V rename $M/esc-moved $M/esc
  check "$tag: editor save by a program that may not write" EPERM 1000 $O save $M/doc.txt
  check "$tag: editor save by the allowed program" ok 1000 $V save $M/doc.txt
  check "$tag: the saved file is protected at once" EPERM 1000 $O open r $M/doc.txt
  update_ok "$tag: after a save"
  check "$tag: and after the reload" EPERM 1000 $O open r $M/doc.txt
  check "$tag: the allowed program reads the saved file" ok 1000 $V open r $M/doc.txt
  check "$tag: a script named in the allow list" ok 1000 /opt/reader.sh $M/sc/f
  check "$tag: sh script is the interpreter" EPERM 1000 sh /opt/reader.sh $M/sc/f
}
for M in /mnt/t /mnt/e; do
  mkdir -p $M/esc/sub $M/sc $M/hl
  echo secret > $M/esc/f; echo secret > $M/esc/sub/g; echo secret > $M/doc.txt; echo secret > $M/sc/f
  echo secret > $M/hl/a; ln $M/hl/a $M/hl-elsewhere
  chmod -R a+rwX $M
  $TOOL set $M/esc allow enforce 15 all $V
  $TOOL set $M/doc.txt allow enforce 15 all $V
  $TOOL set $M/sc allow enforce 15 all /opt/reader.sh
  $TOOL set $M/hl allow enforce 15 all $V
done
printf '#!/bin/sh\nif { read -r line < "$1"; } 2>/dev/null; then echo ok; else echo EPERM; fi\n' > /opt/reader.sh
chmod 755 /opt/reader.sh
update_ok "escape profiles"
escapes /mnt/t tmpfs
escapes /mnt/e ext4
check "prctl exe swap in a user namespace of its own" EPERM 1000 $O setexe $V
check "user-namespace bind-mount spoof of the allowed program" EPERM 1000 \
  unshare -U -r -m sh -c "mount --bind $O $V && $V open r /mnt/t/esc/f"
check "other prctl calls still work (PR_SET_NAME)" ok 1000 $O setname
grep -q "hard link: /mnt/t/hl/a has 2 names" /tmp/loader.log && grep -q "hard link: /mnt/e/hl/a has 2 names" /tmp/loader.log &&
  pass "a pre-existing hard link is reported" || fail "no hard-link report"
grep -q "blocked: uid 1000 pid [0-9]* other linking or moving f" /tmp/loader.log &&
  pass "a refused link has its record" || fail "no record of the refused link"

loader_rows
. /opt/rows-identity.sh
# A sealed tree: every other route in.
. /opt/rows-sealed.sh

# Lifetime: SIGKILL keeps enforcement, a restart takes over, SIGTERM ends it.
kill -KILL $loader; wait $loader 2>/dev/null
check "loader killed: enforcement stays" EPERM 1000 $O open r /mnt/t/allow/1/2/3/4/5/6/f
[ -e /sys/fs/bpf/quorvane/file_open ] && pass "pins stay" || fail "pins gone after SIGKILL"
$LOADER 2> /tmp/loader2.log &
loader=$!
wait_for /tmp/loader2.log "enforcing; pinned" || fail "the restarted loader: $(cat /tmp/loader2.log)"
check "restarted: enforcement continues" EPERM 1000 $O open r /mnt/t/allow/1/2/3/4/5/6/f
$TOOL set /mnt/t/star deny enforce 15 all '*'
update_ok "after the restart"
check "restarted: a new profile is in force" EPERM 1000 $O open r /mnt/t/star/f
# Handover (a reload after an upgrade): SIGHUP re-executes the binary in the
# same process. A refused program that opens the file all along never gets in.
F=/mnt/t/allow/1/2/3/4/5/6/f
as_user 1000 $O probe $F /tmp/probe.stop > /tmp/probe.out 2>&1 &
probe=$!
wait_for /tmp/probe.out probing || fail "the probe started: $(cat /tmp/probe.out)"
kill -HUP $loader
wait_count /tmp/loader2.log "enforcing; pinned" 2 || fail "the re-executed loader: $(tail -5 /tmp/loader2.log)"
touch /tmp/probe.stop; wait $probe
grep -q "opened 0 refused [1-9][0-9]* other 0" /tmp/probe.out &&
  pass "re-execution: no open got through ($(tail -1 /tmp/probe.out))" ||
  fail "re-execution: $(cat /tmp/probe.out)"
grep -q "re-executing $LOADER; pins and sockets kept" /tmp/loader2.log && kill -0 $loader &&
  [ "$(grep -c 'loaded: ok' /tmp/loader2.log)" = 2 ] && pass "re-executed in the same process" ||
  fail "re-execution: $(tail -5 /tmp/loader2.log)"
[ -e /sys/fs/bpf/quorvane/file_open ] && pass "re-execution: pins stay" || fail "pins gone after SIGHUP"
loader_rows_after_restart
$TOOL set /mnt/t/star allow enforce 15 all '*'
update_ok "after the re-execution"
check "re-executed: a changed profile is in force" ok 1000 $O open r /mnt/t/star/f
# A binary that is gone: the running image goes on.
mv $LOADER $LOADER.away
kill -HUP $loader
wait_for /tmp/loader2.log "cannot re-execute $LOADER: No such file or directory; this loader goes on enforcing" &&
  pass "re-execution failed: said so" || fail "failed re-execution: $(tail -3 /tmp/loader2.log)"
mv $LOADER.away $LOADER
check "re-execution failed: enforcement stays" EPERM 1000 $O open r $F
update_ok "after a failed re-execution"
kill -TERM $loader; wait $loader; st=$?
[ $st = 0 ] && pass "SIGTERM: loader exits 0" || fail "SIGTERM status $st"
check "stopped on purpose: enforcement ends" ok 1000 $O open r /mnt/t/allow/1/2/3/4/5/6/f
[ ! -e /sys/fs/bpf/quorvane ] && pass "pins removed" || fail "pins left: $(ls /sys/fs/bpf/quorvane)"

echo "--- loader log"; cat /tmp/loader.log /tmp/loader2.log | tail -n 40
echo "failures: $failures"
[ $failures = 0 ]
